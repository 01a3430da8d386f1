// How long the rule setter takes to carry out a NAT command array: from posting
// an array of 100 "multi-add" entries (both address families up, a port range
// known) to its firewall restart, against the floor of running the same
// iptables/ip6tables command lines from one shell script, in the same namespace
// and from the same starting rule set. Run by bench/run.sh in a namespace.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "common/shell.hpp"
#include "iptsetter/addresses.hpp"
#include "iptsetter/ipt_setter.hpp"

namespace lld {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kEntries = 100;
constexpr int kRounds = 7;
constexpr const char* kRestart = "sysevent set firewall-restart";

// The real shell, noting the rule commands and when the firewall restart runs.
class RecordingShell final : public Shell {
  public:
    std::optional<std::vector<std::uint8_t>> read_output(const std::string& command,
                                                         std::size_t limit) override {
        return system_shell().read_output(command, limit);
    }

    int run(const std::string& command) override {
        return record(command, [&] { return system_shell().run(command); });
    }

    int run_words(const std::string& command) override {
        return record(command, [&] { return system_shell().run_words(command); });
    }

    template <typename Run>
    int record(const std::string& command, Run&& run_it) {
        const bool restart = command == kRestart;
        if (restart) {
            const std::lock_guard lock{mutex_};
            restart_at_ = Clock::now();
        } else if (command.starts_with("iptables ") || command.starts_with("ip6tables ")) {
            const std::lock_guard lock{mutex_};
            commands_.push_back(command);
        }
        const int result = run_it();
        if (restart) {
            const std::lock_guard lock{mutex_};
            ++restarts_;
            changed_.notify_all();
        }
        return result;
    }

    // Waits for restart number `count` (counted from the start) and returns when it began.
    Clock::time_point wait_restart(int count) {
        std::unique_lock lock{mutex_};
        changed_.wait(lock, [&] { return restarts_ >= count; });
        return restart_at_;
    }

    std::vector<std::string> take_commands() {
        const std::lock_guard lock{mutex_};
        return std::exchange(commands_, {});
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> commands_;
    Clock::time_point restart_at_;
    int restarts_ = 0;
};

JsonPtr command_array(int round) {
    JsonPtr array{cJSON_CreateArray()};
    const int base = 10000 + round * 400;
    for (int i = 0; i < kEntries; ++i) {
        cJSON* entry = cJSON_CreateObject();
        cJSON_AddStringToObject(entry, "cmd", "multi-add");
        cJSON_AddStringToObject(entry, "name", ("app" + std::to_string(i)).c_str());
        const int port = base + 3 * i;
        const std::string data = std::to_string(port) + "," + std::to_string(port + 1) + ":" +
                                 std::to_string(port + 2) + ",B";
        cJSON_AddStringToObject(entry, "data", data.c_str());
        cJSON_AddItemToArray(array.get(), entry);
    }
    return array;
}

void flush_nat() {
    system_shell().run("iptables -t nat -F POSTROUTING && ip6tables -t nat -F POSTROUTING");
}

double floor_ms(const std::vector<std::string>& commands) {
    const std::string script = "/tmp/nat_floor.sh";
    {
        std::ofstream out{script};
        for (const std::string& command : commands) {
            out << command << '\n';
        }
    }
    flush_nat();
    const auto start = Clock::now();
    system_shell().run("sh " + script + " >/dev/null 2>&1");
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

int run() {
    IptInterfaces interfaces{"lan0", "wan0", {}, {}, {}, {}};
    getIfIpv6Addr(interfaces.wanIpv6, interfaces.wanIfName);
    getIfIpv6Addr(interfaces.lanIpv6, interfaces.lanIfName);
    interfaces.lanIpv6 += "/64";
    if (getIfIpv4Addr(interfaces.lanIfName, interfaces.lanIp, true) != 0 ||
        getIfIpv4Addr(interfaces.wanIfName, interfaces.wanIp, false) != 0 ||
        interfaces.wanIpv6.empty()) {
        std::fprintf(stderr, "nat_apply_bench: lan0 and wan0 need IPv4 and IPv6 addresses\n");
        return 1;
    }
    RecordingShell recorder;
    const ScopedShell guard{recorder};
    iptSetterState setter{interfaces, true, true, ipt_paths("/tmp/nv", std::nullopt, 3), false, 3};
    setter.iptSetPortRange("5000-5010");
    setter.start_worker();

    std::vector<double> ours;
    std::vector<double> floors;
    int restarts = 0;
    for (int round = 0; round < kRounds; ++round) {
        // Every round starts from an empty chain and no stored entries.
        setter.iptSetterPost(JsonPtr{cJSON_CreateArray()});
        recorder.wait_restart(++restarts);
        flush_nat();
        recorder.take_commands();

        const auto start = Clock::now();
        setter.iptSetterPost(command_array(round));
        const auto restart = recorder.wait_restart(++restarts);
        ours.push_back(std::chrono::duration<double, std::milli>(restart - start).count());
        const auto commands = recorder.take_commands();
        if (commands.size() != 4 * kEntries) {
            std::fprintf(stderr, "nat_apply_bench: %zu rule commands, expected %d\n",
                         commands.size(), 4 * kEntries);
            return 1;
        }
        floors.push_back(floor_ms(commands));
    }
    setter.stop();

    const double ours_ms = median(ours);
    const double floor = median(floors);
    std::printf("NAT command array: %d multi-add entries, %d rule commands, median of %d rounds\n",
                kEntries, 4 * kEntries, kRounds);
    std::printf("  %-48s %9.1f ms\n", "lld-client: post to firewall restart", ours_ms);
    std::printf("  %-48s %9.1f ms\n", "floor: the same command lines from one sh script", floor);
    std::printf("  %-48s %9.2f    (target <= 1.20)\n", "ratio", ours_ms / floor);
    return 0;
}

}  // namespace
}  // namespace lld

int main() {
    return lld::run();
}
