#include "common/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/fd.hpp"
#include "common/log.hpp"

namespace lld {

std::optional<std::string> read_file(const std::string& path, std::size_t max_size) {
    // Not blocking: opening a FIFO must not wait for a writer.
    const UniqueFd fd{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (!fd) {
        return std::nullopt;
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        errno = EINVAL;
        return std::nullopt;
    }
    if (static_cast<std::uint64_t>(status.st_size) > max_size) {
        errno = EFBIG;
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(status.st_size), '\0');
    const ssize_t got = ::read(fd.get(), text.data(), text.size());
    if (got < 0) {
        return std::nullopt;
    }
    if (static_cast<std::size_t>(got) < text.size()) {
        log_error("read %zd of %zu bytes from %s", got, text.size(), path.c_str());
        text.resize(static_cast<std::size_t>(got));
    }
    return text;
}

bool replace_file(const std::string& path, std::string_view text) {
    std::string staging = path + ".XXXXXX";
    const UniqueFd fd{::mkostemp(staging.data(), O_CLOEXEC)};
    if (!fd) {
        log_error("Cannot stage %s: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    const bool written =
        ::fchmod(fd.get(), 0644) == 0 && write_all(fd.get(), text) && ::fsync(fd.get()) == 0;
    const int error = errno;
    if (!written || ::rename(staging.c_str(), path.c_str()) != 0) {
        log_error("Cannot write %s: %s; it stays as it was", path.c_str(),
                  std::strerror(written ? errno : error));
        ::unlink(staging.c_str());
        return false;
    }
    return true;
}

}  // namespace lld
