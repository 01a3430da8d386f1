#include "pingu/registry.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "app/log.hpp"

namespace lld {

ProbeStopper::ProbeStopper() : fd_{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)} {}

void ProbeStopper::request() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(fd_.get(), &one, sizeof one);
}

void PinguRegistry::add(std::string_view name, unsigned long thread,
                        std::shared_ptr<const ProbeStopper> stopper) {
    const std::lock_guard lock{mutex_};
    tPinguActive& entry = entries_.push_front(tPinguActive{
        std::string{name.substr(0, tPinguActive::kNameMax)}, thread, std::move(stopper)});
    lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] PINGU_ACTIVE '%s':%lu at %p added\n",
            entry.name.c_str(), entry.thread, static_cast<const void*>(&entry));
}

void PinguRegistry::remove(std::string_view name) {
    {
        const std::lock_guard lock{mutex_};
        // Look the entry up in place first, so the log can name where it lived.
        const tPinguActive* found =
            entries_.find_if([name](const tPinguActive& entry) { return entry.name == name; });
        if (found == nullptr) {
            lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] PINGU_ACTIVE '%s' at NULL error\n",
                    std::string{name}.c_str());
            return;
        }
        lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] PINGU_ACTIVE '%s':%lu at %p deleted\n",
                found->name.c_str(), found->thread, static_cast<const void*>(found));
        entries_.remove_if([found](const tPinguActive& entry) { return &entry == found; });
    }
    removed_.notify_all();
}

std::optional<tPinguActive> PinguRegistry::find(std::string_view name) const {
    const std::lock_guard lock{mutex_};
    const tPinguActive* found =
        entries_.find_if([name](const tPinguActive& entry) { return entry.name == name; });
    if (found == nullptr) {
        return std::nullopt;
    }
    return *found;
}

bool PinguRegistry::wait_gone(std::string_view name, std::chrono::milliseconds timeout) const {
    std::unique_lock lock{mutex_};
    return removed_.wait_for(lock, timeout, [&] {
        return entries_.find_if([name](const tPinguActive& entry) { return entry.name == name; }) ==
               nullptr;
    });
}

PinguRegistry& PINGU_ACTIVE_init() {
    static PinguRegistry registry;
    return registry;
}

void PINGU_ACTIVE_add(std::string_view name, unsigned long thread,
                      std::shared_ptr<const ProbeStopper> stopper) {
    PINGU_ACTIVE_init().add(name, thread, std::move(stopper));
}

void PINGU_ACTIVE_delete(std::string_view name) {
    PINGU_ACTIVE_init().remove(name);
}

std::optional<tPinguActive> PINGU_ACTIVE_find(std::string_view name) {
    return PINGU_ACTIVE_init().find(name);
}

}  // namespace lld
