"""GUI tokens: stored in /tmp/lld/token, never through a link or a foreign directory."""

import os
import stat
import unittest

from gateway import GatewayTest, Proxy

TOKEN_DIR = "/tmp/lld"
TOKEN_FILE = TOKEN_DIR + "/token"


class Tokens(GatewayTest):
    def setUp(self):
        super().setUp()
        self.client, _ = self.start_registered()

    def send_token(self, token):
        mark = len(self.client.output())
        Proxy.send({"gui_token": token})
        self.client.wait_for(r"message_recv Auth Token$", start=mark)
        return mark

    def read_token(self):
        with open(TOKEN_FILE, "rb") as f:
            return f.read()

    def test_token_is_written_privately_and_replaced(self):
        self.send_token("first-token-with-more-text")
        self.client.wait_for(r"Auth Token$")
        self.wait_for_file(b"first-token-with-more-text")
        self.assertEqual(stat.S_IMODE(os.stat(TOKEN_DIR).st_mode), 0o700)
        self.assertEqual(stat.S_IMODE(os.stat(TOKEN_FILE).st_mode), 0o600)
        self.send_token("second")
        self.wait_for_file(b"second")
        self.send_token("")
        self.wait_for_file(b"")
        self.assertEqual(self.client.count(r"Token processing Failed"), 0)
        self.proxy.expect_silence(0.3)

    def wait_for_file(self, expected):
        import time
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            if os.path.exists(TOKEN_FILE) and self.read_token() == expected:
                return
            time.sleep(0.05)
        self.fail("token file never held %r" % expected)

    def test_token_that_is_not_a_text(self):
        for token in (None, 12, {"t": 1}):
            mark = self.send_token(token)
            self.client.wait_for(r"\[ERR\] No token found!!$", start=mark)
            self.client.wait_for(r"\[DBG\] message_recv Token processing Failed$", start=mark)
        self.assertFalse(os.path.exists(TOKEN_DIR))

    def refused(self, mark):
        self.client.wait_for(r"\[ERR\] Failed to open /tmp/lld/token$", start=mark)
        self.client.wait_for(r"Token processing Failed$", start=mark)

    def test_token_directory_as_a_link_is_refused(self):
        os.mkdir("/tmp/elsewhere")
        os.symlink("/tmp/elsewhere", TOKEN_DIR)
        self.refused(self.send_token("secret"))
        self.assertEqual(os.listdir("/tmp/elsewhere"), [])

    def test_token_file_as_a_link_is_refused(self):
        os.mkdir(TOKEN_DIR, 0o700)
        with open("/tmp/victim", "w") as f:
            f.write("keep me")
        os.symlink("/tmp/victim", TOKEN_FILE)
        self.refused(self.send_token("secret"))
        with open("/tmp/victim") as f:
            self.assertEqual(f.read(), "keep me")

    def test_foreign_or_odd_token_directory_is_refused(self):
        os.mkdir(TOKEN_DIR, 0o777)
        os.chown(TOKEN_DIR, 4242, 4242)
        self.refused(self.send_token("secret"))
        self.assertEqual(os.listdir(TOKEN_DIR), [])
        os.rmdir(TOKEN_DIR)
        with open(TOKEN_DIR, "w") as f:
            f.write("a file")
        self.refused(self.send_token("secret"))


if __name__ == "__main__":
    unittest.main()
