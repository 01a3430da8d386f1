#include "pingu/samples.hpp"

#include <algorithm>

namespace lld {

void insert_sample(Samples& samples, std::uint32_t sample) {
    const auto after = std::ranges::find_if(samples, [sample](std::uint32_t other) {
        return static_cast<std::int32_t>(sample - other) < 0;
    });
    samples.insert(after, sample);
}

}  // namespace lld
