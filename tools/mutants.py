#!/usr/bin/env python3
"""Mutation check: do the tests notice when the code goes wrong?

Copies the checkout into a scratch directory, and for each mutant below makes one
small fault in one source file (a flipped comparison, a changed bound, a dropped
step), rebuilds, runs the unit tests and the end-to-end modules the mutant names,
and says whether a test failed (KILLED) or not (SURVIVED). The checkout itself is
never changed. Run as root (the end-to-end tests use namespaces):

    tools/mutants.py [--jobs N] [name-filter]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

# (file, text, mutated text, end-to-end modules that should also notice)
MUTANTS = [
    ("src/common/types.cpp", "*low >= *high", "*low > *high", ""),
    ("src/common/log.cpp", 'std::pair{"info", LogLevel::Info}', 'std::pair{"info", LogLevel::Warn}', ""),
    ("src/common/json.cpp", 'return "\\\\\\"";', 'return "\\"";', ""),
    ("src/common/child.cpp", "::dup2(start.output, STDOUT_FILENO);", "::dup2(start.output, STDERR_FILENO);", ""),
    ("src/common/child.cpp", "::kill(-pid_, SIGKILL);", "::kill(pid_, SIGKILL);", ""),
    ("src/common/child.cpp", "::sigprocmask(SIG_SETMASK, &start.mask, nullptr);", "// mask kept", ""),
    ("src/common/child.cpp", "wait(WNOHANG);  // it may have ended", "// it may have ended", ""),
    ("src/common/worker.cpp", "if (ready > 0) {\n            return true;", "if (ready > 0) {\n            return false;", ""),
    ("src/device/mac.cpp", "digits.size() == kMacDigits", "digits.size() > kMacDigits", ""),
    ("src/device/interfaces.cpp", "kPrefixWordMax = 7", "kPrefixWordMax = 8", ""),
    ("src/cloud/link.cpp", "kTopicMax = 63", "kTopicMax = 64", ""),
    ("src/cloud/encoding.cpp", "fill_signs > 2", "fill_signs > 3", ""),
    ("src/cloud/cipher.cpp", "EVP_CIPHER_CTX_set_padding(context.get(), 1)", "EVP_CIPHER_CTX_set_padding(context.get(), 0)", ""),
    ("src/iptsetter/rules.cpp", "range.low - 1022 > kMaxPort - range.high", "range.low - 1022 >= kMaxPort - range.high", ""),
    ("src/iptsetter/rules.cpp", "kMaxMultiportPorts = 15", "kMaxMultiportPorts = 16", ""),
    ("src/iptsetter/rules.cpp", "device_family(data) == rules.family", "true", ""),
    ("src/iptsetter/rules.cpp", "below_free && (!above_free ||", "(!above_free ||", ""),
    ("src/iptsetter/rules.cpp", 'return {"tcp", "udp"};', 'return {"tcp"};', ""),
    ("src/iptsetter/rule_setter.cpp", "action == RuleAction::Insert ? RuleAction::Append : action", "action", "nat_steering"),
    ("src/iptsetter/nat_worker.cpp", "entries_.insert(entries_.begin(),", "entries_.insert(entries_.end(),", ""),
    ("src/iptsetter/rules_files.cpp", '{"udp", "tcp"}', '{"tcp", "udp"}', "nat_rules_file"),
    ("src/pingu/request.cpp", "static_cast<std::int64_t>(range.low) + rotation > range.high", "static_cast<std::int64_t>(range.low) + rotation >= range.high", "pingu_user"),
    ("src/pingu/request.cpp", "request.refresh_period < request.duration", "request.refresh_period <= request.duration", "pingu_user"),
    ("src/pingu/report.cpp", "kMinStatsSamples = 5", "kMinStatsSamples = 4", ""),
    ("src/pingu/samples.cpp", "return static_cast<std::int32_t>(s);", "return s;", ""),
    ("src/pingu/wire.cpp", "echo.size() != kProbeDatagramSize", "echo.size() < kProbeDatagramSize", ""),
    ("src/pingu/probe.cpp", "run.paths[run.seq % 2], &run.paths[1 - run.seq % 2]", "run.paths[1 - run.seq % 2], &run.paths[run.seq % 2]", "pingu_user"),
    ("src/docsis/modem.cpp", "if (entry.class_id == 0) {\n            break;", "if (entry.class_id == 0) {\n            continue;", ""),
    ("src/docsis/stats_server.cpp", "s.remaining < 0", "s.remaining <= 0", "sr_server"),
    ("src/docsis/stats_server.cpp", "count <= 0", "count < 0", ""),
    ("src/docsis/stats_server.cpp", "sent > 0 ? static_cast<std::size_t>(sent) : 1", "sent > 0 ? static_cast<std::size_t>(sent) : messages.size()", "sr_server"),
    ("src/app/status.cpp", "kStatusCapacity - 1 - report.size()", "kStatusCapacity - report.size()", "dispatch"),
    ("src/app/token.cpp", "O_NOFOLLOW | O_CLOEXEC, 0600", "O_CLOEXEC, 0600", "token"),
    ("src/app/dispatcher.cpp", 'event->find("send_status")', 'event->find("status")', "dispatch"),
]


def run(args, cwd, log, timeout=1800):
    with open(log, "a") as out:
        return subprocess.run(args, cwd=cwd, stdout=out, stderr=subprocess.STDOUT,
                              timeout=timeout).returncode


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("filter", nargs="?", default="")
    options = parser.parse_args()
    top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    scratch = tempfile.mkdtemp(prefix="lld-mutants-")
    tree = os.path.join(scratch, "tree")
    shutil.copytree(top, tree, ignore=shutil.ignore_patterns("build*", ".git", "__pycache__"))
    build = os.path.join(tree, "build")
    log = os.path.join(scratch, "log")
    if run(["cmake", "-S", tree, "-B", build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], tree, log) or \
            run(["cmake", "--build", build, "-j", str(options.jobs)], tree, log):
        sys.exit("the unmutated tree does not build; see " + log)
    survived = 0
    chosen = [m for m in MUTANTS if options.filter in m[0]]
    for path, text, mutated, modules in chosen:
        source = os.path.join(tree, path)
        with open(source) as f:
            original = f.read()
        if original.count(text) != 1:
            sys.exit("%s: %r is not there exactly once" % (path, text))
        with open(source, "w") as f:
            f.write(original.replace(text, mutated))
        started = time.monotonic()
        # Unit tests are named Suite.Case; end-to-end modules e2e_test_<module>.
        regex = r"\.|floors" + ("|e2e_test_(%s)$" % modules if modules else "")
        failed = run(["cmake", "--build", build, "-j", str(options.jobs)], tree, log) != 0 or \
            run(["ctest", "-j", str(options.jobs), "-R", regex], build, log) != 0
        with open(source, "w") as f:
            f.write(original)
        survived += not failed
        print("%-8s %-32s %s -> %s  (%.0f s)" % ("KILLED" if failed else "SURVIVED", path[4:],
                                                 text.splitlines()[0], mutated.splitlines()[0],
                                                 time.monotonic() - started), flush=True)
    print("%d of %d mutants killed; log in %s" % (len(chosen) - survived, len(chosen), log))
    shutil.rmtree(tree)
    sys.exit(1 if survived else 0)


if __name__ == "__main__":
    main()
