"""srServer: local subscribers ask for per-second service-flow statistics over UDP.

Requests come from ordinary UDP clients: socat, and a socket of this process that
sends from chosen loopback addresses (127.0.0.0/8 is all local), so that one
socket sees every subscriber's reports in the order they were sent.
"""

import os
import re
import socket
import struct
import subprocess
import time
import unittest

from gateway import PLATFORM_DIR, GatewayTest, reset_platform

SERVER = ("127.0.0.1", 52418)
EPOCH = int(time.time()) - 1000
MODEM = """\
epoch %d
aggregate 7
classifier 2 7 5000 5010
flow 3 0 1 100 200 30 40 50
flow 7 1 2 1000 2000 300 400 500 10
""" % EPOCH
PREFIX = b'"stats":"'
QUIET = 3.0  # seconds of silence after which no more reports are expected
IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)  # Linux's value; Python 3.11 lacks the name


def write_modem(text):
    """Replaces the stand-in's state at once, so that no poll reads half a file."""
    path = os.path.join(PLATFORM_DIR, "modem.conf")
    with open(path + ".new", "w") as f:
        f.write(text)
    os.replace(path + ".new", path)


def parse_report(datagram):
    """The flows of a report as {sfid: (direction, tag16, five changes)}."""
    if not (datagram.startswith(PREFIX) and datagram.endswith(b'"')):
        raise AssertionError("not a report: %r" % datagram)
    body = datagram[len(PREFIX):-1].decode()
    if not body:
        return {}
    fields = [int(f) for f in body.split(",")]
    if len(fields) % 8:
        raise AssertionError("not eight numbers per flow: %r" % datagram)
    flows = {}
    for i in range(0, len(fields), 8):
        sfid, direction, tag16, *changes = fields[i:i + 8]
        flows[sfid] = (direction, tag16, changes)
    return flows


class Listener:
    """One socket on one port that sends from, and receives for, any loopback address."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
        self.sock.bind(("0.0.0.0", 0))
        self.port = self.sock.getsockname()[1]

    def close(self):
        self.sock.close()

    def ask(self, text, source="127.0.0.1"):
        info = struct.pack("=I4s4s", 0, socket.inet_aton(source), bytes(4))
        self.sock.sendmsg([text.encode()], [(socket.IPPROTO_IP, IP_PKTINFO, info)], 0, SERVER)

    def receive(self, timeout=10.0):
        """(the address it was sent to, datagram), or None after the timeout."""
        self.sock.settimeout(timeout)
        try:
            data, ancillary, _, sender = self.sock.recvmsg(1 << 16, socket.CMSG_SPACE(12))
        except socket.timeout:
            return None
        if sender != SERVER:
            raise AssertionError("datagram from %r" % (sender,))
        to = next(socket.inet_ntoa(d[8:12]) for level, kind, d in ancillary if kind == IP_PKTINFO)
        return to, data

    def until_quiet(self):
        got = []
        while (one := self.receive(QUIET)) is not None:
            got.append(one)
        return got


class StatsServer(GatewayTest):
    def setUp(self):
        super().setUp()
        reset_platform(modem=MODEM)
        self.client, _ = self.start_registered()
        self.listener = Listener()
        self.addCleanup(self.listener.close)

    def assertGrowth(self, reports, rate):
        """Every change of flow 7 is whole seconds of growth, the same in all counters."""
        for report in reports:
            changes = parse_report(report)[7][2]
            self.assertEqual(len(set(changes)), 1, report)
            self.assertEqual(changes[0] % rate, 0, report)

    def test_socat_gets_n_plus_one_reports(self):
        # socat ends after QUIET seconds without a datagram, so nothing late is missed;
        # its input stays open until then, or it would stop at the end of the request.
        request, keep_open = os.pipe()
        try:
            socat = subprocess.Popen(["socat", "-T", str(QUIET), "-", "UDP4:%s:%d" % SERVER],
                                     stdin=request, stdout=subprocess.PIPE)
            os.write(keep_open, b"stats 3")
            output, _ = socat.communicate(timeout=60)
        finally:
            os.close(request)
            os.close(keep_open)
        reports = re.findall(rb'"stats":"[^"]*"', output)
        self.assertEqual(b"".join(reports), output)
        self.assertEqual(len(reports), 4)
        first = parse_report(reports[0])
        self.assertEqual(first, {3: (0, 1, [0] * 5), 7: (1, 2, [0] * 5)})
        for report in reports[1:]:
            self.assertEqual(parse_report(report)[3], (0, 1, [0] * 5))
        self.assertGrowth(reports[1:], 10)
        # Three seconds' growth, give or take a second of the stand-in's clock.
        grown = sum(parse_report(r)[7][2][0] for r in reports[1:])
        self.assertIn(grown, (20, 30, 40))
        self.client.wait_for(r"\[DBG\] stats 3 read value=3 from 127\.0\.0\.1:\d+$")

    def test_malformed_requests_are_ignored(self):
        for text in ("stats 0", "stats -4", "stats ", "stats x", "status 3", "STATS 3", "stats"):
            self.listener.ask(text)
        self.assertEqual(self.listener.until_quiet(), [])
        self.assertEqual(self.client.count(r"read value="), 0)
        self.listener.ask("stats 1 and more")
        got = self.listener.until_quiet()
        self.assertEqual(len(got), 2)
        self.client.wait_for(r"\[DBG\] stats 1 and more read value=1 from 127\.0\.0\.1:%d$"
                             % self.listener.port)

    def test_newest_subscriber_first_and_a_known_address_keeps_its_port(self):
        self.listener.ask("stats 3", "127.0.0.2")
        to, first = self.listener.receive()
        self.assertEqual(to, "127.0.0.2")
        self.listener.ask("stats 1", "127.0.0.3")
        # The same address from another port renews the count; reports keep their port.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as other:
            other.bind(("127.0.0.2", 0))
            other.sendto(b"stats 1", SERVER)
            got = self.listener.until_quiet()
            other.settimeout(0)
            self.assertRaises(BlockingIOError, other.recv, 100)
        self.assertEqual([to for to, _ in got], ["127.0.0.3", "127.0.0.2"] * 2)
        self.assertEqual(parse_report(first)[7][2], [0] * 5)
        self.assertGrowth([d for _, d in got], 10)

    def test_modem_failure_sends_err_and_drops_every_subscriber(self):
        for failure in ("none", "truncated"):
            with self.subTest(failure=failure):
                write_modem(MODEM)
                for source in ("127.0.0.2", "127.0.0.3"):
                    self.listener.ask("stats 100", source)
                    self.assertIsNotNone(self.listener.receive())
                write_modem(MODEM + "fail cm_serflow %s\n" % failure)
                got = self.listener.until_quiet()
                errors = [to for to, data in got if data == b"err"]
                self.assertEqual(sorted(errors), ["127.0.0.2", "127.0.0.3"])
                self.assertEqual(got[-2:], [(to, b"err") for to in errors])
        # The next request starts afresh: its first report shows no change.
        write_modem(MODEM)
        self.listener.ask("stats 1")
        reports = [data for _, data in self.listener.until_quiet()]
        self.assertEqual(len(reports), 2)
        self.assertEqual(parse_report(reports[0])[7][2], [0] * 5)

    def test_at_most_64_subscribers(self):
        sources = ["127.0.0.%d" % i for i in range(2, 2 + 65)]
        for source in sources:
            self.listener.ask("stats 2", source)
        self.listener.ask("stats 4", sources[0])  # known: renewed even when full
        got = self.listener.until_quiet()
        counts = {source: sum(1 for to, _ in got if to == source) for source in sources}
        self.assertEqual(counts.pop(sources[-1]), 0)
        self.assertGreater(counts.pop(sources[0]), 3)
        self.assertEqual(set(counts.values()), {3})
        # Heard, but not taken on.
        self.assertEqual(self.client.count(r"read value=2 from 127\.0\.0\.66:"), 1)
        self.assertEqual(self.client.count(r"\[DBG\] srServer full, request ignored$"), 1)

    def test_shorter_table_leaves_no_records_of_the_longer_one(self):
        # Tables without their terminating record: only the bytes of each poll count.
        longer = MODEM + "flow 9 0 3 1 1 1 1 1\nnoterm cm_serflow\n"
        write_modem(longer)
        self.listener.ask("stats 30")
        _, first = self.listener.receive()
        self.assertEqual(sorted(parse_report(first)), [3, 7, 9])
        write_modem(longer.replace("flow 3 0 1 100 200 30 40 50\n", "")
                    .replace("flow 9 0 3 1 1 1 1 1\n", ""))
        while True:
            got = self.listener.receive()
            self.assertIsNotNone(got)
            flows = parse_report(got[1])
            if len(flows) != 3:
                break
        self.assertEqual(list(flows), [7])
        self.assertEqual(list(parse_report(self.listener.receive()[1])), [7])


if __name__ == "__main__":
    unittest.main()
