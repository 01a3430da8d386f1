"""The periodic publisher of the low-latency flow's statistics ("docsis_config")."""

import json
import re
import time
import unittest

from gateway import DEFAULT_MODEM, DEVICE_ID, GatewayTest, Proxy, write_modem

STARTED = r"docsis_config START received thread is not active\.$"
STOPPED = r"LLD docsis_config STOP received\.$"


class Publisher(GatewayTest):
    def setUp(self):
        super().setUp()
        self.client, _ = self.start_registered()

    def statistics(self, seconds):
        """The statistics published within `seconds`."""
        found, deadline = [], time.monotonic() + seconds
        while (left := deadline - time.monotonic()) > 0:
            got = self.proxy.receive(left)
            if got is not None and got[1].endswith("/LLD/metrics"):
                found.append(json.loads(got[2]))
        return found

    def test_start_publishes_the_flow_once_per_period(self):
        Proxy.send({"docsis_config": {"refresh_period": "1", "command": "start"}})
        self.client.wait_for(STARTED)
        _, topic, payload = self.proxy.receive(5)
        self.assertEqual(topic, "CS/%s/LLD/metrics" % DEVICE_ID)
        # The low-latency flow only (flow 3 is upstream too), its counters grown from their base.
        self.assertRegex(json.dumps(json.loads(payload)), r'^\{"docsis": \["7,US,\d+,\d+,\d+,\d+"\]\}$')
        counter = int(json.loads(payload)["docsis"][0].split(",")[2])
        self.assertGreaterEqual(counter, 1000)
        later = self.statistics(2.5)
        self.assertGreaterEqual(len(later), 1)
        self.assertGreaterEqual(int(later[-1]["docsis"][0].split(",")[2]), counter)
        Proxy.send({"docsis_config": {"command": "start"}})  # keeps the one publisher
        self.client.wait_for(r"docsis_config START received thread is active\.$")
        Proxy.send({"docsis_config": {"command": "Start"}})  # not "start": stops
        self.client.wait_for(STOPPED)
        self.statistics(0.3)  # one in flight
        self.assertEqual(self.statistics(2.5), [])

    def test_period_changes_and_ignored_values(self):
        # A period that is no whole number of seconds (from 1) is refused: no busy loop.
        for text in ("0", "abc", "-5", "1.5", " 2"):
            Proxy.send({"docsis_config": {"refresh_period": text, "command": "start"}})
            self.client.wait_for(r'\[ERR\] LLD: docsis_config refresh_period "%s" refused: not a whole '
                                 r"number of seconds from 1 to 86400; it stays 300$" % re.escape(text))
        self.assertEqual(self.statistics(1.5), [])
        Proxy.send({"docsis_config": {"command": "stop"}})
        Proxy.send({"docsis_config": {"refresh_period": 60}})  # a number is not read
        Proxy.send({"docsis_config": {"REFRESH_PERIOD": "1"}})  # keys in any letter case
        self.client.wait_for(r"docsis_config refresh_period=1 \.\.\.$")
        self.assertEqual(self.client.count(r"refresh_period=60"), 0)
        self.assertEqual(self.statistics(1.5), [])  # no command: nothing started
        Proxy.send({"docsis_config": {"command": "stop"}})
        self.client.wait_for(STOPPED)
        Proxy.send({"docsis_config": {"command": "started"}})
        self.client.wait_for(STARTED)
        self.assertGreaterEqual(len(self.statistics(2.5)), 1)
        self.assertEqual(self.client.stop(), 0)  # with the publisher running

    def test_failed_query_publishes_nothing(self):
        write_modem(DEFAULT_MODEM + "fail cm_serflow truncated\n")
        Proxy.send({"docsis_config": {"refresh_period": "1", "command": "start"}})
        self.client.wait_for(r"LLD: Publish failed for docsis_config response $", timeout=5)
        self.assertEqual(self.statistics(0.5), [])


if __name__ == "__main__":
    unittest.main()
