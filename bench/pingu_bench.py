#!/usr/bin/env python3
"""Latency-probe benchmarks of lld-client, each printed beside its references
from the same run.

Run by bench/run.sh on the simulated gateway, after add_hosts: the client and
its references send from the gateway (198.51.100.2, wan0) to reflectors on the
WAN host 198.51.100.20, which lives in the network namespace of WAN_HOST_PID.

  1. Schedule precision: lateness of each send behind its absolute deadline at a
     10 ms interval, from the kernel receive time stamps at the reflector, for the
     client's user probe, a bare timerfd loop (bench/timer_loop) and irtt. In
     each round the client and the loop run side by side, half an interval out
     of step, and irtt in turn with them; the target is judged on the median of
     the rounds' p99 ratios (client to loop), with their range beside it.
  2. Measurement overhead: reported round trip minus the round trip seen by a
     capture on wan0, for the same datagrams, for the client and for irtt.
  3. Footprint: CPU time and memory (USS, PSS) of the client running 32 monitor
     probes, against 32 irtt clients at the same interval (and the client of a
     baseline build, when given).

usage: pingu_bench.py BUILD_DIR WAN_HOST_PID [--seconds S] [--rounds N] [--warmup S]
                      [--window S] [--probes N] [--baseline BUILD_DIR] [--out JSON]
"""

import argparse
import json
import math
import os
import select
import signal
import socket
import statistics
import struct
import subprocess
import sys
import threading
import time

WAN_HOST = "198.51.100.20"
GATEWAY_WAN = "198.51.100.2"
REFLECTOR_PORT = 8000
IRTT_PORT = 2112
INTERVAL_MS = 10
INTERVAL_NS = INTERVAL_MS * 1_000_000
CLASSIC_PORTS = range(10100, 10111)  # 10100 + the port rotation (classifier 5000-5010)
LOOP_PORT = 10200  # never one of the client's
PROBES = 32
DATAGRAM = 76
IRTT_MAGIC = b"\x14\xa7\x5b"
IRTT_REQUEST, IRTT_REPLY = 0x00, 0x02
# tcpdump gets packets from the kernel in blocks that are handed over at the
# latest a second after their first packet: wait that long before stopping it.
CAPTURE_SETTLE = 1.5
# The client reads at most 4097 bytes of a proxy datagram: monitor requests go
# out this many to a message.
MONITORS_PER_MESSAGE = 8


# --- processes ------------------------------------------------------------------

class Processes:
    """Every process the benchmarks start; each is stopped by its own id."""

    def __init__(self, wan_pid):
        self.wan_pid = wan_pid
        self.running = []

    def start(self, args, on_wan=False, **kwargs):
        if on_wan:
            args = ["nsenter", "--target", str(self.wan_pid), "--net", "--"] + list(args)
        proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, **kwargs)
        self.running.append(proc)
        return proc

    def stop(self, proc, sig=signal.SIGTERM, timeout=10):
        if proc.poll() is None:
            proc.send_signal(sig)
            try:
                proc.wait(timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        if proc in self.running:
            self.running.remove(proc)

    def stop_all(self):
        for proc in list(self.running):
            self.stop(proc, timeout=5)


def wait_line(stream, needle, timeout):
    """Reads lines of a pipe until one holds `needle`; False after the timeout."""
    deadline = time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([stream], [], [], left)[0]:
            return False
        line = stream.readline()
        if not line:
            return False
        if needle in line:
            return True


# --- captures -------------------------------------------------------------------

class Packet:
    __slots__ = ("ts", "src", "dst", "sport", "dport", "length", "payload")

    def __init__(self, ts, src, dst, sport, dport, length, payload):
        self.ts, self.src, self.dst = ts, src, dst
        self.sport, self.dport, self.length, self.payload = sport, dport, length, payload


def read_pcap(path):
    """The UDP/IPv4 packets of a pcap file (Ethernet), time stamps in nanoseconds."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 24:
        return []
    magic = struct.unpack("<I", data[:4])[0]
    if magic in (0xA1B23C4D, 0xA1B2C3D4):
        order = "<"
    else:
        order = ">"
        magic = struct.unpack(">I", data[:4])[0]
    scale = 1 if magic == 0xA1B23C4D else 1000
    linktype = struct.unpack(order + "I", data[20:24])[0]
    if linktype != 1:
        raise RuntimeError("%s: link type %d, expected Ethernet" % (path, linktype))
    packets = []
    offset = 24
    while offset + 16 <= len(data):
        sec, frac, caplen, _ = struct.unpack(order + "IIII", data[offset:offset + 16])
        frame = data[offset + 16:offset + 16 + caplen]
        offset += 16 + caplen
        if len(frame) < 14 + 20 + 8 or frame[12:14] != b"\x08\x00":
            continue
        ip = frame[14:]
        ihl = (ip[0] & 0x0F) * 4
        if ip[9] != 17:
            continue
        udp = ip[ihl:]
        sport, dport, ulen = struct.unpack(">HHH", udp[:6])
        packets.append(Packet(sec * 1_000_000_000 + frac * scale, socket.inet_ntoa(ip[12:16]),
                              socket.inet_ntoa(ip[16:20]), sport, dport, ulen - 8, udp[8:]))
    return packets


class Capture:
    """tcpdump on one interface (in the gateway's namespace, or the WAN host's),
    nanosecond time stamps, UDP only."""

    def __init__(self, procs, name, interface, on_wan=False):
        self.procs = procs
        self.path = "/tmp/bench-%s.pcap" % name
        self.proc = procs.start(["tcpdump", "-n", "-Z", "root", "-i", interface, "-w", self.path,
                                 "--time-stamp-precision=nano", "-s", "160", "-B", "16384", "udp"],
                                on_wan=on_wan, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                text=True)
        if not wait_line(self.proc.stderr, "listening on", 10):
            raise RuntimeError("tcpdump on %s did not start" % interface)
        self.dropped = 0

    def stop(self):
        self.proc.send_signal(signal.SIGINT)
        try:
            _, err = self.proc.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            _, err = self.proc.communicate()
        self.procs.stop(self.proc)
        for line in (err or "").splitlines():
            if "dropped by kernel" in line:
                self.dropped = int(line.split()[0])
        return read_pcap(self.path)


class Reflector:
    """bench/reflector on the WAN host: echoes and notes kernel receive time stamps."""

    def __init__(self, procs, build, name, seconds):
        self.procs = procs
        self.path = "/tmp/bench-%s.reflector" % name
        self.proc = procs.start([os.path.join(build, "bench", "reflector"), WAN_HOST,
                                 str(REFLECTOR_PORT), str(int(seconds)), self.path],
                                on_wan=True, stdout=subprocess.PIPE, text=True)
        if not wait_line(self.proc.stdout, "listening", 10):
            raise RuntimeError("the reflector did not start")

    def stop(self):
        """[(source port, seq, receive time ns, length)] of every datagram."""
        self.procs.stop(self.proc, timeout=20)
        records = []
        with open(self.path) as f:
            for line in f:
                port, seq, ts, length = (int(x) for x in line.split())
                records.append((port, seq, ts, length))
        return records


# --- the client -----------------------------------------------------------------

class ClientSession:
    """lld-client with the proxy's stand-in: every publication is collected by a
    thread, so the client never waits on the proxy's socket."""

    def __init__(self):
        gateway.write_config()
        if os.path.exists(gateway.CLIENT_SOCKET):
            os.unlink(gateway.CLIENT_SOCKET)
        self.proxy = gateway.Proxy()
        self.messages = []
        self.cond = threading.Condition()
        self.running = True
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.client = gateway.Client(debug="error")
        self.pid = self.client.proc.pid
        if not self.wait_for(lambda m: m.get("lld_status") == "ready_to_go", 30):
            self.close()
            raise RuntimeError("lld-client did not register; its output:\n" + self.output())

    def _read(self):
        self.proxy.sock.settimeout(0.2)
        while self.running:
            try:
                data = self.proxy.sock.recv(1 << 17)
            except socket.timeout:
                continue
            except OSError:
                return
            try:
                message = json.loads(json.loads(data.decode())["payload"])
            except (ValueError, KeyError, TypeError):
                continue
            with self.cond:
                self.messages.append((time.monotonic(), message))
                self.cond.notify_all()

    def mark(self):
        """The number of publications so far: wait_for and published can start there."""
        with self.cond:
            return len(self.messages)

    def wait_for(self, predicate, timeout, start=0):
        deadline = time.monotonic() + timeout
        with self.cond:
            seen = start
            while True:
                for _, message in self.messages[seen:]:
                    if isinstance(message, dict) and predicate(message):
                        return message
                seen = len(self.messages)
                left = deadline - time.monotonic()
                if left <= 0 or self.client.proc.poll() is not None:
                    return None
                self.cond.wait(min(left, 0.5))

    def published(self, key, start=0):
        with self.cond:
            return [(t, m[key]) for t, m in self.messages[start:]
                    if isinstance(m, dict) and key in m]

    @staticmethod
    def send(message):
        gateway.Proxy.send(message)

    def output(self):
        return "\n".join(self.client.output()[-40:])

    def close(self):
        try:
            self.client.stop()
        except Exception:  # noqa: BLE001 - a client that does not stop is killed below
            pass
        self.client.close()
        self.running = False
        self.reader.join(2)
        self.proxy.close()
        if os.path.exists(gateway.CLIENT_SOCKET):
            os.unlink(gateway.CLIENT_SOCKET)


# --- figures --------------------------------------------------------------------

def percentile(values, percent):
    """Nearest-rank percentile of a list."""
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    rank = max(1, math.ceil(percent / 100 * len(ordered)))
    return ordered[min(rank, len(ordered)) - 1]


def summary(values):
    return percentile(values, 50), percentile(values, 99), max(values) if values else float("nan")


def lateness_us(times, anchor="least"):
    """Lateness of each send behind its deadline, from {slot k: time ns}, over
    sends 2..n (the first one follows each sender's own start-up). Send k is due
    at d + (k - 1) x interval, o_k = t_k - (k - 1) x interval, lateness_k =
    o_k - d. The phase d cannot be seen from outside:
    - "least": the least late send counts as on time, d = min(o). For a sender
      whose timer never fires before its deadline (the client, the loop) this is
      the deadline plus the best-case wake-up, the same for both. Taking t_1
      instead would carry the client's start-up into every figure: it publishes
      its "started" state between arming its timers and its first send.
    - "first": d = t_1, for irtt, which starts its schedule at its first packet
      and sends early about as often as late (negative lateness)."""
    if not times:
        return []
    first = min(times)
    offsets = [t - (k - 1) * INTERVAL_NS for k, t in times.items() if k != first]
    if not offsets:
        return []
    phase = min(offsets) if anchor == "least" else times[first] - (first - 1) * INTERVAL_NS
    return [(o - phase) / 1000 for o in offsets]


def le32(payload, at):
    return struct.unpack("<I", payload[at:at + 4])[0]


def us(value):
    return "%6.0f us" % value if not math.isnan(value) else "     -   "


def ratio(a, b):
    return a / b if b else float("nan")


def met(ok):
    return "met" if ok else "NOT met"


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def status(pid):
    """KiB from /proc/<pid>/status, and USS and PSS from its smaps_rollup."""
    values = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM", "VmSize", "RssAnon", "RssFile", "Threads"):
                values[key] = int(value.split()[0])
    rollup = {}
    with open("/proc/%d/smaps_rollup" % pid) as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 2 and parts[1].isdigit():
                rollup[parts[0].rstrip(":")] = int(parts[1])
    values["USS"] = rollup["Private_Clean"] + rollup["Private_Dirty"]
    values["PSS"] = rollup["Pss"]
    return values


def thread_stacks(pid):
    """Thread stacks seen in smaps: an anonymous rw-p mapping right above an
    anonymous guard (---p). Returns {size KiB: [resident KiB, ...]}."""
    areas = []
    with open("/proc/%d/smaps" % pid) as f:
        for line in f:
            parts = line.split()
            if "-" in parts[0] and len(parts) >= 5 and ":" in parts[3]:
                start, end = (int(x, 16) for x in parts[0].split("-"))
                areas.append({"start": start, "end": end, "perms": parts[1],
                              "anonymous": len(parts) == 5, "rss": 0})
            elif parts[0] == "Rss:" and areas:
                areas[-1]["rss"] = int(parts[1])
    stacks = {}
    for below, area in zip(areas, areas[1:]):
        if (below["perms"] == "---p" and below["anonymous"] and area["anonymous"]
                and area["perms"] == "rw-p" and below["end"] == area["start"]
                and below["end"] - below["start"] <= 64 * 1024):
            size = (area["end"] - below["start"]) // 1024
            stacks.setdefault(size, []).append(area["rss"])
    return stacks


# --- the runs -------------------------------------------------------------------

def run_pair(procs, build, seconds, session, name):
    """One user probe of `seconds` on a running client and, at the same time, the
    bare timerfd loop half an interval out of step with it, both to one reflector:
    whatever else the machine does in that time falls on both alike."""
    reflector = Reflector(procs, build, name, seconds + 30)
    captures = [Capture(procs, name + "-gw", "wan0"), Capture(procs, name + "-wan", "wan0p", True)]
    mark = session.mark()
    session.send({"user_pingu": {"command": "start", "reflector_url": WAN_HOST,
                                 "reflector_port": REFLECTOR_PORT, "refresh_period": 1,
                                 "interval": INTERVAL_MS, "duration": seconds}})
    # The probe publishes "started" as its timers start: the loop starts half an
    # interval after one of the probe's deadlines, so that they never wake together.
    if session.wait_for(lambda m: m.get("user_pingu_state") == "started", 10, mark) is None:
        raise RuntimeError("the user probe did not start; client output:\n" + session.output())
    started = next(t for t, m in session.messages[mark:]
                   if isinstance(m, dict) and m.get("user_pingu_state") == "started")
    interval = INTERVAL_MS / 1000
    time.sleep(interval - (time.monotonic() - started - interval / 2) % interval)
    own = "/tmp/bench-%s.own" % name
    loop = procs.start([os.path.join(build, "bench", "timer_loop"), WAN_HOST,
                        str(REFLECTOR_PORT), str(INTERVAL_MS), str(seconds), str(LOOP_PORT), own],
                       stdout=subprocess.DEVNULL)
    done = session.wait_for(lambda m: m.get("user_pingu_state") == "completed", seconds + 20,
                            mark)
    loop.wait(seconds + 30)
    procs.stop(loop)
    time.sleep(CAPTURE_SETTLE)
    wan = captures[1].stop()
    gw = captures[0].stop()
    records = reflector.stop()
    if done is None:
        raise RuntimeError("the user probe did not complete; client output:\n" + session.output())
    if loop.returncode != 0:
        raise RuntimeError("timer_loop failed")
    with open(own) as f:
        own_view = [int(line) / 1000 for line in f]
    reports = [r for _, r in session.published("pingu_user", mark)]
    # The datagrams of the classic path: the client sends from 10100 + its port rotation.
    classic = [r for r in records if r[0] in CLASSIC_PORTS and r[3] == DATAGRAM]
    first = {}
    for port, seq, ts, length in records:
        if length == DATAGRAM and port != LOOP_PORT:
            first[seq] = min(ts, first.get(seq, ts))
    dropped = sum(c.dropped for c in captures)
    loop_result = {
        "reflector": {seq: ts for port, seq, ts, length in records
                      if port == LOOP_PORT and length == DATAGRAM},
        "capture": {le32(p.payload, 0): p.ts for p in wan
                    if p.dport == REFLECTOR_PORT and p.sport == LOOP_PORT and p.length == DATAGRAM},
        "own": own_view,
        "dropped": 0,
    }
    client_result = {
        "reflector": {seq: ts for _, seq, ts, _ in classic},
        "first": first,
        "capture": {le32(p.payload, 0): p.ts for p in wan
                    if p.dport == REFLECTOR_PORT and p.sport in CLASSIC_PORTS
                    and p.length == DATAGRAM},
        "ports": sorted({r[0] for r in classic}),
        "gw": gw,
        "reports": reports,
        "dropped": dropped,
    }
    return loop_result, client_result


def start_irtt_server(procs):
    log = "/tmp/bench-irtt-server.log"
    with open(log, "w") as out:
        server = procs.start(["irtt", "server", "-b", "%s:%d" % (WAN_HOST, IRTT_PORT), "-i", "0"],
                             on_wan=True, stdout=out, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        with open(log) as f:
            if "ListenerStart" in f.read():
                return server
        time.sleep(0.1)
    raise RuntimeError("irtt server did not start")


def run_irtt(procs, seconds, name):
    captures = [Capture(procs, name + "-gw", "wan0"), Capture(procs, name + "-wan", "wan0p", True)]
    out = "/tmp/bench-%s.json" % name
    client = procs.start(["irtt", "client", "-i", "%dms" % INTERVAL_MS, "-l", str(DATAGRAM),
                          "-d", "%ds" % seconds, "-q", "-o", out, "%s:%d" % (WAN_HOST, IRTT_PORT)],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    _, err = client.communicate(timeout=seconds + 60)
    procs.stop(client)
    time.sleep(CAPTURE_SETTLE)
    wan = captures[1].stop()
    gw = captures[0].stop()
    if client.returncode != 0:
        raise RuntimeError("irtt client failed: " + err.strip())
    with open(out) as f:
        result = json.load(f)

    def irtt_packets(packets, to_server, flags):
        found = {}
        for p in packets:
            port = p.dport if to_server else p.sport
            if (port == IRTT_PORT and p.length == DATAGRAM and p.payload[:3] == IRTT_MAGIC
                    and p.payload[3] == flags):
                found.setdefault(le32(p.payload, 12), p.ts)
        return found

    # irtt skips a slot of its schedule when its timer misses one, and its sequence
    # numbers go on without the gap: its sends are placed on the nearest slot of
    # the interval grid that starts at its first send instead.
    sends = sorted(irtt_packets(wan, True, IRTT_REQUEST).values())
    slots = {}
    for ts in sends:
        slots.setdefault(1 + round((ts - sends[0]) / INTERVAL_NS), ts)
    return {
        "capture": slots,
        "misses": result["stats"].get("timer_misses", 0),
        "timer_error": result["stats"]["timer_error"],
        "gw_out": irtt_packets(gw, True, IRTT_REQUEST),
        "gw_in": irtt_packets(gw, False, IRTT_REPLY),
        "json": result,
        "dropped": sum(c.dropped for c in captures),
    }


def file_rss(pid):
    """Resident KiB of each mapped file of a process, largest first."""
    sizes = {}
    path = None
    with open("/proc/%d/smaps" % pid) as f:
        for line in f:
            parts = line.split()
            if "-" in parts[0] and len(parts) >= 5 and ":" in parts[3]:
                path = parts[5] if len(parts) >= 6 and parts[5].startswith("/") else None
            elif parts[0] == "Rss:" and path:
                sizes[path] = sizes.get(path, 0) + int(parts[1])
    return sorted(sizes.items(), key=lambda item: -item[1])


def run_client_footprint(procs, build, probes, warmup, window):
    session = ClientSession()
    try:
        reflector = Reflector(procs, build, "footprint", warmup + window + 30)
        time.sleep(0.5)
        idle = status(session.pid)
        for first in range(1, probes + 1, MONITORS_PER_MESSAGE):
            last = min(probes, first + MONITORS_PER_MESSAGE - 1)
            session.send(json.dumps({"pingu_monitor_config": [
                {"name": "m%d" % i, "reflector_url": WAN_HOST, "reflector_port": REFLECTOR_PORT,
                 "refresh_period": 1, "interval": INTERVAL_MS} for i in range(first, last + 1)]},
                separators=(",", ":")))
        time.sleep(warmup)
        mark = session.mark()
        cpu0, t0 = cpu_seconds(session.pid), time.monotonic()
        time.sleep(window)
        cpu1, t1 = cpu_seconds(session.pid), time.monotonic()
        figures = status(session.pid)
        stacks = thread_stacks(session.pid)
        files = file_rss(session.pid)
        reports = len(session.published("pingu_monitor", mark))
        alive = session.client.proc.poll() is None
        records = reflector.stop()
    finally:
        session.close()
    if not alive:
        raise RuntimeError("lld-client ended during the footprint run")
    return {"cpu": cpu1 - cpu0, "elapsed": t1 - t0, "idle": idle, "status": figures,
            "stacks": stacks, "files": files, "reports": reports, "echoed": len(records)}


def run_irtt_footprint(procs, probes, warmup, window):
    clients = [procs.start(["irtt", "client", "-i", "%dms" % INTERVAL_MS, "-l", str(DATAGRAM),
                            "-d", "%ds" % (warmup + window + 10), "-Q",
                            "%s:%d" % (WAN_HOST, IRTT_PORT)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
               for _ in range(probes)]
    try:
        time.sleep(warmup)
        alive = [c for c in clients if c.poll() is None]
        cpu0, t0 = sum(cpu_seconds(c.pid) for c in alive), time.monotonic()
        time.sleep(window)
        cpu1, t1 = sum(cpu_seconds(c.pid) for c in alive), time.monotonic()
        figures = [status(c.pid) for c in alive]
    finally:
        for c in clients:
            procs.stop(c)
    return {"cpu": cpu1 - cpu0, "elapsed": t1 - t0, "clients": len(alive),
            **{key: sum(f[key] for f in figures) for key in ("USS", "PSS", "VmRSS", "Threads")}}


# --- the three reports ----------------------------------------------------------

def pooled(runs, key, anchor="least"):
    """Lateness of every send of every run (each run with its own phase)."""
    return [x for run in runs for x in lateness_us(run[key], anchor)]


def report_schedule(seconds, rounds, loops, clients, irtts, failures):
    print("== probe schedule precision (%d ms interval, %d s per sender in %d interleaved rounds):"
          % (INTERVAL_MS, seconds * rounds, rounds))
    print("   lateness of each send behind its absolute deadline, seen at the reflector: kernel"
          " receive time stamp t_k")
    print("   of send k, o_k = t_k - (k - 1) x %d ms, lateness = o_k - d over sends 2..n of a run,"
          " d the schedule's phase" % INTERVAL_MS)
    print("                        p50         p99         max    sends")
    rows = {}

    def row(name, late, sends, note):
        if not late:
            print("  %-14s   not measured (%s)" % (name, note))
            return
        rows[name] = summary(late)
        p50, p99, worst = rows[name]
        print("  %-14s %s   %s   %s   %6d   %s" % (name, us(p50), us(p99), us(worst), sends, note))

    row("lld-client", pooled(clients, "reflector"), sum(len(r["reflector"]) for r in clients),
        "classic path, source ports %s" % ",".join(str(p) for r in clients for p in r["ports"])
        if clients else failures.get("client", ""))
    own = [x for r in loops for x in r["own"]]
    row("timerfd loop", pooled(loops, "reflector"), sum(len(r["reflector"]) for r in loops),
        "its own view of its wake-ups: p50 %.0f us, p99 %.0f us, max %.0f us" % summary(own)
        if loops else failures.get("loop", ""))
    note = failures.get("irtt", "")
    if irtts:
        total = sum(r["timer_error"]["total"] for r in irtts)
        count = sum(r["timer_error"]["n"] for r in irtts)
        note = "irtt's own timer error: mean %.0f us, max %.0f us; %d missed slots" % (
            total / max(count, 1) / 1000, max(r["timer_error"]["max"] for r in irtts) / 1000,
            sum(r["misses"] for r in irtts))
    row("irtt", pooled(irtts, "capture", "first"), sum(len(r["capture"]) for r in irtts), note)
    print("   d: the client's and the loop's least late send counts as on time (their timers never"
          " fire early); irtt")
    print("   starts its schedule at its first packet and sends early about as often as late, so"
          " its d is its first send.")
    print("   Time stamps: SO_TIMESTAMPNS at bench/reflector for the client and the loop; for irtt,"
          " which needs its own")
    print("   server, a capture on the reflector host's interface (the same kernel receive time"
          " stamps).")
    if irtts:
        print("   irtt with its least late send as on time, like the others: p50 %.0f us, p99 %.0f"
              " us, max %.0f us" % summary(pooled(irtts, "capture")))
    if clients:
        print("   lld-client, the first datagram of each cycle (either path): p50 %.0f us, p99 %.0f"
              " us, max %.0f us" % summary(pooled(clients, "first")))
    if clients and loops:
        same = (percentile(pooled(clients, "capture"), 99),
                percentile(pooled(loops, "capture"), 99))
        print("   the same p99 from that capture, for both ways agreeing: lld-client %.0f us,"
              " timerfd loop %.0f us" % same)
    ours, floor, other = (rows.get(n) for n in ("lld-client", "timerfd loop", "irtt"))
    figures = {"p99": {name: rows[name][1] for name in rows}}
    # One round's figures are as noisy as the machine was in it: each round's p99
    # ratio (client and loop ran side by side in time), and their median and range.
    loop_rounds = {r["round"]: r for r in loops}
    spread = {}
    for key, what in (("reflector", "classic path"), ("first", "first datagram of a cycle")):
        ratios = []
        for client in clients:
            loop = loop_rounds.get(client["round"])
            late, floor_late = lateness_us(client[key]), loop and lateness_us(loop["reflector"])
            if late and floor_late:
                ratios.append(ratio(percentile(late, 99), percentile(floor_late, 99)))
        if ratios:
            spread[key] = (statistics.median(ratios), min(ratios), max(ratios))
            print("   per-round p99 ratio to the loop, %s: median %.2f, range %.2f-%.2f (%s)" % (
                what, *spread[key], " ".join("%.2f" % r for r in ratios)))
    if "reflector" in spread:
        figures.update(ratio_median=spread["reflector"][0], ratio_min=spread["reflector"][1],
                       ratio_max=spread["reflector"][2])
    if "first" in spread:
        figures["first_ratio_median"] = spread["first"][0]
    # irtt runs in turn with the others, not beside them: its rounds' median p99
    # against the client's.
    medians = {}
    for name, runs, key, anchor in (("lld-client", clients, "reflector", "least"),
                                    ("irtt", irtts, "capture", "first")):
        values = [percentile(lateness_us(run[key], anchor), 99) for run in runs if run[key]]
        if values:
            medians[name] = statistics.median(values)
    if len(medians) == 2:
        print("   median of the rounds' p99: lld-client %.0f us, irtt %.0f us" % (
            medians["lld-client"], medians["irtt"]))
    verdict = ""
    ok = True
    if ours and floor and other and "reflector" in spread and len(medians) == 2:
        ok = spread["reflector"][0] <= 1.2 and medians["lld-client"] < medians["irtt"]
        verdict = ": median round %.2f (pooled %.2f); to irtt %.2f -> %s" % (
            spread["reflector"][0], ratio(ours[1], floor[1]),
            ratio(medians["lld-client"], medians["irtt"]), met(ok))
    print("  target: lld-client p99 <= 1.2 x timerfd loop's and below irtt's (median rounds)"
          + verdict)
    figures["ok"] = ok
    return figures


def client_overhead(clients):
    """Reported delay minus wire round trip for the classic path. The reports list
    each period's delays sorted, so each report is paired with the same number of
    echoes in the order the capture saw them arrive (one socket: the client
    receives them in that order), and within the report the k-th smallest
    reported delay is paired with the k-th smallest wire round trip."""
    overhead, send_side, wire, matched = [], [], [], 0
    send_first, send_second = [], []
    received_total = wire_total = send_total = 0.0
    for client in clients:
        sent = {}
        echoes = []
        for p in client["gw"]:
            if p.length != DATAGRAM:
                continue
            if p.src == GATEWAY_WAN and p.dport == REFLECTOR_PORT and p.sport in CLASSIC_PORTS:
                wall_us = le32(p.payload, 4) * 1_000_000 + le32(p.payload, 8)
                sent.setdefault(le32(p.payload, 0), (p.ts, wall_us))
            elif p.src == WAN_HOST and p.sport == REFLECTOR_PORT and p.dport in CLASSIC_PORTS:
                echoes.append((p.ts, le32(p.payload, 0)))
        echoes.sort()
        position = 0
        for report in client["reports"]:
            text = report.get("p0", "")
            delays = sorted(int(x) for x in text.split(",") if x)
            chunk = echoes[position:position + len(delays)]
            position += len(delays)
            if len(chunk) != len(delays) or any(seq not in sent for _, seq in chunk):
                raise RuntimeError("reports and capture do not pair up")
            trips = sorted((t_in - sent[seq][0]) / 1000 for t_in, seq in chunk)
            overhead += [d - w for d, w in zip(delays, trips)]
            wire += trips
            # The delay the client would compute from the capture's receive time stamp.
            expected = sorted(t_in // 1000 - sent[seq][1] for t_in, seq in chunk)
            matched += sum(1 for d, e in zip(delays, expected) if abs(d - e) <= 1)
            for t_in, seq in chunk:
                send_side.append((sent[seq][0] - sent[seq][1] * 1000) / 1000)
                # Even cycles go out first on the classic path, odd ones second.
                (send_first if seq % 2 == 0 else send_second).append(send_side[-1])
            received_total += sum(delays)
            wire_total += sum(trips)
            send_total += sum(send_side[-len(chunk):]) if chunk else 0
    count = len(overhead)
    return {"overhead": overhead, "send": send_side, "wire": wire, "count": count,
            "send_first": send_first, "send_second": send_second,
            "receive_mean": (received_total - wire_total - send_total) / count if count else 0,
            "matched": matched}


def irtt_overhead(irtts):
    reported, raw, send_side, receive_side, wire = [], [], [], [], []
    trips = [(irtt, trip) for irtt in irtts for trip in irtt["json"]["round_trips"]]
    for irtt, trip in trips:
        seq = trip["seqno"]
        if trip.get("lost") != "false" or seq not in irtt["gw_out"] or seq not in irtt["gw_in"]:
            continue
        t_out, t_in = irtt["gw_out"][seq], irtt["gw_in"][seq]
        client = trip["timestamps"]["client"]
        w = (t_in - t_out) / 1000
        wire.append(w)
        reported.append(trip["delay"]["rtt"] / 1000 - w)
        raw.append((client["receive"]["wall"] - client["send"]["wall"]) / 1000 - w)
        send_side.append((t_out - client["send"]["wall"]) / 1000)
        receive_side.append((client["receive"]["wall"] - t_in) / 1000)
    return {"overhead": reported, "raw": raw, "send": send_side, "receive": receive_side,
            "wire": wire, "count": len(reported)}


def report_overhead(clients, irtts, failures):
    print("== probe measurement overhead (reported round trip minus the round trip on the wire,"
          " same datagrams;")
    print("   wire = tcpdump on the gateway's wan0, nanosecond time stamps; %d ms interval)"
          % INTERVAL_MS)
    print("                      overhead p50     p99 | send side p50     p99 | receive side"
          "        | wire p50  datagrams")
    ours = theirs = None
    if clients:
        try:
            ours = client_overhead(clients)
        except RuntimeError as error:
            failures["client overhead"] = str(error)
    if ours and ours["count"]:
        print("  %-16s %s %s | %s %s | mean %6.1f us    | %s  %6d" % (
            "lld-client", us(percentile(ours["overhead"], 50)),
            us(percentile(ours["overhead"], 99)), us(percentile(ours["send"], 50)),
            us(percentile(ours["send"], 99)), ours["receive_mean"],
            us(percentile(ours["wire"], 50)), ours["count"]))
    else:
        print("  %-16s not measured (%s)" % ("lld-client", failures.get(
            "client overhead", failures.get("client", "no reports"))))
    if irtts:
        theirs = irtt_overhead(irtts)
    if theirs and theirs["count"]:
        for name, key in (("irtt", "overhead"), ("irtt, raw", "raw")):
            print("  %-16s %s %s | %s %s | p50 %6.0f us    | %s  %6d" % (
                name, us(percentile(theirs[key], 50)), us(percentile(theirs[key], 99)),
                us(percentile(theirs["send"], 50)), us(percentile(theirs["send"], 99)),
                percentile(theirs["receive"], 50), us(percentile(theirs["wire"], 50)),
                theirs["count"]))
    else:
        print("  %-16s not measured (%s)" % ("irtt", failures.get("irtt", "")))
    print("   lld-client: classic path of the user probe; each report's sorted delays are paired"
          " with the sorted wire")
    print("   round trips of as many echoes, in the order the capture saw them arrive; send side ="
          " capture time minus")
    print("   the send time written in the datagram; receive side = the rest, on average."
          + (" %d of %d reported delays equal" % (ours["matched"], ours["count"]) if ours else ""))
    if ours:
        print("   capture receive time minus written send time (the kernel time stamp the client"
              " reads is the capture's).")
        print("   lld-client send side, classic datagram sent first (even cycles): p50 %.0f us, p99"
              " %.0f us; second: p50 %.0f us, p99 %.0f us" % (
                  percentile(ours["send_first"], 50), percentile(ours["send_first"], 99),
                  percentile(ours["send_second"], 50), percentile(ours["send_second"], 99)))
    print("   irtt: per datagram by sequence number; its rtt has the server's processing time"
          " subtracted; raw = its")
    print("   client receive minus client send time stamps.")
    ok = True
    if ours and ours["count"] and theirs and theirs["count"]:
        p50 = ratio(percentile(ours["overhead"], 50), percentile(theirs["overhead"], 50))
        p99 = ratio(percentile(ours["overhead"], 99), percentile(theirs["overhead"], 99))
        ok = p50 <= 0.5 and p99 <= 0.5
        print("  target: lld-client overhead <= 0.5 x irtt's: median ratio %.2f, p99 ratio %.2f"
              " -> %s" % (p50, p99, met(ok)))
    else:
        print("  target: lld-client overhead <= 0.5 x irtt's")
    return ok


def report_footprint(probes, warmup, window, ours, theirs, failures, before=None):
    print("== footprint (%d probes at %d ms, over %d s after %d s of warm-up)"
          % (probes, INTERVAL_MS, window, warmup))
    print("                         CPU time   of one core       USS        PSS      VmRSS   threads")
    row = "  %-20s %8.2f s   %7.2f %%  %6.2f MiB %6.2f MiB %6.2f MiB   %7d   %s"

    def line(name, figures, memory, note):
        print(row % (name, figures["cpu"], 100 * figures["cpu"] / figures["elapsed"],
                     memory["USS"] / 1024, memory["PSS"] / 1024, memory["VmRSS"] / 1024,
                     memory["Threads"], note))

    if ours:
        line("lld-client", ours, ours["status"], "(%d monitor probes, refresh 1 s)" % probes)
    else:
        print("  %-20s not measured (%s)" % ("lld-client", failures.get("client footprint", "")))
    if before:
        line("lld-client before", before, before["status"], "(the baseline build)")
    if theirs:
        line("%d irtt clients" % theirs["clients"], theirs, theirs,
             "(summed, -i %dms -l %d)" % (INTERVAL_MS, DATAGRAM))
    else:
        print("  %-20s not measured (%s)" % ("irtt clients", failures.get("irtt footprint", "")))
    print("   CPU: utime + stime of /proc/<pid>/stat over the window; memory at its end: USS"
          " (Private_Clean + Private_Dirty)")
    print("   and PSS from /proc/<pid>/smaps_rollup, VmRSS from /proc/<pid>/status.")
    ok = True
    if ours:
        idle = ours["idle"]
        stacks = ours["stacks"]
        common = max(stacks.items(), key=lambda item: len(item[1])) if stacks else None
        print("   lld-client VmRSS: %.1f MiB anonymous + %.1f MiB of mapped files (shared"
              " libraries); before the probes %.1f MiB (%.1f + %.1f), %d threads" % (
                  ours["status"]["RssAnon"] / 1024, ours["status"]["RssFile"] / 1024,
                  idle["VmRSS"] / 1024, idle["RssAnon"] / 1024, idle["RssFile"] / 1024,
                  idle["Threads"]))
        largest = ["%s %.1f MiB" % (os.path.basename(path), kib / 1024)
                   for path, kib in ours["files"][:4]]
        print("   largest mapped files: " + ", ".join(largest))
        print("   each probe sends on both paths: 2 datagrams a cycle, against 1 for an irtt"
              " client")
        if common:
            print("   thread stacks: %d of %d KiB (guard included), %d KiB resident in all;"
                  " %d monitor reports and %d echoes" % (len(common[1]), common[0],
                                                         sum(common[1]), ours["reports"],
                                                         ours["echoed"]))
        pss_ok = ours["status"]["PSS"] <= 8 * 1024
        verdict = "memory " + met(pss_ok)
        ok = pss_ok
        if theirs:
            cpu_ok = ours["cpu"] <= 0.25 * theirs["cpu"]
            ok = ok and cpu_ok
            verdict = "CPU ratio %.2f -> %s; %s" % (ratio(ours["cpu"], theirs["cpu"]),
                                                    met(cpu_ok), verdict)
        print("  target: lld-client CPU <= 0.25 x the irtt clients', PSS <= 8 MiB: " + verdict)
    else:
        print("  target: lld-client CPU <= 0.25 x the irtt clients', PSS <= 8 MiB")
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build")
    parser.add_argument("wan_host_pid", type=int)
    parser.add_argument("--seconds", type=int, default=10, help="length of one schedule run")
    parser.add_argument("--rounds", type=int, default=10, help="schedule rounds")
    parser.add_argument("--warmup", type=int, default=3, help="footprint warm-up, seconds")
    parser.add_argument("--window", type=int, default=20, help="footprint window, seconds")
    parser.add_argument("--probes", type=int, default=PROBES)
    parser.add_argument("--baseline", help="a build whose client's footprint is shown beside")
    parser.add_argument("--out", help="a file for the main figures, JSON")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    os.environ["LLD_CLIENT"] = os.path.join(build, "src", "lld-client")
    os.environ["LLD_PLATFORM_BIN"] = os.path.join(build, "platform", "bin")
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                    "e2e"))
    global gateway
    import gateway  # noqa: E402 - needs the environment above

    # Start from an empty NAT table whatever ran before in this namespace.
    for tool in ("iptables", "ip6tables"):
        subprocess.run([tool, "-t", "nat", "-F"], check=False, capture_output=True)

    procs = Processes(args.wan_host_pid)
    failures = {}
    runs = {"loop": [], "client": [], "irtt": []}
    results = {}

    def attempt(name, function, *function_args):
        try:
            return function(*function_args)
        except Exception as error:  # noqa: BLE001 - reported beside the other figures
            text = str(error).strip()
            failures.setdefault(name, text.splitlines()[0] if text else repr(error))
            sys.stderr.write("pingu_bench: %s: %s\n" % (name, text or repr(error)))
            return None

    session = None
    try:
        irtt_server = attempt("irtt", start_irtt_server, procs)
        session = attempt("client", ClientSession)
        # The client and the loop run side by side, irtt (which needs a reflector of
        # its own) in turn with them, first or second in alternate rounds.
        def pair(round_number):
            if not session:
                return None
            loop, client = run_pair(procs, build, args.seconds, session, "pair%d" % round_number)
            return {"loop": loop, "client": client}

        senders = [
            ("client", pair),
            ("irtt", lambda r: run_irtt(procs, args.seconds, "irtt%d" % r) if irtt_server
             else None),
        ]
        for round_number in range(args.rounds):
            shift = round_number % len(senders)
            for name, run in senders[shift:] + senders[:shift]:
                result = attempt(name, run, round_number)
                if not result:
                    continue
                for part, figures in (result.items() if name == "client" else [(name, result)]):
                    figures["round"] = round_number
                    runs[part].append(figures)
        if session:
            session.close()
            session = None
        results["client footprint"] = attempt("client footprint", run_client_footprint, procs,
                                              build, args.probes, args.warmup, args.window)
        if args.baseline:
            own_client = gateway.CLIENT
            gateway.CLIENT = os.path.join(os.path.abspath(args.baseline), "src", "lld-client")
            try:
                results["baseline footprint"] = attempt(
                    "baseline footprint", run_client_footprint, procs, build, args.probes,
                    args.warmup, args.window)
            finally:
                gateway.CLIENT = own_client
        if irtt_server:
            results["irtt footprint"] = attempt("irtt footprint", run_irtt_footprint, procs,
                                                args.probes, args.warmup, args.window)
    finally:
        if session:
            session.close()
        procs.stop_all()

    figures = report_schedule(args.seconds, args.rounds, runs["loop"], runs["client"],
                              runs["irtt"], failures)
    print()
    report_overhead(runs["client"], runs["irtt"], failures)
    print()
    ours, theirs = results.get("client footprint"), results.get("irtt footprint")
    report_footprint(args.probes, args.warmup, args.window, ours, theirs, failures,
                     results.get("baseline footprint"))
    if ours and theirs:
        figures["cpu_ratio"] = ratio(ours["cpu"], theirs["cpu"])
        if results.get("baseline footprint"):
            figures["cpu_ratio_baseline"] = ratio(results["baseline footprint"]["cpu"],
                                                  theirs["cpu"])
    dropped = sum(r["dropped"] for name in runs for r in runs[name])
    if dropped:
        print("   (the captures lost %d packets)" % dropped)
    if args.out:
        with open(args.out, "w") as f:
            json.dump(figures, f)
    return 1 if failures else 0


gateway = None

if __name__ == "__main__":
    sys.exit(main())
