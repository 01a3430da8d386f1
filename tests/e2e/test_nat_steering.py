"""NAT steering on a real netfilter, with rules run at once: traffic from the LAN
host reaches the WAN host with the source ports the cloud asked for."""

import unittest

from gateway import LAN_IF, LAN_V6, WAN_IF, WAN_V6, sh
from netfilter import (DEVICE_V4, DEVICE_V6, GATEWAY_WAN_V4, GATEWAY_WAN_V6, OTHER_V4, OTHER_V6,
                       V4, V6, NatTest, chain, close_topology, conntrack_calls, firewall_restarts,
                       rules, wait_for_chain)

GAME = {"cmd": "multi-add", "name": "game", "data": "3074,3478:3480,B"}
CONSOLE = {"cmd": "device-add", "name": "console", "data": DEVICE_V4}
CONSOLE6 = {"cmd": "device-add", "name": "console6", "data": DEVICE_V6}

GATEWAY = {"v4": GATEWAY_WAN_V4, "v6": GATEWAY_WAN_V6}
DEVICE = {"v4": DEVICE_V4, "v6": DEVICE_V6}
OTHER = {"v4": OTHER_V4, "v6": OTHER_V6}


class Steering(NatTest):
    needs_hosts = True

    def setUp(self):
        super().setUp()
        self.client, _ = self.start_registered()

    def assertSteered(self, seen, family, low, high):
        self.assertIsNotNone(seen, "nothing reached the WAN host")
        self.assertEqual(seen.address, GATEWAY[family], seen)
        self.assertTrue(low <= seen.source_port <= high, seen)

    def assertOutside(self, seen, family, low, high):
        self.assertIsNotNone(seen, "nothing reached the WAN host")
        self.assertEqual(seen.address, GATEWAY[family], seen)
        self.assertFalse(low <= seen.source_port <= high, seen)
        self.assertGreaterEqual(seen.source_port, 1024, seen)

    def check_steering(self, low, high, in_range_port):
        net = self.net
        for family in ("v4", "v6"):
            for proto in ("udp", "tcp"):
                with self.subTest(family=family, proto=proto):
                    # Listed destination ports, the ends of a listed range included.
                    for port in (3074, 3478, 3480):
                        self.assertSteered(net.send(proto, OTHER[family], net.port(), port),
                                           family, low, high)
                    # Everything the listed device sends, to any port.
                    self.assertSteered(net.send(proto, DEVICE[family], net.port(), 9990),
                                       family, low, high)
                    # Ordinary traffic that happened to pick a port of the range is moved out of it.
                    self.assertOutside(net.send(proto, OTHER[family], in_range_port, 9991),
                                       family, low, high)
                    in_range_port += 1

    def test_listed_traffic_uses_the_range_and_other_traffic_leaves_it(self):
        net = self.net
        self.set_range("5000-5010")
        lines = self.run_array(self.client, [GAME, CONSOLE, CONSOLE6])
        self.assertEqual(sum("res = 0" in line for line in lines), 3, "\n".join(lines))
        self.assertEqual(firewall_restarts(), 1)
        self.assertEqual(conntrack_calls(), ["3074,3478:3480"])

        self.check_steering(5000, 5010, 5003)
        for family in ("v4", "v6"):
            with self.subTest(family=family, unlisted=True):
                # Unlisted port and an ordinary source port: left as it is.
                port = net.port()
                seen = net.send("udp", OTHER[family], port, 3481)
                self.assertEqual((seen.address, seen.source_port), (OTHER[family], port))

    def test_rule_sets_follow_range_changes_and_explicit_deletes(self):
        self.set_range("5000-5010")
        self.assertEqual(chain("v4"), rules(V4, [], "5000-5010", "5011-65535"))
        self.assertEqual(chain("v6"), rules(V6, [], "5000-5010", "5011-65535"))

        self.run_array(self.client, [GAME, CONSOLE, CONSOLE6])
        # Each rule is inserted at the head: the last one issued stands first.
        self.assertEqual(chain("v4"), rules(V4, [("device", "udp"), ("device", "tcp"),
                                                 ("game", "udp"), ("game", "tcp")],
                                            "5000-5010", "5011-65535"))
        self.assertEqual(chain("v6"), rules(V6, [("device", "udp"), ("device", "tcp"),
                                                 ("game", "udp"), ("game", "tcp")],
                                            "5000-5010", "5011-65535"))

        # A range near the top of the port space sends ordinary traffic below it.
        # The old range's rules go; the entries come back newest first, so the
        # oldest entry ends up at the head.
        self.set_range("60000-60010")
        entries = [("game", "udp"), ("game", "tcp"), ("device", "udp"), ("device", "tcp")]
        self.assertEqual(chain("v4"), rules(V4, entries, "60000-60010", "1024-59999"))
        self.assertEqual(chain("v6"), rules(V6, entries, "60000-60010", "1024-59999"))
        for family in ("v4", "v6"):
            with self.subTest(family=family):
                net = self.net
                self.assertSteered(net.send("udp", OTHER[family], net.port(), 3479), family, 60000, 60010)
                seen = net.send("udp", OTHER[family], 60004, 9992)
                self.assertSteered(seen, family, 1024, 59999)

        # Deleting two entries by name; the third, merely left out, keeps its rules.
        lines = self.run_array(self.client, [dict(GAME, cmd="multi-del"), dict(CONSOLE, cmd="device-del")])
        text = "\n".join(lines)
        self.assertIn("[ZEZ-UDERED] [INF] game was not present", text)
        self.assertIn("[ZEZ-UDERED] [INF] console was not present", text)
        self.assertEqual(chain("v4"), rules(V4, [], "60000-60010", "1024-59999"))
        self.assertEqual(chain("v6"), rules(V6, [("device", "udp"), ("device", "tcp")],
                                            "60000-60010", "1024-59999"))

        self.run_array(self.client, [dict(CONSOLE6, cmd="device-del")])
        self.assertEqual(chain("v4"), rules(V4, [], "60000-60010", "1024-59999"))
        self.assertEqual(chain("v6"), rules(V6, [], "60000-60010", "1024-59999"))
        self.assertEqual(firewall_restarts(), 3)

    def test_same_range_again_rebuilds_without_duplicates(self):
        self.set_range("5000-5010")
        self.run_array(self.client, [GAME])
        before = chain("v4"), chain("v6")
        self.set_range("5000-5010")
        self.assertEqual((chain("v4"), chain("v6")), before)

    def test_commands_before_any_range_are_held_until_one_arrives(self):
        lines = self.run_array(self.client, [GAME, CONSOLE, CONSOLE6])
        text = "\n".join(lines)
        # Formed and logged, but nothing runs without a range.
        self.assertIn("[DBG] iptables -t nat -I POSTROUTING -p tcp -s 192.0.2.1/24 --match multiport "
                      "--dports 3074,3478:3480 ! -d 192.0.2.1/24 -j SNAT --to-source", text)
        self.assertEqual((chain("v4"), chain("v6")), ([], []))
        self.assertEqual(firewall_restarts(), 0)
        # The connection-tracking flush does not wait for a range.
        self.assertEqual(conntrack_calls(), ["3074,3478:3480"])

        self.set_range("5000-5010")
        entries = [("game", "udp"), ("game", "tcp"), ("device", "udp"), ("device", "tcp")]
        self.assertEqual(chain("v4"), rules(V4, entries, "5000-5010", "5011-65535"))
        self.assertEqual(chain("v6"), rules(V6, entries, "5000-5010", "5011-65535"))
        net = self.net
        for family in ("v4", "v6"):
            with self.subTest(family=family):
                self.assertSteered(net.send("tcp", OTHER[family], net.port(), 3074), family, 5000, 5010)


class Ipv6ComingUpLate(NatTest):
    """A gateway whose IPv6 addresses arrive after the client started."""

    needs_hosts = True

    def setUp(self):
        super().setUp()
        for name in (LAN_IF, WAN_IF):
            sh("ip", "-6", "addr", "flush", "dev", name, "scope", "global")

    def tearDown(self):
        super().tearDown()
        for name, address in ((LAN_IF, LAN_V6), (WAN_IF, WAN_V6)):
            sh("ip", "-6", "addr", "replace", address, "dev", name, "nodad")

    def test_ipv6_rules_follow_once_the_wan_address_appears(self):
        client, _ = self.start_registered()
        client.wait_for(r"Checking for IPv6 WAN Address")
        self.set_range("5000-5010")
        self.run_array(client, [GAME])
        self.assertEqual(chain("v6"), [])
        self.assertEqual(chain("v4"), rules(V4, [("game", "udp"), ("game", "tcp")],
                                            "5000-5010", "5011-65535"))

        # The LAN learns its address before the WAN does; the client had none for
        # it at start-up and must look it up again.
        sh("ip", "-6", "addr", "add", LAN_V6, "dev", LAN_IF, "nodad")
        sh("ip", "-6", "addr", "add", WAN_V6, "dev", WAN_IF, "nodad")
        client.wait_for(r"IPv4 Address=198\.51\.100\.2, IPv6 Address=2001:db8:2::2", 20)
        expected = rules(V6, [("game", "udp"), ("game", "tcp")], "5000-5010", "5011-65535")
        self.assertEqual(wait_for_chain(expected, "v6"), expected)
        # IPv4 was re-issued, not doubled.
        self.assertEqual(chain("v4"), rules(V4, [("game", "udp"), ("game", "tcp")],
                                            "5000-5010", "5011-65535"))
        net = self.net
        seen = net.send("udp", OTHER_V6, net.port(), 3074)
        self.assertIsNotNone(seen)
        self.assertEqual(seen.address, GATEWAY_WAN_V6)
        self.assertTrue(5000 <= seen.source_port <= 5010, seen)


def tearDownModule():
    close_topology()


if __name__ == "__main__":
    unittest.main()
