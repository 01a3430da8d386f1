"""srServer: local subscribers ask for per-second service-flow statistics over UDP, from
socat, and from one socket of this process that sends from chosen loopback addresses
(127.0.0.0/8 is all local) and so sees every subscriber's reports in the order they were sent."""

import re
import socket
import struct
import subprocess
import time
import unittest

from gateway import DEFAULT_MODEM, GatewayTest, reset_platform, write_modem

SERVER = ("127.0.0.1", 52418)
# Flow 3 downstream without growth, flow 7 upstream growing by 10 a second.
MODEM = "epoch %d\n" % (time.time() - 1000) + DEFAULT_MODEM.replace("flow 3 1 1", "flow 3 0 1")
QUIET = 3.0  # seconds of silence after which no more reports are expected
IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)  # Linux's value; Python 3.11 lacks the name


def parse_report(datagram):
    """The flows of a report as {sfid: (direction, tag16, five changes)}."""
    body = re.fullmatch(rb'"stats":"([^"]*)"', datagram)
    fields = [int(f) for f in body[1].split(b",")] if body and body[1] else []
    if not body or len(fields) % 8:
        raise AssertionError("not a report of eight numbers per flow: %r" % datagram)
    return {fields[i]: (fields[i + 1], fields[i + 2], fields[i + 3:i + 8]) for i in range(0, len(fields), 8)}


class Listener:
    """One socket on one port that sends from, and receives for, any loopback address."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
        self.sock.bind(("0.0.0.0", 0))

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
        return next(socket.inet_ntoa(d[8:12]) for _, kind, d in ancillary if kind == IP_PKTINFO), data

    def until_quiet(self):
        return list(iter(lambda: self.receive(QUIET), None))


class StatsServer(GatewayTest):
    def setUp(self):
        super().setUp()
        reset_platform(modem=MODEM)
        self.client, _ = self.start_registered()
        self.listener = Listener()
        self.addCleanup(self.listener.sock.close)

    def assertGrowth(self, reports):
        """Every change of flow 7 is whole seconds of growth, the same in all counters."""
        for report in reports:
            changes = parse_report(report)[7][2]
            self.assertEqual(len(set(changes)), 1, report)
            self.assertEqual(changes[0] % 10, 0, report)

    def test_socat_gets_n_plus_one_reports(self):
        # socat ends after QUIET seconds without a datagram, so nothing late is missed; the end
        # of its input is no end for it (ignoreeof), or it would stop at the end of the request.
        output = subprocess.run(["socat", "-T", str(QUIET), "-,ignoreeof", "UDP4:%s:%d" % SERVER],
                                input=b"stats 3", stdout=subprocess.PIPE, timeout=60).stdout
        raw = re.findall(rb'"stats":"[^"]*"', output)
        self.assertEqual(b"".join(raw), output)
        reports = [parse_report(report) for report in raw]
        self.assertEqual(len(reports), 4)
        self.assertEqual(reports[0], {3: (0, 1, [0] * 5), 7: (1, 2, [0] * 5)})
        self.assertEqual([flows[3] for flows in reports[1:]], [(0, 1, [0] * 5)] * 3)
        self.assertGrowth(raw[1:])
        # Three seconds' growth, give or take a second of the stand-in's clock.
        self.assertIn(sum(flows[7][2][0] for flows in reports[1:]), (20, 30, 40))
        self.client.wait_for(r"\[DBG\] stats 3 read value=3 from 127\.0\.0\.1:\d+$")

    def test_heard_on_the_loopback_and_the_lan_only_and_never_shared(self):
        for address, answered in (("192.0.2.1", True), ("198.51.100.2", False)):
            with self.subTest(address=address), socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                s.settimeout(QUIET)
                s.sendto(b"stats 1", (address, 52418))
                try:
                    got = s.recvfrom(1 << 16)
                except (socket.timeout, ConnectionRefusedError):
                    got = None
                self.assertEqual(got is not None and got[1] == (address, 52418), answered)
            with self.subTest(squat=address), socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                if answered:  # no other program can take the server's requests
                    self.assertRaises(OSError, s.bind, (address, 52418))

    def test_malformed_requests_are_ignored(self):
        for text in ("stats 0", "stats -4", "stats ", "stats x", "status 3", "STATS 3", "stats"):
            self.listener.ask(text)
        self.assertEqual(self.listener.until_quiet(), [])
        self.assertEqual(self.client.count(r"read value="), 0)
        self.listener.ask("stats 1 and more")
        self.assertEqual(len(self.listener.until_quiet()), 2)
        self.client.wait_for(r"\[DBG\] stats 1 and more read value=1 from 127\.0\.0\.1:%d$"
                             % self.listener.sock.getsockname()[1])

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
        self.assertGrowth([data for _, data in got])

    def test_a_subscriber_that_cannot_be_reached_holds_up_no_other(self):
        # The unreachable one is first in the send order and spends its count all the same.
        rule = ["OUTPUT", "-p", "udp", "--sport", "52418", "-d", "127.0.0.2", "-j", "DROP"]
        subprocess.run(["iptables", "-I"] + rule, check=True)
        self.addCleanup(subprocess.run, ["iptables", "-D"] + rule, check=False)
        self.listener.ask("stats 2", "127.0.0.3")
        self.listener.ask("stats 1", "127.0.0.2")
        self.assertEqual([to for to, _ in self.listener.until_quiet()], ["127.0.0.3"] * 3)
        subprocess.run(["iptables", "-D"] + rule, check=True)
        self.assertIsNone(self.listener.receive(QUIET))

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
        self.assertEqual(sorted(parse_report(self.listener.receive()[1])), [3, 7, 9])
        write_modem(longer.replace("flow 3 0 1 100 200 30 40 50\n", "").replace("flow 9 0 3 1 1 1 1 1\n", ""))
        while len(flows := parse_report(self.listener.receive()[1])) == 3:
            pass
        self.assertEqual(list(flows), [7])
        self.assertEqual(list(parse_report(self.listener.receive()[1])), [7])


if __name__ == "__main__":
    unittest.main()
