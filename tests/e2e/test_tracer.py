"""The eBPF owner tracer, through its test driver: the owners of short-lived
loopback connections of every close style, as root and with the capabilities
alone; nothing from other network namespaces, PIDs as the /proc read numbers
them; a quiet refusal without rights; nothing left attached after SIGKILL."""

import json
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import support
from test_capabilities import with_caps

PROBE = os.environ.get("SOCKVANE_TRACER_PROBE", "")
CLIENT_NAME = "svtrace-client"
COUNT = 40
LIFE = 0.020

# The client side of one case, in its own process under its own image name:
# prints the local port of every connection before it ends it.
CLIENT = r"""
import os, socket, struct, sys, time
style, family, port, count, life = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5])
fam, host = (socket.AF_INET6, "::1") if family == "6" else (socket.AF_INET, "127.0.0.1")
def cookie(s):
    return struct.unpack("=Q", s.getsockopt(socket.SOL_SOCKET, 57, 8))[0]  # SO_COOKIE
if style == "client_exits":
    # The kernel closes these as the process ends, after its image is let go.
    keep = []
    for _ in range(count):
        keep.append(socket.create_connection((host, port)))
        print(cookie(keep[-1]), flush=True)
    time.sleep(life)
    os._exit(0)
for _ in range(count):
    s = socket.socket(fam, socket.SOCK_DGRAM if style == "udp" else socket.SOCK_STREAM)
    if style == "refused":
        print(cookie(s), flush=True)
        s.connect_ex((host, port))
        s.close()
        continue
    s.connect((host, port))
    if style == "udp":
        s.send(b"x")
    print(cookie(s), flush=True)
    if style == "server_closes":
        s.settimeout(5)
        s.recv(1)
    else:
        time.sleep(life)
    if style == "client_rst":
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.close()
"""


def parse(line):
    fields = dict(item.split("=", 1) for item in line.split())
    record = {key: int(fields[key]) for key in ("kind", "proto", "pid", "state", "old", "sport", "dport", "cookie")}
    record.update(src=fields["src"], dst=fields["dst"], name=bytes.fromhex(fields["name"]).decode(errors="replace"))
    return record


class Probe:
    """The test driver, its records collected as they come."""

    def __init__(self, cmd, env=None):
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env, cwd="/")
        self.first = self.proc.stdout.readline().decode().rstrip("\n")
        self.records = []
        self.tail = []
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode(errors="replace").rstrip("\n")
            if line.startswith("kind="):
                self.records.append(parse(line))
            else:
                self.tail.append(line)

    def finish(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        self.proc.wait(timeout=30)
        self._reader.join(timeout=30)
        self.proc.stdout.close()
        with self.proc.stderr:
            return self.proc.stderr.read().decode(errors="replace")

    def by_cookie(self):
        groups = {}
        for r in self.records:
            groups.setdefault(r["cookie"], []).append(r)
        return groups


def probe_copy():
    """A copy of the driver that an unprivileged user can run."""
    d = tempfile.mkdtemp(prefix="sockvane-tracer-")
    os.chmod(d, 0o755)
    path = os.path.join(d, "sockvane_tracer_probe")
    shutil.copy2(PROBE, path)
    os.chmod(path, 0o755)
    return d, path


def refusal(first):
    return first.removeprefix("tracer: off: ")


# What the service holds for the tracer, and the tracing programs' share of it.
CAPS_ALL = ("bpf", "perfmon", "net_admin")
CAPS_TRACING = ("bpf", "perfmon")
WITHOUT_CGROUP_HOOKS = "tracer: active (without the connect and release hooks: not permitted: they need CAP_NET_ADMIN)"


def nobody_probe(caps, args):
    """The driver run as uid 65534 holding CAPS, and the folder of its copy."""
    d, path = probe_copy()
    return d, [*with_caps(caps), path, *args]


def root_can_load():
    first = subprocess.run([PROBE, "0"], capture_output=True, timeout=60).stdout.decode().splitlines()[0]
    if first == "tracer: off: not built in":
        raise unittest.SkipTest("this build has no tracer")
    if first != "tracer: active":
        raise unittest.SkipTest(f"this host refuses BPF: {first}")


@unittest.skipUnless(PROBE and os.path.exists(PROBE), "needs the tracer's test driver")
class TracerRefusals(unittest.TestCase):
    def test_switch_keeps_it_off(self):
        env = dict(os.environ, SOCKVANE_NO_TRACER="1")
        out = subprocess.run([PROBE, "0"], env=env, capture_output=True, timeout=60)
        self.assertEqual(out.returncode, 0)
        first = out.stdout.decode().splitlines()[0]
        if first == "tracer: off: not built in":
            self.skipTest("this build has no tracer")
        self.assertEqual(first, "tracer: off: switched off by SOCKVANE_NO_TRACER=1")
        self.assertEqual(out.stderr, b"")

    @unittest.skipUnless(support.is_root(), "needs root to change to an unprivileged user and grant capabilities")
    @unittest.skipIf(shutil.which("setpriv") is None, "needs setpriv (util-linux)")
    def test_what_each_set_of_capabilities_loads(self):
        root_can_load()
        not_permitted = "tracer: off: not permitted to load BPF programs"
        for caps, want in [((), not_permitted), (("bpf",), not_permitted), (("perfmon",), not_permitted),
                           (CAPS_TRACING, WITHOUT_CGROUP_HOOKS), (CAPS_ALL, "tracer: active")]:
            d, cmd = nobody_probe(caps, ["0"])
            try:
                out = subprocess.run(cmd, capture_output=True, timeout=60, cwd="/")
            finally:
                shutil.rmtree(d)
            self.assertEqual(out.returncode, 0, out.stderr)
            first = out.stdout.decode().splitlines()[0]
            self.assertTrue(first.startswith(want), (caps, first))
            # libbpf's own complaints stay out of the program's standard error.
            self.assertEqual(out.stderr, b"", caps)

    @unittest.skipUnless(support.is_root(), "loading BPF needs root")
    @unittest.skipIf(shutil.which("prlimit") is None, "needs prlimit (util-linux)")
    def test_short_of_memory_says_what_failed(self):
        root_can_load()
        with open(PROBE, "rb") as f:
            if b"__asan_init" in f.read():
                self.skipTest("a sanitizer's runtime cannot start under an address-space limit")
        # Short of memory the tracer says so, whatever step ran out ("No such process" once).
        out = subprocess.run(["prlimit", "--as=16777216", PROBE, "0"], capture_output=True, timeout=60)
        first = out.stdout.decode().splitlines()[0]
        self.assertNotIn("No such process", first)
        if first != "tracer: active":
            self.assertIn("Cannot allocate memory", first)

    @unittest.skipUnless(support.is_root(), "loading BPF needs root")
    @unittest.skipIf(shutil.which("bpftool") is None and not os.path.exists("/usr/sbin/bpftool"), "needs bpftool")
    def test_nothing_attached_after_sigkill(self):
        root_can_load()
        # As root, and as uid 65534 holding the service's rights for the tracer.
        for prefix in ([support.BIN], [*support.as_nobody(support.TRACER_CAPS), support.public_binary()]):
            with self.subTest(prefix=prefix[0]):
                self.killed_leaves_nothing(prefix)

    def killed_leaves_nothing(self, prefix):
        bpftool = shutil.which("bpftool") or "/usr/sbin/bpftool"
        mon = subprocess.Popen([*prefix, "--interval", "100", "--all"], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            # What the monitor holds, from its descriptors: other programs may run the same one.
            deadline, ids = time.monotonic() + 30, {"prog_id": set(), "link_id": set()}
            while time.monotonic() < deadline and len(ids["link_id"]) < 5:
                time.sleep(0.2)
                for fd in os.listdir(f"/proc/{mon.pid}/fdinfo"):
                    try:
                        with open(f"/proc/{mon.pid}/fdinfo/{fd}") as f:
                            for line in f:
                                key, _, value = line.partition(":")
                                if key in ids:
                                    ids[key].add(int(value))
                    except OSError:
                        pass
            self.assertGreaterEqual(len(ids["link_id"]), 2, ids)
        finally:
            mon.kill()
            mon.wait(timeout=30)

        def left():
            progs = json.loads(subprocess.run([bpftool, "-j", "prog", "show"], capture_output=True,
                                              timeout=30, check=True).stdout or b"[]")
            links = json.loads(subprocess.run([bpftool, "-j", "link", "show"], capture_output=True,
                                              timeout=30, check=True).stdout or b"[]")
            return ({p["id"] for p in progs} & ids["prog_id"]) | ({l["id"] for l in links} & ids["link_id"])

        # The kernel frees them after a grace period.
        deadline = time.monotonic() + 10
        while left() and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertEqual(left(), set())


def cookie_of(sock):
    return struct.unpack("=Q", sock.getsockopt(socket.SOL_SOCKET, 57, 8))[0]  # SO_COOKIE


# Connects on its own loopback, in a network namespace of its own: same
# addresses and ports as ours, other sockets.
OTHER_NET = r"""
import os, socket, struct, subprocess
subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
lst = socket.socket(); lst.bind(("127.0.0.1", 0)); lst.listen(64)
cookies = []
for _ in range(10):
    c = socket.create_connection(lst.getsockname()); a, _ = lst.accept()
    cookies += [struct.unpack("=Q", s.getsockopt(socket.SOL_SOCKET, 57, 8))[0] for s in (c, a)]
    c.close(); a.close()
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); u.connect(("127.0.0.1", 9)); u.close()
print(os.getpid(), *cookies, flush=True)
"""

# In a PID namespace with its own /proc: a driver started there, and a child
# that connects; the driver's records, the child's PID there and its cookies.
OTHER_PIDS = r"""
import json, os, socket, struct, subprocess, sys, time
probe = subprocess.Popen([sys.argv[1], "60"], stdout=subprocess.PIPE, text=True)
assert probe.stdout.readline().startswith("tracer: active"), "no tracer"
lst = socket.socket(); lst.bind(("127.0.0.1", 0)); lst.listen(64)
child = os.fork()
if child == 0:
    for _ in range(5):
        c = socket.create_connection(lst.getsockname())
        print(struct.unpack("=Q", c.getsockopt(socket.SOL_SOCKET, 57, 8))[0], flush=True)
        time.sleep(0.02); c.close()
    os._exit(0)
for _ in range(5):
    lst.accept()[0].close()
os.waitpid(child, 0)
print("ready", flush=True)
sys.stdin.readline()
time.sleep(0.5)
probe.terminate()
print(json.dumps({"child": child, "records": probe.communicate()[0].splitlines()}), flush=True)
"""


@unittest.skipUnless(PROBE and os.path.exists(PROBE), "needs the tracer's test driver")
@unittest.skipUnless(support.is_root(), "loading BPF needs root")
class TracerOwners(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        root_can_load()
        cls.scratch = tempfile.mkdtemp(prefix="sockvane-tracer-")
        os.chmod(cls.scratch, 0o755)
        # The client runs under a name of its own, so a record cannot be right
        # by naming the test process instead.
        cls.client_exe = os.path.join(cls.scratch, CLIENT_NAME)
        shutil.copy2(os.path.realpath(sys.executable), cls.client_exe)
        cls.probes = {"root": Probe([PROBE, "300"])}
        cls.copy_dir, cmd = nobody_probe(CAPS_TRACING, ["300"])
        cls.probes["tracing"] = Probe(cmd)
        for name, probe in cls.probes.items():
            if not probe.first.startswith("tracer: active"):
                err = probe.finish()
                raise AssertionError(f"the {name} tracer did not start: {probe.first!r} {err!r}")
        cls.results = {}
        cls.server_name = support.exe_name(os.getpid())
        for style, family in [("client_closes", "4"), ("client_exits", "4"), ("client_rst", "4"),
                              ("server_closes", "4"), ("udp", "4"), ("client_rst", "6"), ("udp", "6"),
                              ("refused", "4")]:
            cls.results[(style, family)] = cls.run_case(style, family)
        cls.other_net = None
        if shutil.which("unshare") and shutil.which("ip"):
            out = subprocess.run(["unshare", "-n", sys.executable, "-c", OTHER_NET], capture_output=True,
                                 timeout=60, text=True, check=True).stdout.split()
            cls.other_net = (int(out[0]), {int(c) for c in out[1:]})
        time.sleep(0.5)  # one more drain of the drivers
        cls.errs = {name: probe.finish() for name, probe in cls.probes.items()}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)
        shutil.rmtree(cls.copy_dir, ignore_errors=True)

    @classmethod
    def run_case(cls, style, family):
        fam, host = (socket.AF_INET6, "::1") if family == "6" else (socket.AF_INET, "127.0.0.1")
        kind = socket.SOCK_DGRAM if style == "udp" else socket.SOCK_STREAM
        lst = socket.socket(fam, kind)
        lst.bind((host, 0))
        port = lst.getsockname()[1]
        if style == "refused":
            lst.close()  # nobody listens
        elif kind == socket.SOCK_STREAM:
            lst.listen(64)
        client = subprocess.Popen([cls.client_exe, "-c", CLIENT, style, family, str(port), str(COUNT), str(LIFE)],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        server_cookies = set()
        try:
            if kind == socket.SOCK_STREAM and style != "refused":
                lst.settimeout(10)
                for _ in range(COUNT):
                    conn, _ = lst.accept()
                    server_cookies.add(cookie_of(conn))
                    conn.settimeout(10)
                    if style == "server_closes":
                        time.sleep(LIFE)
                    else:
                        try:
                            while conn.recv(4096):
                                pass
                        except ConnectionResetError:
                            pass
                    conn.close()
            out, err = client.communicate(timeout=60)
        finally:
            if client.poll() is None:
                client.kill()
                client.wait()
            lst.close()
        if client.returncode != 0:
            raise AssertionError(f"client of {style}/{family} failed: {err!r}")
        client_cookies = [int(c) for c in out.split()]
        assert len(client_cookies) == COUNT, out
        return {"port": port, "client_pid": client.pid, "client": client_cookies, "server": server_cookies,
                "proto": 17 if style == "udp" else 6}

    def check(self, probe_name, style, family, server_owned=True):
        """The records of each client and server socket of the case, by cookie."""
        case = self.results[(style, family)]
        groups = self.probes[probe_name].by_cookie()
        client = {c: groups.get(c, []) for c in case["client"]}
        server = {c: groups.get(c, []) for c in case["server"]}
        # Every record of our sockets that names a process names the one that
        # owns that end: none comes from the task a softirq happened to interrupt.
        strangers = [r for rs in client.values() for r in rs if r["pid"] not in (0, case["client_pid"])]
        strangers += [r for rs in server.values() for r in rs if r["pid"] not in (0, os.getpid())]
        self.assertEqual(strangers, [], f"{probe_name} {style}/{family}: records with a wrong owner")
        need = COUNT * 95 // 100
        owned = [c for c, rs in client.items()
                 if any(r["pid"] == case["client_pid"] and r["name"] == CLIENT_NAME for r in rs)]
        self.assertGreaterEqual(len(owned), need, f"{probe_name} {style}/{family}: client owners {len(owned)}")
        if case["proto"] == 6 and server_owned:
            owned = [c for c, rs in server.items()
                     if any(r["pid"] == os.getpid() and r["name"] == self.server_name for r in rs)]
            self.assertGreaterEqual(len(owned), need, f"{probe_name} {style}/{family}: server owners {len(owned)}")
        return client, server

    def kinds(self, records, pid):
        """(kind, state) of the records naming `pid`, and of those naming nobody."""
        return {(r["kind"], r["state"]) for r in records if r["pid"] == pid}, \
            {(r["kind"], r["state"]) for r in records if r["pid"] == 0}

    def test_tcp_close_styles(self):
        # (style, family): what every client socket's records hold, with the cgroup hooks and without.
        connect, connect_by_state, release = (1, 2), (2, 2), (3, 0)
        fin_wait1, last_ack, close = (2, 4), (2, 9), (2, 7)
        cases = [("client_closes", "4", {connect, fin_wait1, release}, {connect_by_state, fin_wait1}),
                 ("client_exits", "4", {connect, fin_wait1, release}, {connect_by_state, fin_wait1}),
                 ("server_closes", "4", {connect, last_ack, release}, {connect_by_state, last_ack}),
                 ("client_rst", "4", {connect, close, release}, {connect_by_state, close}),
                 ("client_rst", "6", {connect, close, release}, {connect_by_state, close})]
        for style, family, full, tracing in cases:
            for probe, want in (("root", full), ("tracing", tracing)):
                with self.subTest(probe=probe, style=style, family=family):
                    # Without the release hook, a server end the peer reset is closed
                    # with no change of state: its owner shows only while it is listed.
                    client, server = self.check(probe, style, family,
                                                server_owned=probe == "root" or style != "client_rst")
                    pid = self.results[(style, family)]["client_pid"]
                    have = [c for c, rs in client.items() if want <= self.kinds(rs, pid)[0]]
                    self.assertGreaterEqual(len(have), COUNT * 95 // 100, (want, list(client.values())[:1]))
                    if style == "client_rst":
                        # The abort is seen with the whole address, before the kernel clears it.
                        self.assertTrue(all(r["sport"] and r["dport"] for rs in client.values() for r in rs
                                            if r["kind"] == 2 and r["state"] == 7))

    def test_connected_udp(self):
        for family in ("4", "6"):
            client, _ = self.check("root", "udp", family)
            pid = self.results[("udp", family)]["client_pid"]
            self.assertTrue(all(self.kinds(rs, pid)[0] >= {(1, 0), (3, 0)} for rs in client.values()
                                if rs), family)

    def test_refused_connects_keep_their_state(self):
        for probe in ("root", "tracing"):
            client, _ = self.check(probe, "refused", "4", server_owned=False)
            case = self.results[("refused", "4")]
            # The failed attempt: SYN_SENT to CLOSE, made by the stack, with the port it tried.
            failed = [c for c, rs in client.items()
                      if any(r["kind"] == 2 and r["old"] == 2 and r["state"] == 7 and r["dport"] == case["port"]
                             and r["sport"] != 0 for r in rs)]
            self.assertGreaterEqual(len(failed), COUNT * 95 // 100, probe)

    def test_nothing_from_another_network_namespace(self):
        if self.other_net is None:
            self.skipTest("needs unshare and ip")
        pid, cookies = self.other_net
        for name, probe in self.probes.items():
            theirs = [r for r in probe.records if r["pid"] == pid or r["cookie"] in cookies]
            self.assertEqual(theirs, [], name)

    @unittest.skipIf(shutil.which("unshare") is None, "needs unshare")
    def test_pids_as_the_proc_read_numbers_them(self):
        proc = subprocess.Popen(["unshare", "-pf", "--mount-proc", self.client_exe, "-c", OTHER_PIDS, PROBE],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            child_cookies = set()
            for line in proc.stdout:
                if line.strip() == "ready":
                    break
                child_cookies.add(int(line))
            # A connection of a process that PID namespace does not show.
            lst = support.listener()
            c, a = support.connect_pair(lst)
            ours = {cookie_of(c), cookie_of(a)}
            c.close()
            a.close()
            lst.close()
            proc.stdin.write("done\n")
            proc.stdin.flush()
            result = json.loads(proc.stdout.readline())
        finally:
            proc.stdin.close()
            proc.wait(timeout=60)
        records = [parse(line) for line in result["records"] if line.startswith("kind=")]
        named = [r for r in records if r["cookie"] in child_cookies and r["pid"] != 0]
        self.assertEqual(len(child_cookies), 5)
        self.assertTrue(named)
        self.assertEqual({r["pid"] for r in named}, {result["child"]})
        self.assertEqual([r for r in records if r["cookie"] in ours and r["pid"] != 0], [])

    def test_nothing_lost_and_quiet(self):
        for name, probe in self.probes.items():
            self.assertIn("lost=0", probe.tail, name)
            self.assertEqual(self.errs[name], "", name)


def walk_lines(cmd):
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=60, check=True).stdout.splitlines()
    assert out[0].startswith("tracer: active"), out[:1]
    held = set()
    for line in out[2:]:
        f = dict(item.split("=", 1) for item in line.split())
        held.add((int(f["pid"]), int(f["fd"]), int(f["inode"]), bytes.fromhex(f["name"]).decode()))
    return held


def socket_fds(pid):
    """(fd, inode) of every socket descriptor of `pid`, read from /proc: the oracle."""
    found = set()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            link = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        if link.startswith("socket:["):
            found.add((int(fd), int(link[8:-1])))
    return found


@unittest.skipUnless(PROBE and os.path.exists(PROBE), "needs the tracer's test driver")
@unittest.skipUnless(support.is_root(), "loading BPF needs root")
class TracerWalk(unittest.TestCase):
    def test_walk_lists_every_inet_socket_descriptor(self):
        root_can_load()
        lst = support.listener()
        pairs = [support.connect_pair(lst) for _ in range(3)]
        udp = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
        unix = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)  # not ours to list
        # A holder in a network namespace of its own: its sockets are not the watched ones.
        other = subprocess.Popen(["unshare", "-n", sys.executable, "-c",
                                  "import socket, sys; s = socket.socket(); s.bind(('127.0.0.1', 0)); "
                                  "s.listen(); print('ready', flush=True); sys.stdin.read()"],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            self.assertEqual(other.stdout.readline().strip(), "ready")
            mine = socket_fds(os.getpid()) - {(unix.fileno(), os.fstat(unix.fileno()).st_ino)}
            name = support.exe_name(os.getpid())
            want = {(os.getpid(), fd, inode, name) for fd, inode in mine}
            for cmd in ([PROBE, "walk"], [PROBE, "walkpid", str(os.getpid()), "0"]):
                held = walk_lines(cmd)
                with self.subTest(cmd=cmd[1]):
                    self.assertEqual({h for h in held if h[0] == os.getpid()}, want)
                    self.assertEqual([h for h in held if h[0] == other.pid], [])
        finally:
            other.stdin.close()
            other.wait(timeout=30)
            for a, b in pairs:
                a.close()
                b.close()
            lst.close()
            udp.close()
            unix.close()


# Holds loopback sockets in every state a table shows, as uid 65534, IPv4 and
# IPv6; prints the endpoints they all meet at. Each line on stdin resets the last
# pair and opens another (no state in between for a poll to catch).
TABLE_HOLDER = r"""
import json, socket, struct, sys
keep, ends = [], []
def pair(fam, host):
    l = socket.socket(fam); l.bind((host, 0)); l.listen(8); ends.append(["tcp", host, l.getsockname()[1]])
    c = socket.create_connection((host, ends[-1][2])); a, _ = l.accept(); keep.extend([l, c, a]); return c, a
for fam, host in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
    c, a = pair(fam, host); c.close(); a.close()   # TIME_WAIT
    c, a = pair(fam, host); c.close()              # FIN_WAIT2 orphan, CLOSE_WAIT
    u = socket.socket(fam, socket.SOCK_DGRAM); u.bind((host, 0)); ends.append(["udp", host, u.getsockname()[1]])
    v = socket.socket(fam, socket.SOCK_DGRAM); v.connect(u.getsockname()[:2]); keep += [u, v]
    last = pair(fam, host)
print(json.dumps(ends), flush=True)
for _ in sys.stdin:
    last[0].setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    last[0].close(); last[1].close(); last = pair(socket.AF_INET, "127.0.0.1"); print(json.dumps(ends[-1]), flush=True)
"""
SS_STATES = {"ESTAB": 1, "SYN-SENT": 2, "SYN-RECV": 3, "FIN-WAIT-1": 4, "FIN-WAIT-2": 5, "TIME-WAIT": 6,
             "UNCONN": 7, "CLOSE-WAIT": 8, "LAST-ACK": 9, "LISTEN": 10, "CLOSING": 11}


def table_row(proto, src, sport, dst, dport, state, inode, uid, cookie, cookie_base=10):
    # ss names the peer of a listener or an unconnected socket "*".
    return (proto, src, int(sport), dst if int(dport) else "*", int(dport), int(state), int(inode), int(uid),
            int(cookie, cookie_base))


def ss_rows():
    for line in subprocess.run(["ss", "-tuanpeO"], capture_output=True, text=True, timeout=60).stdout.splitlines()[1:]:
        f, more = line.split(), dict(re.findall(r" (ino|uid|sk):([0-9a-f]+)", line))
        (src, sport), (dst, dport) = (e.rsplit(":", 1) for e in f[4:6])
        yield table_row(f[0], src.strip("[]"), sport, dst.strip("[]"), dport.replace("*", "0"), SS_STATES[f[1]],
                        more["ino"], more.get("uid", 0), more["sk"], 16)


@unittest.skipUnless(PROBE and os.path.exists(PROBE), "needs the tracer's test driver")
@unittest.skipUnless(support.is_root(), "loading BPF needs root")
class TracerTables(unittest.TestCase):
    """The tables by the tracer's iterators: the rows the socket dumps and ss list, the same events."""

    @classmethod
    def setUpClass(cls):
        root_can_load()
        cls.holder = subprocess.Popen([*support.NOBODY, sys.executable, "-c", TABLE_HOLDER], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, text=True)
        cls.order = [tuple(end) for end in json.loads(cls.holder.stdout.readline())]
        cls.ends = set(cls.order)

    @classmethod
    def tearDownClass(cls):
        cls.holder.communicate(timeout=30)

    def ours(self, proto, src, sport, dst, dport, *_):
        return (proto.lower(), src, sport) in self.ends or (proto.lower(), dst, dport) in self.ends

    def test_rows_as_dumps_and_ss_list_them(self):
        out = subprocess.run([PROBE, "table"], capture_output=True, text=True, timeout=60).stdout.split("--\n")
        iterated, dumped = ({r for r in map(lambda line: table_row(*line.split()), part.splitlines()) if self.ours(*r)}
                            for part in out[1:])
        # Listeners and unconnected datagram sockets too; each change left one more.
        self.assertEqual(len(iterated), 2 * 10 + len(self.ends) - len(self.order))
        self.assertEqual(iterated, dumped)
        self.assertEqual(iterated, {r for r in ss_rows() if self.ours(*r)})

    def test_monitor_events_as_by_dumps(self):
        # --dst-port: an IPv6 orphan's listener, and a datagram server's port that --exclude-port drops.
        ports = self.order[5][2], self.order[6][2]
        root, nobody = [support.BIN], [*support.as_nobody(support.TRACER_CAPS), support.public_binary()]
        for prefix, args, want in ((root, ["--all"], 12 + 4), (nobody, ["--all"], 12 + 4), (root, [], 0),
                                   (root, ["--all", "--dst-port", "%d,%d" % ports, "--exclude-port", str(ports[1])], 1)):
            cmd = [*prefix, *args, "--format", "jsonl", "--events", "new,closed,state", "--interval", "200",
                   "--extra", "uid"]
            # Files, not pipes: the host's other sockets would fill a pipe no one reads yet.
            outs = [tempfile.TemporaryFile() for _ in range(2)]
            mons = [subprocess.Popen(cmd, env=dict(os.environ, **env), stdout=out)
                    for env, out in zip(({}, {"SOCKVANE_NO_BPF_TABLE": "1"}), outs)]
            time.sleep(1.5)
            print(file=self.holder.stdin, flush=True)
            self.ends.add(tuple(json.loads(self.holder.stdout.readline())))
            time.sleep(1.5)
            # The one reading through the iterators holds a link to the TCP one.
            links = ""
            for fd in os.listdir(f"/proc/{mons[0].pid}/fd"):
                try:
                    with open(f"/proc/{mons[0].pid}/fdinfo/{fd}") as f:
                        links += f.read()
                except OSError:
                    pass  # closed meanwhile
            events = []
            for mon, out in zip(mons, outs):
                mon.terminate()
                mon.wait(timeout=30)
                out.seek(0)
                events.append(sorted(json.dumps({k: v for k, v in r.items() if k not in ("time", "age_seconds")})
                                     for r in support.jsonl(out.read()) if self.ours(
                                         r["proto"], r["src_ip"], r["src_port"], r["dst_ip"], r["dst_port"])))
                out.close()
            with self.subTest(user=prefix[0], args=args):
                self.assertIn("target_name:\ttcp", links)
                self.assertEqual(events[0], events[1])
                self.assertEqual(len(events[0]), want, events[0])

if __name__ == "__main__":
    unittest.main()
