"""Start-up: options, configuration, device MAC and the proxy link."""

import json
import os
import unittest

from gateway import (BASE_CONFIG, CONFIG_PATH, CLIENT_SOCKET, GatewayTest, LAN_IF, NV_DIR,
                     WAN_IF, client_args, log_text, reset_platform, write_config)

ERR = "[ZEZ-UDERED] [ERR] "


class StartupFailures(GatewayTest):
    def expect_failure(self, message, args=None, debug="debug"):
        client = self.start(args=args, debug=debug)
        self.assertEqual(client.wait_exit(), 255)
        client.wait_for(r"^\[\d+\] " + message.replace("[", r"\[").replace("]", r"\]"))
        self.proxy.expect_silence(0.2)
        return client

    def test_missing_options_in_order(self):
        cases = [
            ([], "require LAN interface name -ifl name"),
            (["-ifl", LAN_IF], "require WAN interface name -ifw name"),
            (["-ifw", WAN_IF, "-ifl", LAN_IF], "specify non volatile directory for storage -nvdir name"),
            (["-nvdir", NV_DIR, "x", "-ifw", WAN_IF, "-ifl", LAN_IF, "-config"],
             "specify existing configuration file -config name"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                self.expect_failure(ERR + message, args=args)

    def test_silent_without_debug_level(self):
        client = self.start(args=[], debug=None)
        self.assertEqual(client.wait_exit(), 255)
        self.assertEqual(client.output(), [])

    def test_error_level_shows_errors_only(self):
        client = self.start(args=["-ifl", LAN_IF], debug="error")
        self.assertEqual(client.wait_exit(), 255)
        self.assertEqual([log_text(l) for l in client.output()],
                         [ERR + "require WAN interface name -ifw name"])

    def test_missing_configuration_file(self):
        client = self.expect_failure(ERR + "File /tmp/nope.json not found",
                                     args=client_args("/tmp/nope.json"))
        client.wait_for(r"Cannot read the configuration file /tmp/nope.json$")

    def test_empty_configuration_file(self):
        write_config(text="")
        client = self.expect_failure("[ZEZ-UDERED] [DBG] confiLen = 0")
        client.wait_for(r"Cannot read the configuration file %s$" % CONFIG_PATH)

    def test_unparsable_configuration_file(self):
        write_config(text='{"broker_url": "x",')
        self.expect_failure(ERR + "Cannot read the configuration file " + CONFIG_PATH)

    def test_incorrect_configuration(self):
        cases = {
            "port as a string": dict(BASE_CONFIG, broker_port="8883"),
            "port zero": dict(BASE_CONFIG, broker_port=0),
            "no password": {k: v for k, v in BASE_CONFIG.items() if k != "password"},
            "device id not a text": dict(BASE_CONFIG, device_id=12),
        }
        for name, config in cases.items():
            with self.subTest(name):
                write_config(config)
                self.expect_failure(ERR + "Incorrect configuration file " + CONFIG_PATH)

    def test_keys_in_other_letter_case_and_optional_keys_missing(self):
        config = {k: v for k, v in BASE_CONFIG.items()
                  if k not in ("ha_IV", "device_mode", "device_id", "broker_url")}
        config["Device_ID"] = BASE_CONFIG["device_id"]
        config["BROKER_URL"] = BASE_CONFIG["broker_url"]
        write_config(config)
        client, report = self.start_registered()
        client.wait_for(r"IP Mode Config = \(null\)\(0\) $")
        # Without an IV text the password can't be sealed; the report stays complete.
        self.assertEqual(report, {"lld_status": "ready_to_go", "version": "1.0.0"})

    def test_device_mode_is_case_sensitive(self):
        for mode, number in (("Ipv4", 1), ("Ipv6", 2), ("Dualstack", 3), ("IPV4", 0)):
            with self.subTest(mode):
                write_config(dict(BASE_CONFIG, device_mode=mode))
                client, _ = self.start_registered()
                client.wait_for(r"IP Mode Config = %s\(%d\) $" % (mode, number))
                self.assertEqual(client.stop(), 0)
                self.proxy.receive(5)  # the shutdown report

    def test_no_mac_anywhere(self):
        reset_platform(cm_mac=None)
        self.expect_failure(ERR + "Unable to retrieve WAN interface MAC address",
                            args=["-ifl", LAN_IF, "-ifw", "nosuchif0", "-nvdir", NV_DIR,
                                  "-config", CONFIG_PATH])

    def test_short_modem_mac_falls_back_to_wan_interface(self):
        for cm_mac in (None, "AABBCC\n", "not a mac at all\n"):
            with self.subTest(cm_mac=cm_mac):
                reset_platform(cm_mac=cm_mac)
                client, _ = self.start_registered()
                self.assertEqual(client.stop(), 0)
                self.proxy.receive(5)

    def test_proxy_link_cannot_be_opened(self):
        os.mkdir(CLIENT_SOCKET)  # neither removable as a stale socket nor bindable
        try:
            client = self.expect_failure(ERR + "Cannot open the proxy link at " + CLIENT_SOCKET)
            client.wait_for(r"NAL-SOCKET: Socket Bind failed")
        finally:
            os.rmdir(CLIENT_SOCKET)

    def test_stale_client_socket_is_replaced(self):
        with open(CLIENT_SOCKET, "w") as f:
            f.write("left over")
        client, _ = self.start_registered()
        client.wait_for(r"Connected to broker.example.net:8883 with username:password = gateway:")
        self.assertEqual(client.stop(), 0)


if __name__ == "__main__":
    unittest.main()
