"""Registration: the ready report with the sealed password, and the topics."""

import json
import re
import time
import unittest
from pathlib import Path

from gateway import (BASE_CONFIG, DEVICE_ID, PLATFORM_DIR, GatewayTest, Proxy, reset_platform, unseal,
                     write_config)


class Registration(GatewayTest):
    def test_ready_report_carries_the_sealed_password(self):
        client = self.start()
        msg_type, topic, payload = self.proxy.receive(15)
        self.assertEqual((msg_type, topic), (2, "CS/%s/LLD/status" % DEVICE_ID))
        # The members in their order, with no blanks between them.
        self.assertRegex(payload, r'^\{"lld_status":"ready_to_go","hadp":"[0-9a-f]+","version":"1\.0\.0"\}$')
        self.assertEqual(unseal(json.loads(payload)["hadp"], BASE_CONFIG["ha_IV"], DEVICE_ID),
                         BASE_CONFIG["password"])
        # No secret in the log: neither the password nor its sealed form.
        for secret in (BASE_CONFIG["password"], json.loads(payload)["hadp"]):
            self.assertEqual(client.count(re.escape(secret)), 0)
        Proxy.send({"event": "please send_status now"})  # repeats the report
        self.assertEqual(self.proxy.receive(5)[2], payload)
        self.proxy.expect_silence(0.5)

    def test_long_password_is_sealed_whole_and_topics_cut_to_63_characters(self):
        password = "".join(chr(33 + (i * 7) % 90) for i in range(600)).replace('"', "'").replace("\\", "/")
        device_id = "d" * 70
        write_config(dict(BASE_CONFIG, password=password, device_id=device_id))
        self.start()
        _, topic, payload = self.proxy.receive(15)
        self.assertEqual(topic, ("CS/%s/LLD/status" % device_id)[:63])
        self.assertEqual(unseal(json.loads(payload)["hadp"], BASE_CONFIG["ha_IV"], device_id), password)

    def test_ready_report_waits_for_the_wan_service(self):
        reset_platform(wan_status=None)
        self.start()
        self.proxy.expect_silence(6)  # the first query failed; the next comes 5 s later
        Path(PLATFORM_DIR, "wan_service-status").write_text("stopped\n")  # any answer ends the wait
        self.assertEqual(self.proxy.receive_json(10)[2]["lld_status"], "ready_to_go")

    def test_shutdown_during_the_wan_wait(self):
        reset_platform(wan_status=None)
        client = self.start()
        client.wait_for(r"Connected to ")
        time.sleep(0.5)
        self.assertEqual(client.stop(), 0)
        self.assertEqual(self.proxy.receive_json(5)[2], {"lld_status": "shutting_down"})


if __name__ == "__main__":
    unittest.main()
