"""A client built for another processor, run under its emulator (LLD_EMULATOR)
with a native build's stand-ins and reflector: start-up, registration, one user
probe against the reflector, shutdown."""

import unittest

from gateway import BASE_CONFIG, DEVICE_ID, unseal
from reflector import ProbeTest, Reflector


class Smoke(ProbeTest):
    def test_registers_probes_and_shuts_down(self):
        reflector = Reflector(self.wan, self.family, ())
        self.addCleanup(reflector.close)
        client, ready = self.start_registered()
        self.assertEqual(unseal(ready["hadp"], BASE_CONFIG["ha_IV"], DEVICE_ID), BASE_CONFIG["password"])
        _, reports, delays = self.user_run(duration=2)
        self.assertTrue(delays["p0"] and delays["p1"], "no delay measured on a path")
        seen = self.finished_run(client, reflector, reports)
        self.assertDatagrams(seen, (5001, 10101))  # little-endian headers, one send time a cycle
        self.assertCycles(seen, 5001, 10101)
        self.assertEqual(client.stop(), 0)
        self.assertEqual(self.proxy.receive_json(5)[2], {"lld_status": "shutting_down"})


if __name__ == "__main__":
    unittest.main()
