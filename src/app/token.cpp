#include "app/token.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/fd.hpp"
#include "common/log.hpp"

namespace lld {
namespace {

// The token directory, opened only when it is a directory owned by this user
// and not a symbolic link.
UniqueFd open_token_dir(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        return UniqueFd{};
    }
    UniqueFd fd{::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
    struct stat status {};
    if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISDIR(status.st_mode) ||
        status.st_uid != ::geteuid()) {
        return UniqueFd{};
    }
    return fd;
}

}  // namespace

int store_gui_token(const std::string& dir, std::string_view token) {
    const std::string path = dir + "/token";
    const UniqueFd dir_fd = open_token_dir(dir);
    const UniqueFd file{dir_fd
                            ? ::openat(dir_fd.get(), "token",
                                       O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600)
                            : -1};
    if (!file) {
        log_error("Failed to open %s", path.c_str());
        return -1;
    }
    // A token file left by an older run may be readable by others.
    ::fchmod(file.get(), 0600);
    if (!write_all(file.get(), token)) {
        log_error("Failed to write %s", path.c_str());
        return -1;
    }
    return 0;
}

}  // namespace lld
