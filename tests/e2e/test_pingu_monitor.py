"""Monitor latency probes: named, run until replaced, report statistics and histograms."""

import signal
import socket
import time
import unittest

from reflector import ALREADY_RUNNING, IMPROPER, SETTINGS, STATUS, TIMEOUT, ProbeTest

FAILED = r"\[DBG\] message_recv PINGU_MONITOR processing Failed$"


def with_both_paths(*names):
    return lambda reports: all(any(r["name"] == name and "p0" in r and "p1" in r for r in reports)
                               for name in names)


class MonitorProbes(ProbeTest):
    def test_monitors_report_statistics_restart_by_name_and_end_with_the_client(self):
        client, _ = self.start_probing()
        # Names are escaped (each report is checked to be JSON as it is read)
        # and cut to 31 characters.
        odd, cut = 'q"uo\\te\t<x>', "n" * 31
        self.send({"pingu_monitor_config": [self.monitor_request(odd, interval=100),
                                            self.monitor_request(cut + "n" * 9, interval=150)]})
        before = {odd: SETTINGS % (100, 10101, 5001), cut: SETTINGS % (150, 10102, 5002)}
        for report in self.monitor_reports(with_both_paths(odd, cut)):
            self.assertMonitorReport(report, before.get(report["name"]))

        # The same name again replaces the probe with the new settings; the
        # other probe runs on as it was.
        self.send({"pingu_monitor_config": self.monitor_request(odd, interval=200)})
        client.wait_for(ALREADY_RUNNING, TIMEOUT)
        after = dict(before, **{odd: SETTINGS % (200, 10103, 5003)})
        # Reports of the old probe may precede the new one's, never follow them.
        old = self.monitor_reports(lambda rs: rs and rs[-1]["a"] == after[odd])
        for report in old[:-1]:
            self.assertMonitorReport(report, before.get(report["name"]))
        for report in old[-1:] + self.monitor_reports(lambda rs: with_both_paths(odd, cut)(old[-1:] + rs)):
            self.assertMonitorReport(report, after.get(report["name"]))
        self.assertEqual(client.count(ALREADY_RUNNING), 1)

        # No user probe ran: the client's termination publishes no probe
        # state, only the shutdown report.
        client.proc.send_signal(signal.SIGTERM)
        self.assertEqual(client.wait_exit(), 0)
        last, skipped = self.until(lambda p: p.topic == STATUS, "shutdown report")
        self.assertEqual(last.payload, '{"lld_status":"shutting_down"}')
        self.assertTrue(all(p.get("pingu_monitor") for p in skipped))
        self.assertIsNone(self.next_publication(0.3))

    def test_refused_elements_leave_the_others(self):
        client, _ = self.start_probing()
        # The one element accepted is named like the user probe: it says
        # "started" as that would.
        self.send({"pingu_monitor_config": [
            self.monitor_request("bad", interval=1500),
            self.monitor_request(None),
            self.monitor_request("my_user_pingu", command="stop"),  # monitors only ever start
        ]})
        client.wait_for(r"\[DBG\] message_recv PINGU_MONITOR 3 count$", TIMEOUT)
        client.wait_for(IMPROPER, TIMEOUT)
        client.wait_for(r"\[ERR\] name is missing in pingu config$", TIMEOUT)
        client.wait_for(r"\[DBG\] message_recv PINGU_MONITOR 3 processing$", TIMEOUT)
        self.expect_state("started")
        # The refused "bad" had its ports chosen: the accepted one gets the second rotation.
        for report in self.monitor_reports(with_both_paths("my_user_pingu")):
            self.assertEqual(report["name"], "my_user_pingu")
            self.assertMonitorReport(report, SETTINGS % (100, 10102, 5002))
        self.assertEqual(client.count(FAILED), 2)
        # Only one interval of 1000 ms fits a refresh period of one second.
        mark = len(client.output())
        self.send({"pingu_monitor_config": self.monitor_request("edge", interval=1000)})
        client.wait_for(r"PINGU_THREAD 'edge' \d+ started$", TIMEOUT, mark)
        self.assertEqual(client.count(IMPROPER), 1)

    def test_a_probe_that_cannot_start_fails_alone(self):
        client, _ = self.start_probing()
        rejected = lambda name: self.until(  # noqa: E731
            lambda p: p.body == {"monitor_pingu_state": "rejected", "name": name}, name + " rejected")
        # A local program holds the first probe's classic port.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as squatter:
            squatter.bind(("0.0.0.0", 10101))
            self.send({"pingu_monitor_config": self.monitor_request("m0")})
            rejected("m0")
        client.wait_for(r"\[ERR\] ERROR on binding \(local port 10101\): Address already in use$")
        # The others go on; 32 monitors may run at once.
        for names in (range(1, 17), range(17, 34)):  # a datagram holds at most 4 KiB
            self.send({"pingu_monitor_config": [self.monitor_request("m%d" % i, interval=1000,
                                                                     refresh_period=5)
                                                for i in names]})
        rejected("m33")
        client.wait_for(r"\[ERR\] PINGU_START for 'm33' refused: 32 monitor probes run already$")
        started = r"PINGU_THREAD 'm\d+' \d+ started$"  # m0 too, before it failed
        deadline = time.monotonic() + TIMEOUT
        while client.count(started) < 33 and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(client.count(started), 33)

    def test_only_the_reflectors_echoes_of_awaited_cycles_count(self):
        client, reflector = self.start_probing()
        self.send({"pingu_monitor_config": self.monitor_request("m")})
        reflector.wait(lambda ds: len(ds) >= 4, what="a few cycles")
        # Echoes made up on the WAN host: from another port, of a cycle never sent,
        # and a second echo of an answered one; all claim a send time long ago.
        forged = [(9999, 1), (7000, 10 ** 6), (7000, 1)]
        script = ("import socket,struct\n"
                  "for port, seq in %r:\n"
                  "    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                  "    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
                  "    s.bind(('198.51.100.20', port))\n"
                  "    for target in (10101, 5001):\n"
                  "        s.sendto(struct.pack('<III', seq, 1, 0).ljust(76, b'\\0'), ('198.51.100.2', target))\n"
                  % (forged,))
        self.wan.run("python3", "-c", script)
        for report in self.monitor_reports(lambda rs: len(rs) >= 3):
            stats = self.assertMonitorReport(report, SETTINGS % (100, 10101, 5001))
            self.assertEqual(set(stats), {"p0", "p1"})

    def test_unanswered_path_is_left_out(self):
        _, reflector = self.start_probing(5001)
        self.send({"pingu_monitor_config": self.monitor_request("m")})
        answered = 0
        for report in self.monitor_reports(lambda rs: sum("p0" in r for r in rs) >= 2):
            stats = self.assertMonitorReport(report, SETTINGS % (100, 10101, 5001))
            self.assertNotIn("p1", stats)
            answered += stats.get("p0", 0)
        # Every delay stands for one echo of a classic datagram.
        seen = reflector.wait(lambda ds: sum(d.port == 10101 for d in ds) >= answered,
                              what="%d classic datagrams" % answered)
        self.assertDatagrams(seen, (5001, 10101), "flea")
        self.assertCycles(seen, 5001, 10101, running=True)


if __name__ == "__main__":
    unittest.main()
