#include "app/token.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/fd.hpp"
#include "common/log.hpp"

namespace lld {
namespace {

// The token directory, opened only when it is a directory owned by this user
// and not a symbolic link; what else squats its path is named in the log.
UniqueFd open_token_dir(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        log_error("Cannot create %s: %s", dir.c_str(), std::strerror(errno));
        return UniqueFd{};
    }
    struct stat there {};
    if (::lstat(dir.c_str(), &there) != 0 || S_ISLNK(there.st_mode) || !S_ISDIR(there.st_mode) ||
        there.st_uid != ::geteuid()) {
        log_error("%s is not a directory of this user (%s, uid %u): no token is stored there",
                  dir.c_str(),
                  S_ISLNK(there.st_mode)   ? "a symbolic link"
                  : S_ISDIR(there.st_mode) ? "a directory"
                                           : "not a directory",
                  static_cast<unsigned>(there.st_uid));
        return UniqueFd{};
    }
    UniqueFd fd{::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
    struct stat status {};
    if (!fd || ::fstat(fd.get(), &status) != 0 || status.st_ino != there.st_ino ||
        status.st_uid != ::geteuid()) {
        return UniqueFd{};  // changed under our feet
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
