"""The periodic publisher of the low-latency flow's statistics ("docsis_config")."""

import json
import time
import unittest

from gateway import GatewayTest, Proxy, reset_platform

MODEM = """\
aggregate 7
classifier 2 7 5000 5010
flow 3 0 1 100 200 30 40 50
flow 7 1 2 1000 2000 300 400 500 10
"""


class Publisher(GatewayTest):
    def setUp(self):
        super().setUp()
        reset_platform(modem=MODEM)
        self.client, _ = self.start_registered()

    def publications(self, seconds):
        found = []
        deadline = time.monotonic() + seconds
        while (left := deadline - time.monotonic()) > 0:
            got = self.proxy.receive(left)
            if got is not None:
                found.append(got)
        return found

    def statistics(self, seconds):
        return [json.loads(p) for _, topic, p in self.publications(seconds)
                if topic.endswith("/LLD/metrics")]

    def test_start_publishes_the_flow_once_per_period(self):
        Proxy.send({"docsis_config": {"refresh_period": "1", "command": "start"}})
        self.client.wait_for(r"docsis_config START received thread is not active\.$")
        first = self.proxy.receive(5)
        self.assertIsNotNone(first)
        self.assertTrue(first[1].endswith("/LLD/metrics"))
        stats = json.loads(first[2])
        self.assertEqual(list(stats), ["docsis"])
        self.assertEqual(len(stats["docsis"]), 1)
        fields = stats["docsis"][0].split(",")
        self.assertEqual(fields[:2], ["7", "US"])
        self.assertEqual(len(fields), 6)
        self.assertGreaterEqual(int(fields[2]), 1000)  # the counters grow from their base
        later = self.statistics(2.5)
        self.assertGreaterEqual(len(later), 1)
        self.assertGreaterEqual(int(later[-1]["docsis"][0].split(",")[2]), int(fields[2]))

        # A second start keeps the one publisher.
        Proxy.send({"docsis_config": {"command": "start"}})
        self.client.wait_for(r"docsis_config START received thread is active\.$")
        Proxy.send({"docsis_config": {"command": "Start"}})  # not "start": stops
        self.client.wait_for(r"LLD docsis_config STOP received\.$")
        time.sleep(0.2)
        self.proxy.receive(0.1)
        self.assertEqual(self.statistics(2.5), [])

    def test_period_changes_and_ignored_values(self):
        Proxy.send({"docsis_config": {"refresh_period": 60}})  # a number is not read
        Proxy.send({"docsis_config": {"REFRESH_PERIOD": "1"}})  # keys in any letter case
        self.client.wait_for(r"docsis_config refresh_period=1 \.\.\.$")
        self.assertEqual(self.client.count(r"refresh_period=60"), 0)
        self.assertEqual(self.statistics(1.5), [])  # no command: nothing started
        Proxy.send({"docsis_config": {"command": "stop"}})
        self.client.wait_for(r"LLD docsis_config STOP received\.$")
        Proxy.send({"docsis_config": {"command": "started"}})
        self.client.wait_for(r"START received thread is not active\.$")
        self.assertGreaterEqual(len(self.statistics(2.5)), 1)

    def test_failed_query_publishes_nothing(self):
        reset_platform(modem=MODEM + "fail cm_serflow truncated\n")
        Proxy.send({"docsis_config": {"refresh_period": "1", "command": "start"}})
        self.client.wait_for(r"LLD: Publish failed for docsis_config response $", timeout=5)
        self.assertEqual(self.statistics(0.5), [])

    def test_shutdown_with_a_running_publisher(self):
        Proxy.send({"docsis_config": {"refresh_period": "1", "command": "start"}})
        self.assertIsNotNone(self.proxy.receive(5))
        self.assertEqual(self.client.stop(), 0)


if __name__ == "__main__":
    unittest.main()
