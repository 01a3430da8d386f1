// The client's messages on their way to the broker. Each stays here until the
// broker has acknowledged it (PUBACK), so a message that was in flight when the
// connection broke goes out again on the next one. The box is bounded: when it
// is full the oldest message makes room and is counted as dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace lld::proxy {

struct OutMessage {
    std::string topic;
    std::string payload;
    std::optional<int> mid;  // set while handed to the broker, awaiting its PUBACK
};

class Outbox {
  public:
    static constexpr std::size_t kCapacity = 1000;

    explicit Outbox(std::size_t capacity = kCapacity) : capacity_{capacity} {}

    // Appends a message; true when the oldest one was dropped to make room.
    bool push(std::string topic, std::string payload);
    // The oldest message not handed to the broker yet, if any.
    OutMessage* next_unsent();
    // The broker took the message of this mid: it leaves the box.
    void acknowledge(int mid);
    // A message the broker will never take (refused by the library): it leaves the box.
    void discard(const OutMessage& message);
    // The connection is gone: every message in flight goes out again, in its order.
    void requeue_in_flight();

    std::size_t size() const { return messages_.size(); }
    std::size_t in_flight() const;
    std::uint64_t dropped() const { return dropped_; }

  private:
    std::size_t capacity_;
    std::deque<OutMessage> messages_;
    std::uint64_t dropped_ = 0;
};

}  // namespace lld::proxy
