#include "pingu/samples.hpp"

#include <algorithm>

namespace lld {

void sort_samples(Samples& samples) {
    std::ranges::stable_sort(samples, {},
                             [](std::uint32_t s) { return static_cast<std::int32_t>(s); });
}

}  // namespace lld
