// The floor of the statistics server's work on this machine: once a second, what
// any server must do and nothing more. It starts the modem tool (vfork, the pipe
// made its output, execve: nothing else in the child), reads the output, reaps
// the tool, and sends one datagram of the report's size to every subscriber in a
// single sendmmsg call: no parsing, no formatting, no time-out, no bookkeeping.
// bench/sr_server_bench.py runs it beside the client, against the same
// subscribers and the same tool, so that the client's cost is read against it
// over the same windows, and its children's CPU time is the tool's own.
//
// Usage: sr_floor TOOL SECONDS SIZE ADDRESS:PORT...
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/fd.hpp"

extern char** environ;

namespace {

using lld::UniqueFd;

bool parse_address(const std::string& text, sockaddr_in& address) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(text.c_str() + colon + 1)));
    return ::inet_pton(AF_INET, text.substr(0, colon).c_str(), &address.sin_addr) == 1;
}

// One run of the modem tool, its output read to the end.
void run_tool(const char* tool, std::vector<char>& output) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return;
    }
    UniqueFd read_end{ends[0]};
    UniqueFd write_end{ends[1]};
    char* argv[] = {const_cast<char*>(tool), const_cast<char*>("arm"),
                    const_cast<char*>("cm_serflow"), nullptr};
    const pid_t pid = ::vfork();
    if (pid == 0) {
        ::dup2(write_end.get(), STDOUT_FILENO);
        ::execve(tool, argv, environ);
        ::_exit(127);
    }
    write_end.reset();
    while (pid > 0 && ::read(read_end.get(), output.data(), output.size()) > 0) {
    }
    if (pid > 0) {
        ::waitpid(pid, nullptr, 0);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: sr_floor TOOL SECONDS SIZE ADDRESS:PORT...\n");
        return 2;
    }
    const char* tool = argv[1];
    const int seconds = std::atoi(argv[2]);
    std::vector<char> report(std::strtoul(argv[3], nullptr, 10), 'x');
    std::vector<sockaddr_in> subscribers(static_cast<std::size_t>(argc - 4));
    for (std::size_t i = 0; i < subscribers.size(); ++i) {
        if (!parse_address(argv[4 + i], subscribers[i])) {
            std::fprintf(stderr, "sr_floor: bad address %s\n", argv[4 + i]);
            return 2;
        }
    }
    const UniqueFd socket{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    iovec payload{report.data(), report.size()};
    std::vector<mmsghdr> messages(subscribers.size());
    for (std::size_t i = 0; i < subscribers.size(); ++i) {
        messages[i].msg_hdr.msg_name = &subscribers[i];
        messages[i].msg_hdr.msg_namelen = sizeof subscribers[i];
        messages[i].msg_hdr.msg_iov = &payload;
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    std::vector<char> output(8192);
    timespec next{};
    ::clock_gettime(CLOCK_MONOTONIC, &next);
    for (int second = 0; second < seconds; ++second) {
        ++next.tv_sec;
        ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        run_tool(tool, output);
        ::sendmmsg(socket.get(), messages.data(), static_cast<unsigned>(messages.size()),
                   MSG_DONTWAIT);
    }
    return 0;
}
