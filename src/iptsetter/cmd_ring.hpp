// A fixed ring between exactly one producer thread and one consumer thread: no
// lock, no allocation. One slot always stays free, so a ring of N slots holds
// N - 1 items.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <optional>
#include <utility>

#include "app/log.hpp"

namespace lld {

template <typename T, std::size_t Slots>
class cmdRing {
    static_assert(Slots >= 2);

  public:
    static constexpr std::size_t kCapacity = Slots - 1;

    // Producer side. A full ring hands the item back untouched.
    bool push(T& item) {
        const std::size_t write = write_.load(std::memory_order_relaxed);
        const std::size_t next = (write + 1) % Slots;
        if (next == read_.load(std::memory_order_acquire)) {
            lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] full @ %d/%d\n", static_cast<int>(write),
                    static_cast<int>(next));
            return false;
        }
        slots_[write] = std::move(item);
        write_.store(next, std::memory_order_release);
        return true;
    }

    // Consumer side.
    std::optional<T> pop() {
        const std::size_t read = read_.load(std::memory_order_relaxed);
        if (read == write_.load(std::memory_order_acquire)) {
            return std::nullopt;
        }
        std::optional<T> item{std::move(slots_[read])};
        slots_[read] = T{};
        read_.store((read + 1) % Slots, std::memory_order_release);
        return item;
    }

  private:
    std::atomic<std::size_t> write_{0};
    std::atomic<std::size_t> read_{0};
    std::array<T, Slots> slots_{};
};

}  // namespace lld
