#!/usr/bin/env python3
"""Loopback TCP load generator for the sockvane benchmarks and the soak.

Holds N connections between P client processes and S server processes on
127.0.0.0/8, optionally opens and closes R further connections per second
(each living at least L ms), and stops by itself at the deadline.

  loadgen.py --held 10000 --clients 100 --duration 60 --log /tmp/conns.jsonl
  loadgen.py --held 5000 --clients 50 --rate 200 --life 500 --duration 600

It prints "ready" on standard output once every held connection is
established at both ends (the churn starts then), and "done" after the
deadline, when every connection is closed and the log is written.

Safety: it only ever binds and connects to loopback addresses; every process
has a hard deadline (a SIGALRM watchdog a little after the planned end) and
ends when its parent ends (PR_SET_PDEATHSIG and an end-of-file on its
control pipe). The parent only signals its own children, by PID.

The log (--log) is JSON lines: one {"type":"meta",...} line with the
listeners, the processes and their names, then one {"type":"conn",...} line
per connection with the client's and the server's PID, process name,
address and port, and the open and close times of each end (seconds since
the epoch, as floats).
"""

import argparse
import ctypes
import errno
import heapq
import json
import os
import random
import resource
import selectors
import signal
import socket
import struct
import sys
import time

IP_BIND_ADDRESS_NO_PORT = getattr(socket, "IP_BIND_ADDRESS_NO_PORT", 24)
PR_SET_PDEATHSIG = 1
SHUTDOWN_GRACE = 3.0      # servers keep reading this long after the deadline
WATCHDOG_EXTRA = 30       # seconds after the planned end: hard stop
HELD_CONNECT_TRIES = 5


def process_name():
    """The name sockvane derives from /proc/<pid>/exe: the part after the
    last '/', '\\' or ':'."""
    try:
        path = os.readlink("/proc/self/exe")
    except OSError:
        return "unknown"
    cut = max(path.rfind("/"), path.rfind("\\"), path.rfind(":"))
    return path[cut + 1:]


def set_parent_death_signal(sig):
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(PR_SET_PDEATHSIG, int(sig), 0, 0, 0)
    except (OSError, AttributeError):
        pass


def raise_fd_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard == resource.RLIM_INFINITY:
        hard = 1 << 20
    if soft != hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return hard


def is_loopback(addr):
    return addr.startswith("127.")


class Plan:
    """Who listens where and which listener each held connection uses."""

    def __init__(self, args):
        self.args = args
        self.listeners = []     # (index, server index, address, port)
        for i in range(args.listeners):
            addr = "127.0.0.%d" % (1 + i % args.dst_addrs)
            self.listeners.append((i, i % args.servers, addr, args.base_port + i))
        self.src_addrs = ["127.0.1.%d" % (1 + i) for i in range(args.src_addrs)]

    def held_for_client(self, c):
        """Listener indices of the held connections of client c."""
        a = self.args
        return [j % a.listeners for j in range(c, a.held, a.clients)]

    def held_for_server(self, s):
        a = self.args
        return sum(1 for j in range(a.held) if (j % a.listeners) % a.servers == s)

    def source_for_client(self, c):
        return self.src_addrs[c % len(self.src_addrs)]


class Child:
    """Common part of a client or server process."""

    def __init__(self, role, index, plan, ctl_r, status_w, deadline, logdir):
        self.role = role
        self.index = index
        self.plan = plan
        self.args = plan.args
        self.ctl_r = ctl_r
        self.status_w = status_w
        self.deadline = deadline
        self.logdir = logdir
        self.records = []
        self.sel = selectors.DefaultSelector()
        self.stop = False
        self.pid = os.getpid()
        self.name = process_name()
        self.ctl_buf = b""

    def status(self, text):
        try:
            os.write(self.status_w, (text + "\n").encode())
        except OSError:
            self.stop = True

    def install_signals(self):
        set_parent_death_signal(signal.SIGTERM)
        # Hard watchdog: the default action of SIGALRM ends the process.
        signal.signal(signal.SIGALRM, signal.SIG_DFL)
        signal.alarm(max(1, int(self.deadline - time.time()) + WATCHDOG_EXTRA))
        signal.signal(signal.SIGTERM, self.on_term)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        if os.getppid() == 1:
            self.stop = True

    def on_term(self, signum, frame):
        self.stop = True

    def read_control(self):
        """Returns the commands the parent sent; end of file means the
        parent is gone."""
        try:
            data = os.read(self.ctl_r, 4096)
        except BlockingIOError:
            return []
        except OSError:
            data = b""
        if not data:
            self.stop = True
            return []
        self.ctl_buf += data
        lines = self.ctl_buf.split(b"\n")
        self.ctl_buf = lines.pop()
        return [l.decode() for l in lines]

    def write_records(self):
        path = os.path.join(self.logdir, "part-%s-%d.jsonl" % (self.role, self.pid))
        with open(path, "w") as f:
            for r in self.records:
                f.write(json.dumps(r, separators=(",", ":")) + "\n")


class Server(Child):
    def run(self):
        self.install_signals()
        expected = self.plan.held_for_server(self.index)
        conns = {}      # fd -> (socket, record)
        for (i, s, addr, port) in self.plan.listeners:
            if s != self.index:
                continue
            assert is_loopback(addr)
            ls = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                ls.bind((addr, port))
            except OSError as e:
                self.status("fail bind %s:%d: %s" % (addr, port, e.strerror))
                return 1
            ls.listen(4096)
            ls.setblocking(False)
            self.sel.register(ls, selectors.EVENT_READ, "listen")
        self.sel.register(self.ctl_r, selectors.EVENT_READ, "ctl")
        self.status("listening")
        accepted = 0
        reported = False
        if expected == 0:
            self.status("accepted 0")
            reported = True
        end = self.deadline + SHUTDOWN_GRACE
        while not self.stop:
            now = time.time()
            if now >= end:
                break
            if now >= self.deadline + 0.3 and not conns:
                break   # every client end has closed
            for key, ev in self.sel.select(min(self.args.wake, end - now)):
                tag = key.data
                if tag == "listen":
                    for _ in range(512):
                        try:
                            cs, peer = key.fileobj.accept()
                        except (BlockingIOError, InterruptedError):
                            break
                        except OSError as e:
                            if e.errno in (errno.EMFILE, errno.ENFILE):
                                self.status("fail accept: %s" % e.strerror)
                                self.stop = True
                            break
                        cs.setblocking(False)
                        local = cs.getsockname()
                        rec = {"pid": self.pid, "laddr": local[0], "lport": local[1],
                               "raddr": peer[0], "rport": peer[1],
                               "open": time.time(), "close": None}
                        conns[cs.fileno()] = (cs, rec)
                        self.sel.register(cs, selectors.EVENT_READ, "conn")
                        accepted += 1
                    if not reported and accepted >= expected:
                        self.status("accepted %d" % accepted)
                        reported = True
                elif tag == "conn":
                    cs = key.fileobj
                    try:
                        data = cs.recv(4096)
                    except (BlockingIOError, InterruptedError):
                        continue
                    except OSError:
                        data = b""
                    if data:
                        continue
                    self.sel.unregister(cs)
                    _, rec = conns.pop(cs.fileno())
                    rec["close"] = time.time()
                    cs.close()
                    self.records.append(rec)
                elif tag == "ctl":
                    self.read_control()
        now = time.time()
        for fd, (cs, rec) in list(conns.items()):
            rec["close"] = now
            cs.close()
            self.records.append(rec)
        self.write_records()
        return 0


class Client(Child):
    def connect_start(self, listener_index):
        _, _, addr, port = self.plan.listeners[listener_index]
        assert is_loopback(addr)
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        try:
            s.setsockopt(socket.IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, 1)
            s.bind((self.plan.source_for_client(self.index), 0))
        except OSError:
            pass
        err = s.connect_ex((addr, port))
        if err not in (0, errno.EINPROGRESS):
            s.close()
            return None, err
        return s, 0

    def connect_done(self, s):
        err = s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
        if err:
            return None, err
        local = s.getsockname()
        peer = s.getpeername()
        return {"pid": self.pid, "laddr": local[0], "lport": local[1],
                "raddr": peer[0], "rport": peer[1], "open": time.time(),
                "close": None}, 0

    def close_conn(self, s, rec, mode=None):
        if (mode or self.args.close) == "rst":
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        rec["close"] = time.time()
        s.close()
        self.records.append(rec)

    def hold(self):
        """Opens the held connections, a bounded number at a time."""
        todo = [(li, 0) for li in self.plan.held_for_client(self.index)]
        todo.reverse()
        inflight = {}
        held = []
        while (todo or inflight) and not self.stop:
            if time.time() >= self.deadline:
                self.status("fail held connections not established before the deadline")
                return None
            while todo and len(inflight) < 64:
                li, tries = todo.pop()
                s, err = self.connect_start(li)
                if s is None:
                    if tries + 1 >= HELD_CONNECT_TRIES:
                        self.status("fail connect: %s" % os.strerror(err))
                        return None
                    todo.insert(0, (li, tries + 1))
                    time.sleep(0.05)
                    continue
                inflight[s.fileno()] = (s, li, tries)
                self.sel.register(s, selectors.EVENT_WRITE, "connect")
            for key, ev in self.sel.select(0.5):
                if key.data != "connect":
                    continue
                s = key.fileobj
                _, li, tries = inflight.pop(s.fileno())
                self.sel.unregister(s)
                rec, err = self.connect_done(s)
                if rec is None:
                    s.close()
                    if tries + 1 >= HELD_CONNECT_TRIES:
                        self.status("fail connect: %s" % os.strerror(err))
                        return None
                    todo.insert(0, (li, tries + 1))
                    continue
                rec["kind"] = "held"
                held.append((s, rec))
        return held

    def run(self):
        self.install_signals()
        os.set_blocking(self.ctl_r, False)
        held = self.hold()
        if held is None:
            self.write_records()
            return 1
        self.status("connected %d" % len(held))
        self.sel.register(self.ctl_r, selectors.EVENT_READ, "ctl")
        # Wait for "go" (every held connection accepted everywhere).
        go = False
        while not go and not self.stop and time.time() < self.deadline:
            for key, ev in self.sel.select(min(self.args.wake, max(0.0, self.deadline - time.time()))):
                if key.data == "ctl" and "go" in self.read_control():
                    go = True
        rate = self.args.rate / self.args.clients if go else 0.0
        life = self.args.life / 1000.0
        rng = random.Random(self.pid)
        next_open = time.time() + (rng.random() / rate if rate > 0 else 0)
        closing = []        # heap of (close time, seq, socket, record)
        inflight = {}       # fd -> (socket, planned life)
        seq = 0
        listeners = len(self.plan.listeners)
        self.churn_failed = 0
        while not self.stop:
            now = time.time()
            if now >= self.deadline:
                break
            # No churn connection opens that could not live its full span.
            while rate > 0 and next_open <= now and now + 1.5 * life < self.deadline:
                next_open += 1.0 / rate
                li = rng.randrange(listeners)
                s, err = self.connect_start(li)
                if s is None:
                    self.churn_failed += 1
                    continue
                inflight[s.fileno()] = (s, life * (1.0 + 0.5 * rng.random()))
                self.sel.register(s, selectors.EVENT_WRITE, "connect")
            if rate > 0 and now + 1.5 * life >= self.deadline:
                rate = 0.0
            while closing and closing[0][0] <= now:
                _, _, s, rec = heapq.heappop(closing)
                self.close_conn(s, rec)
            wake = self.deadline
            if rate > 0:
                wake = min(wake, next_open)
            if closing:
                wake = min(wake, closing[0][0])
            for key, ev in self.sel.select(max(0.0, min(self.args.wake, wake - time.time()))):
                if key.data == "ctl":
                    self.read_control()
                    continue
                s = key.fileobj
                _, span = inflight.pop(s.fileno())
                self.sel.unregister(s)
                rec, err = self.connect_done(s)
                if rec is None:
                    s.close()
                    self.churn_failed += 1
                    continue
                rec["kind"] = "churn"
                seq += 1
                heapq.heappush(closing, (rec["open"] + span, seq, s, rec))
        for s, _ in inflight.values():
            s.close()
        final = self.args.final_close or self.args.close
        for _, _, s, rec in closing:
            self.close_conn(s, rec, final)
        for s, rec in held:
            self.close_conn(s, rec, final)
        self.write_records()
        return 0


def merge_logs(logdir, out_path, meta):
    clients, servers = [], []
    for name in os.listdir(logdir):
        if not name.startswith("part-"):
            continue
        with open(os.path.join(logdir, name)) as f:
            for line in f:
                r = json.loads(line)
                (clients if name.startswith("part-client-") else servers).append(r)
        os.unlink(os.path.join(logdir, name))
    by_key = {}
    for r in servers:
        by_key.setdefault((r["raddr"], r["rport"], r["laddr"], r["lport"]), []).append(r)
    for lst in by_key.values():
        lst.sort(key=lambda r: r["open"])
    names = {int(p): v["name"] for p, v in meta["processes"].items()}
    unmatched = 0
    with open(out_path, "w") as f:
        f.write(json.dumps(meta, separators=(",", ":")) + "\n")
        for c in sorted(clients, key=lambda r: r["open"]):
            key = (c["laddr"], c["lport"], c["raddr"], c["rport"])
            cand = by_key.get(key, [])
            srv = None
            # The server end accepted within a few seconds of the client's
            # connect; take the earliest such record not used yet.
            for i, s in enumerate(cand):
                if abs(s["open"] - c["open"]) < 5.0:
                    srv = cand.pop(i)
                    break
            if srv is None:
                unmatched += 1
            rec = {"type": "conn", "kind": c.get("kind"),
                   "client_pid": c["pid"], "client_process": names.get(c["pid"], "unknown"),
                   "client_addr": c["laddr"], "client_port": c["lport"],
                   "client_open": c["open"], "client_close": c["close"],
                   "server_pid": srv["pid"] if srv else None,
                   "server_process": names.get(srv["pid"], "unknown") if srv else None,
                   "server_addr": c["raddr"], "server_port": c["rport"],
                   "server_open": srv["open"] if srv else None,
                   "server_close": srv["close"] if srv else None,
                   "open": min(c["open"], srv["open"]) if srv else c["open"],
                   "close": max(c["close"], srv["close"]) if srv else c["close"]}
            f.write(json.dumps(rec, separators=(",", ":")) + "\n")
    leftovers = sum(len(v) for v in by_key.values())
    return len(clients), unmatched, leftovers


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--held", type=int, default=1000, help="connections held for the whole run")
    ap.add_argument("--clients", type=int, default=10, help="client processes")
    ap.add_argument("--servers", type=int, default=0,
                    help="server processes (default: enough for the open-file limit)")
    ap.add_argument("--listeners", type=int, default=16, help="listening sockets")
    ap.add_argument("--dst-addrs", type=int, default=4, help="listener addresses 127.0.0.1..n")
    ap.add_argument("--src-addrs", type=int, default=4, help="client addresses 127.0.1.1..n")
    ap.add_argument("--base-port", type=int, default=29100, help="first listener port")
    ap.add_argument("--rate", type=float, default=0.0, help="churn: connections opened and closed per second")
    ap.add_argument("--life", type=float, default=500.0, help="churn: least life of a connection, ms")
    ap.add_argument("--close", choices=("fin", "rst"), default="fin",
                    help="how clients close: orderly (FIN) or abortive (RST, no TIME_WAIT)")
    ap.add_argument("--final-close", choices=("fin", "rst"),
                    help="how everything still open is closed at the deadline (default: as --close)")
    ap.add_argument("--duration", type=float, default=60.0,
                    help="seconds from start to the deadline")
    ap.add_argument("--log", help="JSON lines log of every connection")
    ap.add_argument("--wake", type=float, default=1.0,
                    help="every process wakes at least this often, seconds")
    args = ap.parse_args()

    if args.held < 0 or args.clients < 1 or args.listeners < 1 or args.rate < 0:
        ap.error("bad numbers")
    if not (1 <= args.dst_addrs <= 254 and 1 <= args.src_addrs <= 254):
        ap.error("--dst-addrs and --src-addrs take 1..254")
    if args.base_port < 1024 or args.base_port + args.listeners > 65535:
        ap.error("listener ports out of range")
    if args.duration <= 0 or args.duration > 24 * 3600:
        ap.error("--duration takes 0 < seconds <= 86400")

    limit = raise_fd_limit()
    per_process = limit - 100
    if args.servers <= 0:
        # Held connections plus the churn in flight, with headroom.
        need = args.held + int(args.rate * args.life / 1000.0 * 2) + 200
        args.servers = max(2, -(-need * 5 // (per_process * 4)))
    args.servers = min(args.servers, args.listeners)
    per_client = -(-args.held // args.clients) + int(args.rate / args.clients * args.life / 500.0) + 50
    if per_client > per_process:
        ap.error("too many connections per client process for the open-file limit %d" % limit)

    start = time.time()
    deadline = start + args.duration
    set_parent_death_signal(signal.SIGTERM)
    original_parent = os.getppid()
    # The parent's own hard stop.
    signal.alarm(int(args.duration) + WATCHDOG_EXTRA + 10)

    logdir = None
    if args.log:
        logdir = args.log + ".parts"
        os.makedirs(logdir, exist_ok=True)
    else:
        import tempfile
        logdir = tempfile.mkdtemp(prefix="loadgen-")

    plan = Plan(args)
    children = []       # (pid, role, ctl write end, status read end)

    def spawn(role, index):
        ctl_r, ctl_w = os.pipe()
        st_r, st_w = os.pipe()
        sys.stdout.flush()
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                os.close(ctl_w)
                os.close(st_r)
                for (_, _, cw, sr) in children:
                    os.close(cw)
                    os.close(sr)
                cls = Server if role == "server" else Client
                code = cls(role, index, plan, ctl_r, st_w, deadline, logdir).run()
            except BaseException as e:   # never return into the parent's code
                try:
                    os.write(st_w, ("fail %s: %r\n" % (role, e)).encode())
                except OSError:
                    pass
            os._exit(code)
        os.close(ctl_r)
        os.close(st_w)
        children.append((pid, role, ctl_w, st_r))

    stopping = [False]

    def on_term(signum, frame):
        stopping[0] = True
    signal.signal(signal.SIGTERM, on_term)
    signal.signal(signal.SIGINT, on_term)

    def kill_children():
        for (pid, _, _, _) in children:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass

    failure = None
    sel = selectors.DefaultSelector()
    bufs = {}
    for s in range(args.servers):
        spawn("server", s)
    pending = {"listening": args.servers}

    def pump(timeout):
        nonlocal failure
        msgs = []
        for key, ev in sel.select(timeout):
            fd = key.fd
            try:
                data = os.read(fd, 4096)
            except OSError:
                data = b""
            if not data:
                sel.unregister(fd)
                continue
            bufs[fd] = bufs.get(fd, b"") + data
            lines = bufs[fd].split(b"\n")
            bufs[fd] = lines.pop()
            for l in lines:
                t = l.decode(errors="replace")
                if t.startswith("fail"):
                    failure = failure or t
                msgs.append(t)
        return msgs

    for (_, _, _, sr) in children:
        sel.register(sr, selectors.EVENT_READ)
    listening = 0
    while listening < args.servers and failure is None and not stopping[0]:
        if time.time() > deadline:
            failure = "fail servers did not start before the deadline"
            break
        listening += sum(1 for m in pump(0.5) if m == "listening")
    if failure is None and not stopping[0]:
        for c in range(args.clients):
            spawn("client", c)
            sel.register(children[-1][3], selectors.EVENT_READ)
    connected = 0
    accepted = 0
    ready = False
    while failure is None and not stopping[0]:
        now = time.time()
        if now >= deadline:
            break
        if os.getppid() != original_parent:
            stopping[0] = True
            break
        for m in pump(min(0.5, deadline - now)):
            if m.startswith("connected"):
                connected += 1
            elif m.startswith("accepted"):
                accepted += 1
        if not ready and connected == args.clients and accepted == args.servers:
            ready = True
            for (pid, role, cw, _) in children:
                if role == "client":
                    try:
                        os.write(cw, b"go\n")
                    except OSError:
                        pass
            print("ready", flush=True)
        if ready and not sel.get_map():
            break
    if failure or stopping[0]:
        kill_children()
    if not ready and failure is None and not stopping[0]:
        failure = "fail held connections not ready before the deadline"
    # Children end by themselves after the deadline; wait for them all.
    hard = time.time() + max(0.0, deadline - time.time()) + SHUTDOWN_GRACE + WATCHDOG_EXTRA
    remaining = {pid for (pid, _, _, _) in children}
    statuses = {}
    while remaining:
        try:
            pid, st = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            break
        if pid == 0:
            if time.time() > hard:
                for p in remaining:
                    try:
                        os.kill(p, signal.SIGKILL)
                    except ProcessLookupError:
                        pass
                hard = float("inf")
            if stopping[0] or failure:
                kill_children()
            pump(0.2)
            continue
        remaining.discard(pid)
        statuses[pid] = st
    for m in pump(0):
        pass
    if failure:
        print(failure, file=sys.stderr)
    bad = [p for p, st in statuses.items() if os.waitstatus_to_exitcode(st) != 0]
    if bad and not failure:
        failure = "fail %d child processes ended abnormally" % len(bad)
        print(failure, file=sys.stderr)

    meta = {"type": "meta", "start": start, "deadline": deadline, "end": time.time(),
            "held": args.held, "clients": args.clients, "servers": args.servers,
            "rate": args.rate, "life_ms": args.life, "close": args.close,
            "final_close": args.final_close or args.close,
            "listeners": [{"addr": a, "port": p, "server": s} for (_, s, a, p) in plan.listeners],
            "processes": {}}
    for (pid, role, _, _) in children:
        # Children are forked from this interpreter: same executable.
        meta["processes"][str(pid)] = {"role": role, "name": process_name()}
    meta["processes"][str(os.getpid())] = {"role": "parent", "name": process_name()}
    if args.log:
        total, unmatched, leftovers = merge_logs(logdir, args.log, meta)
        try:
            os.rmdir(logdir)
        except OSError:
            pass
        print("loadgen: %d connections logged, %d without a server end, %d server ends "
              "without a client" % (total, unmatched, leftovers), file=sys.stderr)
    else:
        for name in os.listdir(logdir):
            os.unlink(os.path.join(logdir, name))
        os.rmdir(logdir)
    if failure:
        return 1
    try:
        print("done", flush=True)
    except BrokenPipeError:
        pass        # the reader has gone; the run itself went well
    return 0


if __name__ == "__main__":
    sys.exit(main())
