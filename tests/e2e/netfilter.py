"""The NAT tests' fixture: a LAN host and a WAN host around the simulated gateway (the
module's own network namespace, see gateway.py), its real nat and mangle tables, and
`NatTest`. Each host is a network namespace held by a sleeping child, with the peer end
of a gateway veth. The WAN host has no route back to the LAN: a TCP connection that
reaches it proves that the gateway rewrote its source, and the source seen tells where to.
"""

import atexit
import collections
import concurrent.futures
import ctypes
import functools
import itertools
import json
import shutil
import socket
import subprocess
import sys
import unittest
from pathlib import Path

from gateway import NV_DIR, GatewayTest, LAN_IF, WAN_IF, Proxy, client_args, sh

# The LAN host carries the listed device's address and an ordinary one.
DEVICE, OTHER = {"v4": "192.0.2.10", "v6": "2001:db8:1::10"}, {"v4": "192.0.2.11", "v6": "2001:db8:1::11"}
GATEWAY = {"v4": "198.51.100.2", "v6": "2001:db8:2::2"}  # its WAN addresses
WAN_HOST_V4, WAN_HOST_V6 = "198.51.100.20", "2001:db8:2::20"

GAME = {"cmd": "multi-add", "name": "game", "data": "3074,3478:3480,B"}
CONSOLE = {"cmd": "device-add", "name": "console", "data": DEVICE["v4"]}
CONSOLE6 = {"cmd": "device-add", "name": "console6", "data": DEVICE["v6"]}

NAT_JSON, RULES4, RULES6 = (Path(NV_DIR, name) for name in ("iptables-nat.json", "rules.wr", "rules6.wr"))
DEFAULT_DSCP = '{"cmd":"dscp-settings","value":46,"lw_dscp_to_ll":0,"lw_app_dscp":0,"wl_dscp_set":0}'
PWNED = (Path("/tmp/pwned"), Path("/tmp/pwned2"))  # what text from the cloud would create, run by a shell
ERR = "[ZEZ-UDERED] [ERR] "
TOOL = {"v4": "iptables", "v6": "ip6tables"}

EXCHANGE_TIMEOUT = 15.0  # the longest any single exchange may take: a bound, not a threshold
HOST_LIFETIME = 900  # seconds; children must not outlive a killed test run
AWAKE = r"\[DBG\] \*\*\* natApiJson awake!"
BARRIER = "barrier"  # a "user_game_config" that is no array: the worker only logs it


def _popen(args, **kwargs):
    # Children of this module must not outlive it, even when ctest kills it.
    return subprocess.Popen(["setpriv", "--pdeathsig", "KILL", "--"] + list(args), **kwargs)


def stored(*entries, dscp=DEFAULT_DSCP):
    """iptables-nat.json as the client writes it; entries are dicts or JSON texts."""
    texts = [e if isinstance(e, str) else json.dumps(e, separators=(",", ":")) for e in entries]
    return "[\n" + ",\n".join([dscp] + texts) + "\n]"


_PROBE = """\
set -e
ip link set lo up
ip link add probe0 type veth peer name probe1
iptables -t nat -A POSTROUTING -p tcp -s 192.0.2.0/24 -m multiport --dports 1,2:3 -j SNAT --to-source 198.51.100.2:5000-5010
ip6tables -t nat -A POSTROUTING -p udp -s 2001:db8:1::/64 -m multiport --dports 1,2:3 -j SNAT --to-source [2001:db8:2::2]:5000-5010
ip6tables -t mangle -A POSTROUTING -p udp -m multiport --dports 1 -j DSCP --set-dscp 46
"""


def netfilter_missing():
    """None when the kernel has what the NAT tests need, else the reason to skip (a missing tool fails)."""
    missing = [t for t in ("iptables", "ip6tables", "nsenter", "unshare", "setpriv") if not shutil.which(t)]
    if missing:
        raise AssertionError("tools missing on this machine: " + ", ".join(missing))
    result = subprocess.run(["unshare", "--net", "sh", "-c", _PROBE], capture_output=True, text=True)
    if result.returncode != 0:
        return "kernel lacks nat/mangle, SNAT port ranges, multiport, DSCP or veth: " + result.stderr.strip()


def chain(family, table="nat"):
    """The whole table (a rule outside POSTROUTING is a fault too) as `-S` prints it, without policies."""
    return [line for line in sh(TOOL[family], "-t", table, "-S").stdout.splitlines()
            if not line.startswith("-P ")]


def flush_tables():
    for family in ("v4", "v6"):
        for table in ("nat", "mangle"):
            sh(TOOL[family], "-t", table, "-F")


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
# The entry rules of [GAME, CONSOLE, CONSOLE6] in each family's chain: as the array leaves them
# (each rule inserted at the head), and as a range issues them again (newest entry first).
NEWEST_FIRST = [("device", "udp"), ("device", "tcp"), ("game", "udp"), ("game", "tcp")]
OLDEST_FIRST = [("game", "udp"), ("game", "tcp"), ("device", "udp"), ("device", "tcp")]


def rules(templates, order, lld="5000-5010", classic="5011-65535"):
    """An expected chain: the entry rules that `order` names, each (kind, protocol) or, for a port
    list other than the game's, ("game", protocol, ports); then the base rules."""
    values = dict(lld=lld, sport=lld.replace("-", ":"), classic=classic)
    lines = [templates[kind].format(p=p, ports=(ports or ["3074,3478:3480"])[0], **values)
             for kind, p, *ports in order]
    return lines + [templates["return"]] + [templates["classic"].format(p=p, **values) for p in ("tcp", "udp")]


class Host:
    """A network namespace held by a sleeping child; commands enter it with nsenter."""

    def __init__(self, name):
        self.name = name
        # The shell speaks once unshare has made the namespace, then becomes the sleeping holder.
        self.holder = _popen(["unshare", "--net", "sh", "-c", "echo; exec sleep %d" % HOST_LIFETIME],
                             stdout=subprocess.PIPE)
        made = self.holder.stdout.readline()
        self.holder.stdout.close()
        if not made:
            raise RuntimeError("%s: no namespace of its own (unshare failed)" % name)
        self.pid = self.holder.pid

    def command(self, *args):
        return ["nsenter", "--target", str(self.pid), "--net"] + [str(a) for a in args]

    def run(self, *args, check=True):
        result = subprocess.run(self.command(*args), capture_output=True, text=True)
        if check and result.returncode != 0:
            raise RuntimeError("%s: %s failed: %s" % (self.name, " ".join(map(str, args)), result.stderr.strip()))
        return result

    def sysctl(self, path, value):
        self.run("sh", "-c", "echo %s > /proc/sys/net/%s" % (value, path))

    def popen(self, *args, **kwargs):
        return _popen(self.command(*args), **kwargs)

    def close(self):
        if self.holder.poll() is None:
            self.holder.kill()
        self.holder.wait()


Seen = collections.namedtuple("Seen", "proto port address source_port tclass")


class Topology:
    """The LAN host, the WAN host and a forwarding gateway between them. Each exchange's sockets
    are made by threads that entered the hosts' namespaces, so they live there."""

    def __init__(self):
        self.used, self.ports = set(), itertools.count(41000)  # source ports no exchange used before
        lan = self._host("lan-host", LAN_IF + "p", [a[f] for a in (DEVICE, OTHER) for f in ("v4", "v6")])
        lan.run("ip", "route", "add", "default", "via", "192.0.2.1")
        lan.run("ip", "-6", "route", "add", "default", "via", "2001:db8:1::1")
        # No route back: only traffic whose source the gateway rewrote gets answers.
        wan = self._host("wan-host", WAN_IF + "p", [WAN_HOST_V4, WAN_HOST_V6])
        Path("/proc/sys/net/ipv4/ip_forward").write_text("1")
        Path("/proc/sys/net/ipv6/conf/all/forwarding").write_text("1")
        self.lan_socket, self.wan_socket = self._sockets(lan), self._sockets(wan)

    def _host(self, name, link, addresses):
        host = Host(name)
        atexit.register(host.close)
        # Settings a moved link takes over: no address tests, and traffic from a
        # source the host has no route to (untouched LAN traffic) is still taken in.
        for path in ("ipv6/conf/all/accept_dad", "ipv6/conf/default/accept_dad",
                     "ipv4/conf/all/rp_filter", "ipv4/conf/default/rp_filter"):
            host.sysctl(path, 0)
        sh("ip", "link", "set", link, "netns", str(host.pid))
        host.run("ip", "link", "set", "lo", "up")
        for address in addresses:
            host.run("ip", "addr", "add", address + ("/64" if ":" in address else "/24"), "dev", link,
                     *(["nodad"] if ":" in address else []))
        host.run("ip", "link", "set", link, "up")
        return host

    @staticmethod
    def _sockets(host):
        """A maker of sockets in the host's namespace, for an address of their family and a protocol:
        they are made by a thread that entered the namespace first (setns, CLONE_NEWNET)."""
        libc = ctypes.CDLL(None, use_errno=True)

        def enter():
            with open("/proc/%d/ns/net" % host.pid) as f:
                if libc.setns(f.fileno(), 0x40000000) != 0:
                    raise OSError(ctypes.get_errno(), "setns into the namespace of " + host.name)
        pool = concurrent.futures.ThreadPoolExecutor(1, initializer=enter)

        def make(address, proto):
            kind = socket.SOCK_DGRAM if proto == "udp" else socket.SOCK_STREAM
            s = pool.submit(socket.socket, socket.AF_INET6 if ":" in address else socket.AF_INET, kind).result()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            if ":" in address:
                s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_RECVTCLASS, 1)
            s.settimeout(EXCHANGE_TIMEOUT)
            return s
        return make

    def send(self, proto, source, port, source_port=None):
        """One UDP datagram or TCP connection from the LAN host (by default from a fresh source port)
        to the WAN host's `port`; returns what the WAN host saw, or None. A five-tuple used before
        is refused: its NAT binding would be the old one."""
        source_port = next(self.ports) if source_port is None else source_port
        destination = (WAN_HOST_V6 if ":" in source else WAN_HOST_V4, port)
        key = (proto, source, source_port) + destination
        if key in self.used:
            raise AssertionError("test reuses a connection: %r" % (key,))
        self.used.add(key)
        with self.wan_socket(destination[0], proto) as server, self.lan_socket(source, proto) as client:
            server.bind(destination)
            client.bind((source, source_port))
            if proto == "tcp":  # a connection whose source was not rewritten is never answered
                server.listen(1)
                if client.connect_ex(destination) != 0:
                    return None
                conn, peer = server.accept()
                conn.close()
                return Seen(proto, port, peer[0], peer[1], -1)
            # A lost datagram may be sent again (the copy belongs to the same conntrack entry).
            server.settimeout(1.0)
            token = b"t%d" % len(self.used)
            for _ in range(int(EXCHANGE_TIMEOUT)):
                client.sendto(token, destination)
                try:
                    data, ancillary, _, peer = server.recvmsg(64, socket.CMSG_SPACE(4))
                except socket.timeout:
                    continue
                tclass = [int.from_bytes(d[:4], sys.byteorder) for _, t, d in ancillary if t == socket.IPV6_TCLASS]
                if data == token:
                    return Seen(proto, port, peer[0], peer[1], (tclass + [-1])[0])
        return None


@functools.cache
def topology():
    """The module's hosts, built once (the veth peers can move only once)."""
    return Topology()


def conntrack_calls():
    path = Path("/tmp/platform/conntrack.log")
    return path.read_text().splitlines() if path.exists() else []


def firewall_restarts():
    path = Path("/tmp/platform/sysevent.log")
    return path.read_text().splitlines().count("set firewall-restart") if path.exists() else 0


class NatTest(GatewayTest):
    """A gateway whose nat and mangle tables start empty for every test."""

    needs_hosts = False

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        reason = netfilter_missing()
        if reason:
            raise unittest.SkipTest(reason)
        if cls.needs_hosts:
            cls.net = topology()

    def setUp(self):
        super().setUp()
        self.addCleanup(lambda: [client.close() for client in self.clients])  # even if set-up fails
        flush_tables()
        for path in PWNED:
            path.unlink(missing_ok=True)

    def start_client(self, file_mode=False):
        """A registered client; in rules-file mode it writes the rules to NV_DIR instead of running them."""
        return self.start_registered(args=client_args() + ["-iptfile", "rules.wr"] if file_mode else None)[0]

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
        """Posts a command array and returns its log lines once the worker is done with it: it logs
        the message that follows (no array) only after the array, connection tracking included."""
        start = len(client.output())
        Proxy.send({"user_game_config": elements})
        Proxy.send({"user_game_config": BARRIER})
        first = client.wait_for(AWAKE, EXCHANGE_TIMEOUT, start)
        second = client.wait_for(AWAKE, EXCHANGE_TIMEOUT, first + 1)
        return client.output()[first:second]

    def assertRules(self, v4, v6=None, lld="5000-5010", classic="5011-65535"):
        """The nat tables hold the entry rules `v4` and `v6` (default: the same) and the base rules."""
        self.assertEqual((chain("v4"), chain("v6")),
                         (rules(V4, v4, lld, classic), rules(V6, v4 if v6 is None else v6, lld, classic)))

    def assertSource(self, seen, address, low=5000, high=5010):
        """The WAN host saw the exchange come from `address` with a source port in low..high."""
        self.assertIsNotNone(seen, "nothing reached the WAN host")
        self.assertEqual(seen.address, address, seen)
        self.assertTrue(low <= seen.source_port <= high, seen)

    def assertUntouched(self):
        self.assertEqual([p for p in PWNED if p.exists()], [], "a shell ran text from the cloud")
