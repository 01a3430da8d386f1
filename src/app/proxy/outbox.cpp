#include "app/proxy/outbox.hpp"

#include <algorithm>
#include <utility>

namespace lld::proxy {

bool Outbox::push(std::string topic, std::string payload) {
    bool made_room = false;
    if (messages_.size() >= capacity_ && !messages_.empty()) {
        messages_.pop_front();
        ++dropped_;
        made_room = true;
    }
    messages_.push_back(OutMessage{std::move(topic), std::move(payload), std::nullopt});
    return made_room;
}

OutMessage* Outbox::next_unsent() {
    // Messages go out in their order, so those in flight come first.
    const auto found = std::find_if(messages_.begin(), messages_.end(),
                                    [](const OutMessage& m) { return !m.mid; });
    return found == messages_.end() ? nullptr : &*found;
}

void Outbox::acknowledge(int mid) {
    const auto found = std::find_if(messages_.begin(), messages_.end(),
                                    [mid](const OutMessage& m) { return m.mid == mid; });
    if (found != messages_.end()) {
        messages_.erase(found);
    }
}

void Outbox::discard(const OutMessage& message) {
    const auto found = std::find_if(messages_.begin(), messages_.end(),
                                    [&message](const OutMessage& m) { return &m == &message; });
    if (found != messages_.end()) {
        messages_.erase(found);
    }
}

void Outbox::requeue_in_flight() {
    for (OutMessage& message : messages_) {
        message.mid.reset();
    }
}

std::size_t Outbox::in_flight() const {
    return static_cast<std::size_t>(std::count_if(
        messages_.begin(), messages_.end(), [](const OutMessage& m) { return m.mid.has_value(); }));
}

}  // namespace lld::proxy
