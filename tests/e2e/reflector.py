"""Reflectors on the WAN host for the latency-probe tests, readers of what the
client publishes about its probes, and `ProbeTest`, the base of those tests.

The WAN host is a network namespace of its own behind the gateway's wan0 (see
netfilter.Host); it carries 198.51.100.20 and 2001:db8:2::20. Two kinds of
reflector run there:

- `SocatReflector`, a standard echo from Debian's socat: each datagram goes
  back unchanged to the address and port it came from.
- `ObservingReflector`, a small echo of our own that also writes down what it
  saw of each datagram: source address and port, arrival order, kernel receive
  time, the probe's sequence number, send time and version text, and the IP
  traffic class. It can leave chosen source ports unanswered.
"""

import collections
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

from gateway import DEVICE_ID, WAN_IF, GatewayTest, Proxy, sh
from netfilter import WAN_HOST_V4, WAN_HOST_V6, Host

STATUS_TOPIC = "CS/%s/LLD/status" % DEVICE_ID
METRICS_TOPIC = "CS/%s/LLD/metrics" % DEVICE_ID
GATEWAY_WAN = {"v4": "198.51.100.2", "v6": "2001:db8:2::2"}
WAN_HOST = {"v4": WAN_HOST_V4, "v6": WAN_HOST_V6}

TIMEOUT = 20.0          # generous bound for anything the client should do soon
REFLECTOR_LIFETIME = 600  # seconds; a reflector never outlives a killed test run by more

PROBE_SIZE = 76


# --- the WAN host -------------------------------------------------------------

_wan = None


def wan_host():
    """The module's WAN host, built once: wan0's peer moves into it."""
    global _wan
    if _wan is None:
        host = Host("wan-host")
        try:
            for path in ("ipv6/conf/all/accept_dad", "ipv6/conf/default/accept_dad"):
                host.sysctl(path, 0)
            link = WAN_IF + "p"
            sh("ip", "link", "set", link, "netns", str(host.pid))
            host.run("ip", "link", "set", "lo", "up")
            host.run("ip", "addr", "add", WAN_HOST_V4 + "/24", "dev", link)
            host.run("ip", "-6", "addr", "add", WAN_HOST_V6 + "/64", "dev", link, "nodad")
            host.run("ip", "link", "set", link, "up")
        except BaseException:
            host.close()
            raise
        _wan = host
    return _wan


def close_wan_host():
    global _wan
    if _wan is not None:
        _wan.close()
        _wan = None


def family_socket(family):
    return socket.socket(socket.AF_INET6 if family == "v6" else socket.AF_INET, socket.SOCK_DGRAM)


def echo_check(family, port, timeout=TIMEOUT):
    """Sends datagrams from this namespace to the reflector until one comes
    back; returns where the answer came from and where it went to.

    The answer must be the datagram unchanged, sent to the address and port it
    came from (the probes rely on nothing else).
    """
    address = WAN_HOST[family]
    with family_socket(family) as s:
        s.bind(("::" if family == "v6" else "0.0.0.0", 0))
        s.settimeout(0.2)
        token = os.urandom(PROBE_SIZE)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            s.sendto(token, (address, port))
            try:
                while True:
                    data, peer = s.recvfrom(2048)
                    if data == token:
                        return peer[:2], s.getsockname()[1]
            except socket.timeout:
                continue
    raise AssertionError("no echo from [%s]:%d" % (address, port))


class SocatReflector:
    """socat echoing UDP on the WAN host: one child per datagram, which sends
    it back through a pipe to its sender."""

    def __init__(self, host, family, port):
        self.family, self.port = family, port
        listen = "%s-RECVFROM:%d,fork,reuseaddr" % ("UDP6" if family == "v6" else "UDP4", port)
        self.errors = tempfile.TemporaryFile()
        self.proc = host.popen("socat", listen, "PIPE", stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=self.errors)
        try:
            peer, _ = echo_check(family, port)
            if peer != (WAN_HOST[family], port):
                raise AssertionError("socat answered from %r" % (peer,))
        except AssertionError as error:
            said = self.said()
            self.close()
            raise AssertionError("%s; socat said: %s" % (error, said)) from None

    def said(self):
        self.errors.seek(0)
        return self.errors.read().decode(errors="replace").strip()[-500:]

    def close(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.errors.close()


_OBSERVER = r'''
import json, os, select, socket, sys, time

family, port, lifetime, silent, record = sys.argv[1:6]
port, silent, record = int(port), {int(p) for p in silent.split(",") if p}, record == "1"
deadline = time.monotonic() + float(lifetime)
v6 = family == "v6"
SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)
SO_RCVBUFFORCE = getattr(socket, "SO_RCVBUFFORCE", 33)
IP_RECVTOS = getattr(socket, "IP_RECVTOS", 13)
IPV6_RECVTCLASS = getattr(socket, "IPV6_RECVTCLASS", 66)
IPV6_TCLASS = getattr(socket, "IPV6_TCLASS", 67)

s = socket.socket(socket.AF_INET6 if v6 else socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 1 << 22)
s.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
if v6:
    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
    s.setsockopt(socket.IPPROTO_IPV6, IPV6_RECVTCLASS, 1)
else:
    s.setsockopt(socket.IPPROTO_IP, IP_RECVTOS, 1)
s.bind(("::" if v6 else "0.0.0.0", port))
s.setblocking(False)
out = sys.stdout
out.write("ready\n")
out.flush()
index = 0
while time.monotonic() < deadline:
    readable, _, _ = select.select([s, 0], [], [], 1.0)
    if 0 in readable and not os.read(0, 4096):
        break
    if s not in readable:
        continue
    lines = []
    while True:
        try:
            data, ancillary, _, peer = s.recvmsg(2048, 256)
        except BlockingIOError:
            break
        if peer[1] not in silent:
            s.sendto(data, peer)
        if not record:
            continue
        tclass, stamp = None, None
        for level, kind, cdata in ancillary:
            if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                sec, nsec = int.from_bytes(cdata[:8], sys.byteorder), int.from_bytes(cdata[8:16], sys.byteorder)
                stamp = sec * 1000000000 + nsec
            elif level == socket.IPPROTO_IP and kind == socket.IP_TOS:
                tclass = cdata[0]
            elif level == socket.IPPROTO_IPV6 and kind == IPV6_TCLASS:
                tclass = int.from_bytes(cdata[:4], sys.byteorder)
        text, _, tail = data[12:].partition(b"\0")
        lines.append(json.dumps({
            "index": index, "address": peer[0], "port": peer[1], "length": len(data),
            "seq": int.from_bytes(data[:4], "little") if len(data) >= 4 else None,
            "sent": data[4:12].hex(), "text": text.decode(errors="replace"),
            "tail_zero": not tail.strip(b"\0"), "tclass": tclass, "time": stamp}))
        index += 1
    if lines:
        out.write("\n".join(lines) + "\n")
        out.flush()
'''

Datagram = collections.namedtuple(
    "Datagram", "index address port length seq sent text tail_zero tclass time")


class ObservingReflector:
    """An echo on the WAN host that records each datagram it receives."""

    def __init__(self, host, family, port, silent_ports=(), record=True):
        self.family, self.port = family, port
        self.proc = host.popen(sys.executable, "-c", _OBSERVER, family, port, REFLECTOR_LIFETIME,
                               ",".join(str(p) for p in silent_ports), "1" if record else "0",
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
        self.seen = []
        self.ready = False
        self.cond = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        with self.cond:
            self.cond.wait_for(lambda: self.ready or self.proc.poll() is not None, TIMEOUT)
            started = self.ready
        if not started:
            self.close()
            raise RuntimeError("reflector did not start: " + self.proc.stderr.read())

    def _read(self):
        for line in self.proc.stdout:
            with self.cond:
                if line.strip() == "ready":
                    self.ready = True
                else:
                    self.seen.append(Datagram(**json.loads(line)))
                self.cond.notify_all()
        with self.cond:
            self.cond.notify_all()

    def mark(self):
        """Position of the next datagram; `datagrams(mark)` starts there."""
        with self.cond:
            return len(self.seen)

    def datagrams(self, start=0):
        with self.cond:
            return list(self.seen[start:])

    def wait(self, predicate, timeout=TIMEOUT, start=0, what="datagrams"):
        """Waits until predicate(datagrams from `start` on) is true; returns them."""
        with self.cond:
            ok = self.cond.wait_for(lambda: predicate(self.seen[start:]), timeout)
            seen = list(self.seen[start:])
        if not ok:
            raise AssertionError("reflector never saw %s; it saw %d datagrams: %s"
                                 % (what, len(seen), seen[-6:]))
        return seen

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()  # ends it; the kill is only the fallback
            except OSError:
                pass
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.reader.join(5)
        for stream in (self.proc.stdout, self.proc.stderr):
            if stream:
                stream.close()


def cycles(datagrams):
    """Datagrams grouped by sequence number, each group in the order the WAN
    host's kernel took them in (its receive time stamps), else arrival order."""
    groups = collections.defaultdict(list)
    for d in datagrams:
        groups[d.seq].append(d)
    stamped = all(d.time is not None for d in datagrams)
    return {seq: sorted(group, key=lambda d: (d.time if stamped else 0, d.index))
            for seq, group in groups.items()}


# --- what the client publishes -----------------------------------------------

class Publication(collections.namedtuple("Publication", "type topic payload body")):
    @property
    def status(self):
        return self.topic == STATUS_TOPIC

    @property
    def metrics(self):
        return self.topic == METRICS_TOPIC

    def state(self):
        """The user probe state word, or None."""
        if self.status and isinstance(self.body, dict) and list(self.body) == ["user_pingu_state"]:
            return self.body["user_pingu_state"]
        return None

    def user_report(self):
        if self.metrics and isinstance(self.body, dict) and "pingu_user" in self.body:
            return self.body["pingu_user"]
        return None

    def monitor_report(self):
        if self.metrics and isinstance(self.body, dict) and "pingu_monitor" in self.body:
            return self.body["pingu_monitor"]
        return None


class Feed:
    """The proxy's receiving side, read in order; keeps everything it read."""

    def __init__(self, proxy, context=lambda: ""):
        self.proxy = proxy
        self.read = []
        self.context = context  # what to show with a failure, e.g. the client's log

    def next(self, timeout):
        """The next publication, or None after the timeout. A payload that is
        not JSON is a fault of the client and fails the test at once."""
        sock = self.proxy.sock
        sock.settimeout(max(timeout, 0.001))
        try:
            data = sock.recv(1 << 20)
        except socket.timeout:
            return None
        message = json.loads(data.decode())
        payload = message["payload"]
        try:
            body = json.loads(payload)
        except ValueError:
            raise AssertionError("published text is not JSON: %r" % payload[:400])
        publication = Publication(message["type"], message["topic"], payload, body)
        self.read.append(publication)
        return publication

    def until(self, predicate, timeout=TIMEOUT, what="a publication"):
        """Reads on until a publication matches; returns (it, those read before it)."""
        skipped = []
        deadline = time.monotonic() + timeout
        while True:
            publication = self.next(deadline - time.monotonic())
            if publication is None:
                raise AssertionError("no %s; read meanwhile: %s%s"
                                     % (what, [p.payload[:160] for p in skipped], self.context()))
            if predicate(publication):
                return publication, skipped
            skipped.append(publication)

    def state(self, word, timeout=TIMEOUT):
        """Reads on to the next user probe state, which must be `word`; returns
        the publications read before it (reports only)."""
        publication, skipped = self.until(lambda p: p.status, timeout, 'state "%s"' % word)
        expected = '{"user_pingu_state":"%s"}' % word
        if publication.payload != expected:
            raise AssertionError("expected %s, got %s; read before: %s%s"
                                 % (expected, publication.payload,
                                    [p.payload[:160] for p in skipped], self.context()))
        return skipped

    def gather(self, seconds):
        """Everything published within the next `seconds`."""
        got = []
        deadline = time.monotonic() + seconds
        while (left := deadline - time.monotonic()) > 0:
            publication = self.next(left)
            if publication is not None:
                got.append(publication)
        return got


def samples(field):
    """The delays of a user report path field, in microseconds."""
    if not re.fullmatch(r"(\d+(,\d+)*)?", field):
        raise AssertionError("malformed sample list %r" % field[:200])
    return [int(v) for v in field.split(",")] if field else []


def bin_of(micros):
    """The delay histogram's bin of a delay: 1 ms bins up to 20 ms, then 10 ms
    bins up to 490 ms; None beyond (those are counted after the bins)."""
    if micros < 20000:
        return micros // 1000
    if micros < 490000:
        return 20 + (micros - 20000) // 10000
    return None


PathStats = collections.namedtuple("PathStats", "count min q1 median q3 max mean mad bins overflow")


def path_stats(field):
    """Reads a monitor report's path field and checks that its figures agree
    with each other; returns them (delays in microseconds)."""
    parts = field.split(",")
    if len(parts) < 9 or not parts[0].isdigit():
        raise AssertionError("malformed statistics %r" % field)
    for figure in parts[1:8]:
        if not re.fullmatch(r"\d+\.\d{3}", figure):
            raise AssertionError("figure %r of %r lacks its three decimals" % (figure, field))
    if not all(p.isdigit() for p in parts[8:]):
        raise AssertionError("malformed bin counts in %r" % field)
    count = int(parts[0])
    low, q1, median, q3, high, mean, mad = (int(f.replace(".", "")) for f in parts[1:8])
    counts = [int(p) for p in parts[8:]]
    problems = []
    if count < 5:
        problems.append("a path field needs more than 4 samples")
    if not low <= q1 <= median <= q3 <= high:
        problems.append("order statistics out of order")
    if not low <= mean <= high:
        problems.append("mean outside min..max")
    if mad > high - low:
        problems.append("mean absolute deviation beyond the spread")
    top = bin_of(high)
    if top is None:
        bins, overflow = counts[:67], counts[67:]
        if len(bins) != 67 or len(overflow) != 1:
            problems.append("delays of 490 ms or more need all 67 bins and one overflow count")
    else:
        bins, overflow = counts, []
        if len(bins) != top + 1:
            problems.append("bin list must end with the bin of the largest delay (%d)" % top)
        elif bins[-1] == 0:
            problems.append("the largest delay's bin is empty")
    first = bin_of(low)
    if first is not None and first < len(bins) and (bins[first] == 0 or any(bins[:first])):
        problems.append("the smallest delay's bin (%d) is not the first filled one" % first)
    if first is None and any(bins):
        problems.append("all delays are 490 ms or more, yet a bin holds some")
    if sum(counts) != count:
        problems.append("bins and overflow count %d samples, not %d" % (sum(counts), count))
    if problems:
        raise AssertionError("%s: %s" % (field, "; ".join(problems)))
    return PathStats(count, low, q1, median, q3, high, mean, mad, bins, overflow[0] if overflow else 0)


def user_start(port, refresh_period=1, interval=100, duration=3, url=None, family="v4"):
    request = {"command": "start", "reflector_url": url or WAN_HOST[family],
               "reflector_port": port, "refresh_period": refresh_period}
    if interval is not None:
        request["interval"] = interval
    if duration is not None:
        request["duration"] = duration
    return {"user_pingu": request}


def monitor(name, port, refresh_period=1, interval=100, family="v4", **extra):
    request = {"name": name, "reflector_url": WAN_HOST[family], "reflector_port": port,
               "refresh_period": refresh_period, "interval": interval}
    request.update(extra)
    return request


class ProbeTest(GatewayTest):
    """A gateway with the WAN host beside it; a fresh client per test, so the
    port rotation starts from 0 in each."""

    family = "v4"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.wan = wan_host()

    def setUp(self):
        super().setUp()
        self.feed = Feed(self.proxy, self.client_log)
        self.reflectors = []

    def client_log(self, lines=60):
        if not self.clients:
            return ""
        return "\nclient log (last %d lines):\n%s" % (lines, "\n".join(self.clients[-1].output()[-lines:]))

    def tearDown(self):
        for reflector in self.reflectors:
            reflector.close()
        super().tearDown()

    def socat(self, port):
        reflector = SocatReflector(self.wan, self.family, port)
        self.reflectors.append(reflector)
        return reflector

    def observer(self, port, **kwargs):
        reflector = ObservingReflector(self.wan, self.family, port, **kwargs)
        self.reflectors.append(reflector)
        return reflector

    @staticmethod
    def send(message):
        Proxy.send(message)

    def mark(self, client):
        return len(client.output())

    def assertPlausibleDelays(self, values, where=""):
        for value in values:
            # A veth link and a local echo: above nothing, below a second.
            self.assertTrue(0 < value < 1000000, "implausible delay %d us %s" % (value, where))

    def assertReportCount(self, reports, duration, refresh_period):
        """One report per refresh period of the run. The last period ends when
        the run does; whether its report comes depends on which of the two
        expiries the probe sees first, so it may be missing."""
        periods = duration // refresh_period
        self.assertIn(len(reports), (periods - 1, periods) if duration % refresh_period == 0 else (periods,),
                      "%d reports for %d s in periods of %d s" % (len(reports), duration, refresh_period))

    def finished_run(self, client, reflector, reports, per_cycle):
        """What the reflector saw of a user probe run that has completed, once
        the probe is gone; nothing more may be published then."""
        client.wait_for(r"\[DBG\] PINGU_ACTIVE 'user_pingu':\d+ at \S+ deleted$", TIMEOUT)
        last = reports[-1]["a"]
        reflector.wait(lambda ds: len(ds) >= per_cycle * last, what="%d cycles" % last)
        # Also gives the last datagrams time to land.
        self.assertEqual(self.feed.gather(1.0), [], "publications after the run ended")
        return reflector.datagrams()

    def assertUserReports(self, reports, interval, refresh_period, paths=("p0", "p1")):
        """Reports of one user probe run, in order: well formed, counting the
        cycles, with plausible delays; returns the delays per path."""
        self.assertTrue(reports, "no reports")
        delays = {path: [] for path in paths}
        previous = 0
        for k, report in enumerate(reports, 1):
            where = "report %d: %r" % (k, str(report)[:300])
            self.assertEqual(list(report), ["name", "a"] + list(paths) + ["s"], where)
            self.assertEqual(report["name"], "user_pingu", where)
            self.assertEqual(report["s"], GATEWAY_WAN[self.family], where)
            cycles_sent = report["a"]
            self.assertIsInstance(cycles_sent, int, where)
            self.assertGreater(cycles_sent, previous, "cycles are counted across reports: " + where)
            # About one cycle per interval from the start on (a plausibility
            # bound: a late wake-up may add one).
            self.assertLessEqual(cycles_sent, k * refresh_period * 1000 // interval + 2, where)
            previous = cycles_sent
            for path in paths:
                values = samples(report[path])
                self.assertEqual(values, sorted(values), "delays are listed in ascending order")
                self.assertPlausibleDelays(values, where)
                delays[path].extend(values)
        for path in paths:
            # One datagram per path and cycle, one delay per echo.
            self.assertLessEqual(len(delays[path]), previous, path)
        return delays
