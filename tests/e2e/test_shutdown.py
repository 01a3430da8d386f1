"""Shutdown on a termination signal, and the end of the process when the proxy goes."""

import signal
import unittest

from gateway import DEVICE_ID, GatewayTest, Proxy

SHUTTING_DOWN = (2, "CS/%s/LLD/status" % DEVICE_ID, '{"lld_status":"shutting_down"}')


class Shutdown(GatewayTest):
    def test_termination_signals_publish_shutting_down(self):
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGABRT):
            with self.subTest(signal=sig.name):
                client, _ = self.start_registered()
                self.assertEqual(client.stop(sig), 0)
                self.assertEqual(self.proxy.receive(5), SHUTTING_DOWN)
                client.wait_for(r"\[DBG\] LLD Process is going down$")
                self.proxy.expect_silence(0.2)

    def test_signal_while_a_message_is_served(self):
        client, _ = self.start_registered()
        Proxy.send({"lld_config": {"port_range": "5000-5010"}})
        self.assertEqual(client.stop(), 0)
        publications = []
        while (got := self.proxy.receive(1)) is not None:
            publications.append(got)
        self.assertEqual(publications[-1], SHUTTING_DOWN)

    def test_quiet_loop_and_losing_the_proxy(self):
        client, _ = self.start_registered()
        self.proxy.expect_silence(11)  # one whole wait of the loop publishes nothing
        self.assertIsNone(client.proc.poll())
        self.proxy.close()  # the proxy's socket is gone
        Proxy.send({"lld_config": {"port_range": "5000-5010"}})  # its report can't be sent
        self.assertEqual(client.wait_exit(), 0)
        self.assertEqual(client.count(r"\[ERR\] select error$"), 1)
        self.assertEqual(client.count(r"going down"), 0)


if __name__ == "__main__":
    unittest.main()
