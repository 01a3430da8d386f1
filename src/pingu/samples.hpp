// The round-trip delays of one path in microseconds, in the order they came; the
// reports sort them once. Samples order by their value taken as a signed 32-bit
// number, so a delay that wrapped past zero after a clock step sorts below the
// small ones.
#pragma once

#include <cstdint>
#include <vector>

namespace lld {

using Samples = std::vector<std::uint32_t>;

// Ascending in that order; equal samples keep their order.
void sort_samples(Samples& samples);

}  // namespace lld
