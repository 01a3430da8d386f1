"""When peers and tools misbehave: hung tools, a proxy that stops reading, a
failing firewall command. The client stays up, says what went wrong, leaves
nothing running, and still ends within its bounds on SIGTERM."""

import json
import os
import subprocess
import sys
import time
import unittest

from gateway import (BASE_CONFIG, CLIENT_SOCKET, PROXY_SOCKET, GatewayTest, Proxy, reset_platform,
                     write_config)

HUNG = "/tmp/hung-tools"
SLEEP = "sleep 60.%d" % os.getpid()  # this module's own, whatever else runs beside it
ERR = r"\[ERR\] "


def hang(*tools, script="exec " + SLEEP):
    """A directory, first on the client's PATH, where each tool runs `script` instead
    (by default: sleeps instead of answering)."""
    os.makedirs(HUNG, exist_ok=True)
    for tool in tools:
        path = os.path.join(HUNG, tool)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n%s\n" % script)
        os.chmod(path, 0o755)
    return {"PATH": HUNG + ":" + os.environ["PATH"]}


def sleepers():
    return subprocess.run(["pgrep", "-f", SLEEP], capture_output=True, text=True).stdout.split()


class Faults(GatewayTest):
    def tearDown(self):
        super().tearDown()
        subprocess.run(["rm", "-rf", HUNG])

    def assertStopsWithin(self, client, seconds):
        started = time.monotonic()
        self.assertEqual(client.stop(), 0)
        self.assertLess(time.monotonic() - started, seconds)
        self.assertEqual(sleepers(), [])

    def test_a_hung_modem_tool_costs_one_time_out_and_leaves_nothing_running(self):
        write_config(dict(BASE_CONFIG, child_timeout=1))
        client, _ = self.start_registered(env=hang("ondrel_rpc_client"))
        Proxy.send({"lld_config": {"port_range": "5000-5010"}, "event": "send_status"})
        self.assertEqual(self.proxy.receive_json(5)[2]["lld_status"], "ready_to_go")
        report = self.proxy.receive_json(10)[2]
        self.assertIn("between DOCSIS classifier (0-0)", report["lld_error"]["port_range_mismatch"])
        client.wait_for(ERR + r"ondrel_rpc_client arm cm_aggserflow did not end within 1000 ms: killed$")
        # The modem that did not answer is not asked its second question.
        self.assertEqual(client.count(r"ondrel_rpc_client arm cm_pktclass"), 0)
        self.assertEqual(sleepers(), [])
        self.assertStopsWithin(client, 10)

    def test_sigterm_ends_a_hung_wait_at_once(self):
        reset_platform(wan_status=None)
        write_config(dict(BASE_CONFIG, child_timeout=30))
        client = self.start(env=hang("sysevent"))
        client.wait_for(r"Connected to ")
        time.sleep(1)  # in the first query of the WAN service
        self.assertStopsWithin(client, 10)
        self.assertEqual(self.proxy.receive_json(5)[2], {"lld_status": "shutting_down"})

    def test_child_timeout_must_be_usable(self):
        for value in (0, 31, 2.5, "10"):
            with self.subTest(value=value):
                write_config(dict(BASE_CONFIG, child_timeout=value))
                client = self.start()
                self.assertEqual(client.wait_exit(), 255)
                client.wait_for(ERR + r'Configuration file /tmp/lld-config.json: "child_timeout" is not '
                                r"a whole number of seconds from 1 to 30$")

    def test_a_proxy_that_stops_reading_costs_datagrams_not_the_client(self):
        client, _ = self.start_registered()
        for _ in range(40):  # more than the proxy's socket can queue
            Proxy.send({"event": "send_status"})
        Proxy.send({"event": "done"})  # served after all of them
        client.wait_for(r"message_recv event processing Failed$", timeout=20)
        client.wait_for(ERR + r"Dropped a datagram of \d+ bytes to the proxy \(Resource temporarily "
                        r"unavailable\); 1 dropped so far$")
        self.assertEqual(client.count(r"message_recv go event request$"), 41)
        while self.proxy.receive(0.5):  # the proxy reads again: the link is still up
            pass
        Proxy.send({"event": "send_status"})
        self.assertEqual(self.proxy.receive_json(5)[2]["lld_status"], "ready_to_go")
        self.assertStopsWithin(client, 10)

    def test_outside_text_never_forges_a_log_line(self):
        client, _ = self.start_registered()
        forged = "[ZEZ-UDERED] [ERR] forged"
        Proxy.send('{"event":"x",\n"%s":1}' % forged)
        Proxy.send({"pingu_monitor_config": [{"name": "m\n" + forged, "reflector_url": "198.51.100.20",
                                              "reflector_port": 7, "refresh_period": 1}]})
        client.wait_for(r"PINGU_START for 'm\\n\[ZEZ-UDERED\] \[ERR\] forged'$")
        self.assertEqual([line for line in client.output() if forged in line[:40]], [])

    def test_a_lan_prefix_length_out_of_range_is_taken_as_64(self):
        tool = hang("ifconfig", script='echo "inet6 addr: 2001:db8:1::1/999 Scope:Global"')
        client, _ = self.start_registered(env=tool)
        client.wait_for(ERR + r'LAN IPv6 prefix length "999" of 2001:db8:1::1 is no number from 0 to '
                        r"128: 64 is taken$")
        client.wait_for(r"lanIpv6=2001:db8:1::1/64,")

    def test_only_the_proxys_user_steers_and_hears_the_client(self):
        write_config(dict(BASE_CONFIG, proxy_uid=4242))
        os.chown(PROXY_SOCKET, 4242, 4242)  # the proxy runs as uid 4242 here
        client, _ = self.start_registered()
        self.assertEqual(os.stat(CLIENT_SOCKET).st_uid, 4242)  # handed to the proxy's user
        Proxy.send({"event": "send_status"})  # root is not the proxy's user
        client.wait_for(ERR + r"Dropped 1 datagrams of other users than the proxy's \(uid 4242\) so "
                        r"far; the last from uid 0, process \d+$")
        self.proxy.expect_silence(0.5)
        datagram = json.dumps({"type": 1, "topic": "t", "payload": '{"event":"send_status"}'})
        as_proxy = ["setpriv", "--reuid=4242", "--regid=4242", "--clear-groups", sys.executable, "-c",
                    "import socket; socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM).sendto(%r, %r)"
                    % (datagram.encode(), CLIENT_SOCKET)]
        subprocess.run(as_proxy, check=True)
        self.assertEqual(self.proxy.receive_json(5)[2]["lld_status"], "ready_to_go")
        # Another user's socket in the proxy's place hears nothing.
        os.chown(PROXY_SOCKET, 4343, 4343)
        subprocess.run(as_proxy, check=True)
        client.wait_for(ERR + r"/tmp/proxy_unix_sock.server is a socket of uid 4343, not the proxy's "
                        r"\(uid 4242\): 1 datagrams not sent$")
        self.proxy.expect_silence(0.5)

    def test_a_failing_rule_command_is_reported_with_its_status(self):
        client, _ = self.start_registered()
        Proxy.send({"lld_config": {"port_range": "5000-5010"}})
        self.proxy.receive(10)
        # Deleting a rule that was never added: iptables refuses it.
        Proxy.send({"user_game_config": [{"cmd": "multi-del", "name": "g", "data": "3074,U"}]})
        client.wait_for(ERR + r"iptables -t nat -D POSTROUTING -p udp .* --dports 3074 .* failed: "
                        r"exit status 1$")


if __name__ == "__main__":
    unittest.main()
