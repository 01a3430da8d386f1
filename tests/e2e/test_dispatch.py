"""Cloud messages: the port-range check, events and malformed input."""

import json
import unittest

from gateway import DEVICE_ID, GatewayTest, Proxy, write_modem

STATUS = "CS/%s/LLD/status" % DEVICE_ID
RUNNING = {"lld_status": "running"}


def mismatch(docsis, cloud):
    text = "Source NAT port mis-match between DOCSIS classifier (%s) and Cloud configuration (%s)"
    return {"lld_status": "running_with_error", "lld_error": {"port_range_mismatch": text % (docsis, cloud)}}


def lld_config(port_range):
    return {"lld_config": {"port_range": port_range, "other": 1}}


class Dispatch(GatewayTest):
    def setUp(self):
        super().setUp()
        self.client, _ = self.start_registered()

    def test_port_range_check(self):
        cases = [  # (message, status report or None for none)
            (lld_config("5000-5010"), RUNNING),
            (lld_config("5000-5011"), mismatch("5000-5010", "5000-5011")),
            (lld_config(" 5000-5010"), mismatch("5000-5010", " 5000-5010")),
            (lld_config("05000-5010"), mismatch("5000-5010", "05000-5010")),
            (lld_config("5000-5010"), RUNNING),
            ({"lld_config": {}}, None), (lld_config(5000), None), (lld_config(None), None),
            ({"lld_config": "5000-5010"}, None), ({"LLD_config": {"port_range": "5000-5010"}}, None),
            ({"lld_config": {"Port_Range": "5000-5010"}}, None),
        ]
        for message, report in cases:
            with self.subTest(message=message):
                Proxy.send(message)
                if report:  # exactly this text: members in this order, no blanks
                    text = json.dumps(report, separators=(",", ":"))
                    self.assertEqual(self.proxy.receive(5), (2, STATUS, text))
                self.proxy.expect_silence(0.5)

    def test_unreadable_classifier_reads_as_0_0(self):
        for modem in ("aggregate 7\nclassifier 1 7 5000 5010\nfail cm_pktclass none\n",
                      "aggregate 7\nclassifier 1 7 5000 5010\nfail cm_aggserflow truncated\n",
                      "aggregate 9\nclassifier 1 7 5000 5010\n",
                      "aggregate 7\nclassifier 0 7 5000 5010\n"):
            with self.subTest(modem=modem):
                write_modem(modem)
                Proxy.send({"lld_config": {"port_range": "5000-5010"}})
                self.assertEqual(self.proxy.receive_json(5)[2], mismatch("0-0", "5000-5010"))

    def test_hostile_range_text_gives_valid_json(self):
        for cloud in ('50"00-\\5010', "x" * 3000, '"' * 900, "\u00e9\u20ac" * 150, "\n\t\x01"):
            with self.subTest(length=len(cloud)):
                Proxy.send({"lld_config": {"port_range": cloud}})
                payload = self.proxy.receive(5)[2]
                self.assertLess(len(payload.encode()), 1024)
                text = json.loads(payload)["lld_error"]["port_range_mismatch"]
                shown = text[text.index("Cloud configuration (") + 21:-1]
                self.assertTrue(cloud.startswith(shown), (cloud[:40], shown[:40]))

    def test_events(self):
        Proxy.send({"lld_config": {"port_range": "5000-5010"}, "event": "send_status"})
        self.assertEqual(self.proxy.receive_json(5)[2]["lld_status"], "ready_to_go")  # the event first
        self.assertEqual(self.proxy.receive_json(5)[2], RUNNING)
        Proxy.send({"event": "send-status"})  # only "send_status" asks for the report
        self.client.wait_for(r"\[DBG\] message_recv event processing Failed$")
        Proxy.send({"event": 42})
        self.client.wait_for(r"\[ERR\] No event found!!$")
        self.proxy.expect_silence(0.5)
        self.assertEqual(self.client.count(r"message_recv event processing Failed"), 2)

    def test_malformed_messages_are_dropped(self):
        Proxy.send("this is not json")
        self.client.wait_for(r"\[ERR\] Error json msg$")
        Proxy.send(None, raw='{"type": 1, "topic": "t"}')  # no payload at all
        Proxy.send(None, raw='{"type": 1, "topic": "t", "payload": 7}')
        Proxy.send(None, raw="garbage that is no datagram")
        # Longer than the receive buffer: the object is cut and dropped.
        Proxy.send(None, raw='{"type":1,"payload":"{\\"event\\":\\"send_status\\"}","pad":"%s"}' % ("x" * 5000))
        self.proxy.expect_silence(1)
        self.assertEqual(self.client.count(r"\[ERR\] Error json msg$"), 3)
        # The link still serves well-formed messages, with members in any letter case.
        Proxy.send(None, raw='{"TYPE": 1, "Topic": "t", "PAYLOAD": "{\\"event\\":\\"send_status\\"}"}')
        self.assertEqual(self.proxy.receive_json(5)[2]["lld_status"], "ready_to_go")

    def test_monitor_probe_requests_are_counted(self):
        Proxy.send({"pingu_monitor_config": [{"a": 1}, 5, {"b": 2}]})
        self.client.wait_for(r"message_recv PINGU_MONITOR 3 count$")
        for position in (1, 2, 3):
            self.client.wait_for(r"message_recv PINGU_MONITOR %d processing$" % position)
        Proxy.send({"pingu_monitor_config": {"a": 1}})
        self.client.wait_for(r"message_recv PINGU_MONITOR 1 count$")
        Proxy.send({"event": "x"})
        self.client.wait_for(r"message_recv PINGU_MONITOR 0 count$")


if __name__ == "__main__":
    unittest.main()
