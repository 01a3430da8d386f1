// Sealing of the cloud password ("hadp"): gzip, Base64 with a closing line feed,
// AES-256-CBC keyed by the device id, lower-case hex. Unsealing undoes the four
// layers. No state between calls.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lld {

// The sealed text, whose length is a multiple of 32; nullopt when a layer fails.
std::optional<std::string> seal_text(std::string_view plaintext, std::string_view key_text,
                                     std::string_view iv_text);

// Undoes seal_text. Fails when the plaintext is more than ten times the size of
// its gzip layer.
std::optional<std::string> unseal_text(std::string_view sealed, std::string_view key_text,
                                       std::string_view iv_text);

}  // namespace lld
