"""Start-up: options, configuration, device MAC and the proxy link."""

import os
import socket
import stat
import unittest
from pathlib import Path

from gateway import (BASE_CONFIG, CONFIG_PATH, CLIENT_SOCKET, DEVICE_ID, GatewayTest, LAN_IF, NV_DIR,
                     WAN_IF, client_args, log_text, remove, reset_platform, write_config)

ERR = "[ZEZ-UDERED] [ERR] "
UNREADABLE = ERR + "Cannot read the configuration file "
INCORRECT = [ERR + "Incorrect configuration file " + CONFIG_PATH]


def incorrect(why):
    return [ERR + "Configuration file %s: %s" % (CONFIG_PATH, why)] + INCORRECT


class Startup(GatewayTest):
    def expect_failure(self, *messages, args=None, cause=None):
        """Exit status 255, each message a whole log line, one line naming the cause
        for the operator, nothing published."""
        client = self.start(args=args)
        self.assertEqual(client.wait_exit(), 255)
        lines = [log_text(line).rstrip() for line in client.output()]
        for message in messages:
            self.assertIn(message, lines)
        told = [line for line in lines if line.startswith("lld-client: ")]
        self.assertEqual(len(told), 1, lines)
        self.assertIn(cause or "", told[0])
        self.proxy.expect_silence(0.2)

    def test_options_and_configuration_that_end_the_start(self):
        cases = [  # (arguments, configuration: an object or a text, log lines, the cause told)
            ([], BASE_CONFIG, [ERR + "require LAN interface name -ifl name"], "missing option -ifl"),
            (["-ifl", LAN_IF], BASE_CONFIG, [ERR + "require WAN interface name -ifw name"], "-ifw"),
            (["-ifw", WAN_IF, "-ifl", LAN_IF], BASE_CONFIG,
             [ERR + "specify non volatile directory for storage -nvdir name"], "-nvdir"),
            (["-nvdir", NV_DIR, "-ifw", WAN_IF, "-ifl", LAN_IF, "-config"], BASE_CONFIG,
             [ERR + "option -config needs a value"], "option -config needs a value"),
            (client_args() + ["x"], BASE_CONFIG, [ERR + "unknown option x"], "unknown option x"),
            (client_args() + ["--ifl", LAN_IF], BASE_CONFIG, [], "unknown option --ifl"),
            (client_args("/tmp/nope.json"), BASE_CONFIG,
             [ERR + "File /tmp/nope.json not found", UNREADABLE + "/tmp/nope.json"],
             "configuration file /tmp/nope.json: not found"),
            (None, "", ["[ZEZ-UDERED] [DBG] confiLen = 0", UNREADABLE + CONFIG_PATH], ": empty"),
            (None, '{"broker_url": "x",', [UNREADABLE + CONFIG_PATH], ": not JSON"),
            (None, dict(BASE_CONFIG, broker_port="8883"),
             incorrect('"broker_port" is missing or not a non-zero number'), '"broker_port"'),
            (None, dict(BASE_CONFIG, broker_port=0), INCORRECT, '"broker_port"'),
            (None, {k: v for k, v in BASE_CONFIG.items() if k != "password"},
             incorrect('the text "password" is missing'), '"password"'),
            (None, dict(BASE_CONFIG, device_id=12), incorrect('the text "device_id" is missing'),
             '"device_id"'),
            # Never waited on, nor read whole when it is far too large.
            (client_args("/tmp/fifo"), BASE_CONFIG, [ERR + "/tmp/fifo is not a regular file"],
             "/tmp/fifo: not a regular file"),
            (client_args("/tmp"), BASE_CONFIG, [ERR + "/tmp is not a regular file"], "/tmp: not"),
            (None, " " * 70000, [ERR + CONFIG_PATH + " is larger than 65536 bytes"], "larger than"),
        ]
        os.mkfifo("/tmp/fifo")
        for args, config, messages, cause in cases:
            with self.subTest(args=args, config=config):
                write_config(config, text=config if isinstance(config, str) else None)
                self.expect_failure(*messages, args=args, cause=cause)

    def test_help_and_version(self):
        for args, start in ((["--help"], "Usage: lld-client -ifl"), (["-h"], "Usage: lld-client -ifl"),
                            (client_args() + ["--version"], "Ondrel ZEZ Udered, version:1.0.0")):
            with self.subTest(args=args):
                client = self.start(args=args)
                self.assertEqual(client.wait_exit(), 0)
                self.assertTrue(client.output()[0].startswith(start), client.output())
        self.proxy.expect_silence(0.2)

    def test_no_mac_anywhere_and_no_proxy_link(self):
        reset_platform(cm_mac=None)
        self.expect_failure(ERR + "Unable to retrieve WAN interface MAC address",
                            args=["nosuchif0" if arg == WAN_IF else arg for arg in client_args()])
        reset_platform()
        # Only a stale socket of the client's own is replaced; whatever else holds the
        # path is left as it is.
        for squat, what in ((os.mkdir, "a directory"), (lambda p: Path(p).write_text("x"), "a file"),
                            (lambda p: os.symlink("/etc/passwd", p), "a symbolic link")):
            with self.subTest(what=what):
                squat(CLIENT_SOCKET)
                self.expect_failure(ERR + CLIENT_SOCKET + " is taken by %s of uid 0: not replaced" % what,
                                    ERR + "Cannot open the proxy link at " + CLIENT_SOCKET)
                remove(CLIENT_SOCKET)

    def test_log_levels(self):
        for debug, lines in ((None, []), ("error", [ERR + "require WAN interface name -ifw name"])):
            with self.subTest(debug=debug):
                client = self.start(args=["-ifl", LAN_IF], debug=debug)
                self.assertEqual(client.wait_exit(), 255)
                told = [line for line in client.output() if line.startswith("lld-client: ")]
                logged = [log_text(line) for line in client.output() if line not in told]
                self.assertEqual((logged, len(told)), (lines, 1))  # the operator is told at any level

    def test_starts_that_register(self):
        # Keys in any letter case; without ha_IV and device_mode.
        other_case = {k: v for k, v in BASE_CONFIG.items()
                      if k not in ("ha_IV", "device_mode", "device_id", "broker_url")}
        other_case.update(Device_ID=DEVICE_ID, BROKER_URL=BASE_CONFIG["broker_url"])
        cases = [(other_case, {}, r"\(null\)\(0\)")]  # (configuration, stand-in state, IP mode)
        cases += [(dict(BASE_CONFIG, device_mode=mode), {}, r"%s\(%d\)" % (mode, number))
                  for mode, number in (("Ipv4", 1), ("Ipv6", 2), ("Dualstack", 3), ("IPV4", 0))]
        # A modem MAC that is missing or short: the WAN interface's MAC stands in.
        cases += [(BASE_CONFIG, {"cm_mac": cm_mac}, r"Dualstack\(3\)")
                  for cm_mac in (None, "AABBCC\n", "not a mac at all\n")]
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as stale:  # replaced
            stale.bind(CLIENT_SOCKET)
        for config, platform, mode in cases:
            with self.subTest(config=config, platform=platform):
                reset_platform(**platform)
                write_config(config)
                client, report = self.start_registered()
                client.wait_for(r"IP Mode Config = %s $" % mode)
                client.wait_for(r"Connected to broker\.example\.net:8883 with username:password = gateway:\*+$")
                # Without an IV text the password can't be sealed; the report stays complete.
                self.assertEqual(report.pop("hadp", None) is not None, "ha_IV" in config)
                self.assertEqual(report, {"lld_status": "ready_to_go", "version": "1.0.0"})
                self.assertEqual(stat.S_IMODE(os.stat(CLIENT_SOCKET).st_mode), 0o600)
                self.assertEqual(client.stop(), 0)
                self.proxy.receive(5)  # the shutdown report


if __name__ == "__main__":
    unittest.main()
