"""GUI tokens: stored in /tmp/lld/token, never through a link or a foreign directory."""

import os
import stat
import time
import unittest
from pathlib import Path

from gateway import GatewayTest, Proxy

TOKEN_DIR = "/tmp/lld"
TOKEN_FILE = TOKEN_DIR + "/token"
FAILED = r"\[DBG\] message_recv Token processing Failed$"
REFUSED = (r"\[ERR\] Failed to open /tmp/lld/token$", FAILED)


def squatted(what, uid=0):
    return (r"\[ERR\] /tmp/lld is not a directory of this user \(%s, uid %d\): no token is stored "
            r"there$" % (what, uid),) + REFUSED


class Tokens(GatewayTest):
    def setUp(self):
        super().setUp()
        self.client, _ = self.start_registered()

    def send_token(self, token, *lines):
        """Sends a token and waits for its handling and for each of `lines` after it."""
        mark = len(self.client.output())
        Proxy.send({"gui_token": token})
        for line in (r"message_recv Auth Token$",) + lines:
            self.client.wait_for(line, start=mark)

    def test_token_is_written_privately_and_replaced(self):
        for token in ("first-token-with-more-text", "second", ""):
            self.send_token(token)
            deadline = time.monotonic() + 5
            while not (os.path.exists(TOKEN_FILE) and Path(TOKEN_FILE).read_bytes() == token.encode()):
                self.assertLess(time.monotonic(), deadline, "token file never held %r" % token)
                time.sleep(0.05)
            self.assertEqual(stat.S_IMODE(os.stat(TOKEN_DIR).st_mode), 0o700)
            self.assertEqual(stat.S_IMODE(os.stat(TOKEN_FILE).st_mode), 0o600)
        self.assertEqual(self.client.count(FAILED), 0)
        self.assertEqual(self.client.count("first-token"), 0)  # a token never reaches the log
        self.proxy.expect_silence(0.3)

    def test_token_that_is_not_a_text(self):
        for token in (None, 12, {"t": 1}):
            self.send_token(token, r"\[ERR\] No token found!!$", FAILED)
        self.assertFalse(os.path.exists(TOKEN_DIR))

    def test_token_directory_as_a_link_is_refused(self):
        os.mkdir("/tmp/elsewhere")
        os.symlink("/tmp/elsewhere", TOKEN_DIR)
        self.send_token("secret", *squatted("a symbolic link"))
        self.assertEqual(os.listdir("/tmp/elsewhere"), [])

    def test_token_file_as_a_link_is_refused(self):
        os.mkdir(TOKEN_DIR, 0o700)
        Path("/tmp/victim").write_text("keep me")
        os.symlink("/tmp/victim", TOKEN_FILE)
        self.send_token("secret", *REFUSED)
        self.assertEqual(Path("/tmp/victim").read_text(), "keep me")

    def test_foreign_or_odd_token_directory_is_refused(self):
        os.mkdir(TOKEN_DIR, 0o777)
        os.chown(TOKEN_DIR, 4242, 4242)
        self.send_token("secret", *squatted("a directory", 4242))
        self.assertEqual(os.listdir(TOKEN_DIR), [])
        os.rmdir(TOKEN_DIR)
        Path(TOKEN_DIR).write_text("a file")
        self.send_token("secret", *squatted("not a directory"))


if __name__ == "__main__":
    unittest.main()
