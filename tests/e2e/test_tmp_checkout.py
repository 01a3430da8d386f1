"""A checkout and build that live under /tmp stay visible in the test and demo
beds, which put a private /tmp over the host's."""

import os
import subprocess
import tempfile
import unittest
from pathlib import Path

SOURCE, BUILD = os.environ["LLD_SOURCE_DIR"], os.environ["LLD_BUILD_DIR"]
BED = {  # how each bed starts, run from the copy under /tmp
    "e2e": ["python3", "-c", "import gateway, subprocess; gateway.setup_namespace(); "
            "subprocess.run([gateway.CLIENT, '--version'], check=True); "
            "subprocess.run(['ondrel_rpc_client', '--help'])"],
    "demo": ["bash", "-c", 'set -e; build=$0/build; . "$0/checkout/tools/simulated_gateway.sh"; '
             '"$build/src/lld-client" --version; test -f "$0/checkout/tools/demo.sh"'],
}


class CheckoutUnderTmp(unittest.TestCase):
    def test_beds_keep_a_checkout_under_tmp(self):
        # This module's mount namespace is private: the binds vanish with it.
        top = Path(tempfile.mkdtemp(prefix="lld-checkout-", dir="/tmp"))
        self.addCleanup(lambda: subprocess.run(["rm", "-rf", "--one-file-system", str(top)]))
        for name, real in (("checkout", SOURCE), ("build", BUILD)):
            (top / name).mkdir()
            subprocess.run(["mount", "--bind", real, str(top / name)], check=True)
            self.addCleanup(subprocess.run, ["umount", "-l", str(top / name)])
        # The client's run path names the real build, which a bed may hide when it
        # lives under /tmp too: the copy's own library directory stands in.
        env = dict(os.environ, PYTHONPATH=str(top / "checkout/tests/e2e"),
                   LLD_CLIENT=str(top / "build/src/lld-client"), LLD_PLATFORM_BIN=str(top / "build/platform/bin"),
                   LD_LIBRARY_PATH=str(top / "build/platform/lib"))
        for bed, command in BED.items():
            with self.subTest(bed=bed):
                done = subprocess.run(["unshare", "--mount", "--net", "--propagation", "private"]
                                      + command + ([str(top)] if bed == "demo" else []),
                                      env=env, capture_output=True, text=True, timeout=60)
                self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
                self.assertIn("version:1.0.0", done.stdout)


if __name__ == "__main__":
    unittest.main()
