// The GUI token the cloud hands the client, stored for the gateway's web interface.
#pragma once

#include <string>
#include <string_view>

namespace lld {

inline constexpr const char* kTokenDir = "/tmp/lld";

// Writes the token as the file "token" in `dir`, creating `dir` with mode 0700
// and the file with mode 0600. The directory must be a real directory of this
// user, not a link to one. 0 on success, -1 (after its error line) otherwise.
int store_gui_token(const std::string& dir, std::string_view token);

}  // namespace lld
