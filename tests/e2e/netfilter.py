"""A LAN host and a WAN host around the simulated gateway, for tests that prove
the NAT steering on the kernel's real netfilter.

The gateway is the test module's own network namespace (see gateway.py). The
two hosts are network namespaces held by a sleeping child process each; the
peer ends of the gateway's veth pairs are moved into them. The WAN host has no
route back to the LAN networks, so a LAN host can only talk to it through the
gateway's source NAT: a TCP connection that reaches the WAN host proves that its
source was rewritten, and the source the WAN host saw tells where to.
"""

import itertools
import os
import shutil
import subprocess
import sys
import threading
import time
import unittest

from gateway import GatewayTest, LAN_IF, WAN_IF, Proxy, sh

# The LAN host carries the listed device's address and an ordinary one.
DEVICE_V4, OTHER_V4 = "192.0.2.10", "192.0.2.11"
DEVICE_V6, OTHER_V6 = "2001:db8:1::10", "2001:db8:1::11"
WAN_HOST_V4, WAN_HOST_V6 = "198.51.100.20", "2001:db8:2::20"
GATEWAY_LAN_V4, GATEWAY_LAN_V6 = "192.0.2.1", "2001:db8:1::1"
GATEWAY_WAN_V4, GATEWAY_WAN_V6 = "198.51.100.2", "2001:db8:2::2"

# Ports the WAN host listens on, for UDP and TCP, in both families.
LISTED_PORTS = (3074, 3478, 3479, 3480)
UNLISTED_PORTS = (3481,) + tuple(range(9990, 10000))

# The longest any single exchange may take; a generous bound, not a threshold.
EXCHANGE_TIMEOUT = 15.0
HOST_LIFETIME = 900  # seconds; children must not outlive a killed test run

AWAKE = r"\[DBG\] \*\*\* natApiJson awake!"
BARRIER = "barrier"  # a "user_game_config" that is no array: the worker only logs it


def _popen(args, **kwargs):
    # Children of this module must not outlive it, even when ctest kills it.
    return subprocess.Popen(["setpriv", "--pdeathsig", "KILL", "--"] + list(args), **kwargs)


def family_of(address):
    return "v6" if ":" in address else "v4"


# --- kernel support ----------------------------------------------------------

_PROBE = """\
set -e
ip link set lo up
ip link add probe0 type veth peer name probe1
iptables -t nat -A POSTROUTING -p tcp -s 192.0.2.0/24 -m multiport --dports 1,2:3 -j SNAT --to-source 198.51.100.2:5000-5010
iptables -t nat -A POSTROUTING -p udp -s 192.0.2.0/24 --sport 5000:5010 -j SNAT --to-source 198.51.100.2:5011-65535
ip6tables -t nat -A POSTROUTING -p udp -s 2001:db8:1::/64 -m multiport --dports 1,2:3 -j SNAT --to-source [2001:db8:2::2]:5000-5010
ip6tables -t nat -A POSTROUTING -p udp -d ff00::/8 -j RETURN
ip6tables -t mangle -A POSTROUTING -p udp -m multiport --dports 1 -j DSCP --set-dscp 46
"""

_support = None


def netfilter_missing():
    """None when this kernel has what the NAT tests need, else the reason.

    Missing tools are not a reason to skip: they are an installation fault and
    the tests fail on them. Only what the kernel refuses makes them skip.
    """
    global _support
    if _support is None:
        result = subprocess.run(["unshare", "--net", "sh", "-c", _PROBE],
                                capture_output=True, text=True)
        _support = ("" if result.returncode == 0 else
                    "kernel lacks nat/mangle, SNAT port ranges, multiport, DSCP or veth "
                    "support: " + (result.stderr.strip() or "status %d" % result.returncode))
    return _support or None


def require_tools():
    missing = [tool for tool in ("iptables", "ip6tables", "nsenter", "unshare", "setpriv")
               if shutil.which(tool) is None]
    if missing:
        raise AssertionError("tools missing on this machine: " + ", ".join(missing))


# --- the gateway's tables ----------------------------------------------------

def tool(family):
    return "ip6tables" if family == "v6" else "iptables"


def chain(family, table="nat"):
    """The table's rules as `-S` prints them, without the policy lines.

    The whole table, not only POSTROUTING: a rule anywhere else is a fault too.
    """
    out = sh(tool(family), "-t", table, "-S").stdout
    return [line for line in out.splitlines() if not line.startswith("-P ")]


def flush_tables():
    for family in ("v4", "v6"):
        for table in ("nat", "mangle"):
            sh(tool(family), "-t", table, "-F")


# The rules as the kernel lists them (`-S`): addresses normalised, options reordered.
V4 = {
    "device": "-A POSTROUTING -s 192.0.2.10/32 ! -d 192.0.2.0/24 -p {p} -j SNAT --to-source 198.51.100.2:{lld}",
    "game": "-A POSTROUTING -s 192.0.2.0/24 ! -d 192.0.2.0/24 -p {p} -m multiport --dports {ports} -j SNAT --to-source 198.51.100.2:{lld}",
    "return": "-A POSTROUTING -d 224.0.0.0/4 -p udp -j RETURN",
    "classic": "-A POSTROUTING -s 192.0.2.0/24 ! -d 192.0.2.0/24 -p {p} -m {p} --sport {sport} -j SNAT --to-source 198.51.100.2:{classic}",
}
V6 = {
    "device": "-A POSTROUTING -s 2001:db8:1::10/128 ! -d 2001:db8:1::/64 -p {p} -j SNAT --to-source [2001:db8:2::2]:{lld}",
    "game": "-A POSTROUTING -s 2001:db8:1::/64 ! -d 2001:db8:1::/64 -p {p} -m multiport --dports {ports} -j SNAT --to-source [2001:db8:2::2]:{lld}",
    "return": "-A POSTROUTING -d ff00::/8 -p udp -j RETURN",
    "classic": "-A POSTROUTING -s 2001:db8:1::/64 ! -d 2001:db8:1::/64 -p {p} -m {p} --sport {sport} -j SNAT --to-source [2001:db8:2::2]:{classic}",
}


def rules(templates, order, lld, classic):
    """An expected chain: the entry rules that `order` names, then the base rules.

    Each item of `order` is (kind, protocol) or, for a port list other than the
    game's, ("game", protocol, ports).
    """
    values = dict(lld=lld, sport=lld.replace("-", ":"), classic=classic, ports="3074,3478:3480")
    lines = []
    for kind, p, *ports in order:
        lines.append(templates[kind].format(p=p, **dict(values, **({"ports": ports[0]} if ports else {}))))
    lines.append(templates["return"])
    lines += [templates["classic"].format(p=p, **values) for p in ("tcp", "udp")]
    return lines


def wait_for_chain(expected, family, table="nat", timeout=EXCHANGE_TIMEOUT):
    """Polls until the chain holds exactly `expected`; returns what it last held."""
    deadline = time.monotonic() + timeout
    while True:
        got = chain(family, table)
        if got == expected or time.monotonic() > deadline:
            return got
        time.sleep(0.1)


# --- the hosts ---------------------------------------------------------------

class Host:
    """A network namespace held by a sleeping child; commands enter it with nsenter."""

    def __init__(self, name):
        self.name = name
        own = os.readlink("/proc/self/ns/net")
        self.holder = _popen(["unshare", "--net", "sleep", str(HOST_LIFETIME)])
        deadline = time.monotonic() + EXCHANGE_TIMEOUT
        while True:
            try:
                if os.readlink("/proc/%d/ns/net" % self.holder.pid) != own:
                    break
            except OSError:
                pass
            if self.holder.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("%s: no namespace of its own (unshare failed)" % name)
            time.sleep(0.01)
        self.pid = self.holder.pid

    def command(self, *args):
        return ["nsenter", "--target", str(self.pid), "--net"] + [str(a) for a in args]

    def run(self, *args, check=True):
        result = subprocess.run(self.command(*args), capture_output=True, text=True)
        if check and result.returncode != 0:
            raise RuntimeError("%s: %s failed: %s" % (self.name, " ".join(map(str, args)),
                                                      result.stderr.strip()))
        return result

    def sysctl(self, path, value):
        self.run("sh", "-c", "echo %s > /proc/sys/net/%s" % (value, path))

    def popen(self, *args, **kwargs):
        return _popen(self.command(*args), **kwargs)

    def close(self):
        if self.holder.poll() is None:
            self.holder.kill()
        self.holder.wait()


_RECEIVER = r'''
import os, selectors, socket, sys, time

ports = [int(p) for p in sys.argv[1].split(",")]
deadline = time.monotonic() + float(sys.argv[2])
IP_RECVTOS = getattr(socket, "IP_RECVTOS", 13)
IPV6_RECVTCLASS = getattr(socket, "IPV6_RECVTCLASS", 66)
IPV6_TCLASS = getattr(socket, "IPV6_TCLASS", 67)
sel = selectors.DefaultSelector()

def show(*fields):
    sys.stdout.write(" ".join(str(f) for f in fields) + "\n")
    sys.stdout.flush()

for family, anywhere in ((socket.AF_INET, "0.0.0.0"), (socket.AF_INET6, "::")):
    for port in ports:
        udp = socket.socket(family, socket.SOCK_DGRAM)
        tcp = socket.socket(family, socket.SOCK_STREAM)
        tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if family == socket.AF_INET6:
            for s in (udp, tcp):
                s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            udp.setsockopt(socket.IPPROTO_IPV6, IPV6_RECVTCLASS, 1)
        else:
            udp.setsockopt(socket.IPPROTO_IP, IP_RECVTOS, 1)
        udp.bind((anywhere, port))
        tcp.bind((anywhere, port))
        tcp.listen(128)
        for s, kind in ((udp, "udp"), (tcp, "listen")):
            s.setblocking(False)
            sel.register(s, selectors.EVENT_READ, (kind, port, None, None))
sel.register(0, selectors.EVENT_READ, ("stdin", 0, None, None))
show("ready")

while time.monotonic() < deadline:
    for key, _ in sel.select(1.0):
        kind, port, peer, buf = key.data
        s = key.fileobj
        if kind == "stdin":
            if not os.read(0, 4096):
                sys.exit(0)
        elif kind == "udp":
            data, ancillary, _, peer = s.recvmsg(2048, socket.CMSG_SPACE(4))
            tclass = -1
            for level, ctype, cdata in ancillary:
                if level == socket.IPPROTO_IP and ctype == socket.IP_TOS:
                    tclass = cdata[0]
                elif level == socket.IPPROTO_IPV6 and ctype == IPV6_TCLASS:
                    tclass = int.from_bytes(cdata[:4], sys.byteorder)
            show("udp", port, peer[0], peer[1], tclass, data.decode(errors="replace").strip() or "-")
        elif kind == "listen":
            try:
                conn, peer = s.accept()
            except BlockingIOError:
                continue
            conn.setblocking(False)
            sel.register(conn, selectors.EVENT_READ, ("conn", port, peer, bytearray()))
        else:
            try:
                chunk = s.recv(4096)
            except OSError:
                chunk = b""
            buf.extend(chunk)
            if not chunk or b"\n" in buf:
                show("tcp", port, peer[0], peer[1], -1, buf.decode(errors="replace").strip() or "-")
                sel.unregister(s)
                s.close()
'''

_SENDER = r'''
import socket, sys

proto, src, sport, dst, dport, token, timeout = sys.argv[1:8]
family = socket.AF_INET6 if ":" in dst else socket.AF_INET
s = socket.socket(family, socket.SOCK_DGRAM if proto == "udp" else socket.SOCK_STREAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind((src, int(sport)))
if proto == "udp":
    s.sendto(token.encode(), (dst, int(dport)))
else:
    s.settimeout(float(timeout))
    s.connect((dst, int(dport)))
    s.sendall(token.encode() + b"\n")
    s.shutdown(socket.SHUT_WR)
    s.recv(1)  # the receiver closes once it has the token
s.close()
'''


class Seen:
    """What the WAN host saw of one exchange."""

    def __init__(self, proto, port, address, source_port, tclass):
        self.proto, self.port, self.address = proto, port, address
        self.source_port, self.tclass = source_port, tclass

    def __repr__(self):
        return "%s to %d from [%s]:%d tclass %d" % (self.proto, self.port, self.address,
                                                    self.source_port, self.tclass)


class Receiver:
    """A UDP and TCP listener on the WAN host that reports each peer's source."""

    def __init__(self, host, ports):
        self.proc = host.popen(sys.executable, "-c", _RECEIVER, ",".join(map(str, ports)),
                               HOST_LIFETIME, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
        self.seen = {}
        self.cond = threading.Condition()
        self.ready = False
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        with self.cond:
            if not self.cond.wait_for(lambda: self.ready or self.proc.poll() is not None,
                                      EXCHANGE_TIMEOUT) or not self.ready:
                raise RuntimeError("WAN receiver did not start: " + self.proc.stderr.read())

    def _read(self):
        for line in self.proc.stdout:
            fields = line.split()
            with self.cond:
                if fields == ["ready"]:
                    self.ready = True
                elif len(fields) == 6:
                    proto, port, address, source_port, tclass, token = fields
                    self.seen[token] = Seen(proto, int(port), address, int(source_port), int(tclass))
                self.cond.notify_all()
        with self.cond:
            self.cond.notify_all()

    def wait(self, token, timeout):
        with self.cond:
            self.cond.wait_for(lambda: token in self.seen, timeout)
            return self.seen.get(token)

    def close(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()  # ends it; the kill is only the fallback
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.reader.join(5)


class Topology:
    """The LAN host, the WAN host and a forwarding gateway between them."""

    def __init__(self):
        self.hosts = []
        self.receiver = None
        self.tokens = itertools.count(1)
        self.free_ports = itertools.count(41000)
        self.used = set()
        try:
            self.lan = self._host("lan-host", LAN_IF + "p",
                                  [DEVICE_V4 + "/24", OTHER_V4 + "/24"],
                                  [DEVICE_V6 + "/64", OTHER_V6 + "/64"])
            self.lan.run("ip", "route", "add", "default", "via", GATEWAY_LAN_V4)
            self.lan.run("ip", "-6", "route", "add", "default", "via", GATEWAY_LAN_V6)
            # No route back: only traffic whose source the gateway rewrote gets answers.
            self.wan = self._host("wan-host", WAN_IF + "p",
                                  [WAN_HOST_V4 + "/24"], [WAN_HOST_V6 + "/64"])
            with open("/proc/sys/net/ipv4/ip_forward", "w") as f:
                f.write("1")
            with open("/proc/sys/net/ipv6/conf/all/forwarding", "w") as f:
                f.write("1")
            self.receiver = Receiver(self.wan, LISTED_PORTS + UNLISTED_PORTS)
        except BaseException:
            self.close()
            raise

    def _host(self, name, link, v4, v6):
        host = Host(name)
        self.hosts.append(host)
        # Settings a moved link takes over: no address tests, and traffic from a
        # source the host has no route to (untouched LAN traffic) is still taken in.
        for path, value in (("ipv6/conf/all/accept_dad", 0), ("ipv6/conf/default/accept_dad", 0),
                            ("ipv4/conf/all/rp_filter", 0), ("ipv4/conf/default/rp_filter", 0)):
            host.sysctl(path, value)
        sh("ip", "link", "set", link, "netns", str(host.pid))
        host.run("ip", "link", "set", "lo", "up")
        for address in v4:
            host.run("ip", "addr", "add", address, "dev", link)
        for address in v6:
            host.run("ip", "-6", "addr", "add", address, "dev", link, "nodad")
        host.run("ip", "link", "set", link, "up")
        return host

    def port(self):
        """A source port no earlier exchange used."""
        return next(self.free_ports)

    def send(self, proto, source, source_port, destination_port):
        """One UDP datagram or TCP connection from the LAN host to the WAN host.

        Returns what the WAN host saw, or None when nothing arrived. Each exchange
        must be a connection of its own for netfilter, so a five-tuple used
        before is refused: its NAT binding would still be the old one.
        """
        family = family_of(source)
        destination = WAN_HOST_V6 if family == "v6" else WAN_HOST_V4
        key = (proto, source, source_port, destination, destination_port)
        if key in self.used:
            raise AssertionError("test reuses a connection: %r" % (key,))
        self.used.add(key)
        token = "t%d" % next(self.tokens)
        deadline = time.monotonic() + EXCHANGE_TIMEOUT
        while True:
            sender = self.lan.run(sys.executable, "-c", _SENDER, proto, source, source_port,
                                  destination, destination_port, token, EXCHANGE_TIMEOUT,
                                  check=False)
            if proto == "tcp":
                # The sender returns once the receiver has read the token and closed.
                if sender.returncode != 0:
                    sys.stderr.write("tcp %r: %s\n" % (key, sender.stderr.strip()[-200:]))
                    return None
                return self.receiver.wait(token, EXCHANGE_TIMEOUT)
            # A lost datagram may be sent again: the copy belongs to the same conntrack entry.
            seen = self.receiver.wait(token, 1.0)
            if seen is not None or time.monotonic() > deadline:
                return seen

    def close(self):
        if self.receiver is not None:
            self.receiver.close()
        for host in self.hosts:
            host.close()
        self.hosts = []


_topology = None


def topology():
    """The module's hosts, built once (the veth peers can move only once)."""
    global _topology
    if _topology is None:
        _topology = Topology()
    return _topology


def close_topology():
    global _topology
    if _topology is not None:
        _topology.close()
        _topology = None


# --- the client side ---------------------------------------------------------

def conntrack_calls():
    try:
        with open("/tmp/platform/conntrack.log") as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


def firewall_restarts():
    try:
        with open("/tmp/platform/sysevent.log") as f:
            return sum(1 for line in f if line.strip() == "set firewall-restart")
    except FileNotFoundError:
        return 0


class NatTest(GatewayTest):
    """A gateway whose nat and mangle tables start empty for every test."""

    needs_hosts = False

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        require_tools()
        reason = netfilter_missing()
        if reason:
            raise unittest.SkipTest(reason)
        if cls.needs_hosts:
            cls.net = topology()

    def setUp(self):
        super().setUp()
        flush_tables()
        for path in ("/tmp/pwned", "/tmp/pwned2"):
            if os.path.exists(path):
                os.unlink(path)

    def set_range(self, text):
        """Sends the cloud's range; the rules are in place when its report comes."""
        Proxy.send({"lld_config": {"port_range": text}})
        got = self.proxy.receive(EXCHANGE_TIMEOUT)
        self.assertIsNotNone(got, "no status report for the range %r" % text)
        return got

    def stop_client(self, client):
        """Stops a client and takes its last report, so the next one's come first."""
        self.assertEqual(client.stop(), 0)
        got = self.proxy.receive(EXCHANGE_TIMEOUT)
        self.assertEqual(got and got[2], '{"lld_status":"shutting_down"}')

    def run_array(self, client, elements):
        """Posts a command array and returns its log lines once the worker is done with it.

        A second message that is no array follows it: the worker logs it only
        after it has finished the array, connection-tracking calls included.
        """
        start = len(client.output())
        Proxy.send({"user_game_config": elements})
        Proxy.send({"user_game_config": BARRIER})
        first = client.wait_for(AWAKE, EXCHANGE_TIMEOUT, start)
        second = client.wait_for(AWAKE, EXCHANGE_TIMEOUT, first + 1)
        return client.output()[first:second]

    def assertUntouched(self):
        self.assertFalse(os.path.exists("/tmp/pwned"), "a shell ran text from the cloud")
        self.assertFalse(os.path.exists("/tmp/pwned2"), "a shell ran text from the cloud")
