"""The user latency probe over IPv4: states, reports, control by the cloud, datagrams."""

import functools
import signal
import unittest

from gateway import DEFAULT_MODEM, reset_platform
from reflector import ALREADY_RUNNING, IMPROPER, STATUS, STOP, TIMEOUT, ProbeTest

FAILED = r"\[DBG\] message_recv PINGU_USER processing Failed$"


def classifier_range(low, high):
    reset_platform(modem=DEFAULT_MODEM.replace("2 7 5000 5010", "2 7 %d %d" % (low, high)))


class UserProbe(ProbeTest):
    def test_runs_report_each_period_then_complete(self):
        # The third run's low-latency port goes unanswered: runs take rotations
        # 1, 4 and 5, as two refusals during the first rotate too.
        client, reflector = self.start_probing(5005)
        # While the probe runs every refused request says so, monitor ones too,
        # and the probe carries on undisturbed to its end.
        _, reports, delays = self.user_run(refused=(
            {"user_pingu": self.user_request(refresh_period=3)},
            {"user_pingu": self.user_request(reflector_url=None)},
            {"pingu_monitor_config": self.monitor_request("slow", interval=1500)}))
        self.assertTrue(delays["p0"] and delays["p1"], "no delay measured on a path")
        # Cycles were sent for the whole duration (a loose plausibility bound).
        self.assertGreater(reports[-1]["a"], 30 // 2)
        seen = self.finished_run(client, reflector, reports)
        # The first start takes the first rotation: 10100 + 1, and low + 1 of 5000-5010.
        self.assertDatagrams(seen, (5001, 10101))
        total = self.assertCycles(seen, 5001, 10101)
        # Every reported cycle went out, and none after the run's end (a late
        # wake-up may add one to the 31 of the schedule).
        self.assertTrue(reports[-1]["a"] <= total <= 3000 // 100 + 2, total)
        self.assertEqual({d.tclass for d in seen}, {0}, "IPv4 probes carry no TOS")
        # Thousands of delays in one period: far more than one datagram should
        # carry; the period goes out in parts of at most 8 KiB that hold them all.
        published, _, delays = self.user_run(refresh_period=3, interval=1, duration=4)
        parts = [p for p in published if "part" in (p.get("pingu_user") or {})]
        self.assertGreater(len(parts), 2)
        self.assertLessEqual(max(len(p.payload) for p in parts), 8192)
        self.assertGreater(len(delays["p0"] + delays["p1"]), 4000)
        # An unanswered path has no delays.
        _, reports, delays = self.user_run(duration=2)
        self.assertTrue(delays["p0"])
        self.assertEqual([r["p1"] for r in reports], [""] * len(reports))
        reflector.wait(lambda ds: any(d.port == 5005 for d in ds), what="the low-latency path probed")

    def states_until_ready(self):
        """Probe states published before the ready report (served after all earlier messages)."""
        self.send({"event": "send_status"})
        ready, before = self.until(lambda p: p.get("lld_status") is not None, "ready report")
        self.assertEqual(ready.get("lld_status"), "ready_to_go")
        return [p.get("user_pingu_state") for p in before if p.get("user_pingu_state")]

    def test_restart_stop_and_termination(self):
        client, _ = self.start_probing()
        # Defaults: 250 ms between cycles, 10 s of run time.
        self.start_user(interval=None, duration=None)
        self.expect_state("started")
        client.wait_for(r"^\t\tInterval-msec\s+250$", TIMEOUT)
        client.wait_for(r"^\t\tDuration-sec\s+10$", TIMEOUT)
        self.until(lambda p: p.get("pingu_user"), "first report")
        # A second start replaces the running probe with the new settings.
        self.start_user(interval=200, duration=60)
        self.expect_state("interrupted")
        self.expect_state("started")
        client.wait_for(ALREADY_RUNNING, TIMEOUT)
        self.assertEqual(client.count(ALREADY_RUNNING), 1)
        report, _ = self.until(lambda p: p.get("pingu_user"), "report after restart")
        self.assertUserReports([report.get("pingu_user")], interval=200, refresh_period=1)
        # A stop ends it; the next message is served only once it is gone.
        self.send(STOP)
        self.expect_state("interrupted")
        self.assertEqual(self.states_until_ready(), [])
        self.assertEqual(self.gather(1.5), [], "the stopped probe still publishes")

        # Requests right after a start find its probe: a stop stops it ...
        self.start_user(duration=60)
        self.send(STOP)
        self.assertIn(self.states_until_ready(), (["interrupted"], ["started", "interrupted"]))
        self.assertEqual(self.gather(1.5), [], "the probe runs on after its stop")
        # ... and a start replaces it: one runs.
        self.start_user(duration=60)
        self.start_user(duration=60)
        states = self.states_until_ready()
        if states[-1:] != ["started"]:
            self.expect_state("started")  # its thread may announce the new probe later
            states.append("started")
        # The first probe may be stopped before it announced itself.
        self.assertIn(states, (["interrupted", "started"], ["started", "interrupted", "started"]))
        self.send(STOP)
        self.assertEqual(self.states_until_ready(), ["interrupted"])
        self.assertEqual(self.gather(1.5), [], "a second probe runs on")

        # Nothing was left registered: a new start is a plain start, which the
        # client's termination interrupts.
        self.start_user(duration=60)
        self.expect_state("started")
        client.proc.send_signal(signal.SIGTERM)
        self.assertEqual(client.wait_exit(), 0)
        self.expect_state("interrupted")
        last, _ = self.until(lambda p: p.topic == STATUS, "shutdown report")
        self.assertEqual(last.payload, '{"lld_status":"shutting_down"}')
        self.assertIsNone(self.next_publication(0.3))

    def test_rejected_requests(self):
        client, _ = self.start_probing()
        start = functools.partial(self.user_request, interval=None, duration=None)
        missing = r"\[ERR\] %s is missing in pingu config$"
        incorrect = r"\[ERR\] command is incorrect in pingu config$"
        for request, line in (
                ({}, missing % "command"),
                ({"command": 1}, missing % "command"),
                (start(command="restart"), incorrect),
                (start(command="START"), incorrect),
                (start(reflector_url=None), missing % "reflector_url"),
                (start(reflector_url=5), missing % "reflector_url"),
                (start(reflector_port=None), missing % "reflector_port"),
                (start(reflector_port="7000"), missing % "reflector_port"),
                (start(refresh_period=None), missing % "reflector_period"),
                (start(refresh_period=3, duration=3), IMPROPER),
                (start(refresh_period=10), IMPROPER),  # the default duration is 10 s
                (start(interval=1500, duration=3), IMPROPER),
                # Numbers are whole and within their range.
                (start(reflector_port=70000), r"\[ERR\] reflector_port is not a whole number from 1 "
                                              r"to 65535 in pingu config$"),
                (start(interval=0), r"\[ERR\] interval is not a whole number from 1 to 86400000 "),
                (start(duration=2.5), r"\[ERR\] duration is not a whole number from 1 to 86400 "),
                (start(refresh_period=-1), r"\[ERR\] refresh_period is not a whole number ")):
            with self.subTest(request=request):
                mark = len(client.output())
                self.send({"user_pingu": request})
                client.wait_for(line, TIMEOUT, mark)
                client.wait_for(FAILED, TIMEOUT, mark)
        # With no user probe running a rejection publishes nothing.
        self.assertEqual(self.gather(0.5), [])

    def test_inverted_classifier_range_refuses_probes(self):
        classifier_range(5010, 5000)
        client, _ = self.start_probing()
        self.start_user()
        client.wait_for(r"\[ERR\] Invalid port range$", TIMEOUT)
        client.wait_for(FAILED, TIMEOUT)
        self.assertEqual(self.gather(1.0), [])

    def assertStartFrom(self, reflector, lld, classic, restart=True):
        """(Re)starts the user probe, whose cycle 1 must come from these two ports."""
        mark = len(reflector.datagrams())
        self.start_user(duration=60)
        if restart:
            self.expect_state("interrupted")
        self.expect_state("started")
        seen = reflector.wait(lambda ds: {lld, classic} <= {d.port for d in ds if d.seq == 1}, mark)
        first = [d for d in seen if d.seq == 1]
        self.assertEqual(sorted(d.port for d in first), sorted((lld, classic)))
        self.assertDatagrams(first, (lld, classic))

    def test_ports_rotate_through_the_classifier_range(self):
        classifier_range(5000, 5002)
        _, reflector = self.start_probing()
        for n, (lld, classic) in enumerate(((5001, 10101), (5002, 10102), (5000, 10100), (5001, 10101))):
            self.assertStartFrom(reflector, lld, classic, restart=n > 0)
        # A request refused before its ports are chosen leaves the rotation;
        # one refused afterwards has moved it on.
        self.send({"user_pingu": self.user_request(reflector_url=None)})
        self.expect_state("rejected")
        self.start_user(refresh_period=3)
        self.expect_state("rejected")
        self.assertStartFrom(reflector, 5000, 10100)

    def test_empty_classifier_range_uses_port_1(self):
        classifier_range(0, 0)
        _, reflector = self.start_probing()
        for restart in (False, True):
            # Every start gets the same two ports: the new sockets take them over.
            self.assertStartFrom(reflector, 1, 10101, restart)
            report, _ = self.until(lambda p: p.get("pingu_user"), "report")
            delays = self.assertUserReports([report.get("pingu_user")], interval=100, refresh_period=1)
            self.assertTrue(delays["p0"] and delays["p1"], report.payload)
        self.send(STOP)
        self.expect_state("interrupted")

    def test_one_socket_when_the_low_latency_port_is_0(self):
        # With the range 0-1 the second rotation wraps to 0: no low-latency port.
        classifier_range(0, 1)
        client, reflector = self.start_probing()
        self.start_user(refresh_period=3)  # refused, but rotated
        client.wait_for(IMPROPER, TIMEOUT)
        _, reports, delays = self.user_run(paths=("p0",))
        self.assertTrue(delays["p0"])
        seen = self.finished_run(client, reflector, reports, per_cycle=1)
        self.assertDatagrams(seen, (10100,))
        self.assertEqual(sorted(d.seq for d in seen), list(range(1, len(seen) + 1)), "one per cycle")
        self.assertGreaterEqual(len(seen), reports[-1]["a"])


if __name__ == "__main__":
    unittest.main()
