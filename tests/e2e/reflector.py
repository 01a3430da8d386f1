"""The latency-probe fixture: bench/reflector on the WAN host (see netfilter.Host),
which echoes datagrams and streams what it saw of each, and `ProbeTest`, the
base of the probe tests, which reads and checks what the client publishes. The
reflector holds each echo seq % 25 ms: delays spread over many histogram bins."""

import atexit
import collections
import functools
import json
import os
import re
import struct
import tempfile
import time

from gateway import DEVICE_ID, PLATFORM_BIN, WAN_IF, GatewayTest, Proxy, sh
from netfilter import WAN_HOST_V4, WAN_HOST_V6, Host

REFLECTOR = os.path.join(os.path.dirname(os.path.dirname(PLATFORM_BIN)), "bench", "reflector")
PORT = 7000
GATEWAY_WAN = {"v4": "198.51.100.2", "v6": "2001:db8:2::2"}
WAN_HOST = {"v4": WAN_HOST_V4, "v6": WAN_HOST_V6}
STATUS, METRICS = ("CS/%s/LLD/%s" % (DEVICE_ID, topic) for topic in ("status", "metrics"))
TIMEOUT = 20.0  # generous bound for anything the client should do soon
STOP = {"user_pingu": {"command": "stop"}}
ALREADY_RUNNING = r"\[DBG\] PINGU_REQUEST is already running$"
IMPROPER = r"\[ERR\] Improper values of interval, refresh_period and duration$"
SETTINGS = "%d,0,%d,%d,1,10,20,500"  # a monitor report's "a": interval, no duration, ports, bins


@functools.cache
def wan_host():
    """The module's WAN host, built once: wan0's peer can move into it only once."""
    host = Host("wan-host")
    atexit.register(host.close)
    for conf in ("all", "default"):
        host.sysctl("ipv6/conf/%s/accept_dad" % conf, 0)
    link = WAN_IF + "p"
    sh("ip", "link", "set", link, "netns", str(host.pid))
    host.run("ip", "link", "set", "lo", "up")
    host.run("ip", "addr", "add", WAN_HOST_V4 + "/24", "dev", link)
    host.run("ip", "-6", "addr", "add", WAN_HOST_V6 + "/64", "dev", link, "nodad")
    host.run("ip", "link", "set", link, "up")
    return host


class Reflector:
    """bench/reflector on the WAN host, streaming into a file what it saw of each
    datagram: source, seq, kernel receive `time`, length, traffic class, `data`."""

    Datagram = collections.namedtuple("Datagram", "port seq time length address tclass data")

    def __init__(self, host, family, unanswered):
        self.out = tempfile.NamedTemporaryFile("w")
        self.proc = host.popen(REFLECTOR, WAN_HOST[family], PORT, 600, "-", *unanswered, "hold=25",
                               stdout=self.out)
        self.wait(lambda _: os.path.getsize(self.out.name) > 0, what="its start (see its error above)")

    def datagrams(self):
        """Every datagram it reported so far, in order of arrival."""
        with open(self.out.name) as f:
            lines = [line.split() for line in f if line.endswith("\n")]
        return [self.Datagram(*map(int, f[:4]), f[4], int(f[5]), bytes.fromhex(f[6]))
                for f in lines if len(f) == 7]  # after "reflector: listening on ..."

    def wait(self, predicate, start=0, what="datagrams"):
        """Waits until predicate(datagrams from `start` on) holds; returns them."""
        deadline = time.monotonic() + TIMEOUT
        while not predicate(seen := self.datagrams()[start:]):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise AssertionError("reflector never saw %s; it saw %d: %s" % (what, len(seen), seen[-6:]))
            time.sleep(0.05)
        return seen

    def close(self):
        self.proc.kill()
        self.proc.wait()
        self.out.close()


class Publication(collections.namedtuple("Publication", "type topic payload body")):
    def get(self, name):
        """A member of a status or a metrics report, or None."""
        topic = STATUS if name in ("user_pingu_state", "lld_status") else METRICS
        return self.body.get(name) if self.topic == topic and isinstance(self.body, dict) else None


def path_count(field):
    """Checks that a monitor report's path figures agree; returns its number of delays."""
    def bin_of(micros):  # 1 ms bins up to 20 ms, then 10 ms ones up to 490 ms; None beyond
        if micros < 20000:
            return micros // 1000
        return 20 + (micros - 20000) // 10000 if micros < 490000 else None
    parts = field.split(",")
    if (len(parts) < 9 or not all(p.isdigit() for p in parts[:1] + parts[8:])
            or not all(re.fullmatch(r"\d+\.\d{3}", f) for f in parts[1:8])):
        raise AssertionError("malformed statistics (figures need three decimals) %r" % field)
    count, counts = int(parts[0]), [int(p) for p in parts[8:]]
    low, q1, median, q3, high, mean, mad = (int(f.replace(".", "")) for f in parts[1:8])
    top, first = bin_of(high), bin_of(low)
    bins, overflow = (counts, []) if top is not None else (counts[:67], counts[67:])
    failed = [rule for rule, holds in (
        ("more than 4 samples", count > 4),
        ("min <= q1 <= median <= q3 <= max", low <= q1 <= median <= q3 <= high),
        ("min <= mean <= max", low <= mean <= high),
        ("mean absolute deviation within the spread", mad <= high - low),
        # A veth link and a local echo: above nothing, below a second.
        ("plausible delays", 0 < low and high < 1000000),
        ("bins up to the largest delay's, which holds some; beyond 490 ms all 67 and one "
         "overflow count", len(bins) == 67 and len(overflow) == 1 if top is None
         else len(bins) == top + 1 and bins[-1] > 0),
        ("the smallest delay's bin is the first filled one", first is None and not any(bins)
         or first is not None and (first >= len(bins) or bins[first] > 0 and not any(bins[:first]))),
        ("bins and overflow count every sample", sum(counts) == count),
    ) if not holds]
    if failed:
        raise AssertionError("%s breaks: %s" % (field, "; ".join(failed)))
    return count


class ProbeTest(GatewayTest):
    """A gateway with the WAN host beside it; a fresh client per test, so the
    port rotation starts from 0 in each."""

    family = "v4"
    send = staticmethod(Proxy.send)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.wan = wan_host()

    def start_probing(self, *unanswered):
        """(A registered client, a reflector leaving the `unanswered` ports unanswered)."""
        reflector = Reflector(self.wan, self.family, unanswered)
        self.addCleanup(reflector.close)
        return self.start_registered()[0], reflector

    def monitor_request(self, name, **members):
        """A monitor probe: 100 ms cycles reported every second; None leaves a member out."""
        request = dict(name=name, reflector_url=WAN_HOST[self.family], reflector_port=PORT,
                       refresh_period=1, interval=100)
        return {k: v for k, v in dict(request, **members).items() if v is not None}

    def user_request(self, **members):
        """A user probe start: 3 s of 100 ms cycles reported every second."""
        return self.monitor_request(None, **{"command": "start", "duration": 3, **members})

    def start_user(self, **members):
        self.send({"user_pingu": self.user_request(**members)})

    def next_publication(self, timeout):
        """The next publication, or None after the timeout; one that is not JSON fails the test."""
        self.proxy.sock.settimeout(max(timeout, 0.001))
        try:
            message = json.loads(self.proxy.sock.recv(1 << 20))
        except TimeoutError:
            return None
        try:
            return Publication(message["type"], message["topic"], message["payload"],
                               json.loads(message["payload"]))
        except ValueError:
            self.fail("published text is not JSON: %r" % message["payload"][:400])

    def until(self, predicate, what, timeout=TIMEOUT):
        """Reads on until a publication matches; returns (it, those read before it)."""
        skipped, deadline = [], time.monotonic() + timeout
        while (publication := self.next_publication(deadline - time.monotonic())) is not None:
            if predicate(publication):
                return publication, skipped
            skipped.append(publication)
        self.fail("no %s; read meanwhile: %s\nclient log:\n%s" % (
            what, [p.payload[:160] for p in skipped], "\n".join(self.clients[-1].output()[-60:])))

    def expect_state(self, word):
        """Reads on to the next status report, which must be state `word`; returns those before."""
        publication, skipped = self.until(lambda p: p.topic == STATUS, 'state "%s"' % word)
        self.assertEqual(publication.payload, '{"user_pingu_state":"%s"}' % word,
                         [p.payload[:160] for p in skipped])
        return skipped

    def gather(self, seconds):
        """Everything published within the next `seconds`."""
        got, deadline = [], time.monotonic() + seconds
        while (left := deadline - time.monotonic()) > 0:
            got.append(self.next_publication(left))
        return [p for p in got if p is not None]

    def user_run(self, refused=(), paths=("p0", "p1"), **members):
        """Runs the user probe to completion, sending the `refused` messages
        while it runs; returns its publications, reports and delays per path."""
        request = self.user_request(**members)
        self.send({"user_pingu": request})
        self.expect_state("started")
        published = []
        for message in refused:
            self.send(message)
            published += self.expect_state("rejected")
        published += self.expect_state("completed")
        reports = self.joined([p.get("pingu_user") for p in published])
        self.assertTrue(all(r is not None and p.type == 2 for p, r in zip(published, reports)),
                        "not only user reports: %s" % [p.payload[:160] for p in published])
        # One report per refresh period; the last period's may be missing: it
        # ends when the run does, and either expiry may come first.
        periods, rest = divmod(request["duration"], request["refresh_period"])
        self.assertIn(len(reports), (periods,) if rest else (periods - 1, periods), reports)
        return published, reports, self.assertUserReports(
            reports, request["interval"], request["refresh_period"], paths)

    def joined(self, reports):
        """A period split into parts (1 to "parts", in order, the same "a") as one report."""
        out = []
        for report in reports:
            if report is None or "part" not in report:
                out.append(report)
                continue
            if report["part"] == 1:
                out.append(dict(report, parts=None))
            else:
                whole = out[-1]
                self.assertEqual((report["a"], report["part"]), (whole["a"], whole["part"] + 1))
                whole.update({k: ",".join(filter(None, (whole[k], v)))
                              for k, v in report.items() if k.startswith("p") and k[1:].isdigit()})
                whole["part"] = report["part"]
            if report["part"] == report["parts"]:
                del out[-1]["part"], out[-1]["parts"]
        return out

    def assertUserReports(self, reports, interval, refresh_period, paths=("p0", "p1")):
        """Reports of one user probe run, in order: well formed, counting the
        cycles, with plausible delays; returns the delays per path."""
        delays, previous = {path: [] for path in paths}, 0
        for k, report in enumerate(reports, 1):
            where = "report %d: %r" % (k, str(report)[:300])
            self.assertEqual(list(report), ["name", "a", *paths, "s"], where)
            self.assertEqual((report["name"], report["s"]), ("user_pingu", GATEWAY_WAN[self.family]))
            # Cycles are counted across reports, about one per interval from the
            # start on (a plausibility bound: a late wake-up may add one).
            self.assertIsInstance(report["a"], int, where)
            self.assertTrue(previous < report["a"] <= k * refresh_period * 1000 // interval + 2, where)
            previous = report["a"]
            for path in paths:
                self.assertRegex(report[path], r"\A(\d+(,\d+)*)?\Z", where)
                values = [int(v) for v in report[path].split(",") if v]
                self.assertEqual(values, sorted(values), "delays are listed in ascending order")
                # A veth link and a local echo: above nothing, below a second.
                self.assertTrue(all(0 < v < 1000000 for v in values), "implausible delays in " + where)
                delays[path] += values
        for path in paths:
            # One datagram per path and cycle, one delay per echo.
            self.assertLessEqual(len(delays[path]), previous, path)
        return delays

    def finished_run(self, client, reflector, reports, per_cycle=2):
        """What the reflector saw of a completed user probe run once the probe
        is gone: then a stop finds nothing to stop and nothing is published."""
        client.wait_for(r"\[DBG\] PINGU_ACTIVE 'user_pingu':\d+ at \S+ deleted$", TIMEOUT)
        mark = len(client.output())
        self.send(STOP)
        client.wait_for(r"\[DBG\] PINGU_REQUEST is not running$", TIMEOUT, mark)
        # Also gives the last datagrams time to land.
        self.assertEqual(self.gather(1.5), [], "publications after the run ended")
        last = reports[-1]["a"]
        return reflector.wait(lambda ds: len(ds) >= per_cycle * last, what="%d cycles" % last)

    def assertDatagrams(self, seen, ports, kind="pingu"):
        """Probe datagrams from these ports: a header, then the version text and zeros."""
        text = ("pingu version: " + kind).encode().ljust(64, b"\0")
        for d in seen:
            self.assertEqual((d.address, d.length, d.data[12:]), (GATEWAY_WAN[self.family], 76, text))
            self.assertIn(d.port, ports, d)

    def assertCycles(self, seen, lld, classic, running=False):
        """Cycles 1..n went out once per path, in order, with one send time, and
        reached the WAN host low-latency first on odd cycles, classic first on
        even ones; returns n. A `running` probe's last cycle may be in flight."""
        by_seq = collections.defaultdict(list)
        for d in sorted(seen, key=lambda d: d.time):
            by_seq[d.seq].append(d)
        if running and len(by_seq[max(by_seq)]) < 2:
            del by_seq[max(by_seq)]
        self.assertEqual(sorted(by_seq), list(range(1, len(by_seq) + 1)))
        previous = (0, 0)
        for seq, group in sorted(by_seq.items()):
            first = lld if seq % 2 else classic
            self.assertEqual([d.port for d in group], [first, lld + classic - first], group)
            sent = {struct.unpack_from("<II", d.data, 4) for d in group}  # seconds, microseconds
            self.assertEqual(len(sent), 1, "cycle %d: one send time" % seq)
            self.assertGreaterEqual(min(sent), previous)
            previous = min(sent)
        return len(by_seq)

    def monitor_reports(self, enough):
        """Monitor reports until enough(them) holds; monitors publish nothing else (no states)."""
        reports, deadline = [], time.monotonic() + TIMEOUT
        while not enough(reports):
            publication, _ = self.until(lambda p: True, "monitor reports after %s" % reports[-4:],
                                        deadline - time.monotonic())
            self.assertIsNotNone(publication.get("pingu_monitor"), publication.payload)
            self.assertEqual(publication.type, 2)
            reports.append(publication.get("pingu_monitor"))
        return reports

    def assertMonitorReport(self, report, settings):
        """A well-formed monitor report with these settings; returns its delay counts per path."""
        self.assertIn(list(report), [["name", "s", "a", *paths]
                                     for paths in ([], ["p0"], ["p1"], ["p0", "p1"])], report)
        self.assertEqual((report["s"], report["a"]), (GATEWAY_WAN[self.family], settings), report)
        return {path: path_count(report[path]) for path in list(report)[3:]}
