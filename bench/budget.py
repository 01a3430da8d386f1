#!/usr/bin/env python3
"""The resource budget of lld-client: what it takes of a gateway, next to the
build of an earlier revision (the baseline) where that makes a comparison, and
the goal beside each figure. bench/run.sh runs the three steps:

  sizes OUT NAME=DIR...   stripped sizes and linking of lld-client and lld-proxy
                          of each build (NAME: now, baseline, armhf, arm64);
                          writes OUT/sizes.json. A missing build is "not built".
  resources OUT WAN_HOST_PID NAME=DIR...
                          in the simulated gateway (after add_hosts): memory (USS
                          and PSS from /proc/PID/smaps_rollup) idle and with 8
                          monitor probes, threads, and wake-ups over 60 s idle, of
                          the client of each build; writes OUT/resources.json.
  table OUT BASELINE_REV  the budget table from OUT/*.json, which the other
                          benchmarks write too (sr_server, pingu, child).

Memory is measured beside lld-proxy, connected to a broker on the loopback: a
generic gateway's arrangement, where the proxy maps libcrypto and libstdc++ too
and shares the pages that both touch, as any other program of the gateway that
uses them would. Beside it, the USS the client would have if nothing else mapped
those two libraries: every resident page of theirs counted as its own.
"""

import json
import os
import re
import select
import signal
import socket
import subprocess
import sys
import time

IDLE_WINDOW = 60  # seconds of idle wake-ups
SETTLE = 2  # seconds between the ready report and the idle figures
PROBES = 8
PROBE_INTERVAL_MS = 10
PROBE_WARMUP = 6  # seconds of probing before the memory is read
WAN_HOST = "198.51.100.20"
REFLECTOR_PORT = 8001
BROKER_PORT = 1883
KIB = 1024


# --- sizes ----------------------------------------------------------------------

def cache_value(build, key):
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return line.split("=", 1)[1].strip()
    except OSError:
        pass
    return None


def needed(path):
    """The shared libraries an ELF file names (readelf reads any machine's)."""
    result = subprocess.run(["readelf", "-d", path], capture_output=True, text=True)
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^]]+)\]", result.stdout)


def linking(binary, libraries):
    """How the runtime is linked: libstdc++, and libcrypto for the client (the proxy
    uses it only through libmosquitto)."""
    names = ("libstdc++", "libcrypto") if binary == "lld-client" else ("libstdc++",)
    shared = [name for name in names if any(lib.startswith(name + ".so") for lib in libraries)]
    if len(shared) == len(names):
        return "shared"
    if not shared:
        return "static"
    return "only %s shared" % shared[0]


def stripped_size(build, binary, out):
    """Size in bytes of a stripped copy, with the build's own strip tool."""
    strip = cache_value(build, "CMAKE_STRIP") or "strip"
    copy = os.path.join(out, "stripped", "%s-%s" % (os.path.basename(os.path.abspath(build)),
                                                    os.path.basename(binary)))
    os.makedirs(os.path.dirname(copy), exist_ok=True)
    result = subprocess.run([strip, "-o", copy, binary], capture_output=True, text=True)
    if result.returncode != 0:
        return None, result.stderr.strip().splitlines()[0] if result.stderr.strip() else strip
    return os.path.getsize(copy), None


def sizes(out, builds):
    figures = {}
    for name, build in builds.items():
        entry = {"build": build}
        for binary in ("lld-client", "lld-proxy"):
            path = os.path.join(build, "src", binary) if build else None
            if not path or not os.path.isfile(path):
                entry[binary] = None
                continue
            size, error = stripped_size(build, path, out)
            libraries = needed(path)
            entry[binary] = {"stripped": size, "error": error, "needed": libraries,
                             "linking": linking(binary, libraries)}
        entry["build_type"] = cache_value(build, "CMAKE_BUILD_TYPE") if build else None
        figures[name] = entry
    with open(os.path.join(out, "sizes.json"), "w") as f:
        json.dump(figures, f, indent=1)
    for name, entry in figures.items():
        for binary in ("lld-client", "lld-proxy"):
            value = entry.get(binary)
            if value and value["stripped"] is not None:
                print("  %-9s %-10s %8.1f KiB stripped  (%s; %s)" % (
                    name, binary, value["stripped"] / KIB, value["linking"],
                    ", ".join(value["needed"])))
            else:
                print("  %-9s %-10s not built" % (name, binary))


# --- processes --------------------------------------------------------------------

def rollup(pid):
    values = {}
    with open("/proc/%d/smaps_rollup" % pid) as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 2 and parts[0].endswith(":") and parts[1].isdigit():
                values[parts[0][:-1]] = int(parts[1])
    return {"uss": values["Private_Clean"] + values["Private_Dirty"], "pss": values["Pss"],
            "rss": values["Rss"]}


RUNTIME = ("libcrypto.so", "libstdc++.so")


def runtime_pages(pid):
    """Resident KiB of the mappings of libcrypto and libstdc++: in all, and the
    part that other processes map too."""
    resident = shared = 0
    name = None
    with open("/proc/%d/smaps" % pid) as f:
        for line in f:
            parts = line.split()
            if "-" in parts[0] and len(parts) >= 5 and ":" in parts[3]:
                name = os.path.basename(parts[5]) if len(parts) >= 6 else ""
            elif name and name.startswith(RUNTIME):
                if parts[0] == "Rss:":
                    resident += int(parts[1])
                elif parts[0] in ("Shared_Clean:", "Shared_Dirty:"):
                    shared += int(parts[1])
    return {"resident": resident, "shared": shared}


def memory(pid):
    """USS and PSS, and the USS the client would have if nothing else mapped
    libcrypto and libstdc++ (their pages counted whole)."""
    figures = rollup(pid)
    figures["runtime"] = runtime_pages(pid)
    figures["uss_whole"] = figures["uss"] + figures["runtime"]["shared"]
    return figures


def tasks(pid):
    return sorted(os.listdir("/proc/%d/task" % pid), key=int)


def voluntary_switches(pid):
    total = 0
    for task in tasks(pid):
        try:
            with open("/proc/%d/task/%s/status" % (pid, task)) as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches:"):
                        total += int(line.split()[1])
        except FileNotFoundError:
            pass
    return total


class Session:
    """One lld-client of a build beside that build's lld-proxy, connected to the
    broker; a subscriber reads what the client publishes. Each process started
    here is stopped by its own id."""

    def __init__(self, build):
        self.procs = []
        self.lines = []
        gateway.reset_platform()
        gateway.write_config(dict(gateway.BASE_CONFIG, broker_url="127.0.0.1",
                                  broker_port=BROKER_PORT))
        topics = "CS/%s/LLD/#" % gateway.DEVICE_ID
        self.subscriber = self.start(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(BROKER_PORT),
                                      "-t", topics, "-v"], stdout=subprocess.PIPE, text=True)
        time.sleep(0.5)
        environment = {k: v for k, v in os.environ.items() if k != "LLD_DBG_LVL"}
        self.start([os.path.join(build, "src", "lld-proxy"), "-config", gateway.CONFIG_PATH],
                   stdout=subprocess.DEVNULL, env=environment)
        deadline = time.monotonic() + 10
        while not os.path.exists(gateway.PROXY_SOCKET) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.client = self.start([os.path.join(build, "src", "lld-client")] + gateway.client_args(),
                                 stdout=subprocess.DEVNULL, env=environment)
        self.pid = self.client.pid
        if not self.read_until(lambda: any("ready_to_go" in line for line in self.lines),
                               time.monotonic() + 30):
            self.close()
            raise RuntimeError("lld-client of %s did not register" % build)

    def start(self, args, **kwargs):
        proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, **kwargs)
        self.procs.append(proc)
        return proc

    def read_until(self, predicate, deadline):
        """Reads publications until predicate() holds; False at the deadline."""
        stream = self.subscriber.stdout
        while not predicate():
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([stream], [], [], left)[0]:
                return False
            line = stream.readline()
            if not line:
                return False
            self.lines.append(line)
        return True

    def count(self, text, seconds):
        """Publications holding `text`, after reading them for that long."""
        self.read_until(lambda: False, time.monotonic() + seconds)
        return sum(text in line for line in self.lines)

    @staticmethod
    def send(message):
        """A cloud message, through the broker and the proxy."""
        subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(BROKER_PORT), "-q", "1",
                        "-t", "CS/%s/LLD/config" % gateway.DEVICE_ID,
                        "-m", json.dumps(message, separators=(",", ":"))], check=True)

    def close(self):
        for proc in reversed(self.procs):
            stop(proc)
        for path in (gateway.CLIENT_SOCKET, gateway.PROXY_SOCKET):
            if os.path.exists(path):
                os.unlink(path)


def start_broker():
    folder = "/tmp/bench-broker"
    os.makedirs(folder, exist_ok=True)
    conf = os.path.join(folder, "mosquitto.conf")
    with open(conf, "w") as f:
        f.write("user root\nlistener %d 127.0.0.1\nallow_anonymous true\n" % BROKER_PORT)
    broker = subprocess.Popen(["mosquitto", "-c", conf], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(100):
        with socket.socket() as probe:
            if probe.connect_ex(("127.0.0.1", BROKER_PORT)) == 0:
                return broker
        time.sleep(0.05)
    broker.kill()
    raise RuntimeError("mosquitto does not listen")


def stop(proc):
    if proc and proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def measure_build(build, wan_pid, idle_window):
    """Every resource figure of one build's client."""
    figures = {}
    broker = start_broker()
    reflector = None
    session = None
    try:
        session = Session(build)
        time.sleep(SETTLE)
        figures["idle"] = memory(session.pid)
        figures["threads"] = len(tasks(session.pid))
        before, start = voluntary_switches(session.pid), time.monotonic()
        time.sleep(idle_window)
        after, end = voluntary_switches(session.pid), time.monotonic()
        figures["wakeups"] = {"switches": after - before, "seconds": end - start,
                              "per_second": (after - before) / (end - start),
                              "threads_after": len(tasks(session.pid))}
        reflector = subprocess.Popen(
            ["nsenter", "--target", str(wan_pid), "--net", "--",
             os.path.join(gateway_build, "bench", "reflector"), WAN_HOST, str(REFLECTOR_PORT),
             str(PROBE_WARMUP + 30), "/tmp/bench-budget.reflector"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        time.sleep(0.3)
        session.send({"pingu_monitor_config": [
            {"name": "m%d" % i, "reflector_url": WAN_HOST, "reflector_port": REFLECTOR_PORT,
             "refresh_period": 1, "interval": PROBE_INTERVAL_MS} for i in range(1, PROBES + 1)]})
        reports = session.count('"pingu_monitor"', PROBE_WARMUP)
        figures["probes"] = memory(session.pid)
        figures["probes"]["threads"] = len(tasks(session.pid))
        figures["probes"]["reports"] = reports
        if reports < PROBES:
            raise RuntimeError("%d monitor reports in %d s from %d probes" % (
                reports, PROBE_WARMUP, PROBES))
    finally:
        if session:
            session.close()
        stop(reflector)
        stop(broker)
    return figures


def resources(out, wan_pid, builds, idle_window):
    results = {}
    for name, build in builds.items():
        try:
            results[name] = measure_build(build, wan_pid, idle_window)
        except Exception as error:  # noqa: BLE001 - reported in the table
            results[name] = {"error": str(error)}
            sys.stderr.write("budget: %s: %s\n" % (name, error))
        figures = results[name]
        if "error" in figures:
            print("  %-9s not measured: %s" % (name, figures["error"]))
            continue
        print("  %-9s idle USS %.2f MiB, PSS %.2f MiB (libcrypto and libstdc++ counted whole:"
              " USS %.2f MiB); %d probes USS %.2f MiB, PSS %.2f MiB; %d threads; %.3f wake-ups/s"
              " over %.0f s" % (
                  name, figures["idle"]["uss"] / KIB, figures["idle"]["pss"] / KIB,
                  figures["idle"]["uss_whole"] / KIB, PROBES, figures["probes"]["uss"] / KIB,
                  figures["probes"]["pss"] / KIB, figures["threads"],
                  figures["wakeups"]["per_second"], figures["wakeups"]["seconds"]))
    with open(os.path.join(out, "resources.json"), "w") as f:
        json.dump(results, f, indent=1)
    return 1 if any("error" in figures for figures in results.values()) else 0


# --- the table ------------------------------------------------------------------

def load(out, name):
    try:
        with open(os.path.join(out, name + ".json")) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def verdict(value, goal):
    if value is None:
        return "-"
    return "met" if value <= goal else "NOT met"


class Table:
    def __init__(self, before_label):
        self.rows = []
        self.before_label = before_label

    def add(self, what, before, now, goal="", status=""):
        self.rows.append((what, before, now, goal, status))

    def print(self):
        widths = [max(len(str(row[i])) for row in self.rows + [self.header()]) for i in range(5)]
        for index, row in enumerate([self.header()] + self.rows):
            print("  " + "  ".join(str(cell).ljust(widths[i]) if i == 0 else
                                   str(cell).rjust(widths[i]) if i < 3 else
                                   str(cell).ljust(widths[i]) for i, cell in enumerate(row)))
            if index == 0:
                print("  " + "  ".join("-" * w for w in widths))

    def header(self):
        return ("", self.before_label, "now", "goal", "")


def kib(value):
    return "%.0f KiB" % (value / KIB) if value is not None else "not built"


def mib(value):
    return "%.2f MiB" % (value / KIB) if value is not None else "-"


def table(out, baseline_rev):
    sizes_json = load(out, "sizes") or {}
    res = load(out, "resources") or {}
    sr_json = load(out, "sr_server")
    pingu_json = load(out, "pingu")
    child_json = load(out, "child")
    t = Table("before")

    def size_of(name, binary):
        entry = (sizes_json.get(name) or {}).get(binary)
        return entry["stripped"] if entry and entry.get("stripped") is not None else None

    for arch, name in (("x86-64", "now"), ("armhf", "armhf"), ("arm64", "arm64")):
        for binary in ("lld-client", "lld-proxy"):
            before = size_of("baseline", binary) if name == "now" else None
            now = size_of(name, binary)
            goal = status = ""
            if arch == "armhf" and binary == "lld-client":
                goal, status = "<= 400 KiB", verdict(now, 400 * KIB)
            entry = (sizes_json.get(name) or {}).get(binary)
            linking_note = " (%s)" % entry["linking"] if entry and now is not None else ""
            t.add("size %s %s, stripped%s" % (binary, arch, linking_note),
                  kib(before) if name == "now" else "", kib(now), goal, status)

    def figure(name, *path):
        value = res.get(name) or {}
        for key in path:
            value = value.get(key) if isinstance(value, dict) else None
        return value

    for label, key, goal in (("memory idle", "idle", 1.5), ("memory 8 probes", "probes", 3.0)):
        for kind in ("uss", "pss"):
            before, now = figure("baseline", key, kind), figure("now", key, kind)
            t.add("%s %s, beside lld-proxy" % (label, kind.upper()), mib(before), mib(now),
                  "<= %.1f MiB" % goal if kind == "uss" else "",
                  verdict(now, goal * KIB) if kind == "uss" else "")
    t.add("memory idle USS, libcrypto+libstdc++ whole", mib(figure("baseline", "idle", "uss_whole")),
          mib(figure("now", "idle", "uss_whole")))
    t.add("memory 8 probes USS, the same", mib(figure("baseline", "probes", "uss_whole")),
          mib(figure("now", "probes", "uss_whole")))
    threads_now = figure("now", "threads")
    t.add("threads idle", figure("baseline", "threads") or "-", threads_now or "-",
          "3: main, NAT worker, srServer", verdict(threads_now, 3))
    wake_before = figure("baseline", "wakeups", "per_second")
    wake_now = figure("now", "wakeups", "per_second")
    seconds = figure("now", "wakeups", "seconds") or IDLE_WINDOW
    t.add("wake-ups idle per s (over %.0f s)" % seconds,
          "%.3f" % wake_before if wake_before is not None else "-",
          "%.3f" % wake_now if wake_now is not None else "-", "<= 0.2", verdict(wake_now, 0.2))
    if sr_json:
        t.add("srServer CPU ms/s, 64 subs, 168 flows, all in", "-",
              "%.2f +- %.2f" % (sr_json["all_included_ms"], sr_json["resolution_ms"]),
              "<= 0.4", verdict(sr_json["all_included_ms"], 0.4))
        if sr_json.get("floor_ms") is not None:
            t.add("  the floor's, bench/sr_floor, same windows", "-", "%.2f" % sr_json["floor_ms"])
            t.add("  client's own / floor's, median (range)", "-", "%.2f (%.2f-%.2f)" % (
                sr_json["ratio_median"], sr_json["ratio_min"], sr_json["ratio_max"]))
    else:
        t.add("srServer CPU ms/s, all in", "-", "not measured", "<= 0.4", "-")
    if pingu_json and pingu_json.get("ratio_median") is not None:
        t.add("probe send lateness p99 / timerfd loop's", "-",
              "%.2f (%.2f-%.2f)" % (pingu_json["ratio_median"], pingu_json["ratio_min"],
                                    pingu_json["ratio_max"]),
              "median <= 1.2", verdict(pingu_json["ratio_median"], 1.2))
    else:
        t.add("probe send lateness p99 / timerfd loop's", "-", "not measured", "<= 1.2", "-")
    if pingu_json and pingu_json.get("first_ratio_median") is not None:
        t.add("  the same, first datagram of each cycle", "-",
              "%.2f" % pingu_json["first_ratio_median"])
    if pingu_json and pingu_json.get("cpu_ratio") is not None:
        before = pingu_json.get("cpu_ratio_baseline")
        t.add("CPU of 32 probes / 32 irtt clients'",
              "%.2f" % before if before is not None else "-", "%.2f" % pingu_json["cpu_ratio"],
              "<= 0.25", verdict(pingu_json["cpu_ratio"], 0.25))
    else:
        t.add("CPU of 32 probes / 32 irtt clients'", "-", "not measured", "<= 0.25", "-")
    if child_json:
        for key, what in (("rule", "rule command"), ("modem", "modem query")):
            entry = child_json.get(key)
            if entry:
                t.add("one %s, CPU (before: sh -c)" % what, "%.2f ms" % entry["shell"]["cpu_ms"],
                      "%.2f ms" % entry["direct"]["cpu_ms"])
                t.add("one %s, wall (before: sh -c)" % what,
                      "%.2f ms" % entry["shell"]["wall_ms"], "%.2f ms" % entry["direct"]["wall_ms"])
    print("== budget: the figures now, before (the build of %s, unless a row says otherwise)"
          " and the goals" % baseline_rev)
    t.print()
    print("   Sizes: a copy stripped by each build's own strip tool; (shared) links libstdc++ and"
          " libcrypto shared, (static) into the binary.")
    print("   Memory from /proc/PID/smaps_rollup: USS = Private_Clean + Private_Dirty, PSS = Pss;"
          " idle 2 s after the ready report,")
    print("   with probes after %d s of %d monitor probes at %d ms; beside lld-proxy, connected to"
          " a broker on the loopback, which" % (PROBE_WARMUP, PROBES, PROBE_INTERVAL_MS))
    print("   shares the pages of libcrypto and libstdc++ that both touch (as any other program"
          " of a gateway using them would);")
    print("   \"whole\": the USS if nothing else mapped those two libraries.")
    print("   Wake-ups: voluntary context switches of all its threads, /proc/PID/task/*/status.")
    problems = [name for name in ("now", "baseline") if (res.get(name) or {}).get("error")]
    for name in problems:
        print("   %s: not measured: %s" % (name, res[name]["error"]))


# --- main -----------------------------------------------------------------------

gateway = None
gateway_build = None


def named_builds(words):
    builds = {}
    for word in words:
        name, _, build = word.partition("=")
        builds[name] = os.path.abspath(build) if build else None
    return builds


def main():
    command = sys.argv[1] if len(sys.argv) > 1 else ""
    if command == "sizes" and len(sys.argv) >= 3:
        sizes(sys.argv[2], named_builds(sys.argv[3:]))
        return 0
    if command == "resources" and len(sys.argv) >= 4:
        builds = named_builds(sys.argv[4:])
        global gateway, gateway_build
        gateway_build = builds["now"]
        os.environ["LLD_PLATFORM_BIN"] = os.path.join(gateway_build, "platform", "bin")
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                        "tests", "e2e"))
        import gateway as module  # noqa: E402 - needs the environment above
        gateway = module
        window = int(os.environ.get("BENCH_IDLE_WINDOW", IDLE_WINDOW))
        return resources(sys.argv[2], int(sys.argv[3]),
                         {k: v for k, v in builds.items() if v and os.path.isfile(
                             os.path.join(v, "src", "lld-client"))}, window)
    if command == "table" and len(sys.argv) == 4:
        table(sys.argv[2], sys.argv[3])
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main())
