"""Latency probes over IPv6, whose low-latency datagrams carry the DSCP value."""

import unittest

from gateway import BASE_CONFIG, LAN_IF, LAN_V4, WAN_IF, WAN_V4, sh, write_config
from reflector import SETTINGS, TIMEOUT, ProbeTest


class Ipv6Probes(ProbeTest):
    family = "v6"

    def test_probes_carry_the_dscp_value_in_the_traffic_class(self):
        write_config(dict(BASE_CONFIG, device_mode="Ipv6"))
        for link, address in ((LAN_IF, LAN_V4), (WAN_IF, WAN_V4)):
            sh("ip", "addr", "del", address, "dev", link)
            self.addCleanup(sh, "ip", "addr", "replace", address, "dev", link)
        client, reflector = self.start_probing()
        _, reports, delays = self.user_run()
        self.assertTrue(delays["p0"] and delays["p1"])
        seen = self.finished_run(client, reflector, reports)
        self.assertDatagrams(seen, (5001, 10101))
        self.assertGreaterEqual(self.assertCycles(seen, 5001, 10101), reports[-1]["a"])
        # Low-latency datagrams leave with DSCP 46 (traffic class 184), classic ones with none.
        self.assertEqual({(d.port, d.tclass) for d in seen}, {(5001, 184), (10101, 0)})

        # Probes started after the cloud's DSCP value changes carry the new one:
        # 34 is traffic class 136.
        self.send({"user_game_config": [{"cmd": "dscp-settings", "value": 34}]})
        client.wait_for(r"\[DBG\] dscp update res\(", TIMEOUT)
        mark = len(reflector.datagrams())
        self.send({"pingu_monitor_config": self.monitor_request("m6")})
        reports = self.monitor_reports(lambda rs: rs and "p1" in rs[-1])
        self.assertEqual(list(self.assertMonitorReport(reports[-1], SETTINGS % (100, 10102, 5002))),
                         ["p0", "p1"])
        seen = reflector.wait(lambda ds: {5002, 10102} <= {d.port for d in ds}, mark, "both paths")
        self.assertDatagrams(seen, (5002, 10102), "flea")
        self.assertEqual({(d.port, d.tclass) for d in seen}, {(5002, 136), (10102, 0)})


if __name__ == "__main__":
    unittest.main()
