"""Malformed and hostile NAT input, from the cloud and from the stored configuration:
each is logged, nothing runs that should not, and what is stored stays whole."""

import json
import os
import re
import time
import unittest

from gateway import NV_DIR, Proxy, client_args, log_text
from netfilter import (AWAKE, BARRIER, EXCHANGE_TIMEOUT, V4, V6, NatTest, chain, conntrack_calls,
                       firewall_restarts, flush_tables, rules)

NAT_JSON = os.path.join(NV_DIR, "iptables-nat.json")
RULES4 = os.path.join(NV_DIR, "rules.wr")
RULES6 = os.path.join(NV_DIR, "rules6.wr")
ERR = "[ZEZ-UDERED] [ERR] "
BASE = ([], "5000-5010", "5011-65535")

GAME = {"cmd": "multi-add", "name": "game", "data": "3074,3478:3480,B"}
CONSOLE = {"cmd": "device-add", "name": "console", "data": "192.0.2.10"}

LIST_255 = "1" + ",1" * 127  # the longest port list there may be
LIST_256 = "10" + ",1" * 127

# Port data that must never reach a command line: shell syntax, option
# injection, and lists that are not lists of ports 1-65535.
BAD_PORT_DATA = [
    "3074;touch /tmp/pwned,U",
    "3074$(touch /tmp/pwned),U",
    "3074`touch /tmp/pwned`,B",
    "3074|touch /tmp/pwned,T",
    "3074&&touch /tmp/pwned,U",
    "3074\ntouch /tmp/pwned\n,U",
    "3074 -j ACCEPT,U",
    "3074 ,U",
    " 3074,U",
    ",U",
    "0,U",
    "65536,U",
    "99999999999999999999,U",
    "-1,U",
    "+3074,U",
    "0x10,U",
    "3074,,3075,U",
    "3074:,U",
    ":3074,U",
    "3074:3075:3076,U",
    "3074.5,U",
    "\u0663\u0660\u0667\u0664,U",  # digits, but not decimal ASCII ones
    LIST_256 + ",U",
]
BAD_DEVICE_DATA = [
    "192.0.2.10;touch /tmp/pwned",
    "$(touch /tmp/pwned)",
    "`touch /tmp/pwned`",
    "192.0.2.10|touch /tmp/pwned",
    "2001:db8:1::10 && touch /tmp/pwned",
    "192.0.2.10 -j ACCEPT",
    "192.0.2.10 192.0.2.11",
    "192.0.2.10,192.0.2.11",
    "example.com",
    "192.0.2.256",
    "192.0.2",
    "192.0.2.10/",
    "192.0.2.10/24/8",
    "2001:db8:1::10::1",
    "",
]
BAD_RANGES = [
    "2000-1000", "0-100", "100-70000", "1000-1000", "abc", "", "5000", "5000-", "-5010",
    "5000-5010x", " 5000-5010", "5000-5010 ", "5000 -5010", "+5000-5010", "5000-+5010",
    "-5000-5010", "5000--5010", "5000-5010\n", "0x1388-0x1392",
    "5000-5010;touch /tmp/pwned", "6000-6010$(touch /tmp/pwned)",
]


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def write_bytes(path, data):
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def commands(lines):
    return [log_text(line) for line in lines if re.search(r"\[DBG\] ip6?tables ", line)]


class BadCommandArrays(NatTest):
    def setUp(self):
        super().setUp()
        self.client, _ = self.start_registered()
        self.set_range("5000-5010")
        self.base = chain("v4"), chain("v6")
        self.assertEqual(self.base, (rules(V4, *BASE), rules(V6, *BASE)))

    def assertNothingRan(self, lines):
        self.assertEqual(commands(lines), [])
        self.assertEqual((chain("v4"), chain("v6")), self.base)
        self.assertEqual(conntrack_calls(), [])
        self.assertUntouched()

    def assertStored(self, order):
        """Stored entries are issued again when the range changes: only `order` may come back."""
        self.set_range("6000-6010")
        self.assertEqual(chain("v4"), rules(V4, order, "6000-6010", "6011-65535"))

    def test_elements_lacking_members_are_skipped_and_the_rest_carried_out(self):
        elements = [
            {"cmd": "multi-add", "name": "no-data"},
            {"cmd": "multi-add", "data": "3074,U"},
            {"name": "no-cmd", "data": "3074,U"},
            {"cmd": "device-add", "name": "no-data"},
            {"cmd": "device-del", "data": "192.0.2.10"},
            {"cmd": "portrange", "data": "6000-6010"},
            {"cmd": "multi-add", "name": "number", "data": 3074},
            {"cmd": "multi-add", "name": 7, "data": "3074,U"},
            {"cmd": ["multi-add"], "name": "list", "data": "3074,U"},
            {"cmd": "device-add", "name": "null", "data": None},
            {"cmd": "device-add", "name": "bool", "data": True},
            {"cmd": "multi-add", "name": "object", "data": {"ports": "3074", "proto": "U"}},
            {}, 42, "multi-add", None, [],
            # Member names count in any letter case; this one is whole.
            {"CMD": "multi-add", "Name": "caps", "DATA": "3075,T"},
        ]
        lines = self.run_array(self.client, elements)
        self.assertEqual(sum(" res = " in line for line in lines), len(elements), "\n".join(lines))
        self.assertEqual(len(commands(lines)), 2, "\n".join(lines))  # tcp for each family
        self.assertEqual(chain("v4"), rules(V4, [("game", "tcp", "3075")], *BASE[1:]))
        self.assertEqual(chain("v6"), rules(V6, [("game", "tcp", "3075")], *BASE[1:]))
        self.assertEqual(conntrack_calls(), ["3075"])
        self.assertEqual(firewall_restarts(), 1)
        self.assertStored([("game", "tcp", "3075")])

    def test_unknown_commands_are_refused(self):
        names = ["multi-ADD", "Multi-add", " multi-add", "multi-add ", "device_add", "reboot", ""]
        lines = self.run_array(self.client, [{"cmd": name, "name": "x", "data": "3074,U"}
                                             for name in names])
        text = "\n".join(lines)
        self.assertEqual(text.count("[ZEZ-UDERED] [DBG] data else res(-1) "), len(names), text)
        self.assertEqual(text.count("[ZEZ-UDERED] [DBG] res = -1"), len(names), text)
        self.assertNothingRan(lines)
        self.assertStored([])

    def test_port_data_that_is_no_port_list_is_refused(self):
        cases = [(cmd, data) for data in BAD_PORT_DATA for cmd in ("multi-add", "multi-del")]
        cases += [(cmd, data) for data in BAD_DEVICE_DATA for cmd in ("device-add", "device-del")]
        for cmd, data in cases:
            with self.subTest(cmd=cmd, data=data):
                lines = self.run_array(self.client, [{"cmd": cmd, "name": "bad", "data": data}])
                text = "\n".join(lines)
                self.assertTrue(any(ERR in line for line in lines), text)
                self.assertIn("[ZEZ-UDERED] [DBG] res = -1", text)
                self.assertNothingRan(lines)
        self.assertStored([])

    def test_sound_data_at_the_limits_is_taken(self):
        for cmd, data in [("multi-add", "1,U"), ("multi-add", "65535,U"), ("multi-add", "1:65535,T"),
                          ("multi-add", LIST_255 + ",U"), ("device-add", "192.0.2.10/32"),
                          ("device-add", "192.0.2.0/24"), ("device-add", "2001:db8:1::10/128"),
                          ("device-add", "2001:db8:1::10"), ("device-add", "192.0.2.10")]:
            with self.subTest(cmd=cmd, data=data):
                calls = conntrack_calls()
                lines = self.run_array(self.client, [{"cmd": cmd, "name": "ok", "data": data}])
                text = "\n".join(lines)
                self.assertFalse(any(ERR in line for line in lines), text)
                self.assertIn("[ZEZ-UDERED] [DBG] res = 0", text)
                # One protocol in each family for a port list, both for a device.
                self.assertEqual(len(commands(lines)), 2 if cmd == "multi-add" else 4, text)
                if cmd == "multi-add":
                    # After the flush of the previous element's list, which this array drops.
                    self.assertEqual(conntrack_calls()[len(calls):][-1:], [data.rsplit(",", 1)[0]])

    def test_names_never_reach_a_shell(self):
        name = "x;touch /tmp/pwned $(touch /tmp/pwned2) `touch /tmp/pwned` | \"'\\"
        lines = self.run_array(self.client, [{"cmd": "multi-add", "name": name, "data": "3074,U"},
                                             {"cmd": "device-add", "name": name, "data": "192.0.2.10"}])
        self.assertFalse(any(ERR in line for line in lines), "\n".join(lines))
        self.assertEqual(chain("v4"), rules(V4, [("device", "udp"), ("device", "tcp"),
                                                 ("game", "udp", "3074")], *BASE[1:]))
        self.assertEqual(conntrack_calls(), ["3074"])
        self.assertUntouched()

    def test_refused_port_ranges_change_nothing(self):
        for text in BAD_RANGES:
            with self.subTest(range=text):
                lines = self.run_array(self.client, [{"cmd": "portrange", "name": "r", "data": text}])
                self.assertIn("[ZEZ-UDERED] [DBG] res = -1", "\n".join(lines))
                self.assertNothingRan(lines)
                start = len(self.client.output())
                # The cloud's range is still checked and reported; the rules stay.
                self.assertIn("running_with_error", self.set_range(text)[2])
                self.assertEqual(commands(self.client.output()[start:]), [])
                self.assertEqual((chain("v4"), chain("v6")), self.base)
                self.assertUntouched()
        lines = self.run_array(self.client, [{"cmd": "portrange", "name": "r", "data": "6000-6010"}])
        self.assertIn("[ZEZ-UDERED] [DBG] res = 0", "\n".join(lines))
        self.assertEqual(chain("v4"), rules(V4, [], "6000-6010", "6011-65535"))


class QueueLimit(NatTest):
    HOLD = "/tmp/platform/conntrack.hold"

    def setUp(self):
        super().setUp()
        # A flush script that keeps the worker busy for as long as the hold file exists.
        with open("/etc/atom/conntrack_extract.sh", "w") as f:
            f.write("#!/bin/sh\n"
                    "printf '%s\\n' \"$*\" >>/tmp/platform/conntrack.log\n"
                    "n=0\n"
                    "while [ -e " + self.HOLD + " ] && [ $n -lt 1200 ]; do sleep 0.05; n=$((n+1)); done\n")
        open(self.HOLD, "w").close()

    def tearDown(self):
        if os.path.exists(self.HOLD):
            os.unlink(self.HOLD)
        super().tearDown()

    def test_31_arrays_wait_and_the_next_is_refused(self):
        client, _ = self.start_registered()
        self.set_range("5000-5010")
        start = len(client.output())
        Proxy.send({"user_game_config": [{"cmd": "multi-add", "name": "busy", "data": "1,U"}]})
        deadline = time.monotonic() + EXCHANGE_TIMEOUT
        while conntrack_calls() != ["1"]:
            self.assertLess(time.monotonic(), deadline, "the worker never reached the flush script")
            time.sleep(0.05)

        ports = list(range(40000, 40032))
        for port in ports:
            Proxy.send({"user_game_config": [{"cmd": "multi-add", "name": "q%d" % port, "data": "%d,U" % port}]})
        client.wait_for(r"\[DBG\] full @ 0/1", EXCHANGE_TIMEOUT, start)
        os.unlink(self.HOLD)

        # The busy array and the 31 that waited, each after the one before.
        index = start
        for _ in range(32):
            index = client.wait_for(AWAKE, EXCHANGE_TIMEOUT, index) + 1
        Proxy.send({"user_game_config": BARRIER})
        client.wait_for(AWAKE, EXCHANGE_TIMEOUT, index)

        self.assertEqual(client.count(r"full @ "), 1)
        taken = ports[:31]
        listed = [re.search(r"--dports (\d+) ", line).group(1) for line in chain("v4") if "--dports" in line]
        self.assertEqual(listed, [str(p) for p in reversed(taken)] + ["1"])
        self.assertNotIn(str(ports[31]), conntrack_calls())
        self.assertEqual(set(conntrack_calls()), {"1"} | {str(p) for p in taken})
        self.assertEqual(firewall_restarts(), 32)


class StoredConfigurationAtStartUp(NatTest):
    """iptables-nat.json as a previous run, a crash or an intruder left it."""

    def start_with(self, content):
        flush_tables()
        write_bytes(NAT_JSON, content)
        client, _ = self.start_registered()
        # The worker reads the file before it serves its first message.
        Proxy.send({"user_game_config": BARRIER})
        awake = client.wait_for(AWAKE, EXCHANGE_TIMEOUT)
        worker = re.match(r"\[\d+\] ", client.output()[awake]).group(0)
        restore_errors = [line for line in client.output()[:awake]
                          if line.startswith(worker) and ERR in line]
        self.set_range("5000-5010")
        return client, restore_errors

    def test_hostile_entries_are_dropped_and_sound_ones_restored(self):
        content = json.dumps([
            {"cmd": "dscp-settings", "value": 10, "lw_dscp_to_ll": 1, "lw_app_dscp": 1, "wl_dscp_set": 1},
            GAME,
            {"cmd": "multi-add", "name": "evil", "data": "80;touch /tmp/pwned,U"},
            {"cmd": "device-add", "name": "evil2", "data": "192.0.2.10;touch /tmp/pwned2"},
            {"cmd": "multi-add", "name": "evil3", "data": "$(touch /tmp/pwned),U"},
            {"cmd": "device-del", "name": "evil4", "data": "192.0.2.10 -j ACCEPT"},
            CONSOLE,
            {"cmd": "multi-add", "name": "long", "data": LIST_256 + ",U"},
            {"cmd": "multi-add", "name": 7, "data": "3075,U"},
            "text", 5, None,
        ], indent=1)
        client, errors = self.start_with(content)
        self.assertEqual(len(errors), 5, "\n".join(errors))
        self.assertUntouched()
        # The file's entries come back newest last, and are issued newest first.
        self.assertEqual(chain("v4"), rules(V4, [("game", "udp"), ("game", "tcp"),
                                                 ("device", "udp"), ("device", "tcp")], *BASE[1:]))
        self.assertEqual(chain("v6"), rules(V6, [("game", "udp"), ("game", "tcp")], *BASE[1:]))
        self.assertEqual(read_bytes(NAT_JSON), content.encode())

    def test_unreadable_files_restore_nothing_and_stay_as_they_are(self):
        sound = ('[\n{"cmd":"dscp-settings","value":46,"lw_dscp_to_ll":0,"lw_app_dscp":0,"wl_dscp_set":0},\n'
                 '{"cmd":"multi-add","name":"game","data":"3074,3478:3480,B"}\n]')
        cases = {
            "corrupt": b"this is not json {[",
            "truncated": sound[:len(sound) - 12].encode(),
            "empty": b"",
            "binary": bytes(range(256)) * 4,
            "an object": json.dumps(GAME).encode(),
            "nested too deep": b"[" * 100000 + b"]" * 100000,
        }
        for name, content in cases.items():
            with self.subTest(name):
                client, errors = self.start_with(content)
                self.assertEqual(len(errors), 1, errors)
                self.assertIn(NAT_JSON, errors[0])
                self.assertEqual((chain("v4"), chain("v6")), (rules(V4, *BASE), rules(V6, *BASE)))
                self.assertEqual(read_bytes(NAT_JSON), content)
                self.stop_client(client)


class BadInputInRulesFileMode(NatTest):
    def start_file_mode(self):
        client, _ = self.start_registered(args=client_args() + ["-iptfile", "rules.wr"])
        return client

    def snapshot(self):
        files = {}
        for path in (NAT_JSON, RULES4, RULES6):
            status = os.stat(path)
            files[path] = (status.st_ino, status.st_mtime_ns, read_bytes(path))
        return files, firewall_restarts(), conntrack_calls()

    def test_configuration_that_is_no_array_changes_nothing(self):
        client = self.start_file_mode()
        self.set_range("5000-5010")
        self.run_array(client, [GAME, CONSOLE])
        before = self.snapshot()
        start = len(client.output())
        values = [{"cmd": "multi-add", "name": "x", "data": "4000,U"}, "3074,U", 42, True, False, {}]
        for value in values:
            Proxy.send({"user_game_config": value})
        Proxy.send({"user_game_config": BARRIER})
        index = start
        for _ in range(len(values) + 1):
            index = client.wait_for(AWAKE, EXCHANGE_TIMEOUT, index) + 1
        self.assertEqual(self.snapshot(), before)
        self.assertFalse(any(" res = " in line for line in client.output()[start:]))
        self.assertEqual((chain("v4"), chain("v6")), ([], []))

    def test_only_sound_entries_are_stored(self):
        client = self.start_file_mode()
        self.set_range("5000-5010")
        self.run_array(client, [
            GAME,
            {"cmd": "multi-add", "name": "evil", "data": "80;touch /tmp/pwned,U"},
            {"cmd": "device-add", "name": "evil2", "data": "192.0.2.10;touch /tmp/pwned"},
            {"cmd": "multi-add", "name": "long", "data": LIST_256 + ",U"},
            CONSOLE,
        ])
        self.assertEqual(read_bytes(NAT_JSON).decode(),
                         '[\n{"cmd":"dscp-settings","value":46,"lw_dscp_to_ll":0,"lw_app_dscp":0,"wl_dscp_set":0},\n'
                         '{"cmd":"device-add","name":"console","data":"192.0.2.10"},\n'
                         '{"cmd":"multi-add","name":"game","data":"3074,3478:3480,B"}\n]')
        for path in (RULES4, RULES6):
            text = read_bytes(path).decode()
            self.assertNotIn("pwned", text)
            self.assertNotIn(LIST_256, text)
        self.assertEqual(sorted(os.listdir(NV_DIR)), ["iptables-nat.json", "rules.wr", "rules6.wr"])
        self.assertUntouched()

    def test_corrupt_stored_configuration_is_replaced_whole(self):
        write_bytes(NAT_JSON, b'[\n{"cmd":"multi-add","name":"game","data":"3074,34')
        client = self.start_file_mode()
        self.run_array(client, [CONSOLE])
        self.assertEqual(read_bytes(NAT_JSON).decode(),
                         '[\n{"cmd":"dscp-settings","value":46,"lw_dscp_to_ll":0,"lw_app_dscp":0,"wl_dscp_set":0},\n'
                         '{"cmd":"device-add","name":"console","data":"192.0.2.10"}\n]')


if __name__ == "__main__":
    unittest.main()
