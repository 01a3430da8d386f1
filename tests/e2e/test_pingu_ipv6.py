"""Latency probes on a gateway without IPv4: they run over IPv6, and the
low-latency datagrams carry the DSCP value in their traffic class."""

import unittest

from gateway import BASE_CONFIG, LAN_IF, LAN_V4, WAN_IF, WAN_V4, sh, write_config
from reflector import (GATEWAY_WAN, TIMEOUT, ProbeTest, close_wan_host, cycles, monitor, path_stats,
                       user_start)

ECHO_PORT = 7004


class Ipv6Probes(ProbeTest):
    family = "v6"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        for link, address in ((LAN_IF, LAN_V4), (WAN_IF, WAN_V4)):
            sh("ip", "addr", "del", address, "dev", link)

    @classmethod
    def tearDownClass(cls):
        for link, address in ((LAN_IF, LAN_V4), (WAN_IF, WAN_V4)):
            sh("ip", "addr", "replace", address, "dev", link)
        super().tearDownClass()

    def setUp(self):
        super().setUp()
        write_config(dict(BASE_CONFIG, device_mode="Ipv6"))

    def run_user_probe(self, duration=3):
        self.send(user_start(ECHO_PORT, refresh_period=1, interval=100, duration=duration,
                             family="v6"))
        self.feed.state("started")
        published = self.feed.state("completed")
        reports = [p.user_report() for p in published]
        self.assertNotIn(None, reports, [p.payload for p in published])
        self.assertReportCount(reports, duration=duration, refresh_period=1)
        return reports

    def test_probe_against_socat(self):
        self.socat(ECHO_PORT)
        self.start_registered()
        reports = self.run_user_probe()
        delays = self.assertUserReports(reports, interval=100, refresh_period=1)
        self.assertTrue(delays["p0"] and delays["p1"])

    def test_datagrams_carry_the_traffic_class(self):
        reflector = self.observer(ECHO_PORT)
        client, _ = self.start_registered()
        reports = self.run_user_probe()
        self.assertUserReports(reports, interval=100, refresh_period=1)
        seen = self.finished_run(client, reflector, reports, per_cycle=2)
        total = max(d.seq for d in seen)
        self.assertGreaterEqual(total, reports[-1]["a"])
        for d in seen:
            self.assertEqual((d.address, d.length, d.text, d.tail_zero),
                             (GATEWAY_WAN["v6"], 76, "pingu version: pingu", True), d)
        # Low-latency datagrams leave with DSCP 46 (traffic class 184), classic ones with none.
        self.assertEqual({(d.port, d.tclass) for d in seen}, {(5001, 184), (10101, 0)})
        by_seq = cycles(seen)
        self.assertEqual(sorted(by_seq), list(range(1, total + 1)))
        for seq, group in by_seq.items():
            self.assertEqual([d.port for d in group], [5001, 10101] if seq % 2 else [10101, 5001],
                             "cycle %d" % seq)

    def test_traffic_class_follows_the_cloud_dscp_value(self):
        reflector = self.observer(ECHO_PORT)
        client, _ = self.start_registered()
        self.send({"user_game_config": [{"cmd": "dscp-settings", "value": 34}]})
        client.wait_for(r"\[DBG\] dscp update res\(", TIMEOUT)
        self.send({"pingu_monitor_config": monitor("m6", ECHO_PORT, family="v6")})
        publication, before = self.feed.until(lambda p: "p1" in (p.monitor_report() or {}),
                                              what="monitor report with both paths")
        self.assertTrue(all(p.monitor_report() for p in before), [p.payload for p in before])
        report = publication.monitor_report()
        self.assertEqual(report["s"], GATEWAY_WAN["v6"])
        self.assertEqual(report["a"], "100,0,10101,5001,1,10,20,500")
        for path in ("p0", "p1"):
            stats = path_stats(report[path])
            self.assertPlausibleDelays((stats.min, stats.max), path)
        seen = reflector.wait(lambda ds: {5001, 10101} <= {d.port for d in ds}, what="both paths")
        for d in seen:
            self.assertEqual((d.address, d.text), (GATEWAY_WAN["v6"], "pingu version: flea"), d)
        # DSCP 34 is traffic class 136.
        self.assertEqual({(d.port, d.tclass) for d in seen}, {(5001, 136), (10101, 0)})


def tearDownModule():
    close_wan_host()


if __name__ == "__main__":
    unittest.main()
