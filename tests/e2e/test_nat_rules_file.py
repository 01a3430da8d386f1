"""Rules-file mode: the client writes its rules and NAT configuration into the
non-volatile directory instead of running them; run by the platform's shell,
those files steer the traffic."""

import json
import os
import subprocess
import unittest
from pathlib import Path

from gateway import NV_DIR
from netfilter import (CONSOLE, CONSOLE6, DEVICE, GAME, GATEWAY, NAT_JSON, NEWEST_FIRST, OLDEST_FIRST, OTHER,
                       RULES4, RULES6, V4, V6, NatTest, chain, conntrack_calls, firewall_restarts, flush_tables, rules,
                       stored)

DSCP = {"cmd": "dscp-settings", "value": 34, "lw_app_dscp": True, "lw_dscp_to_ll": False}
LIST_256 = "10" + ",1" * 127  # one character more than a port list may have
LLD4, LLD6 = "198.51.100.2:5000-5010", "[2001:db8:2::2]:5000-5010"
FILES = ["iptables-nat.json", "rules.wr", "rules6.wr"]  # staging files are renamed, never left beside them

# Newest entry first; a device's rules go into the file of its own address family.
EXPECTED_RULES4 = (
    "iptables -t nat -I POSTROUTING -p udp -s 192.0.2.1/24 --sport 5000:5010 ! -d 192.0.2.1/24 -j SNAT --to-source 198.51.100.2:5011-65535\n"
    "iptables -t nat -I POSTROUTING -p tcp -s 192.0.2.1/24 --sport 5000:5010 ! -d 192.0.2.1/24 -j SNAT --to-source 198.51.100.2:5011-65535\n"
    "iptables -t nat -I POSTROUTING -p tcp -s 192.0.2.10 ! -d 192.0.2.1/24 -j SNAT --to-source " + LLD4 + "\n"
    "iptables -t nat -I POSTROUTING -p udp -s 192.0.2.10 ! -d 192.0.2.1/24 -j SNAT --to-source " + LLD4 + "\n"
    "iptables -t nat -I POSTROUTING -p tcp -s 192.0.2.1/24 --match multiport --dports 3074,3478:3480 ! -d 192.0.2.1/24 -j SNAT --to-source " + LLD4 + "\n"
    "iptables -t nat -I POSTROUTING -p udp -s 192.0.2.1/24 --match multiport --dports 3074,3478:3480 ! -d 192.0.2.1/24 -j SNAT --to-source " + LLD4 + "\n"
    "iptables -t nat -I POSTROUTING -p udp -d 224.0.0.0/4 -j RETURN\n"
)
EXPECTED_RULES6 = (
    "ip6tables -t nat -I POSTROUTING -p tcp -s 2001:db8:1::10 ! -d 2001:db8:1::1/64 -j SNAT --to-source " + LLD6 + "\n"
    "ip6tables -t nat -I POSTROUTING -p udp -s 2001:db8:1::10 ! -d 2001:db8:1::1/64 -j SNAT --to-source " + LLD6 + "\n"
    "ip6tables -t mangle -I POSTROUTING -p tcp -s 2001:db8:1::1/64 --match multiport --dports 3074,3478:3480 ! -d 2001:db8:1::1/64 -j DSCP --set-dscp 34\n"
    "ip6tables -t mangle -I POSTROUTING -p udp -s 2001:db8:1::1/64 --match multiport --dports 3074,3478:3480 ! -d 2001:db8:1::1/64 -j DSCP --set-dscp 34\n"
)
# What the files leave in the tables when run from top to bottom, each line inserting at the head.
APPLIED4 = [V4["return"]] + rules(V4, OLDEST_FIRST)[:4] + rules(V4, [])[1:]
APPLIED6_NAT = rules(V6, NEWEST_FIRST[:2])[:2]
APPLIED6_MANGLE = [
    "-A POSTROUTING -s 2001:db8:1::/64 ! -d 2001:db8:1::/64 -p udp -m multiport --dports 3074,3478:3480 -j DSCP --set-dscp 0x22",
    "-A POSTROUTING -s 2001:db8:1::/64 ! -d 2001:db8:1::/64 -p tcp -m multiport --dports 3074,3478:3480 -j DSCP --set-dscp 0x22",
]


class RulesFiles(NatTest):
    needs_hosts = True

    def test_files_steer_like_the_client_would(self):
        client = self.start_client(file_mode=True)
        self.set_range("5000-5010")
        lines = self.run_array(client, [DSCP, GAME, CONSOLE, CONSOLE6])
        self.assertIn("[ZEZ-UDERED] [DBG] dscp update res(0) ", "\n".join(lines))
        self.assertEqual((RULES4.read_text(), RULES6.read_text()), (EXPECTED_RULES4, EXPECTED_RULES6))
        self.assertEqual(NAT_JSON.read_bytes(), stored(
            CONSOLE6, CONSOLE, GAME,
            dscp='{"cmd":"dscp-settings","value":34,"lw_dscp_to_ll":0,"lw_app_dscp":1,"wl_dscp_set":0}').encode())
        self.assertEqual(sorted(os.listdir(NV_DIR)), FILES)
        # This mode writes rules; it never runs them itself.
        self.assertEqual([chain(f, t) for f in ("v4", "v6") for t in ("nat", "mangle")], [[]] * 4)
        self.assertEqual(firewall_restarts(), 1)
        self.stop_client(client)

        # What the platform firewall does on a restart: each line through the shell.
        flush_tables()
        for line in (RULES4.read_text() + RULES6.read_text()).splitlines():
            subprocess.run(["sh", "-c", line], capture_output=True)
        self.assertEqual((chain("v4"), chain("v6"), chain("v6", "mangle")), (APPLIED4, APPLIED6_NAT, APPLIED6_MANGLE))

        net = self.net
        for proto in ("udp", "tcp"):
            with self.subTest(proto=proto):
                for family, source, port in (("v4", OTHER, 3074), ("v4", OTHER, 3480), ("v4", DEVICE, 9993),
                                             ("v6", DEVICE, 9993)):
                    self.assertSource(net.send(proto, source[family], port), GATEWAY[family])
                # The classic rule moves ordinary traffic out of the range.
                in_range = 5007 if proto == "udp" else 5008
                self.assertSource(net.send(proto, OTHER["v4"], 9994, in_range), GATEWAY["v4"], 5011, 65535)
        # IPv6 port lists are marked for the low-latency flow rather than translated.
        port = next(net.ports)
        seen = net.send("udp", OTHER["v6"], 3479, port)
        self.assertEqual((seen.address, seen.source_port, seen.tclass >> 2), (OTHER["v6"], port, 34))
        self.assertEqual(net.send("udp", OTHER["v6"], 9995).tclass >> 2, 0)

    def test_files_wait_for_a_range_and_hold_only_sound_entries_with_names_whole(self):
        # Left by an earlier run: rules, and a configuration cut short.
        RULES4.write_text("old rules\n")
        RULES6.write_text("old rules\n")
        NAT_JSON.write_bytes(b'[\n{"cmd":"multi-add","name":"game","data":"3074,34')
        name = 'my "best" game \\ 2'
        array = [{"cmd": "multi-add", "name": "other", "data": "3075,U"},
                 {"cmd": "multi-add", "name": "evil", "data": "80;touch /tmp/pwned,U"},
                 {"cmd": "device-add", "name": "evil2", "data": "192.0.2.10;touch /tmp/pwned"},
                 {"cmd": "multi-add", "name": "long", "data": LIST_256 + ",U"},
                 CONSOLE, {"cmd": "multi-add", "name": name, "data": "3074,U"}]
        client = self.start_client(file_mode=True)
        self.run_array(client, array)
        # The configuration is written at once, replaced whole; the rules wait for a range.
        self.assertEqual([p for p in (RULES4, RULES6) if p.exists()], [])
        text = NAT_JSON.read_text()
        self.assertEqual(text, stored('{"cmd":"multi-add","name":"my \\"best\\" game \\\\ 2","data":"3074,U"}',
                                      CONSOLE, '{"cmd":"multi-add","name":"other","data":"3075,U"}'))
        self.assertEqual(json.loads(text)[1]["name"], name)
        self.assertEqual(firewall_restarts(), 0)

        # A range alone writes nothing; the next array does.
        self.set_range("5000-5010")
        self.assertFalse(RULES4.exists())
        self.run_array(client, array)
        # Three base rules and four of the sound entries, none of a refused one.
        self.assertEqual(RULES4.read_text().count("\n"), 7)
        # Without "lw_app_dscp" a port list has no IPv6 line, nor has an IPv4 device.
        self.assertEqual(RULES6.read_text(), "")
        self.assertEqual(sorted(os.listdir(NV_DIR)), FILES)
        self.assertEqual(firewall_restarts(), 1)
        self.assertUntouched()

        # What is no array changes nothing, files, calls and tables alike.
        def snapshot():
            files = [(p.stat().st_ino, p.stat().st_mtime_ns, p.read_bytes()) for p in (NAT_JSON, RULES4, RULES6)]
            return files, firewall_restarts(), conntrack_calls(), chain("v4"), chain("v6")
        before, start = snapshot(), len(client.output())
        for value in [{"cmd": "multi-add", "name": "x", "data": "4000,U"}, "3074,U", 42, True, False, {}]:
            self.run_array(client, value)
        self.assertEqual(snapshot(), before)
        self.assertFalse(any(" res = " in line for line in client.output()[start:]))
        self.stop_client(client)

        # After a restart, a restored entry that the next array leaves out has its
        # connections flushed as stale; one whose name and data the array repeats
        # does not. So only a name restored whole spares its entry here.
        os.unlink("/tmp/platform/conntrack.log")
        client = self.start_client(file_mode=True)
        self.run_array(client, [{"cmd": "multi-add", "name": name, "data": "3074,U"}])
        self.assertEqual(conntrack_calls(), ["3075", "3074"])

    def test_a_full_nvdir_keeps_every_old_file_whole(self):
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", NV_DIR], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", NV_DIR])
        client = self.start_client(file_mode=True)
        self.set_range("5000-5010")
        self.run_array(client, [GAME, CONSOLE])
        files = lambda: {name: Path(NV_DIR, name).read_bytes() for name in FILES}  # noqa: E731
        before = files()
        filler = os.path.join(NV_DIR, "filler")
        subprocess.run(["dd", "if=/dev/zero", "of=" + filler, "bs=4k"], capture_output=True)
        lines = self.run_array(client, [GAME, CONSOLE, CONSOLE6])
        self.assertTrue(any("[ERR] Cannot write /tmp/nv/" in line and "it stays as it was" in line
                            for line in lines), "\n".join(lines))
        self.assertEqual(files(), before)
        self.assertEqual(sorted(os.listdir(NV_DIR)), sorted(FILES + ["filler"]))  # no staging left
        os.unlink(filler)  # room again: the next array is written whole
        self.run_array(client, [GAME, CONSOLE, CONSOLE6])
        self.assertIn(b"2001:db8:1::10", Path(NV_DIR, "rules6.wr").read_bytes())


if __name__ == "__main__":
    unittest.main()
