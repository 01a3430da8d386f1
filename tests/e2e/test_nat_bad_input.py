"""Malformed and hostile NAT input, from the cloud and from the stored configuration:
each is logged, nothing runs that should not, and what is stored stays whole."""

import json
import re
import unittest
from pathlib import Path

from gateway import Proxy, log_text
from netfilter import (AWAKE, BARRIER, CONSOLE, ERR, EXCHANGE_TIMEOUT, GAME, NAT_JSON, OLDEST_FIRST, NatTest,
                       chain, conntrack_calls, firewall_restarts, flush_tables, stored)

LIST_15 = "1:2,3:4,5:6,7:8,9:10,11:12,13:14,15"  # the most ports the firewall takes

# Port data that must never reach a command line: shell syntax, option
# injection, and lists that are not lists of ports 1-65535.
BAD_PORT_DATA = [
    "3074;touch /tmp/pwned,U", "3074$(touch /tmp/pwned),U", "3074`touch /tmp/pwned`,B", "3074|touch /tmp/pwned,T",
    "3074&&touch /tmp/pwned,U", "3074\ntouch /tmp/pwned\n,U", "3074 -j ACCEPT,U", "3074 ,U", " 3074,U", ",U", "0,U",
    "65536,U", "99999999999999999999,U", "-1,U", "+3074,U", "0x10,U", "3074,,3075,U", "3074:,U", ":3074,U",
    "3074:3075:3076,U", "3074.5,U", "\u0663\u0660\u0667\u0664,U", LIST_15 + ",16,U", "1" + ",1" * 127 + ",U"]  # \u066x: digits, not ASCII ones
BAD_DEVICE_DATA = [
    "192.0.2.10;touch /tmp/pwned", "$(touch /tmp/pwned)", "`touch /tmp/pwned`", "192.0.2.10|touch /tmp/pwned",
    "2001:db8:1::10 && touch /tmp/pwned", "192.0.2.10 -j ACCEPT", "192.0.2.10 192.0.2.11", "192.0.2.10,192.0.2.11",
    "example.com", "192.0.2.256", "192.0.2", "192.0.2.10/", "192.0.2.10/24/8", "2001:db8:1::10::1", ""]
UNKNOWN_COMMANDS = ["multi-ADD", "Multi-add", " multi-add", "multi-add ", "device_add", "reboot", ""]
BAD_RANGES = [
    "2000-1000", "0-100", "100-70000", "1000-1000", "abc", "", "5000", "5000-", "-5010", "5000-5010x", " 5000-5010",
    "5000-5010 ", "5000 -5010", "+5000-5010", "5000-+5010", "-5000-5010", "5000--5010", "5000-5010\n",
    "0x1388-0x1392", "5000-5010;touch /tmp/pwned", "6000-6010$(touch /tmp/pwned)"]
RANGE_6000 = dict(lld="6000-6010", classic="6011-65535")


def commands(lines):
    return [log_text(line) for line in lines if re.search(r"\[DBG\] ip6?tables ", line)]


class BadCommandArrays(NatTest):
    def setUp(self):
        super().setUp()
        self.client = self.start_client()
        self.set_range("5000-5010")
        self.assertRules([])

    def test_elements_lacking_members_are_skipped_and_the_rest_carried_out(self):
        name = "x;touch /tmp/pwned $(touch /tmp/pwned2) `touch /tmp/pwned` | \"'\\"
        elements = [
            {"cmd": "multi-add", "name": "no-data"}, {"cmd": "multi-add", "data": "3074,U"},
            {"name": "no-cmd", "data": "3074,U"}, {"cmd": "device-add", "name": "no-data"},
            {"cmd": "device-del", "data": "192.0.2.10"}, {"cmd": "portrange", "data": "6000-6010"},
            {"cmd": "multi-add", "name": "number", "data": 3074}, {"cmd": "multi-add", "name": 7, "data": "3074,U"},
            {"cmd": ["multi-add"], "name": "list", "data": "3074,U"},
            {"cmd": "device-add", "name": "null", "data": None}, {"cmd": "device-add", "name": "bool", "data": True},
            {"cmd": "multi-add", "name": "object", "data": {"ports": "3074", "proto": "U"}},
            {}, 42, "multi-add", None, [],
            # Member names count in any letter case; this one is whole.
            {"CMD": "multi-add", "Name": "caps", "DATA": "3075,T"},
            # Names are never shell text.
            {"cmd": "multi-add", "name": name, "data": "3074,U"},
            {"cmd": "device-add", "name": name, "data": "192.0.2.10"},
        ]
        lines = self.run_array(self.client, elements)
        text = "\n".join(lines)
        self.assertEqual(sum(" res = " in line for line in lines), len(elements), text)
        # tcp 3075 and udp 3074 in each family, the device in IPv4 only.
        self.assertEqual(len(commands(lines)), 6, text)
        self.assertRules([("device", "udp"), ("device", "tcp"), ("game", "udp", "3074"), ("game", "tcp", "3075")],
                         [("game", "udp", "3074"), ("game", "tcp", "3075")])
        self.assertEqual((conntrack_calls(), firewall_restarts()), (["3075", "3074"], 1))
        self.assertUntouched()
        # Stored entries are issued again when the range changes: only these come back.
        self.set_range("6000-6010")
        self.assertRules([("game", "tcp", "3075"), ("game", "udp", "3074"), ("device", "udp"), ("device", "tcp")],
                         [("game", "tcp", "3075"), ("game", "udp", "3074")], **RANGE_6000)

    def test_refused_elements_and_ranges_change_nothing(self):
        cases = [(cmd, data, ERR) for data in BAD_PORT_DATA for cmd in ("multi-add", "multi-del")]
        cases += [(cmd, data, ERR) for data in BAD_DEVICE_DATA for cmd in ("device-add", "device-del")]
        cases += [(cmd, "3074,U", "[ZEZ-UDERED] [DBG] data else res(-1) ") for cmd in UNKNOWN_COMMANDS]
        cases += [("portrange", data, "[ZEZ-UDERED] [DBG] res = -1") for data in BAD_RANGES]  # no [ERR]
        for cmd, data, refusal in cases:
            with self.subTest(cmd=cmd, data=data):
                lines = self.run_array(self.client, [{"cmd": cmd, "name": "bad", "data": data}])
                if cmd == "portrange":  # the cloud's range is still checked and reported
                    start = len(self.client.output())
                    self.assertIn("running_with_error", self.set_range(data)[2])
                    lines += self.client.output()[start:]
                text = "\n".join(lines)
                self.assertIn(refusal, text)
                self.assertIn("[ZEZ-UDERED] [DBG] res = -1", text)
                self.assertEqual(commands(lines), [])
                self.assertRules([])
                self.assertEqual(conntrack_calls(), [])
                self.assertUntouched()
        # Nothing refused was stored: a sound range issues only the base rules again.
        lines = self.run_array(self.client, [{"cmd": "portrange", "name": "r", "data": "6000-6010"}])
        self.assertIn("[ZEZ-UDERED] [DBG] res = 0", "\n".join(lines))
        self.assertRules([], **RANGE_6000)

    def test_sound_data_at_the_limits_is_taken(self):
        for cmd, data in [("multi-add", "1,U"), ("multi-add", "65535,U"), ("multi-add", "1:65535,T"),
                          ("multi-add", LIST_15 + ",U"), ("device-add", "192.0.2.10/32"),
                          ("device-add", "192.0.2.0/24"), ("device-add", "2001:db8:1::10/128"),
                          ("device-add", "2001:db8:1::10"), ("device-add", "192.0.2.10")]:
            with self.subTest(cmd=cmd, data=data):
                calls = conntrack_calls()
                lines = self.run_array(self.client, [{"cmd": cmd, "name": "ok", "data": data}])
                text = "\n".join(lines)
                self.assertFalse(any(ERR in line for line in lines), text)
                self.assertIn("[ZEZ-UDERED] [DBG] res = 0", text)
                # One protocol in each family for a port list, both in the device's own.
                self.assertEqual(len(commands(lines)), 2, text)
                if cmd == "multi-add":
                    # After the flush of the previous element's list, which this array drops.
                    self.assertEqual(conntrack_calls()[len(calls):][-1:], [data.rsplit(",", 1)[0]])

    def test_31_arrays_wait_and_the_next_is_refused(self):
        # A flush script that keeps the worker busy for as long as the hold file exists
        # (the next test's fresh platform directory and script end it at the latest).
        hold = Path("/tmp/platform/conntrack.hold")
        hold.write_text("")
        Path("/etc/atom/conntrack_extract.sh").write_text(
            "#!/bin/sh\nprintf '%s\\n' \"$*\" >>/tmp/platform/conntrack.log\nn=0\n"
            "while [ -e " + str(hold) + " ] && [ $n -lt 1200 ]; do sleep 0.05; n=$((n+1)); done\n")
        client, start = self.client, len(self.client.output())
        Proxy.send({"user_game_config": [{"cmd": "multi-add", "name": "busy", "data": "1,U"}]})
        client.wait_for(AWAKE, EXCHANGE_TIMEOUT, start)  # taken from the queue: the worker is busy with it

        ports = list(range(40000, 40032))
        for port in ports:
            Proxy.send({"user_game_config": [{"cmd": "multi-add", "name": "q%d" % port, "data": "%d,U" % port}]})
        client.wait_for(r"\[DBG\] full @ 0/1", EXCHANGE_TIMEOUT, start)
        hold.unlink()
        # The busy array and the 31 that waited, each after the one before.
        index = start
        for _ in range(32):
            index = client.wait_for(AWAKE, EXCHANGE_TIMEOUT, index) + 1
        Proxy.send({"user_game_config": BARRIER})
        client.wait_for(AWAKE, EXCHANGE_TIMEOUT, index)

        self.assertEqual(client.count(r"full @ "), 1)
        taken = [str(p) for p in ports[:31]]
        listed = [re.search(r"--dports (\d+) ", line).group(1) for line in chain("v4") if "--dports" in line]
        self.assertEqual(listed, taken[::-1] + ["1"])
        self.assertEqual(set(conntrack_calls()), set(["1"] + taken))  # the refused one's never
        self.assertEqual(firewall_restarts(), 32)


class StoredConfigurationAtStartUp(NatTest):
    """iptables-nat.json as a previous run, a crash or an intruder left it."""

    def start_with(self, content):
        flush_tables()
        NAT_JSON.write_bytes(content)
        client = self.start_client()
        # The worker reads the file before it serves its first message.
        Proxy.send({"user_game_config": BARRIER})
        awake = client.wait_for(AWAKE, EXCHANGE_TIMEOUT)
        worker = re.match(r"\[\d+\] ", client.output()[awake]).group(0)
        restore_errors = [line for line in client.output()[:awake] if line.startswith(worker) and ERR in line]
        self.set_range("5000-5010")
        return client, restore_errors

    def test_hostile_entries_are_dropped_and_unreadable_files_restore_nothing_and_stay(self):
        hostile = json.dumps([
            {"cmd": "dscp-settings", "value": 10, "lw_dscp_to_ll": 1, "lw_app_dscp": 1, "wl_dscp_set": 1}, GAME,
            {"cmd": "multi-add", "name": "evil", "data": "80;touch /tmp/pwned,U"},
            {"cmd": "device-add", "name": "evil2", "data": "192.0.2.10;touch /tmp/pwned2"},
            {"cmd": "multi-add", "name": "evil3", "data": "$(touch /tmp/pwned),U"},
            {"cmd": "device-del", "name": "evil4", "data": "192.0.2.10 -j ACCEPT"}, CONSOLE,
            {"cmd": "multi-add", "name": "long", "data": LIST_15 + ",16,U"},
            {"cmd": "multi-add", "name": 7, "data": "3075,U"}, "text", 5, None], indent=1).encode()
        # The file's entries come back newest last, and are issued newest first.
        cases = [("hostile", hostile, ["refused"] * 5, OLDEST_FIRST, OLDEST_FIRST[:2])]
        cases += [(name, content, [str(NAT_JSON)], [], []) for name, content in (
            ("corrupt", b"this is not json {["), ("truncated", stored(GAME)[:-12].encode()), ("empty", b""),
            ("binary", bytes(range(256)) * 4), ("an object", json.dumps(GAME).encode()),
            ("nested too deep", b"[" * 100000 + b"]" * 100000))]
        for name, content, errors, v4, v6 in cases:
            with self.subTest(name):
                client, logged = self.start_with(content)
                self.assertEqual([e for e, line in zip(errors, logged) if e in line], errors, logged)
                self.assertEqual(len(logged), len(errors), logged)
                self.assertRules(v4, v6)
                self.assertEqual(NAT_JSON.read_bytes(), content)
                self.assertUntouched()
                self.stop_client(client)


if __name__ == "__main__":
    unittest.main()
