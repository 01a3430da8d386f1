"""lld-proxy between the client and a real mosquitto broker: the client's messages reach the
cloud over plain MQTT and TLS, the cloud's reach the client, a broker restart loses nothing
queued, strangers and squatters are refused."""

import itertools
import json
import os
import re
import signal
import socket
import stat
import subprocess
import threading
import time
import unittest
from pathlib import Path

import gateway
from gateway import BASE_CONFIG, CONFIG_PATH, DEVICE_ID, PROXY_SOCKET, GatewayTest, Proxy, remove, reset_platform, sh

PROXY = os.path.join(os.environ.get("LLD_BUILD_DIR", "build"), "src", "lld-proxy")
BROKER_DIR = "/tmp/broker"
CA, DEVICE_CERT, DEVICE_KEY = (os.path.join(BROKER_DIR, name) for name in ("ca.pem", "device.pem", "device.key"))
STATUS, CONFIG = ("CS/%s/LLD/%s" % (DEVICE_ID, name) for name in ("status", "config"))
PLAIN = dict(BASE_CONFIG, broker_url="127.0.0.1", broker_port=1883)
TLS = dict(BASE_CONFIG, broker_url="mqtts://127.0.0.1", broker_port=8883, public_cert=CA,
           device_cert=DEVICE_CERT, device_key=DEVICE_KEY)
TOKEN = "gui-token-0f1e2d3c"
CLOUD_IDS = itertools.count()  # each subscriber a session of its own
GAME = {"cmd": "multi-add", "name": "game", "data": "3074,3478:3480,B"}

BROKER_CONF = """\
user root
persistence true
persistence_location %(dir)s/
autosave_interval 1
log_dest file %(dir)s/broker.log
allow_anonymous true
listener 1883 127.0.0.1
listener 1884 127.0.0.1
listener 8883 127.0.0.1
cafile %(dir)s/ca.pem
certfile %(dir)s/server.pem
keyfile %(dir)s/server.key
require_certificate true
"""


def make_certificates():
    """A CA, and the broker's certificate for 127.0.0.1 and the device's signed by it."""
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2"]
    sh("openssl", "req", "-x509", *ec, "-keyout", BROKER_DIR + "/ca.key", "-out", CA, "-subj", "/CN=cloud CA")
    for name, subject, extension in (("server", "127.0.0.1", "subjectAltName=IP:127.0.0.1"),
                                     ("device", DEVICE_ID, "extendedKeyUsage=clientAuth")):
        base = os.path.join(BROKER_DIR, name)
        Path(base + ".ext").write_text(extension + "\n")
        sh("openssl", "req", "-new", *ec[:-2], "-keyout", base + ".key", "-out", base + ".csr", "-subj", "/CN=" + subject)
        sh("openssl", "x509", "-req", "-in", base + ".csr", "-CA", CA, "-CAkey", BROKER_DIR + "/ca.key",
           "-CAcreateserial", "-days", "2", "-out", base + ".pem", "-extfile", base + ".ext")


class Broker:
    """mosquitto on the loopback with plain (1883, 1884) and TLS (8883) listeners."""

    def __init__(self):
        Path(BROKER_DIR, "mosquitto.conf").write_text(BROKER_CONF % {"dir": BROKER_DIR})
        self.proc = None

    def start(self):
        self.proc = subprocess.Popen(["mosquitto", "-c", BROKER_DIR + "/mosquitto.conf"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            with socket.socket() as probe:
                if probe.connect_ex(("127.0.0.1", 1883)) == 0:
                    return
            time.sleep(0.05)
        raise AssertionError("mosquitto does not listen")

    def wait_saved(self):
        """Until the broker has saved its sessions to disk once more."""
        log, deadline = Path(BROKER_DIR, "broker.log"), time.monotonic() + 5
        saves = log.read_text().count("Saving in-memory database")
        while log.read_text().count("Saving in-memory database") == saves:
            if time.monotonic() > deadline:
                raise AssertionError("mosquitto does not save its sessions")
            time.sleep(0.1)

    def stop(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)
        self.proc.wait(10)


class Cloud:
    """The cloud on the broker: a persistent QoS-1 subscriber to the device's topics, and
    mosquitto_pub for its messages."""

    def __init__(self):
        self.proc = subprocess.Popen(
            ["mosquitto_sub", "-h", "127.0.0.1", "-p", "1883", "-q", "1", "-c", "-i", "cloud%d" % next(CLOUD_IDS),
             "-t", "CS/%s/LLD/#" % DEVICE_ID, "-F", "%t %p"], stdout=subprocess.PIPE, text=True)
        self.messages, self.cond = [], threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        # Subscribed once a message of its own comes back.
        probe, deadline = "CS/%s/LLD/probe" % DEVICE_ID, time.monotonic() + 10
        while not self.receive(probe, 0.2):
            if time.monotonic() > deadline:
                raise AssertionError("the cloud's subscriber is not subscribed")
            self.send("{}", probe)

    def _read(self):
        for line in self.proc.stdout:
            with self.cond:
                self.messages.append(line.rstrip("\n").split(" ", 1))
                self.cond.notify_all()

    def receive(self, topic=STATUS, timeout=10.0):
        """The payload text of the oldest message on `topic` not taken yet, or None."""
        with self.cond:
            self.cond.wait_for(lambda: any(t == topic for t, _ in self.messages), timeout)
            index = next((i for i, (t, _) in enumerate(self.messages) if t == topic), None)
            return None if index is None else self.messages.pop(index)[1]

    def receive_json(self, topic=STATUS, timeout=10.0):
        text = self.receive(topic, timeout)
        if text is None:
            raise AssertionError("nothing on " + topic)
        return json.loads(text)

    @staticmethod
    def send(payload, topic=CONFIG):
        text = payload if isinstance(payload, str) else json.dumps(payload)
        sh("mosquitto_pub", "-h", "127.0.0.1", "-p", "1883", "-q", "1", "-t", topic, "-m", text)

    def close(self):
        self.proc.terminate()
        self.proc.wait(5)
        self.reader.join(5)
        self.proc.stdout.close()


class BrokerBridge(GatewayTest):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        os.makedirs(BROKER_DIR)
        make_certificates()
        cls.broker = Broker()
        cls.broker.start()

    @classmethod
    def tearDownClass(cls):
        cls.broker.stop()

    def setUp(self):
        reset_platform()
        gateway.write_config(PLAIN)
        self.clients, self.clouds = [], []

    def tearDown(self):
        for process in self.clients + self.clouds:
            process.close()
        for path in (PROXY_SOCKET, gateway.CLIENT_SOCKET):
            remove(path)

    def start_proxy(self, debug="debug"):
        """lld-proxy, its output read like the client's."""
        gateway.CLIENT, client = PROXY, gateway.CLIENT
        try:
            self.clients.append(gateway.Client(["-config", CONFIG_PATH], debug))
        finally:
            gateway.CLIENT = client
        return self.clients[-1]

    def start_cloud(self):
        self.clouds.append(Cloud())
        return self.clouds[-1]

    def test_messages_travel_both_ways_over_plain_and_tls(self):
        for config in (PLAIN, TLS):
            with self.subTest(port=config["broker_port"]):
                gateway.write_config(config)
                cloud, proxy = self.start_cloud(), self.start_proxy()
                client = self.start()
                ready = cloud.receive_json()
                self.assertEqual(ready["lld_status"], "ready_to_go")
                cloud.send({"lld_config": {"port_range": "5000-5010"}})
                self.assertEqual(cloud.receive_json(), {"lld_status": "running"})
                cloud.send({"user_game_config": [GAME]})
                client.wait_for(r"\[DBG\] res = 0$", 10, client.wait_for("multi add for 3074"))
                self.assertIn("3074,3478:3480", sh("iptables", "-t", "nat", "-S", "POSTROUTING").stdout)
                cloud.send({"gui_token": TOKEN})
                client.wait_for(r"\[DBG\] message_recv Auth Token")
                self.assertEqual(client.stop(), 0)
                self.assertIn(TOKEN, Path("/tmp/lld/token").read_text())
                self.assertEqual(cloud.receive_json(), {"lld_status": "shutting_down"})
                self.assertEqual(proxy.stop(), 0)
                self.assertFalse(os.path.lexists(PROXY_SOCKET))
                # No secret is ever shown: the password, its sealed form, the token.
                for secret in (config["password"], ready["hadp"], TOKEN):
                    self.assertEqual(proxy.count(re.escape(secret)), 0, secret)

    def test_broker_restart_loses_no_queued_message(self):
        cloud, proxy = self.start_cloud(), self.start_proxy()
        self.start()
        self.assertEqual(cloud.receive_json()["lld_status"], "ready_to_go")
        self.broker.wait_saved()  # with the cloud's session
        # In flight when the broker dies: sent, never acknowledged.
        self.broker.proc.send_signal(signal.SIGSTOP)
        mark = len(proxy.output())
        Proxy.send({"event": "send_status"})
        proxy.wait_for(r"To the broker on .*ready_to_go", start=mark)
        time.sleep(0.5)
        self.broker.stop(signal.SIGKILL)
        proxy.wait_for(r"\[ERR\] Broker 127\.0\.0\.1:1883 \(plain\): .*; 1 messages kept")
        # Queued while it is away.
        Proxy.send({"lld_config": {"port_range": "5000-5010"}})
        proxy.wait_for(r"To the broker on .*running")
        self.broker.start()
        proxy.wait_for(r"\[INF\] Connected to the broker .*; 2 messages waiting", 10)
        self.assertEqual(cloud.receive_json()["lld_status"], "ready_to_go")
        self.assertEqual(cloud.receive_json(), {"lld_status": "running"})
        self.assertEqual(proxy.stop(), 0)

    def test_strangers_are_not_heard(self):
        config = dict(PLAIN, client_uid=4321, broker_url="mqtt://127.0.0.1/", broker_port=1884)
        gateway.write_config(config)
        cloud, proxy = self.start_cloud(), self.start_proxy()
        proxy.wait_for(r"Connected to the broker")
        status = os.lstat(PROXY_SOCKET)
        self.assertEqual((status.st_uid, stat.S_IMODE(status.st_mode)), (4321, 0o600))
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as root:  # root is not the client
            root.sendto(json.dumps({"type": 2, "topic": STATUS, "payload": "{}"}).encode(), PROXY_SOCKET)
        proxy.wait_for(r"\[ERR\] Dropped 1 datagrams of other users than the client's \(uid 4321\) so far; "
                       r"the last from uid 0")
        self.assertIsNone(cloud.receive(STATUS, 1))

    def test_start_up_failures(self):
        link = "/tmp/elsewhere"
        cases = [  # (config, what is at the proxy's path, arguments, status, stderr pattern)
            (PLAIN, None, ["--help"], 0, r"^$"),
            (PLAIN, None, ["-config"], 255, r"option -config needs a file"),
            (PLAIN, None, ["-x", CONFIG_PATH], 255, r"unknown option -x"),
            (dict(PLAIN, client_uid=-1), None, None, 255, r'"client_uid" is not a user id'),
            (dict(TLS, public_cert="/tmp/none.pem"), None, None, 255, r'"public_cert" /tmp/none\.pem: No such file'),
            (PLAIN, "file", None, 255, r"/tmp/proxy_unix_sock\.server is taken by a file of uid 0: not replaced"),
            (PLAIN, "link", None, 255, r"is taken by a symbolic link of uid 0"),
        ]
        for config, squatter, args, status, error in cases:
            with self.subTest(args=args, squatter=squatter, config=config):
                gateway.write_config(config)
                remove(PROXY_SOCKET)
                if squatter == "file":
                    Path(PROXY_SOCKET).write_text("mine")
                elif squatter == "link":
                    os.symlink(link, PROXY_SOCKET)
                run = subprocess.run([PROXY] + (args or ["-config", CONFIG_PATH]), capture_output=True,
                                     text=True, timeout=10, env=dict(os.environ, LLD_DBG_LVL="error"))
                self.assertEqual(run.returncode, status, run.stderr)
                self.assertRegex(run.stderr, error)
                self.assertEqual(len(run.stderr.splitlines()), 1 if status else 0)
                self.assertFalse(os.path.lexists(link))
                if squatter:  # left as it was
                    self.assertEqual(os.path.islink(PROXY_SOCKET), squatter == "link")


if __name__ == "__main__":
    unittest.main()
