// What every subsystem is handed to publish with: a topic and a payload text.
// The proxy link implements it; tests record what would leave.
#pragma once

#include <cstdint>
#include <string_view>

namespace lld {

// The cloud topics "CS/<device_id>/LLD/<name>", in their wire order.
enum class Topic : std::uint8_t { Status, Config, Metrics, Registration, Events };

class Publisher {
  public:
    virtual ~Publisher() = default;
    // One whole datagram; false when it could not be sent.
    virtual bool publish(Topic topic, std::string_view payload) = 0;
};

}  // namespace lld
