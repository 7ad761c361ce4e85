"""End-to-end smoke test of the cross-built sockvane.exe under Wine.

Environment: SOCKVANE_WIN_BUILD (the cross build folder, default build/win),
SOCKVANE_WINE_RUN (the Wine wrapper, default tools/wine-run.sh),
SOCKVANE_LINUX_BIN (optional: a Linux build whose help must match).
"""

import contextlib
import glob
import json
import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
BUILD = os.environ.get("SOCKVANE_WIN_BUILD", os.path.join(ROOT, "build", "win"))
WINE_RUN = os.environ.get("SOCKVANE_WINE_RUN", os.path.join(ROOT, "tools", "wine-run.sh"))
PREFIX = os.path.join(BUILD, "wineprefix")
EXE = os.path.join(BUILD, "sockvane.exe")
HELPER = os.path.join(BUILD, "tests", "connect_helper.exe")
DATA = os.path.join(ROOT, "tests", "data")

VERSION_RE = re.compile(
    rb"^sockvane (?P<version>\S+) \| Source: [0-9a-f]{16} \| Target: windows64 \| "
    rb"(?P<web>\S+) \| (?P<contact>\S+)\r\n$"
)


def wine(args, timeout=120, stdout=None, env=None):
    """Runs sockvane.exe; output goes to pipes (Wine is very slow on /dev/null)."""
    cmd = [WINE_RUN, PREFIX, EXE, *args]
    full_env = None if env is None else {**os.environ, **env}
    if stdout is None:
        return subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout, env=full_env)
    return subprocess.run(
        cmd, stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.PIPE, timeout=timeout, env=full_env
    )


def wine_misreads_tcp6_owner():
    """Wine 8.0 takes the inode of a /proc/net/tcp6 line from two columns too
    far right, so it never finds the owner of an IPv6 TCP socket."""
    for path in glob.glob("/usr/lib/*/wine/*-unix/nsiproxy.so") + glob.glob("/usr/lib/wine/*-unix/nsiproxy.so"):
        with open(path, "rb") as f:
            if b"%8x%8x%8x%8x:%hx %x %*s %*s %*s %*s %*s %*s %*s %d" in f.read():
                return True
    return False


def assert_crlf_lines(test, data):
    test.assertTrue(data.endswith(b"\r\n"), data[-40:])
    for line in data.split(b"\r\n")[:-1]:
        test.assertNotIn(b"\r", line)
        test.assertNotIn(b"\n", line)


def end(proc):
    """Ends a process this test started, by its PID, and waits for it."""
    if proc.poll() is None:
        proc.kill()
    try:
        proc.wait(timeout=20)
    except subprocess.TimeoutExpired:
        pass


class SmokeTest(unittest.TestCase):
    def test_version(self):
        r = wine(["--version"])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, b"")
        self.assertRegex(r.stdout, VERSION_RE)
        self.assertIn(b"Target: windows64", r.stdout)

    def test_help(self):
        r = wine(["--help"])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, b"")
        assert_crlf_lines(self, r.stdout)
        linux_bin = os.environ.get("SOCKVANE_LINUX_BIN", "")
        if linux_bin and os.access(linux_bin, os.X_OK):
            want = subprocess.run([linux_bin, "--help"], capture_output=True, timeout=30).stdout
        else:
            version = VERSION_RE.match(wine(["--version"]).stdout)
            with open(os.path.join(DATA, "help.txt"), "rb") as f:
                body = f.read()
            want = b"sockvane %s | %s | %s\n" % (version["version"], version["web"], version["contact"]) + body
        self.assertEqual(r.stdout.replace(b"\r\n", b"\n"), want)
        self.assertEqual(wine(["-h"]).stdout, r.stdout)

    def test_usage_errors(self):
        for args in (["--bogus"], ["--interval", "0"], ["--once", "--format"]):
            with self.subTest(args=args):
                r = wine(args)
                self.assertEqual(r.returncode, 2)
                self.assertEqual(r.stdout, b"")
                self.assertTrue(r.stderr.startswith(b"sockvane: "), r.stderr)
                self.assertEqual(r.stderr.count(b"\r\n"), 1, r.stderr)
                assert_crlf_lines(self, r.stderr)

    def test_missing_allowlist(self):
        missing = os.path.join(tempfile.mkdtemp(prefix="sockvane-win-"), "absent.txt")
        r = wine(["--once", "--allowlist", missing])
        self.assertEqual(r.returncode, 2)
        self.assertEqual(r.stdout, b"")
        self.assertTrue(r.stderr.startswith(b"sockvane: allowlist: "), r.stderr)
        assert_crlf_lines(self, r.stderr)

    def test_time_separator_follows_the_region(self):
        # Wine takes the Windows locale from LC_ALL, with its own locale data.
        cases = [
            ("C", [], rb'"time":"\d\d:\d\d:\d\d\.\d{3}"'),
            ("fi_FI.UTF-8", [], rb'"time":"\d\d\.\d\d\.\d\d\.\d{3}"'),
            ("fi_FI.UTF-8", ["--timestamp", "iso8601"], rb'"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}"'),
        ]
        for locale, extra, pattern in cases:
            with self.subTest(locale=locale, extra=extra):
                r = wine(
                    ["--once", "--summary", "--format", "jsonl", "--dst-port", "1", *extra],
                    env={"LC_ALL": locale, "LANG": locale},
                )
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertRegex(r.stdout, pattern)
                assert_crlf_lines(self, r.stdout)

    @contextlib.contextmanager
    def wine_connection(self, family):
        """A Wine process holding a loopback connection to a listener of ours.

        Yields (the helper's Windows PID, the helper's port, our port)."""
        work = tempfile.mkdtemp(prefix="sockvane-win-")
        stop_file = os.path.join(work, "stop")
        lst = socket.socket(family, socket.SOCK_STREAM)
        lst.bind(("::1" if family == socket.AF_INET6 else "127.0.0.1", 0))
        lst.listen(4)
        lst.settimeout(60)
        port = lst.getsockname()[1]
        mode = ["-6"] if family == socket.AF_INET6 else []
        helper = subprocess.Popen(
            [WINE_RUN, PREFIX, HELPER, *mode, str(port), "Z:" + stop_file.replace("/", "\\"), "120"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        )
        peer = None
        try:
            peer, _ = lst.accept()
            peer.settimeout(30)
            self.assertTrue(peer.recv(64).startswith(b"hello"))
            first = helper.stdout.readline()
            m = re.match(rb"pid (\d+)\r?\n$", first)
            self.assertIsNotNone(m, first)
            yield m.group(1).decode(), peer.getpeername()[1], port
        finally:
            open(stop_file, "w").close()
            try:
                helper.wait(timeout=30)
            except subprocess.TimeoutExpired:
                pass
            end(helper)
            helper.stdout.close()
            helper.stderr.close()
            if peer is not None:
                peer.close()
            lst.close()
            shutil.rmtree(work, ignore_errors=True)
        self.assertEqual(helper.returncode, 0)

    def scan(self, port, extra=(), until=None):
        """One --once scan for destination `port` (retried while `until` says
        the table has not caught up); returns the rows and the raw output."""
        rows, out = [], b""
        with tempfile.TemporaryDirectory(prefix="sockvane-win-") as work:
            for _ in range(5 if until else 1):
                with open(os.path.join(work, "out.jsonl"), "w+b") as f:
                    r = wine(["--once", "--all", "--format", "jsonl", "--dst-port", str(port), *extra], stdout=f)
                    f.seek(0)
                    out = f.read()
                self.assertEqual(r.returncode, 0, r.stderr)
                rows = [json.loads(line) for line in out.decode().splitlines() if line.strip()]
                if until is None or until(rows):
                    break
                time.sleep(1)
        if out:
            assert_crlf_lines(self, out)
        for other in rows:
            self.assertEqual(other["dst_port"], port)
        return rows, out

    def test_once_shows_wine_process_connection(self):
        with self.wine_connection(socket.AF_INET) as (wine_pid, helper_port, port):
            # The table may lag behind the first bytes for a moment.
            rows, out = self.scan(port, ["--extra", "uid,user,direction,unit,owner_from"],
                                  until=lambda rows: any(row["pid"] == wine_pid for row in rows))
            mine = [row for row in rows if row["src_port"] == helper_port]
            self.assertEqual(len(mine), 1, out)
            row = mine[0]
            self.assertEqual(row["pid"], wine_pid, out)
            self.assertEqual(row["process"], "connect_helper.exe")
            self.assertEqual(row["event"], "new")
            self.assertEqual(row["proto"], "TCP")
            self.assertEqual(row["src_ip"], "127.0.0.1")
            self.assertEqual(row["dst_ip"], "127.0.0.1")
            self.assertEqual(row["dst_port"], port)
            self.assertEqual(row["state"], "ESTABLISHED")
            self.assertEqual(row["age_seconds"], 0)
            # No uid, user or unit on Windows; the helper opened it, our listener accepted it.
            self.assertEqual([row[k] for k in ("uid", "user", "direction", "unit", "owner_from")],
                             [None, "", "out", "", "fd"])
            rows, out = self.scan(helper_port, ["--extra", "direction"])
            self.assertEqual([r["direction"] for r in rows if r["src_port"] == port], ["in"], out)

    def test_ipv6_shows_wine_process_connection_only_with_option(self):
        if wine_misreads_tcp6_owner():
            # Every IPv6 row of this Wine says process 0.
            want_pid, want_name = "0", "unknown"
        else:
            want_pid, want_name = None, "connect_helper.exe"
        with self.wine_connection(socket.AF_INET6) as (wine_pid, helper_port, port):
            want_pid = want_pid or wine_pid

            def mine(rows):
                return [row for row in rows if row["src_port"] == helper_port]

            rows, out = self.scan(
                port, ["--ipv6"], until=lambda rows: any(row["pid"] == want_pid for row in mine(rows))
            )
            self.assertEqual(len(mine(rows)), 1, out)
            row = mine(rows)[0]
            self.assertEqual(row["pid"], want_pid, out)
            self.assertEqual(row["process"], want_name)
            self.assertEqual(row["event"], "new")
            self.assertEqual(row["proto"], "TCP")
            self.assertEqual(row["src_ip"], "::1")
            self.assertEqual(row["dst_ip"], "::1")
            self.assertEqual(row["dst_port"], port)
            self.assertEqual(row["state"], "ESTABLISHED")

            # The same connection, still held, is not read without the option.
            rows, out = self.scan(port)
            self.assertEqual(mine(rows), [], out)

    def test_closed_pipe_is_a_write_error(self):
        # --stats 1 writes and flushes a report every second; nobody reads it.
        proc = subprocess.Popen(
            [WINE_RUN, PREFIX, EXE, "--stats", "1", "--interval", "200", "--dst-port", "1"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        )
        try:
            proc.stdout.close()
            _, err = proc.communicate(timeout=90)
        finally:
            end(proc)
            proc.stderr.close()
        self.assertNotEqual(proc.returncode, 0)
        self.assertTrue(err.startswith(b"sockvane: write error"), err)
        assert_crlf_lines(self, err)


if __name__ == "__main__":
    unittest.main(verbosity=2)
