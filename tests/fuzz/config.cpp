// The configuration file as start-up reads it, and the ready report made from it:
// whole JSON, whose sealed password unseals to the configured one.
#include "app/config.hpp"
#include "app/status.hpp"
#include "cloud/link.hpp"
#include "cloud/seal.hpp"
#include "fuzz.hpp"

void lld::fuzz::run(std::span<const std::uint8_t> /*input*/, std::string_view text) {
    const JsonPtr tree = json_parse(text);
    const ClientConfig config = parse_client_config(tree.get());
    if (!tree || config.problem() || !config.ha_iv) {
        return;
    }
    const auto& [password, device_id, iv] =
        std::tie(*config.password, *config.device_id, *config.ha_iv);
    const auto sealed = seal_text(password, device_id, iv);
    check(format_topic(Topic::Metrics, device_id).size() <= 63 && sealed &&
          json_parse(format_ready_report(sealed)) &&
          (password.size() > 128 || unseal_text(*sealed, device_id, iv) == password));
}
