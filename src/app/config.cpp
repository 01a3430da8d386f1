#include "app/config.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "app/log.hpp"
#include "common/fd.hpp"

namespace lld {

void CloudPortRange::set(std::string_view range) {
    const std::lock_guard lock{mutex_};
    text_.assign(range.substr(0, kMaxLength));
}

std::string CloudPortRange::get() const {
    const std::lock_guard lock{mutex_};
    return text_;
}

client_config& process_config() {
    static client_config config;
    return config;
}

int ip_mode_of(const std::optional<std::string>& device_mode) {
    if (!device_mode) {
        return IP_MODE_NONE;
    }
    if (*device_mode == "Ipv4") {
        return IP_MODE_IPV4;
    }
    if (*device_mode == "Ipv6") {
        return IP_MODE_IPV6;
    }
    if (*device_mode == "Dualstack") {
        return IP_MODE_DUALSTACK;
    }
    return IP_MODE_NONE;
}

namespace {

std::optional<std::string> text_member(const cJSON* tree, const char* name) {
    const auto value = json_string_member(tree, name);
    if (!value) {
        return std::nullopt;
    }
    return std::string{*value};
}

}  // namespace

void fill_client_config(const cJSON* tree, client_config& config) {
    config.broker_url = text_member(tree, "broker_url");
    const cJSON* port = cJSON_GetObjectItem(tree, "broker_port");
    config.broker_port = cJSON_IsNumber(port) ? port->valueint : 0;
    config.public_cert = text_member(tree, "public_cert");
    config.device_cert = text_member(tree, "device_cert");
    config.device_key = text_member(tree, "device_key");
    config.username = text_member(tree, "username");
    config.password = text_member(tree, "password");
    config.device_id = text_member(tree, "device_id");
    config.dgw_ip = text_member(tree, "dgw_ip");
    config.device_mode = text_member(tree, "device_mode");
    config.ha_IV = text_member(tree, "ha_IV");
}

bool client_config_complete(const client_config& config) {
    return config.broker_url && config.broker_port != 0 && config.public_cert &&
           config.device_cert && config.device_key && config.username && config.password &&
           config.device_id;
}

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

JsonPtr read_config_file(const std::string& path) {
    const std::unique_ptr<std::FILE, FileCloser> file{std::fopen(path.c_str(), "rbe")};
    if (!file) {
        lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] File %s not found\n", path.c_str());
        return nullptr;
    }
    if (std::fseek(file.get(), 0, SEEK_END) != 0) {
        return nullptr;
    }
    const long size = std::ftell(file.get());
    std::rewind(file.get());
    if (size == 0) {
        lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] confiLen = %d\n", 0);
        return nullptr;
    }
    if (size < 0) {
        return nullptr;
    }
    std::string text(static_cast<std::size_t>(size), '\0');
    if (std::fread(text.data(), 1, text.size(), file.get()) != text.size()) {
        return nullptr;
    }
    return json_parse(text);
}

std::optional<std::string_view> find_arg(std::span<const char* const> argv, std::string_view name) {
    for (std::size_t i = 0; i + 1 < argv.size(); ++i) {
        if (argv[i] != nullptr && argv[i + 1] != nullptr && name == argv[i]) {
            return std::string_view{argv[i + 1]};
        }
    }
    return std::nullopt;
}

bool str_starts_with(std::string_view text, std::string_view prefix) {
    return text.starts_with(prefix);
}

std::optional<std::vector<char>> read_file(const std::string& path, std::size_t* length,
                                           std::size_t extra) {
    const UniqueFd fd{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (!fd) {
        return std::nullopt;
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || status.st_size < 0) {
        return std::nullopt;
    }
    const auto size = static_cast<std::size_t>(status.st_size);
    std::vector<char> buffer(size + extra, '\0');
    const ssize_t got = ::read(fd.get(), buffer.data(), size);
    if (got < 0 || static_cast<std::size_t>(got) < size) {
        std::printf("error: read %zd of %zd bytes from %s\n", got, static_cast<ssize_t>(size),
                    path.c_str());
    }
    if (length != nullptr) {
        *length = got < 0 ? 0 : static_cast<std::size_t>(got);
    }
    return buffer;
}

}  // namespace lld
