// What one child costs the client: a rule command (the check that precedes every
// rule the client adds, as entry_rules forms it) and a modem query (srServer's
// "ondrel_rpc_client arm cm_serflow", its output read), each run by the real
// ProcessRunner from its argument vector, against the same runner given
// `/bin/sh -c "<command text>"`, the way such a command line was run before. The
// two ways take turns, round by round. Per run: wall time, and CPU time of the
// parent (the runner's own work) and of the children (the shell, when there is
// one, and the tool), from getrusage. Run by bench/run.sh in the namespace, with
// the platform stand-ins first on PATH.
//
// Usage: child_bench [RESULT_JSON]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/child.hpp"
#include "iptsetter/rules.hpp"

namespace lld {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 7;
constexpr int kRunsPerRound = 20;
constexpr std::size_t kTableLimit = 8192;  // srServer's table size

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

struct Cost {
    double wall_ms = 0;
    double parent_ms = 0;    // the runner's own CPU time
    double children_ms = 0;  // the children's CPU time
    double cpu_ms() const { return parent_ms + children_ms; }
};

double ms_of(const timeval& time) {
    return static_cast<double>(time.tv_sec) * 1e3 + static_cast<double>(time.tv_usec) / 1e3;
}

double cpu_ms(int who) {
    rusage usage{};
    ::getrusage(who, &usage);
    return ms_of(usage.ru_utime) + ms_of(usage.ru_stime);
}

// Runs the command `runs` times; the mean cost of one run. Every run must end
// with the exit status and the output size of `expected`, the first run's result
// when that is empty (the modem's counters move, its records stay).
Cost measure(ProcessRunner& runner, const Argv& argv, std::size_t limit, int runs,
             ChildResult& expected, bool& same) {
    const double parent_before = cpu_ms(RUSAGE_SELF);
    const double children_before = cpu_ms(RUSAGE_CHILDREN);
    const auto start = Clock::now();
    for (int i = 0; i < runs; ++i) {
        ChildResult result = runner.run(argv, limit);
        if (expected.status == -1) {
            expected = std::move(result);
        } else if (result.status != expected.status ||
                   result.output.size() != expected.output.size()) {
            same = false;
        }
    }
    const double wall = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    return {wall / runs, (cpu_ms(RUSAGE_SELF) - parent_before) / runs,
            (cpu_ms(RUSAGE_CHILDREN) - children_before) / runs};
}

Cost median_cost(std::vector<Cost> costs) {
    Cost middle;
    const auto median = [&costs](double Cost::*field) {
        std::vector<double> values;
        for (const Cost& cost : costs) {
            values.push_back(cost.*field);
        }
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    middle.wall_ms = median(&Cost::wall_ms);
    middle.parent_ms = median(&Cost::parent_ms);
    middle.children_ms = median(&Cost::children_ms);
    return middle;
}

struct Command {
    const char* name;
    const char* key;
    Argv argv;
    std::size_t limit;
};

int run(int argc, char** argv) {
    const std::unique_ptr<std::FILE, FileCloser> json{argc > 1 ? std::fopen(argv[1], "w")
                                                               : nullptr};
    // The check of a game's port rule, as the client runs it before the insert.
    const FamilyRules rules{Family::V4, "192.0.2.1/24", "198.51.100.2:5000-5010"};
    const auto check = with_action(
        entry_rules(rules, RuleAction::Insert, "multi-add", "3074,B").front(), RuleAction::Check);
    const std::vector<Command> commands{
        {"rule command", "rule", *check, 0},
        {"modem query", "modem", Argv{"ondrel_rpc_client", "arm", "cm_serflow"}, kTableLimit}};

    ProcessRunner runner;
    // The rule is put in place first, so that every check finds it (and says nothing).
    const auto insert = with_action(*check, RuleAction::Insert);
    const auto remove = with_action(*check, RuleAction::Delete);
    if (runner.run(*insert, 0).status != 0) {
        std::fprintf(stderr, "child_bench: cannot insert %s\n", command_text(*insert).c_str());
        return 1;
    }
    bool same = true;
    std::printf("one child: the runner's direct spawn against /bin/sh -c \"<command text>\"\n");
    std::printf("  median of %d rounds of %d runs each way; CPU = the runner's + the children's\n",
                kRounds, kRunsPerRound);
    std::printf("  %-14s %-10s %10s %10s %10s %12s\n", "", "", "wall", "CPU", "runner", "children");
    if (json) {
        std::fprintf(json.get(), "{");
    }
    for (std::size_t index = 0; index < commands.size(); ++index) {
        const Command& command = commands[index];
        const Argv shell{"/bin/sh", "-c", command_text(command.argv)};
        std::vector<Cost> direct;
        std::vector<Cost> through_shell;
        ChildResult expected;
        for (int round = 0; round < kRounds; ++round) {
            // Each round in the other order, so that neither way always goes first.
            if (round % 2 == 0) {
                direct.push_back(
                    measure(runner, command.argv, command.limit, kRunsPerRound, expected, same));
                through_shell.push_back(
                    measure(runner, shell, command.limit, kRunsPerRound, expected, same));
            } else {
                through_shell.push_back(
                    measure(runner, shell, command.limit, kRunsPerRound, expected, same));
                direct.push_back(
                    measure(runner, command.argv, command.limit, kRunsPerRound, expected, same));
            }
        }
        const Cost after = median_cost(direct);
        const Cost before = median_cost(through_shell);
        for (const auto& [way, cost] : {std::pair{"sh -c", before}, std::pair{"direct", after}}) {
            std::printf("  %-14s %-10s %7.3f ms %7.3f ms %7.3f ms %9.3f ms\n",
                        way == std::string{"sh -c"} ? command.name : "", way, cost.wall_ms,
                        cost.cpu_ms(), cost.parent_ms, cost.children_ms);
        }
        std::printf("  %-14s %-10s %9.2fx %9.2fx   (direct / sh -c)   exit status %d\n", "",
                    "ratio", after.wall_ms / before.wall_ms, after.cpu_ms() / before.cpu_ms(),
                    expected.status);
        if (json) {
            std::fprintf(json.get(),
                         "%s\"%s\":{\"direct\":{\"wall_ms\":%.4f,\"cpu_ms\":%.4f},"
                         "\"shell\":{\"wall_ms\":%.4f,\"cpu_ms\":%.4f}}",
                         index == 0 ? "" : ",", command.key, after.wall_ms, after.cpu_ms(),
                         before.wall_ms, before.cpu_ms());
        }
    }
    runner.run(*remove, 0);
    if (json) {
        std::fprintf(json.get(), ",\"same\":%s}\n", same ? "true" : "false");
    }
    if (!same) {
        std::printf("  the two ways did not give the same exit status and output size\n");
        return 1;
    }
    std::printf("  both ways gave the same exit status and output size on every run\n");
    return 0;
}

}  // namespace
}  // namespace lld

int main(int argc, char** argv) {
    return lld::run(argc, argv);
}
