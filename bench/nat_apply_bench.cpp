// How long the rule setter takes to carry out a NAT command array: from posting
// an array of 100 "multi-add" entries (both address families up, a port range
// known) to its firewall restart, against the floor of running the same
// iptables/ip6tables command lines (each rule's check, then the rule) from one
// shell script, in the same namespace and from the same starting rule set. The
// checks' complaints about rules not yet there go to /dev/null. Run by
// bench/run.sh in a namespace.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "common/child.hpp"
#include "common/fd.hpp"
#include "device/interfaces.hpp"
#include "iptsetter/rule_setter.hpp"

namespace lld {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kEntries = 100;
constexpr int kRounds = 7;

// The real runner, noting the rule commands and when the firewall restart runs.
class RecordingRunner final : public ChildRunner {
  public:
    ChildResult run(std::span<const std::string> argv, std::size_t output_limit) override {
        const std::string command = command_text(argv);
        const bool restart = command == "sysevent set firewall-restart";
        {
            const std::lock_guard lock{mutex_};
            if (restart) {
                restart_at_ = Clock::now();
            } else if (command.starts_with("iptables ") || command.starts_with("ip6tables ")) {
                commands_.push_back(command);
            }
        }
        ChildResult result = real_.run(argv, output_limit);
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

    ProcessRunner& real() { return real_; }

  private:
    ProcessRunner real_;
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

void flush_nat(ChildRunner& runner) {
    runner.run(Argv{"iptables", "-t", "nat", "-F", "POSTROUTING"}, 0);
    runner.run(Argv{"ip6tables", "-t", "nat", "-F", "POSTROUTING"}, 0);
}

double floor_ms(ChildRunner& runner, const std::vector<std::string>& commands) {
    const std::string script = "/tmp/nat_floor.sh";
    {
        std::ofstream out{script};
        out << "exec >/dev/null 2>&1\n";
        for (const std::string& command : commands) {
            out << command << '\n';
        }
    }
    flush_nat(runner);
    const auto start = Clock::now();
    runner.run(Argv{"sh", script}, 0);
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Standard error goes to /dev/null until restore(): the children inherit it.
class QuietErrors {
  public:
    QuietErrors() : saved_{::dup(STDERR_FILENO)} {
        const UniqueFd null{::open("/dev/null", O_WRONLY | O_CLOEXEC)};
        if (null) {
            ::dup2(null.get(), STDERR_FILENO);
        }
    }
    ~QuietErrors() { restore(); }
    QuietErrors(const QuietErrors&) = delete;
    QuietErrors& operator=(const QuietErrors&) = delete;
    void restore() {
        if (saved_) {
            ::dup2(saved_.get(), STDERR_FILENO);
            saved_.reset();
        }
    }

  private:
    UniqueFd saved_;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

int run() {
    RuleSetterSettings settings;
    InterfaceAddresses& found = settings.addresses;
    found.lan_if = "lan0";
    found.wan_if = "wan0";
    const auto lan_ipv4 = interface_ipv4("lan0", true);
    const auto wan_ipv4 = interface_ipv4("wan0", false);
    const auto lan_ipv6 = interface_ipv6("lan0");
    const auto wan_ipv6 = interface_ipv6("wan0");
    if (!lan_ipv4 || !wan_ipv4 || !lan_ipv6 || !wan_ipv6) {
        std::fprintf(stderr, "nat_apply_bench: lan0 and wan0 need IPv4 and IPv6 addresses\n");
        return 1;
    }
    found.lan_ipv4 = *lan_ipv4;
    found.wan_ipv4 = *wan_ipv4;
    found.lan_ipv6 = *lan_ipv6 + "/64";
    found.wan_ipv6 = *wan_ipv6;
    settings.ipv4_up = settings.ipv6_up = true;
    settings.paths = rule_paths("/tmp/nv", std::nullopt, IpMode::Dualstack);
    settings.ip_mode = IpMode::Dualstack;

    QuietErrors quiet;
    RecordingRunner recorder;
    RuleSetter setter{settings, recorder};
    setter.set_port_range("5000-5010");

    std::vector<double> ours;
    std::vector<double> floors;
    int restarts = 0;
    for (int round = 0; round < kRounds; ++round) {
        // Every round starts from an empty chain and no stored entries.
        setter.post(JsonPtr{cJSON_CreateArray()});
        recorder.wait_restart(++restarts);
        flush_nat(recorder.real());
        recorder.take_commands();

        const auto start = Clock::now();
        setter.post(command_array(round));
        const auto restart = recorder.wait_restart(++restarts);
        ours.push_back(std::chrono::duration<double, std::milli>(restart - start).count());
        const auto commands = recorder.take_commands();
        const auto rules = std::ranges::count_if(commands, [](const std::string& command) {
            return command.find(" -C ") == std::string::npos;
        });
        if (rules != 4 * kEntries) {
            quiet.restore();
            std::fprintf(stderr, "nat_apply_bench: %zu rule commands, expected %d\n",
                         static_cast<std::size_t>(rules), 4 * kEntries);
            return 1;
        }
        floors.push_back(floor_ms(recorder.real(), commands));
    }
    quiet.restore();

    const double ours_ms = median(ours);
    const double floor = median(floors);
    std::printf(
        "NAT command array: %d multi-add entries, %d rules, each checked first (%d command "
        "lines), median of %d rounds\n",
        kEntries, 4 * kEntries, 8 * kEntries, kRounds);
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
