"""Standard output under stress (stop signals, vanished and slow readers, odd
descriptors), odd allowlist files and a socket table that cannot be read."""

import fcntl
import json
import os
import resource
import signal
import socket
import subprocess
import tempfile
import termios
import threading
import time
import unittest

from support import BIN, Monitor, connect_pair, jsonl, listener

ME = str(os.getpid())
PIPE_PAGE = 4096


def open_pairs(count):
    """`count` loopback connections of this process: (listener, [(client, server)])."""
    lst = listener()
    return lst, [connect_pair(lst) for _ in range(count)]


def close_all(lst, pairs):
    for c, s in pairs:
        c.close()
        s.close()
    lst.close()


def small_pipe():
    """A pipe that holds one page, so a few lines fill it."""
    r, w = os.pipe()
    fcntl.fcntl(w, fcntl.F_SETPIPE_SZ, PIPE_PAGE)
    return r, w


def pending_bytes(fd):
    buf = bytearray(4)
    fcntl.ioctl(fd, termios.FIONREAD, buf)
    return int.from_bytes(buf, "little")


def read_all(fd):
    chunks = []
    while True:
        data = os.read(fd, 65536)
        if not data:
            return b"".join(chunks)
        chunks.append(data)


def own_endpoints(pairs):
    """(src_port, dst_port) of both ends of every pair."""
    ends = set()
    for c, _ in pairs:
        client, server = c.getsockname()[1], c.getpeername()[1]
        ends.add((client, server))
        ends.add((server, client))
    return ends


def scan_args():
    return ["--once", "--all", "--pid", ME, "--format", "jsonl"]


class StopSignal(unittest.TestCase):
    """A stop signal while the output waits for a slow reader leaves whole lines."""

    def setUp(self):
        # About 60 lines of JSON: many times what the pipe holds.
        self.lst, self.pairs = open_pairs(30)

    def tearDown(self):
        close_all(self.lst, self.pairs)

    def wait_blocked(self, proc, fd):
        """Until the program stops adding to the pipe while still running."""
        last, stable = -1, 0
        deadline = time.monotonic() + 30
        while stable < 5:
            self.assertLess(time.monotonic(), deadline, "output never stalled")
            self.assertIsNone(proc.poll(), "the run ended before the pipe filled")
            now = pending_bytes(fd)
            stable = stable + 1 if now == last and now > 0 else 0
            last = now
            time.sleep(0.1)

    def test_whole_lines_after_stop_signal(self):
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            for read_first in (0, 1000, 5000):
                with self.subTest(signal=sig.name, read_first=read_first):
                    r, w = small_pipe()
                    try:
                        # Default SIGINT even when our own parent ignores it.
                        proc = subprocess.Popen([BIN, *scan_args()], stdout=w, stderr=subprocess.PIPE,
                                                stdin=subprocess.DEVNULL,
                                                preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
                        os.close(w)
                        got = b""
                        if read_first:
                            self.wait_blocked(proc, r)
                            while len(got) < read_first:
                                got += os.read(r, read_first - len(got))
                        self.wait_blocked(proc, r)
                        proc.send_signal(sig)
                        self.assertEqual(proc.wait(timeout=30), -sig)
                        self.assertEqual(proc.stderr.read(), b"")
                        proc.stderr.close()
                        got += read_all(r)
                    finally:
                        os.close(r)
                    self.assertTrue(got.endswith(b"\n"), got[-200:])
                    lines = got.decode().splitlines()
                    self.assertGreater(len(lines), 0)
                    for line in lines:
                        self.assertEqual(json.loads(line)["pid"], ME)


    def test_terminal_that_stops_reading_does_not_hold_a_stop_signal(self):
        # Some 800 lines: more than a terminal holds unread, so the write
        # blocks partway, as for a hung ssh session.
        lst, pairs = open_pairs(400)
        try:
            for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
                with self.subTest(signal=sig.name):
                    master, slave = os.openpty()
                    proc = None
                    try:
                        proc = subprocess.Popen([BIN, *scan_args()], stdout=slave, stderr=subprocess.DEVNULL,
                                                stdin=subprocess.DEVNULL,
                                                preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
                        os.close(slave)
                        self.wait_blocked(proc, master)
                        proc.send_signal(sig)
                        # Never read: it still ends, by the signal (a second is promised; a busy machine gets more).
                        self.assertEqual(proc.wait(timeout=10), -sig)
                    finally:
                        if proc is not None and proc.poll() is None:
                            proc.kill()
                            proc.wait()
                        os.close(master)
        finally:
            close_all(lst, pairs)


class VanishedReader(unittest.TestCase):
    def test_quiet_run_ends_after_head(self):
        # Nothing but the banner is ever printed: only polling standard
        # output can tell that head has gone.
        lst = listener()
        try:
            monitor = subprocess.Popen([BIN, "--interval", "100", "--dst-port", str(lst.getsockname()[1])],
                                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            head = subprocess.Popen(["head", "-1"], stdin=monitor.stdout, stdout=subprocess.PIPE)
            monitor.stdout.close()
            first, _ = head.communicate(timeout=30)
            try:
                status = monitor.wait(timeout=30)
            except subprocess.TimeoutExpired:
                monitor.kill()
                monitor.wait()
                self.fail("still running long after its reader left")
            self.assertTrue(first.startswith(b"SOCKVANE "), first)
            self.assertEqual(status, -signal.SIGPIPE)
            self.assertEqual(monitor.stderr.read(), b"")
            monitor.stderr.close()
        finally:
            lst.close()

    def test_other_write_errors_are_reported(self):
        cases = [
            ("/dev/full", "exec \"$0\" --once >/dev/full", "No space left on device"),
            ("closed", "exec \"$0\" --once >&-", "Bad file descriptor"),
            # Polling loads the short-lived layers first (the tracer, as root):
            # their descriptors must not take the closed stream's number.
            ("closed, polling", "exec \"$0\" --interval 100 >&-", "Bad file descriptor"),
        ]
        for name, script, reason in cases:
            with self.subTest(name):
                p = subprocess.run(["sh", "-c", script, BIN], stdin=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE, timeout=60)
                self.assertEqual(p.returncode, 1)
                self.assertEqual(p.stderr.decode(), f"sockvane: write error: {reason}\n")


class NonBlockingOutput(unittest.TestCase):
    def test_slow_reader_gets_every_line(self):
        lst, pairs = open_pairs(30)
        try:
            r, w = small_pipe()
            os.set_blocking(w, False)
            got = []

            def slow_reader():
                while True:
                    data = os.read(r, 512)
                    if not data:
                        return
                    got.append(data)
                    time.sleep(0.005)

            reader = threading.Thread(target=slow_reader)
            reader.start()
            try:
                p = subprocess.run([BIN, *scan_args()], stdin=subprocess.DEVNULL, stdout=w,
                                   stderr=subprocess.PIPE, timeout=120)
            finally:
                os.close(w)
                reader.join(timeout=60)
                os.close(r)
            self.assertEqual(p.stderr, b"")
            self.assertEqual(p.returncode, 0)
            events = [json.loads(line) for line in b"".join(got).decode().splitlines()]
            seen = {(e["src_port"], e["dst_port"]) for e in events if e["pid"] == ME}
            self.assertEqual(seen, own_endpoints(pairs))
        finally:
            close_all(lst, pairs)


class AllowlistFiles(unittest.TestCase):
    def test_anything_that_reads_but_a_directory(self):
        lst, pairs = open_pairs(1)
        client_port = pairs[0][0].getsockname()[1]
        d = tempfile.mkdtemp(prefix="sockvane-e2e-")
        fifo = os.path.join(d, "fifo")
        os.mkfifo(fifo)
        sock_path = os.path.join(d, "sock")
        unix = socket.socket(socket.AF_UNIX)
        unix.bind(sock_path)
        huge = os.path.join(d, "huge")
        with open(huge, "wb") as f:
            f.truncate(300 << 20)  # sparse: no disk, no time
        scan = [BIN, *scan_args(), "--dst-port", str(lst.getsockname()[1])]
        too_large = 'Unable to read file "{}": larger than 256 MiB'
        # (name, command, the list's writer or None, error or None, our row kept)
        cases = [
            ("empty device", [*scan, "--allowlist", "/dev/null"], None, None, True),
            ("process substitution", ["bash", "-c", 'exec "$@" --allowlist <(printf "127.0.0.1\\n")', "-", *scan],
             None, None, False),
            ("FIFO, written once read", [*scan, "--allowlist", fifo], ["sh", "-c", 'echo 127.0.0.1 >"$0"', fifo],
             None, False),
            ("endless device", [*scan, "--allowlist", "/dev/zero"], None, too_large.format("/dev/zero"), None),
            ("endless random", [*scan, "--allowlist", "/dev/urandom"], None, too_large.format("/dev/urandom"), None),
            ("sparse file", [*scan, "--allowlist", huge], None, too_large.format(huge), None),
            ("directory", [*scan, "--allowlist", d], None, f'Unable to read file "{d}": Is a directory', None),
            ("socket", [*scan, "--allowlist", sock_path], None,
             f'Unable to open file "{sock_path}": No such device or address', None),
        ]
        try:
            for name, cmd, writer, error, kept in cases:
                with self.subTest(name):
                    w = subprocess.Popen(writer) if writer else None
                    try:
                        p = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
                    finally:
                        if w is not None:
                            if w.poll() is None:
                                w.kill()
                            w.wait()
                    if error is not None:
                        self.assertEqual((p.returncode, p.stdout), (2, b""))
                        self.assertEqual(p.stderr.decode(), f"sockvane: allowlist: {error}\n")
                        continue
                    self.assertEqual((p.returncode, p.stderr), (0, b""))
                    mine = [e for e in jsonl(p.stdout) if e["src_port"] == client_port]
                    self.assertEqual(len(mine), 1 if kept else 0, p.stdout)
        finally:
            close_all(lst, pairs)
            unix.close()
            for name in (fifo, sock_path, huge):
                os.unlink(name)
            os.rmdir(d)


# nanosleep and clock_nanosleep, the calls the program sleeps in, and poll and
# ppoll, in which it waits for socket-destroy notifications during its pause.
SLEEP_CALLS = {"x86_64": {"35", "230", "7", "271"}, "aarch64": {"101", "115", "73"}}.get(os.uname().machine, set())


def while_sleeping(pid, action):
    """Runs `action` while `pid` is stopped in its pause between polls, so a
    change of its limits cannot fall in the middle of a poll."""
    for _ in range(500):
        os.kill(pid, signal.SIGSTOP)
        try:
            while open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()[0] != "T":
                time.sleep(0.001)
            with open(f"/proc/{pid}/syscall") as f:
                call = f.read().split()[0]
            if call in SLEEP_CALLS:
                action()
                return
        finally:
            os.kill(pid, signal.SIGCONT)
        time.sleep(0.01)
    raise AssertionError("never caught the program in its pause")


class UnreadableTable(unittest.TestCase):
    """With no descriptor left, neither netlink nor /proc/net can be read."""

    FAILING = "sockvane: could not read the socket table"
    RECOVERED = "sockvane: socket table readable again"

    @unittest.skipUnless(SLEEP_CALLS, "sleep call numbers unknown for this machine")
    def test_said_once_each_way_and_nothing_false(self):
        lst = listener()
        kept = connect_pair(lst)
        dropped = connect_pair(lst)
        later = None
        m = Monitor(["--interval", "100", "--all", "--pid", ME, "--events", "new,closed", "--format", "jsonl"])
        try:
            kept_ends = own_endpoints([kept])
            dropped_port = dropped[0].getsockname()[1]
            m.wait_for(lambda e: isinstance(e, dict) and e["src_port"] == dropped_port)
            _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
            while_sleeping(m.proc.pid, lambda: resource.prlimit(m.proc.pid, resource.RLIMIT_NOFILE, (3, hard)))
            m.wait_err(self.FAILING)
            for s in dropped:
                s.close()
            # Polls go on failing while the connection is gone.
            time.sleep(0.5)
            resource.prlimit(m.proc.pid, resource.RLIMIT_NOFILE, (1024, hard))
            m.wait_err(self.RECOVERED)
            m.wait_for(lambda e: isinstance(e, dict) and e["event"] == "closed" and e["src_port"] == dropped_port)
            later = connect_pair(lst)
            later_port = later[0].getsockname()[1]
            m.wait_for(lambda e: isinstance(e, dict) and e["src_port"] == later_port)
        finally:
            err = m.stop()
            for s in kept + (later or ()):
                s.close()
            lst.close()
        self.assertEqual(err.decode().splitlines(), [self.FAILING, self.RECOVERED])
        closed = [e for e in m.seen if isinstance(e, dict) and e["event"] == "closed"]
        self.assertFalse({(e["src_port"], e["dst_port"]) for e in closed} & kept_ends, closed)


if __name__ == "__main__":
    unittest.main()
