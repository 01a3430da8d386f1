// What every fuzz target shares: its entry point, a check whose failure is a crash
// for the fuzzer, and the NAT worker's way with one command of an array.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "iptsetter/rules.hpp"

namespace lld::fuzz {

// What the target does with one input, given as bytes and as text.
void run(std::span<const std::uint8_t> input, std::string_view text);

inline void check(bool holds) {
    return holds ? void() : std::abort();
}

// What a shell reading the rules files takes as plain words.
constexpr std::string_view kPlain =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.:/,[]!-";

// Refused data forms no rule; a rule's words are plain, and no cloud text in them
// passes for an option.
inline void serve_nat_element(const cJSON* element) {
    const NatCommand command{element};
    if (!command.cmd || !command.name || !command.data) {
        return;
    }
    const bool accepted = accept_nat_data(*command.cmd, *command.name, *command.data);
    for (const FamilyRules& family :
         {FamilyRules{Family::V4, "192.0.2.1/24", "198.51.100.2:5000-5010"},
          FamilyRules{Family::V6, "2001:db8::1/64", "[2001:db8::2]:5000-5010",
                      PortListRules::DscpMark, 46}}) {
        for (const Argv& rule :
             entry_rules(family, RuleAction::Insert, *command.cmd, *command.data)) {
            for (std::size_t i = 0; i < rule.size(); ++i) {
                check(accepted && !rule[i].empty() &&
                      rule[i].find_first_not_of(kPlain) == std::string::npos &&
                      (rule[i][0] != '-' || (rule[i - 1] != "-s" && rule[i - 1] != "--dports")));
            }
        }
    }
}

}  // namespace lld::fuzz

// NOLINTNEXTLINE(readability-identifier-naming)
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lld::fuzz::run({data, size}, {reinterpret_cast<const char*>(data), size});
    return 0;
}
