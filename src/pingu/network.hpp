// What a probe needs to know of the gateway, handed in by the owner: the
// classifier's range for its ports, the WAN side for its family and reports,
// and the DSCP value its low-latency path carries.
#pragma once

#include <string>

#include "common/types.hpp"

namespace lld {

class ProbeNetwork {
  public:
    virtual ~ProbeNetwork() = default;
    // The modem's low-latency classifier range; 0-0 when it has none.
    virtual PortRange classifier_range() = 0;
    virtual bool up(Family family) const = 0;
    virtual std::string wan_address(Family family) const = 0;
    virtual int dscp_value() const = 0;
};

}  // namespace lld
