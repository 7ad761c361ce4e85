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
"""

import argparse
import ctypes
import os
import random
import shutil
import signal
import socket
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


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--duration", type=float, default=900, help="seconds, at most 3600")
    ap.add_argument("--conns", type=int, default=20, help="connections per process, at most 200")
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
