"""Registration: the ready report with the sealed password, and the topics."""

import json
import os
import threading
import time
import unittest

from gateway import (BASE_CONFIG, DEVICE_ID, PLATFORM_DIR, GatewayTest, Proxy, reset_platform,
                     unseal, write_config)


class Registration(GatewayTest):
    def test_ready_report_carries_the_sealed_password(self):
        client = self.start()
        msg_type, topic, payload = self.proxy.receive(15)
        self.assertEqual((msg_type, topic), (2, "CS/%s/LLD/status" % DEVICE_ID))
        # The members in their order, with no blanks between them.
        self.assertRegex(payload, r'^\{"lld_status":"ready_to_go","hadp":"[0-9a-f]+","version":"1\.0\.0"\}$')
        hadp = json.loads(payload)["hadp"]
        self.assertEqual(len(hadp) % 32, 0)
        self.assertEqual(unseal(hadp, BASE_CONFIG["ha_IV"], DEVICE_ID), BASE_CONFIG["password"])
        self.assertEqual(client.stop(), 0)

    def test_long_password_is_sealed_whole(self):
        password = "".join(chr(33 + (i * 7) % 90) for i in range(600))
        write_config(dict(BASE_CONFIG, password=password.replace('"', "'").replace("\\", "/")))
        client, report = self.start_registered()
        self.assertGreater(len(report["hadp"]), 192)
        self.assertEqual(unseal(report["hadp"], BASE_CONFIG["ha_IV"], DEVICE_ID),
                         password.replace('"', "'").replace("\\", "/"))

    def test_long_device_id_cuts_topics_to_63_characters(self):
        device_id = "d" * 70
        write_config(dict(BASE_CONFIG, device_id=device_id))
        self.start()
        _, topic, _ = self.proxy.receive(15)
        self.assertEqual(topic, ("CS/%s/LLD/status" % ("d" * 63))[:63])
        self.assertEqual(len(topic), 63)

    def test_ready_report_waits_for_the_wan_service(self):
        reset_platform(wan_status=None)
        client = self.start()
        self.proxy.expect_silence(6)  # the first query failed; the next comes 5 s later
        with open(os.path.join(PLATFORM_DIR, "wan_service-status"), "w") as f:
            f.write("stopped\n")  # any answer ends the wait
        got = self.proxy.receive_json(10)
        self.assertIsNotNone(got)
        self.assertEqual(got[2]["lld_status"], "ready_to_go")

    def test_shutdown_during_the_wan_wait(self):
        reset_platform(wan_status=None)
        client = self.start()
        client.wait_for(r"Connected to ")
        time.sleep(0.5)
        self.assertEqual(client.stop(), 0)
        got = self.proxy.receive_json(5)
        self.assertEqual(got[2], {"lld_status": "shutting_down"})

    def test_send_status_event_repeats_the_ready_report(self):
        client, first = self.start_registered()
        Proxy.send({"event": "please send_status now"})
        got = self.proxy.receive_json(5)
        self.assertEqual(got[2]["lld_status"], "ready_to_go")
        self.assertEqual(got[2]["hadp"], first["hadp"])
        self.proxy.expect_silence(0.5)


if __name__ == "__main__":
    unittest.main()
