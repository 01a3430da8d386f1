// The round-trip delays of one path in microseconds, in ascending order. Two
// samples compare by their difference taken as a signed 32-bit value, so they
// order correctly as long as they lie within 2^31 of each other; a delay that
// wrapped past zero after a clock step sorts below the small ones.
#pragma once

#include <cstdint>
#include <vector>

namespace lld {

using Samples = std::vector<std::uint32_t>;

// Puts the sample before the first one that orders after it, so it lands
// behind every equal one.
void insert_sample(Samples& samples, std::uint32_t sample);

}  // namespace lld
