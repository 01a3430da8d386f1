#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>

#include "app/client.hpp"
#include "app/config.hpp"
#include "app/device_mac.hpp"
#include "app/log.hpp"
#include "cloud/dispatch.hpp"
#include "cloud/link.hpp"
#include "docsis/publisher.hpp"
#include "docsis/sr_server.hpp"
#include "iptsetter/ipt_setter.hpp"
#include "pingu/registry.hpp"

namespace lld {
namespace {

constexpr int kStartupFailure = 255;

struct RequiredOption {
    const char* name;
    const char* missing_message;
};

constexpr RequiredOption kRequiredOptions[] = {
    {"-ifl", "[ZEZ-UDERED] [ERR] require LAN interface name -ifl name\n"},
    {"-ifw", "[ZEZ-UDERED] [ERR] require WAN interface name -ifw name\n"},
    {"-nvdir", "[ZEZ-UDERED] [ERR] specify non volatile directory for storage -nvdir name\n"},
    {"-config", "[ZEZ-UDERED] [ERR] specify existing configuration file -config name\n"},
};

// Closes the link when start-up gives up after opening it.
struct LinkCloser {
    void operator()(nal_socket* link) const { net_close(link); }
};

}  // namespace

int lld_main(int argc, char** argv) {
    ShutdownSignals signals;
    lld_log(LLD_LOG_INFO, "[ZEZ-UDERED] [INF] Ondrel ZEZ Udered, version:%s\n", kClientVersion);

    const std::span<const char* const> args{argv, static_cast<std::size_t>(argc)};
    for (const RequiredOption& option : kRequiredOptions) {
        if (!find_arg(args, option.name)) {
            lld_log(LLD_LOG_ERROR, "%s", option.missing_message);
            return kStartupFailure;
        }
    }
    const std::string config_path{*find_arg(args, "-config")};
    lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] Configuration file: %s\n", config_path.c_str());

    const JsonPtr tree = read_config_file(config_path);
    if (!tree) {
        lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] Cannot read the configuration file %s\n",
                config_path.c_str());
        return kStartupFailure;
    }
    client_config& config = process_config();
    fill_client_config(tree.get(), config);
    if (!client_config_complete(config)) {
        lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] Incorrect configuration file %s\n",
                config_path.c_str());
        return kStartupFailure;
    }

    auto wan_mac = get_cm_mac();
    if (!wan_mac) {
        wan_mac = get_if_mac(*find_arg(args, "-ifw"));
    }
    if (!wan_mac) {
        lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] Unable to retrieve WAN interface MAC address\n");
        return kStartupFailure;
    }

    nal_socket* opened = nullptr;
    if (net_open(&opened, config, userMsgProcess) != NET_OK) {
        lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] Cannot open the proxy link at %s\n",
                kClientSocketPath);
        return kStartupFailure;
    }
    std::unique_ptr<nal_socket, LinkCloser> link{opened};

    config.ipMode = ip_mode_of(config.device_mode);
    lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] IP Mode Config = %s(%d) \n",
            config.device_mode ? config.device_mode->c_str() : "(null)", config.ipMode);

    const int fdAck = iptSetterInit(args, config.ipMode);
    if (fdAck == -1) {
        lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] failed iptSetterInit\n");
        return kStartupFailure;
    }
    // The rule setter's threads stop before the link goes.
    const struct SetterStopper {
        ~SetterStopper() { iptSetterShutdown(); }
    } setter_stopper;

    docsis_publisher_init();
    const struct PublisherStopper {
        ~PublisherStopper() { docsis_publisher_stop(); }
    } publisher_stopper;
    PINGU_ACTIVE_init();
    static_cast<void>(srServerInit());
    const struct SrServerStopper {
        ~SrServerStopper() { srServerShutdown(); }
    } sr_server_stopper;

    if (net_connect(link.get(), *config.broker_url, config.broker_port) != NET_OK) {
        lld_log(LLD_LOG_ERROR, "[ZEZ-UDERED] [ERR] Failed to connect to %s:%d \n",
                config.broker_url->c_str(), config.broker_port);
        return kStartupFailure;
    }
    lld_log(LLD_LOG_DEBUG, "[ZEZ-UDERED] [DBG] Connected to %s:%d with username:password = %s:%s\n",
            config.broker_url->c_str(), config.broker_port, config.username->c_str(),
            config.password->c_str());

    wait_and_register(signals);
    lld_main_loop(link.get(), fdAck, signals);
    return 0;
}

}  // namespace lld
