// The registry of running probes, one entry per live probe thread. Probe control
// asks it whether a probe runs; a stopper waits on it until the probe's thread
// has removed its entry.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "common/fd.hpp"
#include "common/list.hpp"

namespace lld {

// Asks a probe thread to end: its wait watches this descriptor.
class ProbeStopper {
  public:
    ProbeStopper();
    int fd() const { return fd_.get(); }
    bool valid() const { return static_cast<bool>(fd_); }
    void request() const;

  private:
    UniqueFd fd_;
};

struct tPinguActive {
    static constexpr std::size_t kNameMax = 31;
    std::string name;
    unsigned long thread = 0;
    std::shared_ptr<const ProbeStopper> stopper;
};

class PinguRegistry {
  public:
    void add(std::string_view name, unsigned long thread,
             std::shared_ptr<const ProbeStopper> stopper);
    void remove(std::string_view name);
    // A copy of the newest entry of that name.
    std::optional<tPinguActive> find(std::string_view name) const;
    bool holds(std::string_view name) const { return find(name).has_value(); }
    // Waits until no entry of that name is left, or the timeout passes.
    bool wait_gone(std::string_view name, std::chrono::milliseconds timeout) const;

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable removed_;
    tList<tPinguActive> entries_;  // newest first
};

// The process's registry ("PINGU_ACTIVE" in the log).
PinguRegistry& PINGU_ACTIVE_init();
void PINGU_ACTIVE_add(std::string_view name, unsigned long thread,
                      std::shared_ptr<const ProbeStopper> stopper);
void PINGU_ACTIVE_delete(std::string_view name);
std::optional<tPinguActive> PINGU_ACTIVE_find(std::string_view name);

}  // namespace lld
