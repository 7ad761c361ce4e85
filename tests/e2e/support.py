"""Shared helpers for the end-to-end tests: the binary, loopback sockets, runs."""

import json
import os
import queue
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time

BIN = os.environ.get("SOCKVANE_BIN", "sockvane")
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
# The service's rights for the tracer: its walks and state hook need the
# first two, its connect and release hooks the third.
TRACER_CAPS = ("bpf", "perfmon", "net_admin")


def as_nobody(caps=()):
    """setpriv arguments for uid 65534, holding CAPS as ambient capabilities."""
    if not caps:
        return NOBODY
    plus = ",".join("+" + c for c in caps)
    return [*NOBODY, "--inh-caps", plus, "--ambient-caps", plus]


def is_root():
    return os.geteuid() == 0


def exe_name(pid):
    return os.path.basename(os.readlink(f"/proc/{pid}/exe"))


_public_bin = None


def public_binary():
    """A copy of the binary that an unprivileged user can run."""
    global _public_bin
    if _public_bin is None:
        d = tempfile.mkdtemp(prefix="sockvane-e2e-")
        os.chmod(d, 0o755)
        _public_bin = os.path.join(d, "sockvane")
        shutil.copy2(BIN, _public_bin)
        os.chmod(_public_bin, 0o755)
    return _public_bin


def run(args, timeout=60, unprivileged=False):
    cmd = ([*NOBODY, public_binary()] if unprivileged else [BIN]) + list(args)
    return subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)


def jsonl(data):
    return [json.loads(line) for line in data.decode(errors="replace").splitlines() if line.strip()]


def listener(family=socket.AF_INET, address="127.0.0.1", kind=socket.SOCK_STREAM):
    s = socket.socket(family, kind)
    s.bind((address, 0))
    if kind == socket.SOCK_STREAM:
        s.listen(128)
    return s


def connect_pair(lst):
    family = lst.family
    c = socket.socket(family, socket.SOCK_STREAM)
    c.connect(lst.getsockname()[:2])
    srv, _ = lst.accept()
    return c, srv


class Monitor:
    """A running sockvane whose standard output is read line by line."""

    def __init__(self, args, unprivileged=False, env=None, caps=()):
        cmd = [*as_nobody(caps), public_binary()] if unprivileged or caps else [BIN]
        self.proc = subprocess.Popen([*cmd, *args], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self.lines = queue.Queue()
        self.seen = []
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self._err = []
        self._err_reader = threading.Thread(target=self._read_err, daemon=True)
        self._err_reader.start()

    def _read(self):
        # Other programs' process names may not be valid UTF-8.
        for line in self.proc.stdout:
            self.lines.put(line.decode(errors="replace").rstrip("\n"))

    def _read_err(self):
        for line in self.proc.stderr:
            self._err.append(line)

    def err_lines(self):
        """Standard error so far, one decoded line per entry."""
        return [line.decode(errors="replace").rstrip("\n") for line in list(self._err)]

    def wait_err(self, text, timeout=15):
        deadline = time.monotonic() + timeout
        while text not in self.err_lines():
            if time.monotonic() > deadline:
                raise AssertionError(f"no {text!r} on standard error within {timeout}s: {self.err_lines()}")
            time.sleep(0.05)

    def wait_for(self, predicate, timeout=15):
        """Returns the first line (JSON-decoded when it parses) that satisfies predicate."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"no matching line within {timeout}s; seen: {self.seen[-20:]}")
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                continue
            try:
                value = json.loads(line)
            except ValueError:
                value = line
            self.seen.append(value)
            if predicate(value):
                return value

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=10)
        self._reader.join(timeout=5)
        while not self.lines.empty():
            line = self.lines.get()
            try:
                self.seen.append(json.loads(line))
            except ValueError:
                self.seen.append(line)
        self.proc.stdout.close()
        self._err_reader.join(timeout=5)
        self.proc.stderr.close()
        return b"".join(self._err)


def public_dir_file(content: bytes, mode=0o644):
    d = tempfile.mkdtemp(prefix="sockvane-e2e-")
    os.chmod(d, 0o755)
    path = os.path.join(d, "allow.txt")
    with open(path, "wb") as f:
        f.write(content)
    os.chmod(path, mode)
    return path



def ss_owners(src_port, dst_port):
    """PIDs that hold the loopback TCP endpoint src_port -> dst_port as `ss -tanp`
    shows them (empty when nobody does), or None when ss lists no such endpoint."""
    out = subprocess.run(["ss", "-Htanp"], capture_output=True, check=True).stdout
    for line in out.decode(errors="replace").splitlines():
        fields = line.split()
        if len(fields) < 5:
            continue
        local, peer = fields[3].rsplit(":", 1), fields[4].rsplit(":", 1)
        if (local[1], peer[1]) != (str(src_port), str(dst_port)) or not local[0].startswith("127."):
            continue
        return sorted(int(p) for p in re.findall(r"pid=(\d+)", line))
    return None
