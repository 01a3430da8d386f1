// A NAT command array, both as the cloud's "user_game_config" and as the
// iptables-nat.json restored at start-up, which reads back what it writes.
#include "common/json.hpp"
#include "fuzz.hpp"

void lld::fuzz::run(std::span<const std::uint8_t> /*input*/, std::string_view text) {
    const JsonPtr tree = json_parse(text);
    const cJSON* element = nullptr;
    cJSON_ArrayForEach(element, (cJSON_IsArray(tree.get()) ? tree.get() : nullptr)) {
        serve_nat_element(element);
    }
    const auto entries = parse_nat_config(text).value_or(std::vector<NatEntry>{});
    const auto again = parse_nat_config(format_nat_config(46, 0, entries));
    check(again && std::ranges::equal(*again, entries, [](const auto& a, const auto& b) {
              return a.name == b.name && a.data == b.data && a.cmd == b.cmd;
          }));
}
