"""Rules-file mode: the client writes its rules and NAT configuration into the
non-volatile directory instead of running them; run by the platform's shell,
those files steer the traffic."""

import json
import os
import subprocess
import unittest

from gateway import NV_DIR, client_args
from netfilter import (DEVICE_V4, DEVICE_V6, GATEWAY_WAN_V4, GATEWAY_WAN_V6, OTHER_V4, OTHER_V6,
                       NatTest, chain, close_topology, conntrack_calls, firewall_restarts,
                       flush_tables)

RULES4 = os.path.join(NV_DIR, "rules.wr")
RULES6 = os.path.join(NV_DIR, "rules6.wr")
NAT_JSON = os.path.join(NV_DIR, "iptables-nat.json")

DSCP = {"cmd": "dscp-settings", "value": 34, "lw_app_dscp": True, "lw_dscp_to_ll": False}
GAME = {"cmd": "multi-add", "name": "game", "data": "3074,3478:3480,B"}
CONSOLE = {"cmd": "device-add", "name": "console", "data": DEVICE_V4}
CONSOLE6 = {"cmd": "device-add", "name": "console6", "data": DEVICE_V6}

LLD4 = "198.51.100.2:5000-5010"
LLD6 = "[2001:db8:2::2]:5000-5010"

# Newest entry first; a device's address goes into both families' files as it came.
EXPECTED_RULES4 = (
    "iptables -t nat -I POSTROUTING -p udp -s 192.0.2.1/24 --sport 5000:5010 ! -d 192.0.2.1/24 -j SNAT --to-source 198.51.100.2:5011-65535\n"
    "iptables -t nat -I POSTROUTING -p tcp -s 192.0.2.1/24 --sport 5000:5010 ! -d 192.0.2.1/24 -j SNAT --to-source 198.51.100.2:5011-65535\n"
    "iptables -t nat -I POSTROUTING -p tcp -s 2001:db8:1::10 ! -d 192.0.2.1/24 -j SNAT --to-source " + LLD4 + "\n"
    "iptables -t nat -I POSTROUTING -p udp -s 2001:db8:1::10 ! -d 192.0.2.1/24 -j SNAT --to-source " + LLD4 + "\n"
    "iptables -t nat -I POSTROUTING -p tcp -s 192.0.2.10 ! -d 192.0.2.1/24 -j SNAT --to-source " + LLD4 + "\n"
    "iptables -t nat -I POSTROUTING -p udp -s 192.0.2.10 ! -d 192.0.2.1/24 -j SNAT --to-source " + LLD4 + "\n"
    "iptables -t nat -I POSTROUTING -p tcp -s 192.0.2.1/24 --match multiport --dports 3074,3478:3480 ! -d 192.0.2.1/24 -j SNAT --to-source " + LLD4 + "\n"
    "iptables -t nat -I POSTROUTING -p udp -s 192.0.2.1/24 --match multiport --dports 3074,3478:3480 ! -d 192.0.2.1/24 -j SNAT --to-source " + LLD4 + "\n"
    "iptables -t nat -I POSTROUTING -p udp -d 224.0.0.0/4 -j RETURN\n"
)
EXPECTED_RULES6 = (
    "ip6tables -t nat -I POSTROUTING -p tcp -s 2001:db8:1::10 ! -d 2001:db8:1::1/64 -j SNAT --to-source " + LLD6 + "\n"
    "ip6tables -t nat -I POSTROUTING -p udp -s 2001:db8:1::10 ! -d 2001:db8:1::1/64 -j SNAT --to-source " + LLD6 + "\n"
    "ip6tables -t nat -I POSTROUTING -p tcp -s 192.0.2.10 ! -d 2001:db8:1::1/64 -j SNAT --to-source " + LLD6 + "\n"
    "ip6tables -t nat -I POSTROUTING -p udp -s 192.0.2.10 ! -d 2001:db8:1::1/64 -j SNAT --to-source " + LLD6 + "\n"
    "ip6tables -t mangle -I POSTROUTING -p tcp -s 2001:db8:1::1/64 --match multiport --dports 3074,3478:3480 ! -d 2001:db8:1::1/64 -j DSCP --set-dscp 34\n"
    "ip6tables -t mangle -I POSTROUTING -p udp -s 2001:db8:1::1/64 --match multiport --dports 3074,3478:3480 ! -d 2001:db8:1::1/64 -j DSCP --set-dscp 34\n"
)
EXPECTED_NAT_JSON = (
    '[\n'
    '{"cmd":"dscp-settings","value":34,"lw_dscp_to_ll":0,"lw_app_dscp":1,"wl_dscp_set":0},\n'
    '{"cmd":"device-add","name":"console6","data":"2001:db8:1::10"},\n'
    '{"cmd":"device-add","name":"console","data":"192.0.2.10"},\n'
    '{"cmd":"multi-add","name":"game","data":"3074,3478:3480,B"}\n'
    ']'
)

# What the files leave in the chains when run from top to bottom.
APPLIED4 = [
    "-A POSTROUTING -d 224.0.0.0/4 -p udp -j RETURN",
    "-A POSTROUTING -s 192.0.2.0/24 ! -d 192.0.2.0/24 -p udp -m multiport --dports 3074,3478:3480 -j SNAT --to-source " + LLD4,
    "-A POSTROUTING -s 192.0.2.0/24 ! -d 192.0.2.0/24 -p tcp -m multiport --dports 3074,3478:3480 -j SNAT --to-source " + LLD4,
    "-A POSTROUTING -s 192.0.2.10/32 ! -d 192.0.2.0/24 -p udp -j SNAT --to-source " + LLD4,
    "-A POSTROUTING -s 192.0.2.10/32 ! -d 192.0.2.0/24 -p tcp -j SNAT --to-source " + LLD4,
    "-A POSTROUTING -s 192.0.2.0/24 ! -d 192.0.2.0/24 -p tcp -m tcp --sport 5000:5010 -j SNAT --to-source 198.51.100.2:5011-65535",
    "-A POSTROUTING -s 192.0.2.0/24 ! -d 192.0.2.0/24 -p udp -m udp --sport 5000:5010 -j SNAT --to-source 198.51.100.2:5011-65535",
]
APPLIED6_NAT = [
    "-A POSTROUTING -s 2001:db8:1::10/128 ! -d 2001:db8:1::/64 -p udp -j SNAT --to-source " + LLD6,
    "-A POSTROUTING -s 2001:db8:1::10/128 ! -d 2001:db8:1::/64 -p tcp -j SNAT --to-source " + LLD6,
]
APPLIED6_MANGLE = [
    "-A POSTROUTING -s 2001:db8:1::/64 ! -d 2001:db8:1::/64 -p udp -m multiport --dports 3074,3478:3480 -j DSCP --set-dscp 0x22",
    "-A POSTROUTING -s 2001:db8:1::/64 ! -d 2001:db8:1::/64 -p tcp -m multiport --dports 3074,3478:3480 -j DSCP --set-dscp 0x22",
]


def read(path):
    with open(path) as f:
        return f.read()


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


class RulesFiles(NatTest):
    needs_hosts = True

    def start_file_mode(self):
        client, _ = self.start_registered(args=client_args() + ["-iptfile", "rules.wr"])
        return client

    def test_files_steer_like_the_client_would(self):
        client = self.start_file_mode()
        self.set_range("5000-5010")
        lines = self.run_array(client, [DSCP, GAME, CONSOLE, CONSOLE6])
        self.assertIn("[ZEZ-UDERED] [DBG] dscp update res(0) ", "\n".join(lines))

        self.assertEqual(read(RULES4), EXPECTED_RULES4)
        self.assertEqual(read(RULES6), EXPECTED_RULES6)
        with open(NAT_JSON, "rb") as f:
            self.assertEqual(f.read(), EXPECTED_NAT_JSON.encode())
        # Staging files are moved over their targets, never left beside them.
        self.assertEqual(sorted(os.listdir(NV_DIR)), ["iptables-nat.json", "rules.wr", "rules6.wr"])
        # This mode writes rules; it never runs them itself.
        for family in ("v4", "v6"):
            self.assertEqual((chain(family), chain(family, "mangle")), ([], []))
        self.assertEqual(firewall_restarts(), 1)
        self.stop_client(client)

        # What the platform firewall does on a restart: each line through the shell.
        flush_tables()
        for path in (RULES4, RULES6):
            for line in read(path).splitlines():
                subprocess.run(["sh", "-c", line], capture_output=True)
        self.assertEqual(chain("v4"), APPLIED4)
        self.assertEqual(chain("v6"), APPLIED6_NAT)
        self.assertEqual(chain("v6", "mangle"), APPLIED6_MANGLE)

        net = self.net
        for proto in ("udp", "tcp"):
            with self.subTest(proto=proto):
                for source, port in ((OTHER_V4, 3074), (OTHER_V4, 3480), (DEVICE_V4, 9993),
                                     (DEVICE_V6, 9993)):
                    seen = net.send(proto, source, net.port(), port)
                    self.assertIsNotNone(seen, (source, port))
                    self.assertEqual(seen.address, GATEWAY_WAN_V6 if ":" in source else GATEWAY_WAN_V4)
                    self.assertTrue(5000 <= seen.source_port <= 5010, seen)
                seen = net.send(proto, OTHER_V4, 5007 if proto == "udp" else 5008, 9994)
                self.assertIsNotNone(seen)
                self.assertEqual(seen.address, GATEWAY_WAN_V4)
                self.assertGreaterEqual(seen.source_port, 5011)
        # IPv6 port lists are marked for the low-latency flow rather than translated.
        port = net.port()
        seen = net.send("udp", OTHER_V6, port, 3479)
        self.assertEqual((seen.address, seen.source_port, seen.tclass >> 2), (OTHER_V6, port, 34))
        seen = net.send("udp", OTHER_V6, net.port(), 9995)
        self.assertEqual(seen.tclass >> 2, 0)

    def test_files_wait_for_a_range_and_configuration_is_written_at_once(self):
        # Left by an earlier run.
        write(RULES4, "old rules\n")
        write(RULES6, "old rules\n")
        client = self.start_file_mode()
        self.run_array(client, [GAME, CONSOLE])
        self.assertFalse(os.path.exists(RULES4))
        self.assertFalse(os.path.exists(RULES6))
        self.assertEqual(read(NAT_JSON),
                         '[\n{"cmd":"dscp-settings","value":46,"lw_dscp_to_ll":0,"lw_app_dscp":0,"wl_dscp_set":0},\n'
                         '{"cmd":"device-add","name":"console","data":"192.0.2.10"},\n'
                         '{"cmd":"multi-add","name":"game","data":"3074,3478:3480,B"}\n]')
        self.assertEqual(firewall_restarts(), 0)

        # A range alone writes nothing; the next array does.
        self.set_range("5000-5010")
        self.assertFalse(os.path.exists(RULES4))
        self.run_array(client, [GAME, CONSOLE])
        self.assertEqual(read(RULES4).count("\n"), 7)
        # Without "lw_app_dscp" a port list has no IPv6 line; the device has two.
        self.assertEqual(read(RULES6),
                         "ip6tables -t nat -I POSTROUTING -p tcp -s 192.0.2.10 ! -d 2001:db8:1::1/64 -j SNAT --to-source " + LLD6 + "\n"
                         "ip6tables -t nat -I POSTROUTING -p udp -s 192.0.2.10 ! -d 2001:db8:1::1/64 -j SNAT --to-source " + LLD6 + "\n")
        self.assertEqual(firewall_restarts(), 1)

    def test_names_are_stored_as_json_strings_and_come_back_whole(self):
        name = 'my "best" game \\ 2'
        client = self.start_file_mode()
        self.set_range("5000-5010")
        self.run_array(client, [{"cmd": "multi-add", "name": "other", "data": "3075,U"},
                                {"cmd": "multi-add", "name": name, "data": "3074,U"}])
        text = read(NAT_JSON)
        self.assertEqual(text, '[\n{"cmd":"dscp-settings","value":46,"lw_dscp_to_ll":0,"lw_app_dscp":0,"wl_dscp_set":0},\n'
                               '{"cmd":"multi-add","name":"my \\"best\\" game \\\\ 2","data":"3074,U"},\n'
                               '{"cmd":"multi-add","name":"other","data":"3075,U"}\n]')
        self.assertEqual(json.loads(text)[1]["name"], name)
        self.stop_client(client)

        # After a restart, a restored entry that the next array leaves out has its
        # connections flushed as stale; one whose name and data the array repeats
        # does not. So only a name restored whole spares its entry here.
        os.unlink("/tmp/platform/conntrack.log")
        client = self.start_file_mode()
        self.run_array(client, [{"cmd": "multi-add", "name": name, "data": "3074,U"}])
        self.assertEqual(conntrack_calls(), ["3075", "3074"])


def tearDownModule():
    close_topology()


if __name__ == "__main__":
    unittest.main()
