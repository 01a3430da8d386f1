"""Monitor latency probes: named probes that run until replaced, with reports
that condense each path's delays into statistics and a histogram."""

import signal
import time
import unittest

from reflector import (GATEWAY_WAN, TIMEOUT, ProbeTest, close_wan_host, cycles, monitor,
                       path_stats)

ECHO_PORT = 7002


def settings(interval, port_classic, port_lld):
    """The "a" member of a monitor report: interval, no duration, the local
    ports, then the histogram's steps and ends."""
    return "%d,0,%d,%d,1,10,20,500" % (interval, port_classic, port_lld)


class MonitorTest(ProbeTest):
    def monitor_reports(self, enough, timeout=TIMEOUT, what="monitor reports"):
        """Monitor reports read until enough(reports so far) holds. Monitor
        probes publish nothing else: no state messages at all."""
        reports = []
        deadline = time.monotonic() + timeout
        while not enough(reports):
            left = deadline - time.monotonic()
            if left <= 0:
                self.fail("not %s after %d reports: %s%s" % (what, len(reports), reports[-4:],
                                                            self.client_log()))
            publication, _ = self.feed.until(lambda p: True, left, what)
            report = publication.monitor_report()
            self.assertIsNotNone(report, "not a monitor report: " + publication.payload)
            self.assertEqual(publication.type, 2)
            reports.append(report)
        return reports

    def assertMonitorReport(self, report, a):
        paths = [k for k in report if k.startswith("p")]
        self.assertEqual(list(report), ["name", "s", "a"] + paths, report)
        self.assertIn(paths, ([], ["p0"], ["p1"], ["p0", "p1"]))
        self.assertEqual(report["s"], GATEWAY_WAN[self.family])
        self.assertEqual(report["a"], a, report["name"])
        stats = {}
        for path in paths:
            stats[path] = path_stats(report[path])
            self.assertPlausibleDelays((stats[path].min, stats[path].max), "%s %s" % (report["name"], path))
        return stats


def with_both_paths(name):
    return lambda reports: any(r["name"] == name and "p0" in r and "p1" in r for r in reports)


class MonitorProbes(MonitorTest):
    """Against socat's echo."""

    def setUp(self):
        super().setUp()
        self.socat(ECHO_PORT)

    def test_two_monitors_report_statistics_and_restart_by_name(self):
        client, _ = self.start_registered()
        self.send({"pingu_monitor_config": [monitor("m1", ECHO_PORT, interval=100),
                                            monitor("m2", ECHO_PORT, interval=150)]})
        expected = {"m1": settings(100, 10101, 5001), "m2": settings(150, 10102, 5002)}
        reports = self.monitor_reports(lambda rs: with_both_paths("m1")(rs) and with_both_paths("m2")(rs))
        for report in reports:
            self.assertIn(report["name"], expected)
            self.assertMonitorReport(report, expected[report["name"]])

        # The same name again replaces the probe with the new settings; the
        # other probe runs on as it was.
        mark = self.mark(client)
        self.send({"pingu_monitor_config": monitor("m1", ECHO_PORT, interval=200)})
        client.wait_for(r"\[DBG\] PINGU_REQUEST is already running$", TIMEOUT, mark)
        expected_after = settings(200, 10103, 5003)

        def renewed(report):
            return report["name"] == "m1" and report["a"] == expected_after

        def enough(reports):
            new = [i for i, r in enumerate(reports) if renewed(r)]
            return (any("p0" in reports[i] and "p1" in reports[i] for i in new)
                    and any(r["name"] == "m2" for r in reports[new[0]:]))

        reports = self.monitor_reports(enough)
        first_new = next(i for i, r in enumerate(reports) if renewed(r))
        for i, report in enumerate(reports):
            if report["name"] == "m1":
                # Reports of the old probe may precede the new one's, never follow them.
                self.assertMonitorReport(report, expected_after if i >= first_new else expected["m1"])
            else:
                self.assertMonitorReport(report, expected["m2"])
        self.assertEqual(client.count(r"PINGU_REQUEST is already running$"), 1)

    def test_refused_elements_leave_the_others(self):
        client, _ = self.start_registered()
        nameless = monitor("x", ECHO_PORT)
        del nameless["name"]
        self.send({"pingu_monitor_config": [
            monitor("bad", ECHO_PORT, interval=1500, refresh_period=1),
            nameless,
            monitor("ok", ECHO_PORT, interval=100, command="stop"),  # monitors only ever start
        ]})
        client.wait_for(r"\[DBG\] message_recv PINGU_MONITOR 3 count$", TIMEOUT)
        client.wait_for(r"\[ERR\] Improper values of interval, refresh_period and duration$", TIMEOUT)
        client.wait_for(r"\[ERR\] name is missing in pingu config$", TIMEOUT)
        failed = client.wait_for(r"\[DBG\] message_recv PINGU_MONITOR processing Failed$", TIMEOUT)
        client.wait_for(r"\[DBG\] message_recv PINGU_MONITOR processing Failed$", TIMEOUT, failed + 1)
        client.wait_for(r"\[DBG\] message_recv PINGU_MONITOR 3 processing$", TIMEOUT)
        # The refused "bad" had its ports chosen: "ok" gets the second rotation.
        reports = self.monitor_reports(with_both_paths("ok"))
        for report in reports:
            self.assertEqual(report["name"], "ok")
            self.assertMonitorReport(report, settings(100, 10102, 5002))
        self.assertEqual(client.count(r"message_recv PINGU_MONITOR processing Failed$"), 2)
        # Only one interval of 1000 ms fits a refresh period of one second.
        mark = self.mark(client)
        self.send({"pingu_monitor_config": monitor("edge", ECHO_PORT, interval=1000, refresh_period=1)})
        client.wait_for(r"PINGU_THREAD 'edge' \d+ started$", TIMEOUT, mark)
        self.assertEqual(client.count(r"\[ERR\] Improper values"), 1)

    def test_names_are_escaped_and_cut(self):
        client, _ = self.start_registered()
        odd = 'q"uo\\te\t<x>'
        self.send({"pingu_monitor_config": [monitor(odd, ECHO_PORT), monitor("n" * 40, ECHO_PORT)]})
        # Each report is checked to be JSON as it is read.
        reports = self.monitor_reports(lambda rs: {odd, "n" * 31} <= {r["name"] for r in rs})
        self.assertEqual({r["name"] for r in reports}, {odd, "n" * 31})

    def test_monitor_named_like_the_user_probe_says_started(self):
        self.start_registered()
        self.send({"pingu_monitor_config": monitor("my_user_pingu", ECHO_PORT)})
        started, _ = self.feed.until(lambda p: p.status, what="state")
        self.assertEqual(started.payload, '{"user_pingu_state":"started"}')
        reports = self.monitor_reports(with_both_paths("my_user_pingu"))
        self.assertMonitorReport(reports[-1], settings(100, 10101, 5001))

    def test_termination_with_monitors_running(self):
        client, _ = self.start_registered()
        self.send({"pingu_monitor_config": [monitor("m1", ECHO_PORT), monitor("m2", ECHO_PORT)]})
        self.monitor_reports(lambda rs: {"m1", "m2"} <= {r["name"] for r in rs})
        client.proc.send_signal(signal.SIGTERM)
        self.assertEqual(client.wait_exit(), 0)
        # No user probe ran: no probe state, only the shutdown report.
        last, skipped = self.feed.until(lambda p: p.status, what="shutdown report")
        self.assertEqual(last.payload, '{"lld_status":"shutting_down"}')
        self.assertTrue(all(p.monitor_report() for p in skipped))
        self.assertIsNone(self.feed.next(0.3))


class MonitorOnTheWire(MonitorTest):
    """Against an echo that records what it receives and leaves the
    low-latency path unanswered."""

    def test_unanswered_path_is_left_out(self):
        reflector = self.observer(ECHO_PORT, silent_ports=(5001,))
        self.start_registered()
        self.send({"pingu_monitor_config": monitor("m", ECHO_PORT, interval=100)})
        reports = self.monitor_reports(lambda rs: sum("p0" in r for r in rs) >= 2)
        answered = 0
        for report in reports:
            stats = self.assertMonitorReport(report, settings(100, 10101, 5001))
            self.assertNotIn("p1", stats)
            answered += stats["p0"].count if "p0" in stats else 0
        # Every delay stands for one echo of a classic datagram.
        seen = reflector.wait(lambda ds: sum(d.port == 10101 for d in ds) >= answered,
                              what="%d classic datagrams" % answered)
        for d in seen:
            self.assertEqual((d.address, d.length, d.text), (GATEWAY_WAN["v4"], 76, "pingu version: flea"))
            self.assertIn(d.port, (5001, 10101))
        by_seq = cycles(seen)
        complete = {seq: group for seq, group in by_seq.items() if len(group) == 2}
        self.assertTrue(complete)
        for seq, group in complete.items():
            self.assertEqual(group[0].port, 5001 if seq % 2 else 10101, "cycle %d" % seq)


def tearDownModule():
    close_wan_host()


if __name__ == "__main__":
    unittest.main()
