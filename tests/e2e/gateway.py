"""A simulated gateway for end-to-end tests of lld-client. ctest starts each test module
under `unshare`: /tmp, /etc/atom and the interfaces here are the module's own."""

import base64
import contextlib
import functools
import gzip
import json
import os
import pty
import re
import shlex
import shutil
import signal
import socket
import subprocess
import termios
import threading
import unittest
from pathlib import Path

CLIENT = os.environ.get("LLD_CLIENT", "lld-client")
# What runs a client built for another processor, e.g. "qemu-arm -L /usr/arm-linux-gnueabihf".
EMULATOR = shlex.split(os.environ.get("LLD_EMULATOR", ""))
PLATFORM_BIN = os.environ.get("LLD_PLATFORM_BIN", "")
PLATFORM_DIR = "/tmp/platform"
PROXY_SOCKET = "/tmp/proxy_unix_sock.server"
CLIENT_SOCKET = "/tmp/lld_unix_sock.client"
CONFIG_PATH = "/tmp/lld-config.json"
NV_DIR = "/tmp/nv"

LAN_IF, WAN_IF = "lan0", "wan0"
LAN_V4, LAN_V6 = "192.0.2.1/24", "2001:db8:1::1/64"
WAN_V4, WAN_V6 = "198.51.100.2/24", "2001:db8:2::2/64"

DEVICE_ID = "gw-0123456789"
BASE_CONFIG = {
    "broker_url": "broker.example.net", "broker_port": 8883, "public_cert": "/etc/certs/ca.pem",
    "device_cert": "/etc/certs/device.pem", "device_key": "/etc/certs/device.key",
    "username": "gateway", "password": "s3cret-password", "device_id": DEVICE_ID,
    "ha_IV": "000102030405060708090a0b0c0d0e0f", "device_mode": "Dualstack",
}

DEFAULT_MODEM = """\
aggregate 7
classifier 1 3 1000 1999
classifier 2 7 5000 5010
flow 3 1 1 100 200 30 40 50
flow 7 1 2 1000 2000 300 400 500 10
"""


def sh(*args, check=True):
    return subprocess.run(args, check=check, capture_output=True, text=True)


def remove(path):
    """Removes a file, link or directory tree if there is one."""
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.unlink(path)


def private_tmp(*keep):
    """A private /tmp for the namespace that still shows the checkout and build
    directories among `keep` that live under /tmp."""
    tops = {os.path.join("/tmp", os.path.relpath(p, "/tmp").split(os.sep)[0])
            for p in map(os.path.realpath, keep) if p.startswith("/tmp/")}
    held = [(top, os.open(top, os.O_RDONLY | os.O_DIRECTORY)) for top in sorted(tops)]
    sh("mount", "-t", "tmpfs", "-o", "mode=1777", "tmpfs", "/tmp")
    for top, fd in held:
        os.mkdir(top)
        subprocess.run(["mount", "--no-canonicalize", "--rbind", "/proc/self/fd/%d" % fd, top],
                       pass_fds=(fd,), check=True)
        os.close(fd)


@functools.cache
def setup_namespace():
    """Private /tmp and /etc/atom, loopback, and the LAN and WAN veth pairs (once)."""
    if [name for _, name in socket.if_nameindex()] != ["lo"]:
        # Only a fresh network namespace holds nothing but lo: never build a gateway on the host.
        raise RuntimeError("run under 'unshare --mount --net --propagation private'")
    private_tmp(os.path.dirname(os.path.abspath(__file__)), CLIENT, PLATFORM_BIN)
    os.makedirs("/etc/atom", exist_ok=True)
    sh("mount", "-t", "tmpfs", "tmpfs", "/etc/atom")
    sh("ip", "link", "set", "lo", "up")
    for name, v4, v6 in ((LAN_IF, LAN_V4, LAN_V6), (WAN_IF, WAN_V4, WAN_V6)):
        sh("ip", "link", "add", name, "type", "veth", "peer", "name", name + "p")
        sh("ip", "addr", "add", v4, "dev", name)
        sh("ip", "-6", "addr", "add", v6, "dev", name, "nodad")
        sh("ip", "link", "set", name, "up")
        sh("ip", "link", "set", name + "p", "up")
    os.environ["PATH"] = PLATFORM_BIN + ":" + os.environ.get("PATH", "/usr/sbin:/usr/bin:/sbin:/bin")
    os.environ["LLD_PLATFORM_DIR"] = PLATFORM_DIR


def reset_platform(modem=DEFAULT_MODEM, wan_status="started\n", cm_mac="AA:BB:CC:DD:EE:FF\n"):
    """Fresh stand-in state; None leaves a file out."""
    for path in (PLATFORM_DIR, NV_DIR, "/tmp/lld"):
        remove(path)
    os.makedirs(PLATFORM_DIR)
    os.makedirs(NV_DIR)
    for name, text in (("modem.conf", modem), ("wan_service-status", wan_status), ("cm_mac", cm_mac)):
        if text is not None:
            Path(PLATFORM_DIR, name).write_text(text)
    shutil.copy(os.path.join(PLATFORM_BIN, "conntrack_extract.sh"), "/etc/atom/conntrack_extract.sh")


def write_modem(text):
    """Replaces the modem stand-in's state at once, so that no query reads half a file."""
    staged = Path(PLATFORM_DIR, "modem.conf.new")
    staged.write_text(text)
    staged.replace(Path(PLATFORM_DIR, "modem.conf"))


def write_config(config=None, text=None):
    text = text if text is not None else json.dumps(config if config is not None else BASE_CONFIG)
    Path(CONFIG_PATH).write_text(text)


def client_args(config=CONFIG_PATH):
    return ["-ifl", LAN_IF, "-ifw", WAN_IF, "-nvdir", NV_DIR, "-config", config]


def log_text(line):
    """A log line without its "[thread id] " prefix."""
    return re.sub(r"^\[\d+\] ", "", line)


class Proxy:
    """The local proxy's side of the link: receives what the client publishes."""

    def __init__(self):
        remove(PROXY_SOCKET)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(PROXY_SOCKET)

    def close(self):
        self.sock.close()
        remove(PROXY_SOCKET)

    def receive(self, timeout=10.0):
        """The next datagram as (type, topic, payload text), or None after the timeout."""
        self.sock.settimeout(timeout)
        try:
            message = json.loads(self.sock.recv(1 << 16).decode())
        except socket.timeout:
            return None
        return message["type"], message["topic"], message["payload"]

    def receive_json(self, timeout=10.0):
        got = self.receive(timeout)
        return got and (got[0], got[1], json.loads(got[2]))

    def expect_silence(self, seconds=1.0):
        got = self.receive(seconds)
        if got is not None:
            raise AssertionError("unexpected publication: %r" % (got,))

    @staticmethod
    def send(payload, topic="CS/%s/LLD/config" % DEVICE_ID, msg_type=1, raw=None):
        """Sends a cloud message (an object, or a payload text) to the client."""
        if raw is None:
            text = payload if isinstance(payload, str) else json.dumps(payload)
            raw = json.dumps({"type": msg_type, "topic": topic, "payload": text})
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
            s.sendto(raw.encode() if isinstance(raw, str) else raw, CLIENT_SOCKET)


class Client:
    """lld-client with its standard output on a pseudo-terminal, so each log
    line arrives as it is written."""

    def __init__(self, args=None, debug="debug", env=None):
        environment = {k: v for k, v in os.environ.items() if k != "LLD_DBG_LVL"}
        if debug is not None:
            environment["LLD_DBG_LVL"] = debug
        environment.update(env or {})
        self.master, slave = pty.openpty()
        attrs = termios.tcgetattr(slave)
        attrs[1] &= ~termios.ONLCR  # keep line feeds as they are
        termios.tcsetattr(slave, termios.TCSANOW, attrs)
        self.proc = subprocess.Popen(EMULATOR + [CLIENT] + (client_args() if args is None else args),
                                     stdin=subprocess.DEVNULL, stdout=slave, stderr=slave,
                                     env=environment, close_fds=True)
        os.close(slave)
        self.lines, self.done, self.cond = [], False, threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        pending = b""
        while not self.done:
            try:
                chunk = os.read(self.master, 4096)
            except OSError:  # EIO: no process holds the terminal any more
                chunk = b""
            *complete, pending = (pending + chunk).split(b"\n")
            if not chunk and pending:
                complete.append(pending)
            with self.cond:
                self.lines += [line.decode(errors="replace") for line in complete]
                self.done = not chunk
                self.cond.notify_all()

    def output(self):
        with self.cond:
            return list(self.lines)

    def wait_for(self, pattern, timeout=10.0, start=0):
        """Index of the first line from `start` on that matches the regex."""
        regex = re.compile(pattern)

        def found():
            return next((i for i in range(start, len(self.lines)) if regex.search(self.lines[i])), None)
        with self.cond:
            self.cond.wait_for(lambda: found() is not None or self.done, timeout)
            index = found()
        if index is None:
            raise AssertionError("no line matching %r; output:\n%s" % (pattern, "\n".join(self.output())))
        return index

    def count(self, pattern):
        return sum(1 for line in self.output() if re.search(pattern, line))

    def wait_exit(self, timeout=15.0):
        code = self.proc.wait(timeout)
        self.reader.join(5)
        return code

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        return self.wait_exit()

    def close(self):
        self.stop(signal.SIGKILL)
        with contextlib.suppress(OSError):
            os.close(self.master)


class GatewayTest(unittest.TestCase):
    """Base of the end-to-end tests: one namespace per module, fresh state per test."""

    @classmethod
    def setUpClass(cls):
        setup_namespace()

    def setUp(self):
        reset_platform()
        write_config()
        self.proxy = Proxy()
        self.clients = []

    def tearDown(self):
        for client in self.clients:
            client.close()
        self.proxy.close()
        remove(CLIENT_SOCKET)

    def start(self, args=None, debug="debug", env=None):
        self.clients.append(Client(args, debug, env))
        return self.clients[-1]

    def start_registered(self, **kwargs):
        """A client that has published its ready report; returns (client, report)."""
        client = self.start(**kwargs)
        got = self.proxy.receive_json(15)
        self.assertIsNotNone(got, "no ready report; output:\n" + "\n".join(client.output()))
        self.assertEqual((got[1], got[2]["lld_status"]), ("CS/%s/LLD/status" % DEVICE_ID, "ready_to_go"))
        return client, got[2]


def unseal(hadp, iv_hex, key_text):
    """Opens a sealed text with independent tools: openssl, base64 and gzip."""
    key = key_text.encode()[:32].ljust(32, b"\0").hex()
    iv = bytes.fromhex(iv_hex[:32]).ljust(16, b"\0").hex()
    result = subprocess.run(["openssl", "enc", "-d", "-aes-256-cbc", "-K", key, "-iv", iv],
                            input=bytes.fromhex(hadp), capture_output=True, check=True)
    return gzip.decompress(base64.b64decode(result.stdout)).decode()
