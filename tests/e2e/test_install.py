"""make install: the installed tree, its service files, and the init script running the client."""

import json
import os
import re
import shutil
import subprocess
import unittest
from pathlib import Path

from gateway import GatewayTest, client_args
from test_shutdown import SHUTTING_DOWN

BUILD, SOURCE = Path(os.environ["LLD_BUILD_DIR"]), Path(os.environ["LLD_SOURCE_DIR"])
PROXY_BUILT = (BUILD / "src/lld-proxy").is_file()  # else its binary is not looked for
UNIT, MAN, DOC = "usr/lib/systemd/system/lld-%s.service", "usr/share/man/man8/lld-%s.8", "usr/share/doc/lld-client"
NAMING = [UNIT, "etc/default/lld-%s", "etc/init.d/lld-%s"]  # files that name installed paths
EXPECTED = [(path % daemon, mode) for daemon in ("client", "proxy") for path, mode in (  # prefix /usr
    ("usr/sbin/lld-%s", 0o755), (UNIT, 0o644), (NAMING[1], 0o644), (NAMING[2], 0o755), (MAN, 0o644))] + [
    (DOC + "/config.example.json", 0o644), (DOC + "/config.example.txt", 0o644)]
NAMED_PATH = re.compile(r"^(?:ExecStart=|EnvironmentFile=-|DAEMON=|DEFAULTS=)(/\S+)", re.M)


def run(*args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, **kwargs)


def wanted(path):
    return PROXY_BUILT or path.lstrip("/") != "usr/sbin/lld-proxy"


class Install(GatewayTest):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.top = Path("/tmp/install")  # the namespace's own /tmp
        cls.stage, cls.root = cls.top / "stage", cls.top / "root"
        for prefix, destdir in (("/usr", cls.stage), (cls.root, "")):  # the second can run
            run("cmake", "--install", BUILD, "--prefix", prefix, check=True,
                env=dict(os.environ, DESTDIR=str(destdir)))

    def test_tree_and_the_paths_its_files_name(self):
        for path, mode in filter(lambda entry: wanted(entry[0]), EXPECTED):
            with self.subTest(path=path):
                self.assertEqual((self.stage / path).stat().st_mode & 0o7777, mode)
        for path in (path % daemon for path in NAMING for daemon in ("client", "proxy")):
            for named in filter(wanted, NAMED_PATH.findall((self.stage / path).read_text())):
                self.assertTrue((self.stage / named.lstrip("/")).is_file(), (path, named))
        keys = set(re.findall(r'\(tree, "(\w+)"', (SOURCE / "src/app/config.cpp").read_text()))
        self.assertTrue({"broker_url", "child_timeout", "proxy_uid"} <= keys)
        self.assertEqual(keys - set(json.loads((self.stage / DOC / "config.example.json").read_text())), set())
        for text in (self.stage / DOC / "config.example.txt", self.stage / (MAN % "client")):
            self.assertEqual({key for key in keys if key not in text.read_text()}, set(), text)
        for page in (MAN % "client", MAN % "proxy") if shutil.which("groff") else ():
            done = run("groff", "-man", "-ww", "-z", self.stage / page)
            self.assertEqual((done.returncode, done.stderr), (0, ""), page)

    @unittest.skipUnless(shutil.which("systemd-analyze"), "no systemd-analyze")
    def test_units_verify(self):
        units = []
        for daemon in ("client", "proxy") if PROXY_BUILT else ("client",):
            text = (self.stage / (UNIT % daemon)).read_text()  # ExecStart names the staged binary
            units.append(self.top / ("lld-%s.service" % daemon))
            units[-1].write_text(text.replace("ExecStart=", "ExecStart=%s" % self.stage))
        man = dict(os.environ, MANPATH=self.stage / "usr/share/man")  # Documentation= is looked up
        done = run("systemd-analyze", "verify", *units, env=man)
        # Only what it says of ours: units of other packages on this machine may warn.
        ours = [line for line in done.stderr.splitlines() if "lld-" in line]
        self.assertEqual((done.returncode, ours), (0, []), done.stderr)

    def test_init_script_starts_stops_and_tells(self):
        script, pid_file = self.root / "etc/init.d/lld-client", self.root / "var/run/lld-client.pid"
        self.addCleanup(run, script, "stop")
        cases = [  # (client options, the commands and their exit statuses)
            ("-ifl lan0", [("start", 1), ("status", 3)]),
            (" ".join(client_args()), [("start", 0), ("status", 0), ("start", 0), ("stop", 0), ("status", 3)]),
        ]
        for options, steps in cases:
            (self.root / "etc/default/lld-client").write_text(  # the platform's library: the stand-in
                'LLD_CLIENT_OPTS="%s"\nLLD_DBG_LVL=debug\nLLD_CLIENT_LOG=%s/log\nLD_LIBRARY_PATH=%s\n'
                % (options, self.top, BUILD / "platform/lib"))
            self.assertEqual([(command, run(script, command).returncode) for command, _ in steps], steps)
            self.assertFalse(pid_file.exists())
        self.assertEqual(self.proxy.receive_json(1)[2]["lld_status"], "ready_to_go")
        self.assertEqual(self.proxy.receive(5), SHUTTING_DOWN)


if __name__ == "__main__":
    unittest.main()
