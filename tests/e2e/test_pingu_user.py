"""The user latency probe over IPv4: its states, its reports, its control by
the cloud, and its datagrams as the reflector on the WAN host sees them."""

import re
import signal
import struct
import unittest

from gateway import DEFAULT_MODEM, reset_platform
from reflector import GATEWAY_WAN, TIMEOUT, WAN_HOST, ProbeTest, close_wan_host, cycles, user_start

ECHO_PORT = 7000
STOP = {"user_pingu": {"command": "stop"}}
GONE = r"\[DBG\] PINGU_ACTIVE 'user_pingu':\d+ at \S+ deleted$"


def modem_with_range(low, high):
    return DEFAULT_MODEM.replace("classifier 2 7 5000 5010", "classifier 2 7 %d %d" % (low, high))


def user_reports(publications):
    reports = [p.user_report() for p in publications]
    if None in reports:
        raise AssertionError("not a user report: %s" % publications[reports.index(None)].payload)
    return reports


class UserProbe(ProbeTest):
    """Against socat's echo."""

    def setUp(self):
        super().setUp()
        self.socat(ECHO_PORT)

    def test_run_reports_each_period_then_completes(self):
        client, _ = self.start_registered()
        self.send(user_start(ECHO_PORT, refresh_period=1, interval=100, duration=3))
        self.assertEqual(self.feed.state("started"), [])
        published = self.feed.state("completed")
        self.assertTrue(all(p.metrics and p.type == 2 for p in published))
        reports = user_reports(published)
        self.assertReportCount(reports, duration=3, refresh_period=1)
        delays = self.assertUserReports(reports, interval=100, refresh_period=1)
        for path in ("p0", "p1"):
            self.assertTrue(delays[path], "no delay measured on " + path)
        # Cycles were sent for the whole duration (a loose plausibility bound).
        self.assertGreater(reports[-1]["a"], 30 // 2)

        # Once the probe is gone there is nothing left to report or to stop.
        client.wait_for(GONE, TIMEOUT)
        mark = self.mark(client)
        self.send(STOP)
        client.wait_for(r"\[DBG\] PINGU_REQUEST is not running$", TIMEOUT, mark)
        self.assertEqual(self.feed.gather(1.5), [])

    def test_restart_and_stop(self):
        client, _ = self.start_registered()
        self.send(user_start(ECHO_PORT, duration=60))
        self.feed.state("started")
        self.feed.until(lambda p: p.user_report() is not None, what="first report")

        # A second start replaces the running probe with the new settings.
        mark = self.mark(client)
        self.send(user_start(ECHO_PORT, interval=200, duration=60))
        self.feed.state("interrupted")
        self.feed.state("started")
        client.wait_for(r"\[DBG\] PINGU_REQUEST is already running$", TIMEOUT, mark)
        self.assertEqual(client.count(r"PINGU_REQUEST is already running$"), 1)
        report, _ = self.feed.until(lambda p: p.user_report() is not None, what="report after restart")
        self.assertUserReports([report.user_report()], interval=200, refresh_period=1)

        # A stop ends it; the next message is served only once it is gone.
        self.send(STOP)
        self.feed.state("interrupted")
        self.send({"event": "send_status"})
        ready, _ = self.feed.until(lambda p: p.status, what="ready report")
        self.assertEqual(ready.body["lld_status"], "ready_to_go")
        self.assertEqual(self.feed.gather(1.5), [], "the stopped probe still publishes")

        mark = self.mark(client)
        self.send(STOP)
        client.wait_for(r"\[DBG\] PINGU_REQUEST is not running$", TIMEOUT, mark)
        self.assertEqual(self.feed.gather(1.0), [])

        # Nothing was left registered: a new start is a plain start.
        self.send(user_start(ECHO_PORT, duration=60))
        self.feed.state("started")
        self.assertIsNone(client.proc.poll())

    def states_until_ready(self):
        """Asks for the ready report, which is served after every message sent
        before it; returns the probe states published until then."""
        self.send({"event": "send_status"})
        ready, before = self.feed.until(lambda p: p.status and "lld_status" in p.body,
                                        what="ready report")
        self.assertEqual(ready.body["lld_status"], "ready_to_go")
        return [p.state() for p in before if p.state() is not None]

    def test_requests_right_after_a_start_find_the_probe(self):
        client, _ = self.start_registered()
        # A stop that follows a start at once stops that probe.
        self.send(user_start(ECHO_PORT, duration=60))
        self.send(STOP)
        states = self.states_until_ready()
        self.assertIn(states, (["interrupted"], ["started", "interrupted"]))
        self.assertEqual(self.feed.gather(1.5), [], "the probe runs on after its stop")

        # A start that follows a start at once replaces that probe: one runs.
        self.send(user_start(ECHO_PORT, duration=60))
        self.send(user_start(ECHO_PORT, duration=60))
        states = self.states_until_ready()
        if states[-1:] != ["started"]:
            states += self.states_until_ready()  # the new probe may announce itself later
        # The first probe may be stopped before it announced itself.
        self.assertIn(states, (["interrupted", "started"], ["started", "interrupted", "started"]))
        self.send(STOP)
        self.assertEqual(self.states_until_ready(), ["interrupted"])
        self.assertEqual(self.feed.gather(1.5), [], "a second probe runs on")

    def test_rejected_requests(self):
        client, _ = self.start_registered()
        url, port = WAN_HOST["v4"], ECHO_PORT
        base = {"command": "start", "reflector_url": url, "reflector_port": port, "refresh_period": 1}

        def without(name):
            return {k: v for k, v in base.items() if k != name}

        bad = [
            ({}, "command is missing in pingu config"),
            ({"command": 1}, "command is missing in pingu config"),
            (dict(base, command="restart"), "command is incorrect in pingu config"),
            (dict(base, command="START"), "command is incorrect in pingu config"),
            (without("reflector_url"), "reflector_url is missing in pingu config"),
            (dict(base, reflector_url=5), "reflector_url is missing in pingu config"),
            (without("reflector_port"), "reflector_port is missing in pingu config"),
            (dict(base, reflector_port=str(port)), "reflector_port is missing in pingu config"),
            (without("refresh_period"), "reflector_period is missing in pingu config"),
            (dict(base, refresh_period=3, duration=3), "Improper values of interval, refresh_period and duration"),
            # The default duration is 10 s.
            (dict(base, refresh_period=10), "Improper values of interval, refresh_period and duration"),
            (dict(base, interval=1500, duration=3), "Improper values of interval, refresh_period and duration"),
        ]
        for request, line in bad:
            with self.subTest(request=request):
                mark = self.mark(client)
                self.send({"user_pingu": request})
                client.wait_for(r"\[ERR\] %s$" % re.escape(line), TIMEOUT, mark)
                client.wait_for(r"\[DBG\] message_recv PINGU_USER processing Failed$", TIMEOUT, mark)
        # With no user probe running a rejection publishes nothing.
        self.assertEqual(self.feed.gather(0.5), [])

        # Defaults: 250 ms between cycles, 10 s of run time.
        mark = self.mark(client)
        self.send({"user_pingu": dict(base, refresh_period=5)})
        self.feed.state("started")
        client.wait_for(r"^\t\tInterval-msec\s+250$", TIMEOUT, mark)
        client.wait_for(r"^\t\tDuration-sec\s+10$", TIMEOUT, mark)
        self.send(STOP)
        self.feed.state("interrupted")

        # While a user probe runs, every rejected request says so, monitor ones too.
        self.send(user_start(ECHO_PORT, refresh_period=1, interval=100, duration=3))
        self.feed.state("started")
        published = []
        for message in ({"user_pingu": dict(base, refresh_period=3, duration=3)},
                        {"user_pingu": without("reflector_url")},
                        {"pingu_monitor_config": {"name": "slow", "reflector_url": url,
                                                  "reflector_port": port, "refresh_period": 1,
                                                  "interval": 1500}}):
            with self.subTest(message=message):
                self.send(message)
                published += self.feed.state("rejected")
        # The running probe carries on undisturbed to its end.
        published += self.feed.state("completed")
        reports = user_reports(published)
        self.assertReportCount(reports, duration=3, refresh_period=1)
        self.assertUserReports(reports, interval=100, refresh_period=1)

    def test_inverted_classifier_range_refuses_probes(self):
        reset_platform(modem=modem_with_range(5010, 5000))
        client, _ = self.start_registered()
        self.send(user_start(ECHO_PORT))
        client.wait_for(r"\[ERR\] Invalid port range$", TIMEOUT)
        client.wait_for(r"\[DBG\] message_recv PINGU_USER processing Failed$", TIMEOUT)
        self.assertEqual(self.feed.gather(1.0), [])

    def test_termination_interrupts_the_user_probe(self):
        client, _ = self.start_registered()
        self.send(user_start(ECHO_PORT, duration=60))
        self.feed.state("started")
        client.proc.send_signal(signal.SIGTERM)
        self.assertEqual(client.wait_exit(), 0)
        self.feed.state("interrupted")
        last, _ = self.feed.until(lambda p: p.status, what="shutdown report")
        self.assertEqual(last.payload, '{"lld_status":"shutting_down"}')
        self.assertIsNone(self.feed.next(0.3))


def sent_time(datagram):
    seconds, micros = struct.unpack("<II", bytes.fromhex(datagram.sent))
    return seconds * 1000000 + micros


class OnTheWire(ProbeTest):
    """Against an echo that records what it receives."""

    def assertProbeDatagrams(self, datagrams, ports, kind="pingu"):
        for d in datagrams:
            self.assertEqual(d.address, GATEWAY_WAN[self.family], d)
            self.assertIn(d.port, ports, d)
            self.assertEqual(d.length, 76, d)
            self.assertEqual(d.text, "pingu version: " + kind, d)
            self.assertTrue(d.tail_zero, d)

    def assertCycles(self, datagrams, lld, classic, count):
        """Each of cycles 1..count went out once on each path, the low-latency
        path first on odd cycles and the classic path first on even ones."""
        by_seq = cycles(datagrams)
        self.assertEqual(sorted(by_seq), list(range(1, count + 1)))
        previous = 0
        for seq, group in sorted(by_seq.items()):
            first = lld if seq % 2 else classic
            self.assertEqual([d.port for d in group], [first, lld + classic - first],
                             "cycle %d: %s" % (seq, group))
            self.assertEqual(group[0].sent, group[1].sent, "cycle %d: one send time" % seq)
            self.assertGreaterEqual(sent_time(group[0]), previous)
            previous = sent_time(group[0])

    def test_datagrams_of_a_run(self):
        reflector = self.observer(ECHO_PORT)
        client, _ = self.start_registered()
        self.send(user_start(ECHO_PORT, refresh_period=1, interval=100, duration=3))
        self.feed.state("started")
        reports = user_reports(self.feed.state("completed"))
        self.assertReportCount(reports, duration=3, refresh_period=1)
        self.assertUserReports(reports, interval=100, refresh_period=1)
        seen = self.finished_run(client, reflector, reports, per_cycle=2)
        total = max(d.seq for d in seen)
        # Every reported cycle went out, and none after the run's end (a late
        # wake-up may add one to the 31 of the schedule).
        self.assertTrue(reports[-1]["a"] <= total <= 3000 // 100 + 2, total)

        # The first start takes the first rotation: 10100 + 1, and low + 1 of 5000-5010.
        self.assertProbeDatagrams(seen, (5001, 10101))
        self.assertCycles(seen, 5001, 10101, total)
        self.assertEqual({d.tclass for d in seen}, {0}, "IPv4 probes carry no TOS")

    def test_ports_rotate_through_the_classifier_range(self):
        reset_platform(modem=modem_with_range(5000, 5002))
        reflector = self.observer(ECHO_PORT)
        client, _ = self.start_registered()

        def start_and_see(lld, classic, restart=True):
            mark = reflector.mark()
            self.send(user_start(ECHO_PORT, duration=60))
            if restart:
                self.feed.state("interrupted")
            self.feed.state("started")
            seen = reflector.wait(lambda ds: {lld, classic} <= {d.port for d in ds if d.seq == 1},
                                  start=mark, what="cycle 1 from %d and %d" % (lld, classic))
            self.assertEqual(sorted(d.port for d in seen if d.seq == 1), sorted((lld, classic)))
            self.assertProbeDatagrams([d for d in seen if d.seq == 1], (lld, classic))

        start_and_see(5001, 10101, restart=False)
        start_and_see(5002, 10102)
        start_and_see(5000, 10100)
        start_and_see(5001, 10101)
        # A request refused before its ports are chosen leaves the rotation;
        # one refused afterwards has moved it on.
        self.send({"user_pingu": {"command": "start", "reflector_port": ECHO_PORT, "refresh_period": 1}})
        self.feed.state("rejected")
        self.send(user_start(ECHO_PORT, refresh_period=3, duration=3))
        self.feed.state("rejected")
        start_and_see(5000, 10100)
        self.send(STOP)
        self.feed.state("interrupted")

    def test_empty_classifier_range_uses_port_1(self):
        reset_platform(modem=modem_with_range(0, 0))
        reflector = self.observer(ECHO_PORT)
        client, _ = self.start_registered()
        for restart in (False, True):
            with self.subTest(restart=restart):
                mark = reflector.mark()
                self.send(user_start(ECHO_PORT, duration=60))
                if restart:
                    self.feed.state("interrupted")
                self.feed.state("started")
                # Every start gets the same two ports: the new sockets take them over.
                seen = reflector.wait(lambda ds: {1, 10101} <= {d.port for d in ds if d.seq == 1},
                                      start=mark, what="cycle 1 from ports 1 and 10101")
                self.assertProbeDatagrams(seen, (1, 10101))
                report, _ = self.feed.until(lambda p: p.user_report() is not None)
                delays = self.assertUserReports([report.user_report()], interval=100, refresh_period=1)
                self.assertTrue(delays["p0"] and delays["p1"], report.payload)
        self.assertIsNone(client.proc.poll())
        self.send(STOP)
        self.feed.state("interrupted")

    def test_one_socket_when_the_low_latency_port_is_0(self):
        # With the range 0-1 the second rotation wraps to 0: no low-latency port.
        reset_platform(modem=modem_with_range(0, 1))
        reflector = self.observer(ECHO_PORT)
        client, _ = self.start_registered()
        self.send(user_start(ECHO_PORT, refresh_period=3, duration=3))  # refused, but rotated
        client.wait_for(r"\[ERR\] Improper values", TIMEOUT)
        self.send(user_start(ECHO_PORT, refresh_period=1, interval=100, duration=3))
        self.feed.state("started")
        reports = user_reports(self.feed.state("completed"))
        self.assertReportCount(reports, duration=3, refresh_period=1)
        delays = self.assertUserReports(reports, interval=100, refresh_period=1, paths=("p0",))
        self.assertTrue(delays["p0"])
        seen = self.finished_run(client, reflector, reports, per_cycle=1)
        total = max(d.seq for d in seen)
        self.assertGreaterEqual(total, reports[-1]["a"])
        self.assertProbeDatagrams(seen, (10100,))
        self.assertEqual(sorted(d.seq for d in seen), list(range(1, total + 1)),
                         "one datagram per cycle")

    def test_unanswered_path_reports_no_delays(self):
        reflector = self.observer(ECHO_PORT, silent_ports=(5001,))
        self.start_registered()
        self.send(user_start(ECHO_PORT, refresh_period=1, interval=100, duration=2))
        self.feed.state("started")
        reports = user_reports(self.feed.state("completed"))
        self.assertReportCount(reports, duration=2, refresh_period=1)
        delays = self.assertUserReports(reports, interval=100, refresh_period=1)
        self.assertTrue(delays["p0"])
        self.assertEqual([r["p1"] for r in reports], [""] * len(reports))
        reflector.wait(lambda ds: any(d.port == 5001 for d in ds), what="the low-latency path probed")

    def test_long_report_is_whole(self):
        # Thousands of delays in one period: far more text than a fixed buffer
        # of 8 KiB would hold; the report must carry them all and stay JSON.
        self.observer(ECHO_PORT, record=False)
        self.start_registered()
        self.send(user_start(ECHO_PORT, refresh_period=3, interval=1, duration=4))
        self.feed.state("started")
        published = self.feed.state("completed")
        reports = user_reports(published)
        self.assertEqual(len(reports), 1)
        delays = self.assertUserReports(reports, interval=1, refresh_period=3)
        self.assertGreater(len(published[0].payload.encode()), 8192,
                           "%d delays in %d bytes" % (len(delays["p0"]) + len(delays["p1"]),
                                                      len(published[0].payload)))


def tearDownModule():
    close_wan_host()


if __name__ == "__main__":
    unittest.main()
