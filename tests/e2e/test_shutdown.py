"""Shutdown on a termination signal, and the end of the process when the proxy goes."""

import os
import signal
import socket
import time
import unittest

from gateway import CLIENT_SOCKET, PROXY_SOCKET, GatewayTest, Proxy


class Shutdown(GatewayTest):
    def test_termination_signals_publish_shutting_down(self):
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGABRT):
            with self.subTest(signal=sig.name):
                client, _ = self.start_registered()
                client.proc.send_signal(sig)
                self.assertEqual(client.wait_exit(), 0)
                msg_type, topic, payload = self.proxy.receive(5)
                self.assertEqual((msg_type, payload), (2, '{"lld_status":"shutting_down"}'))
                self.assertTrue(topic.endswith("/LLD/status"))
                client.wait_for(r"\[DBG\] LLD Process is going down$")
                self.proxy.expect_silence(0.2)

    def test_signal_while_a_message_is_served(self):
        client, _ = self.start_registered()
        Proxy.send({"lld_config": {"port_range": "5000-5010"}})
        client.proc.send_signal(signal.SIGTERM)
        self.assertEqual(client.wait_exit(), 0)
        payloads = []
        while (got := self.proxy.receive(1)) is not None:
            payloads.append(got[2])
        self.assertEqual(payloads[-1], '{"lld_status":"shutting_down"}')

    def test_losing_the_proxy_ends_the_process(self):
        client, _ = self.start_registered()
        self.proxy.close()  # the proxy's socket is gone
        Proxy.send({"lld_config": {"port_range": "5000-5010"}})  # its report can't be sent
        self.assertEqual(client.wait_exit(), 0)
        self.assertEqual(client.count(r"\[ERR\] select error$"), 1)
        self.assertEqual(client.count(r"going down"), 0)

    def test_quiet_loop_publishes_nothing(self):
        client, _ = self.start_registered()
        self.proxy.expect_silence(11)  # one whole wait of the loop
        self.assertIsNone(client.proc.poll())


if __name__ == "__main__":
    unittest.main()
