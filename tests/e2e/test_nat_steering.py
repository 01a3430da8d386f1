"""NAT steering on a real netfilter, with rules run at once: traffic from the LAN
host reaches the WAN host with the source ports the cloud asked for."""

import itertools
import signal
import time
import unittest

from gateway import LAN_IF, LAN_V6, WAN_IF, WAN_V6, Proxy, sh
from netfilter import (CONSOLE, CONSOLE6, DEVICE, EXCHANGE_TIMEOUT, GAME, GATEWAY, NEWEST_FIRST, OLDEST_FIRST, OTHER,
                       V4, V6, NatTest, chain, conntrack_calls, firewall_restarts, rules)


class Steering(NatTest):
    needs_hosts = True

    def test_traffic_and_rules_follow_entries_range_changes_and_deletes(self):
        net, client = self.net, self.start_client()
        self.set_range("5000-5010")
        self.assertRules([])
        lines = self.run_array(client, [GAME, CONSOLE, CONSOLE6])
        self.assertEqual(sum("res = 0" in line for line in lines), 3, "\n".join(lines))
        self.assertEqual((firewall_restarts(), conntrack_calls()), (1, ["3074,3478:3480"]))
        self.assertRules(NEWEST_FIRST)  # each rule is inserted at the head
        # The same range again rebuilds the rules, none doubled; the entries are
        # issued again newest first, so the oldest one ends up at the head.
        self.set_range("5000-5010")
        self.assertRules(OLDEST_FIRST)

        in_range = iter(range(5003, 5010))
        for family, proto in itertools.product(("v4", "v6"), ("udp", "tcp")):
            with self.subTest(family=family, proto=proto):
                # Listed destination ports, the ends of a listed range included, and
                # everything the listed device sends, to any port.
                for source, port in ((OTHER, 3074), (OTHER, 3478), (OTHER, 3480), (DEVICE, 9990)):
                    self.assertSource(net.send(proto, source[family], port), GATEWAY[family])
                # Ordinary traffic that happened to pick a port of the range is moved out of it.
                self.assertSource(net.send(proto, OTHER[family], 9991, next(in_range)), GATEWAY[family], 5011, 65535)
                if proto == "udp":  # unlisted port and an ordinary source port: left as they are
                    port = next(net.ports)
                    seen = net.send("udp", OTHER[family], 3481, port)
                    self.assertEqual((seen.address, seen.source_port), (OTHER[family], port))

        # A range near the top of the port space sends ordinary traffic below it.
        self.set_range("60000-60010")
        top = dict(lld="60000-60010", classic="1024-59999")
        self.assertRules(OLDEST_FIRST, **top)
        for family in ("v4", "v6"):
            with self.subTest(family=family, range="60000-60010"):
                self.assertSource(net.send("udp", OTHER[family], 3479), GATEWAY[family], 60000, 60010)
                self.assertSource(net.send("udp", OTHER[family], 9992, 60004), GATEWAY[family], 1024, 59999)

        # Deleting two entries by name; the third, merely left out, keeps its rules.
        text = "\n".join(self.run_array(client, [dict(GAME, cmd="multi-del"),
                                                      dict(CONSOLE, cmd="device-del")]))
        self.assertIn("[ZEZ-UDERED] [INF] game was not present", text)
        self.assertIn("[ZEZ-UDERED] [INF] console was not present", text)
        self.assertRules([], [("device", "udp"), ("device", "tcp")], **top)
        self.run_array(client, [dict(CONSOLE6, cmd="device-del")])
        self.assertRules([], **top)
        self.assertEqual(firewall_restarts(), 3)

    def test_commands_before_any_range_are_held_until_one_arrives(self):
        text = "\n".join(self.run_array(self.start_client(), [GAME, CONSOLE, CONSOLE6]))
        # Formed and logged, but nothing runs without a range.
        self.assertIn("[DBG] iptables -t nat -I POSTROUTING -p tcp -s 192.0.2.1/24 --match multiport "
                      "--dports 3074,3478:3480 ! -d 192.0.2.1/24 -j SNAT --to-source", text)
        self.assertEqual((chain("v4"), chain("v6"), firewall_restarts()), ([], [], 0))
        # The connection-tracking flush does not wait for a range.
        self.assertEqual(conntrack_calls(), ["3074,3478:3480"])

        self.set_range("5000-5010")
        self.assertRules(OLDEST_FIRST)
        for family in ("v4", "v6"):
            with self.subTest(family=family):
                self.assertSource(self.net.send("tcp", OTHER[family], 3074), GATEWAY[family])

    def test_ipv6_rules_follow_once_the_wan_address_appears(self):
        for name, address in ((LAN_IF, LAN_V6), (WAN_IF, WAN_V6)):  # a gateway without IPv6 for a while
            sh("ip", "-6", "addr", "flush", "dev", name, "scope", "global")
            self.addCleanup(sh, "ip", "-6", "addr", "replace", address, "dev", name, "nodad")
        client = self.start_client()
        client.wait_for(r"Checking for IPv6 WAN Address")
        self.set_range("5000-5010")
        self.run_array(client, [GAME])
        game = [("game", "udp"), ("game", "tcp")]
        self.assertEqual((chain("v4"), chain("v6")), (rules(V4, game), []))

        # The LAN learns its address before the WAN does; the client had none for
        # it at start-up and must look it up again.
        sh("ip", "-6", "addr", "add", LAN_V6, "dev", LAN_IF, "nodad")
        sh("ip", "-6", "addr", "add", WAN_V6, "dev", WAN_IF, "nodad")
        client.wait_for(r"IPv4 Address=198\.51\.100\.2, IPv6 Address=2001:db8:2::2", 20)
        deadline = time.monotonic() + EXCHANGE_TIMEOUT
        while chain("v6") != rules(V6, game) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertRules(game)  # and IPv4 issued again, not doubled
        self.assertSource(self.net.send("udp", OTHER["v6"], 3074), GATEWAY["v6"])


def tables():
    return [chain(family, table) for family in ("v4", "v6") for table in ("nat", "mangle")]


def ours():
    return [rule for rule in chain("v4") if "MASQUERADE" not in rule]


class LeftAsFound(NatTest):
    """The immediate mode takes back its rules when it ends, and never doubles one
    that an earlier run left behind; rules of others stay."""

    def run_once(self, ending):
        client = self.start_client()
        self.set_range("5000-5010")
        self.run_array(client, [GAME, CONSOLE, CONSOLE6])
        self.assertEqual(ours(), rules(V4, NEWEST_FIRST))  # never doubled
        if ending == "term":
            self.stop_client(client)
        elif ending == "kill":
            client.stop(signal.SIGKILL)
        else:  # the proxy goes
            self.proxy.close()
            Proxy.send({"lld_config": {"port_range": "5000-5010"}})
            self.assertEqual(client.wait_exit(), 0)
            self.proxy = Proxy()

    def test_start_stop_cycles_leave_the_tables_as_found(self):
        sh("iptables", "-t", "nat", "-A", "POSTROUTING", "-o", WAN_IF, "-j", "MASQUERADE")
        found = tables()
        for endings, left in ((["term", "term"], found), (["proxy gone"], found),
                              (["kill"], None), (["kill", "term"], found)):
            with self.subTest(endings=endings):
                for ending in endings:
                    self.run_once(ending)
                if left is None:  # a killed client's rules stay
                    self.assertEqual(ours(), rules(V4, NEWEST_FIRST))
                else:
                    self.assertEqual(tables(), left)


if __name__ == "__main__":
    unittest.main()
