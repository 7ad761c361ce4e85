#!/usr/bin/env python3
"""Foreign loopback sockets held by processes with hostile names, for running
the tests as on a busy shared host.

  hostile_load.py --duration 900 --conns 20

Starts one process per hostile name: a copy of sleep(1) whose file name
holds control bytes, invalid UTF-8, C1 controls, CSV and terminal syntax. Each
holds --conns loopback TCP connections (both ends), a listener and a
connected UDP socket, on random ports of 127.0.0.0/8 and ::1, and ends by
itself after --duration seconds (sleep's own deadline, and PR_SET_PDEATHSIG
when this script ends). Prints "ready" and the PIDs once everything is held;
on SIGTERM or SIGINT ends its own children, by PID.

With --hoard P, it also starts P processes that each hold --fds descriptors
(of /dev/null, the descriptor limit raised for them) and wake every --wake
milliseconds, so that no look may pass them over as unchanged: the load of an
attacker who hides a connection among tens of thousands of descriptors.
"""

import argparse
import ctypes
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

NAMES = [
    b"esc\x1b[2J\x1b]0;pwned\x07",
    b"osc52\x1b]52;c;aGk=\x07",
    b"\xff\xfe\xfd-not-utf8",
    b"cut\xc3\x28\xe2\x82",
    b"c1\xc2\x9b31m\x9d0;x\x9c",
    b"line\nbreak\rcr\ttab",
    b"=HYPERLINK(\"x\")",
    b"-cmd|' -C calc'!A0",
    b"quote\"comma,semi;",
    b"del\x7fbell\x07nul-ish\x01",
]

PR_SET_PDEATHSIG = 1


def hold(name_path, argv0, conns, duration):
    """In the child: open the sockets, then become the hostile sleep."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    keep = []
    for _ in range(conns):
        family, host = random.choice([(socket.AF_INET, "127.0.0.1"),
                                      (socket.AF_INET, "127.%d.%d.%d" % (random.randrange(256),
                                                                        random.randrange(256),
                                                                        random.randrange(1, 255))),
                                      (socket.AF_INET6, "::1")])
        lst = socket.socket(family, socket.SOCK_STREAM)
        try:
            lst.bind((host, 0))
        except OSError:
            lst.close()
            continue
        lst.listen(4)
        c = socket.socket(family, socket.SOCK_STREAM)
        c.connect(lst.getsockname()[:2])
        s, _ = lst.accept()
        keep += [lst, c, s]
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.bind(("127.0.0.1", 0))
    u.connect(("127.0.0.1", random.randrange(1024, 65535)))
    keep.append(u)
    for sock in keep:
        sock.set_inheritable(True)
    os.execv(name_path, [argv0, str(int(duration))])


# A hoarder: raises its descriptor limit, opens N descriptors, says "ready",
# wakes every WAKE ms until its deadline or until its parent is gone.
HOARD = r"""
import ctypes, os, resource, signal, sys, time
n, wake, duration = int(sys.argv[1]), float(sys.argv[2]) / 1000.0, float(sys.argv[3])
ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
want = n + 64 if hard == resource.RLIM_INFINITY else min(n + 64, hard)
resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))
first = os.open("/dev/null", os.O_RDONLY)
fds = [first] + [os.dup(first) for _ in range(min(n, want - 32) - 1)]
print("ready", len(fds), flush=True)
deadline = time.monotonic() + duration
while time.monotonic() < deadline:
    time.sleep(wake)
"""


class Hoarders:
    """`count` processes holding `fds` descriptors each, ended by PID."""

    def __init__(self, count, fds, wake_ms, duration, user=None):
        self.procs = []
        prefix = [] if user is None else ["setpriv", "--reuid", str(user), "--regid", str(user),
                                          "--clear-groups"]
        try:
            for _ in range(count):
                p = subprocess.Popen(prefix + [sys.executable, "-c", HOARD, str(fds), str(wake_ms),
                                               str(min(max(duration, 1), 3600))],
                                     stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
                self.procs.append(p)
                line = p.stdout.readline().split()
                if not line or line[0] != "ready":
                    raise RuntimeError("hoarder did not get ready (%r)" % line)
                self.held = int(line[1])
        except BaseException:
            self.stop()
            raise

    @property
    def pids(self):
        return [p.pid for p in self.procs]

    def stop(self):
        for p in self.procs:
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
        for p in self.procs:
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--duration", type=float, default=900, help="seconds, at most 3600")
    ap.add_argument("--conns", type=int, default=20, help="connections per process, at most 200")
    ap.add_argument("--hoard", type=int, default=0, help="processes holding many descriptors, at most 20")
    ap.add_argument("--fds", type=int, default=19000, help="descriptors per hoarding process")
    ap.add_argument("--wake", type=float, default=50, help="hoarders wake every WAKE ms")
    args = ap.parse_args()
    duration = min(max(args.duration, 1), 3600)
    conns = min(max(args.conns, 1), 200)
    sleep = shutil.which("sleep")
    work = tempfile.mkdtemp(prefix="hostile-load-")
    children = []

    def stop(*_):
        for pid in children:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass

    hoarders = Hoarders(min(max(args.hoard, 0), 20), args.fds, args.wake, duration)
    children.extend(hoarders.pids)
    signal.signal(signal.SIGTERM, lambda *a: (stop(), sys.exit(0)))
    signal.signal(signal.SIGINT, lambda *a: (stop(), sys.exit(0)))
    try:
        for i, name in enumerate(NAMES):
            path = os.path.join(work.encode(), name)
            shutil.copy(sleep, path)
            os.chmod(path, 0o755)
            pid = os.fork()
            if pid == 0:
                try:
                    hold(path, name, conns, duration)
                finally:
                    os._exit(1)
            children.append(pid)
        time.sleep(0.5)
        print("ready", *children, flush=True)
        deadline = time.monotonic() + duration + 5
        while children and time.monotonic() < deadline:
            pid, _ = os.waitpid(-1, 0)
            if pid in children:
                children.remove(pid)
    finally:
        stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
