"""The whole program against real loopback connections opened here."""

import csv
import io
import itertools
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
import unittest

from support import (BIN, NOBODY, Monitor, connect_pair, exe_name, is_root, jsonl, listener,
                     public_dir_file, run)

ME = str(os.getpid())
MY_NAME = exe_name(os.getpid())


def from_end(data, sock):
    """Events of the connection whose local end is `sock`: other programs may
    hold connections with the same port numbers."""
    host, port = sock.getsockname()[:2]
    return [e for e in jsonl(data) if (e["src_ip"], e["src_port"]) == (host, port)]


class OneScan(unittest.TestCase):
    def setUp(self):
        self.lst = listener()
        self.port = self.lst.getsockname()[1]
        self.client, self.server = connect_pair(self.lst)

    def tearDown(self):
        for s in (self.client, self.server, self.lst):
            s.close()

    def scan(self, *extra, unprivileged=False):
        return run(["--once", "--all", "--dst-port", str(self.port), *extra], unprivileged=unprivileged)

    def scan_mine(self, *extra):
        """Our rows only: an earlier connection to the same port number may
        have left a TIME_WAIT row (PID 0) that a count would take for ours."""
        return self.scan("--pid", ME, *extra)

    def test_new_connection_in_json(self):
        r = self.scan("--format", "jsonl")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, b"")
        events = from_end(r.stdout, self.client)
        self.assertEqual(len(events), 1, events)
        e = events[0]
        self.assertEqual(list(e), ["time", "event", "proto", "pid", "process", "src_ip", "src_port",
                                   "dst_ip", "dst_port", "state", "age_seconds"])
        self.assertEqual(e["event"], "new")
        self.assertEqual(e["proto"], "TCP")
        self.assertEqual(e["pid"], ME)
        self.assertEqual(e["process"], MY_NAME)
        self.assertEqual((e["src_ip"], e["src_port"]), self.client.getsockname())
        self.assertEqual((e["dst_ip"], e["dst_port"]), ("127.0.0.1", self.port))
        self.assertEqual(e["state"], "ESTABLISHED")
        self.assertEqual(e["age_seconds"], 0)
        self.assertRegex(e["time"], r"^\d\d:\d\d:\d\d\.\d\d\d$")

    def test_loopback_needs_all(self):
        r = run(["--once", "--format", "jsonl", "--dst-port", str(self.port)])
        self.assertEqual((r.returncode, r.stdout), (0, b""))

    def test_text_and_csv_layouts(self):
        r = self.scan_mine("--timestamp", "iso8601")
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.decode().split("\n")
        self.assertRegex(lines[0], r"^SOCKVANE 0\.3\.9 \| source=[0-9a-f]{16} \| \S+ \| polling=500ms$")
        self.assertEqual(lines[1], "TIME         EVENT PROTO      PID PROCESS              SPORT DST-IP"
                                   "                                   DPORT STATE           AGE")
        sport = self.client.getsockname()[1]
        self.assertRegex(lines[2][:23], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}$")
        self.assertEqual(lines[2][23:], f"    new TCP {ME:>8} {MY_NAME:>20} {sport:>5} {'127.0.0.1':>39} "
                                        f"{self.port:>5}  ESTABLISHED      0")
        self.assertEqual(lines[3:], [""])

        r = self.scan_mine("--format", "CSV")
        lines = r.stdout.decode().splitlines()
        self.assertEqual(lines[0], "time,event,proto,pid,process,src_ip,src_port,dst_ip,dst_port,state,age_seconds")
        self.assertRegex(lines[1], r'^"\d\d:\d\d:\d\d\.\d{3}","new","TCP","' + ME + '","' + re.escape(MY_NAME) +
                         f'","127.0.0.1",{sport},"127.0.0.1",{self.port},"ESTABLISHED",0$')

    def test_summary_in_three_formats(self):
        sport = self.client.getsockname()[1]
        r = self.scan_mine("--summary")
        lines = r.stdout.decode().splitlines()
        # A scan slowed past a second by a busy machine says uptime=1s.
        self.assertRegex(lines[-3], r"^STATS uptime=[01]s new=1 closed=0 state=0 active=1$")
        self.assertEqual(lines[-2:], ["TOP PROCESSES (observed NEW sockets):", f"  {MY_NAME} ({ME}): 1"])
        r = self.scan_mine("--summary", "--format", "jsonl")
        objs = jsonl(r.stdout)
        self.assertEqual(len(objs), 2)
        self.assertEqual(objs[0]["src_port"], sport)
        stats = objs[1]
        self.assertEqual(list(stats), ["type", "time", "new", "closed", "state", "active"])
        self.assertEqual((stats["type"], stats["new"], stats["closed"], stats["state"], stats["active"]),
                         ("stats", 1, 0, 0, 1))
        r = self.scan_mine("--summary", "--format", "csv")
        lines = r.stdout.decode().splitlines()
        self.assertEqual(len(lines), 3)
        self.assertRegex(lines[2], r"^# STATS uptime=[01]s new=1 closed=0 state=0 active=1$")

    def test_summary_needs_once_to_act(self):
        # Without any matching socket the summary still reports zeros and the heading.
        r = run(["--once", "--all", "--dst-port", "1", "--summary"])
        tail = r.stdout.decode().splitlines()[-2:]
        self.assertRegex(tail[0], r"^STATS uptime=[01]s new=0 closed=0 state=0 active=0$")
        self.assertEqual(tail[1], "TOP PROCESSES (observed NEW sockets):")

    def test_unprivileged_sees_root_socket_without_owner(self):
        if not is_root():
            self.skipTest("needs root to own the socket")
        r = self.scan("--format", "jsonl", unprivileged=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        events = from_end(r.stdout, self.client)
        self.assertEqual(len(events), 1, events)
        self.assertEqual((events[0]["pid"], events[0]["process"]), ("0", "unknown"))
        self.assertEqual(events[0]["src_port"], self.client.getsockname()[1])

    def test_allowlist_suppresses(self):
        cases = [
            (b"127.0.0.1\n", 0),
            (b"  10.0.0.0/8 , 127.0.0.0/8  \r\n", 0),
            (b"\xef\xbb\xbf127.0.0.1", 0),
            ("\ufeff# local\r\n127.0.0.1\r\n".encode("utf-16-le"), 0),
            ("\ufeff127.0.0.1".encode("utf-16-be"), 0),
            (b"127.0.0.1 # remark\n\n#127.0.0.1\n", 1),
            (b"", 1),
        ]
        for content, expected in cases:
            path = public_dir_file(content)
            r = self.scan_mine("--format", "jsonl", "--allowlist", path)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(len(jsonl(r.stdout)), expected, content)

    def test_vanished_reader_ends_quietly(self):
        # As coreutils and ss do: death by SIGPIPE (status 141), no message.
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            p = subprocess.run([BIN, "--once", "--all", "--dst-port", str(self.port)],
                               stdout=write_end, stderr=subprocess.PIPE, timeout=60)
        finally:
            os.close(write_end)
        self.assertEqual(p.returncode, -signal.SIGPIPE)
        self.assertEqual(p.stderr, b"")


class AllowlistFailures(unittest.TestCase):
    def expect_failure(self, path, message, unprivileged=False):
        r = run(["--once", "--allowlist", path], unprivileged=unprivileged)
        self.assertEqual(r.returncode, 2)
        self.assertEqual(r.stdout, b"")
        self.assertEqual(r.stderr.decode(), f"sockvane: allowlist: {message}\n")

    def test_missing_file(self):
        self.expect_failure("/nonexistent/allow.txt",
                            'Unable to open file "/nonexistent/allow.txt": No such file or directory')

    def test_directory(self):
        self.expect_failure("/tmp", 'Unable to read file "/tmp": Is a directory')

    def test_unreadable_file(self):
        if not is_root():
            self.skipTest("needs root to drop to another user")
        path = public_dir_file(b"127.0.0.1\n", mode=0o600)
        self.expect_failure(path, f'Unable to open file "{path}": Permission denied', unprivileged=True)


class Watching(unittest.TestCase):
    """A running monitor sees connections appear, change state and close."""

    def test_new_state_closed_with_ages(self):
        lst = listener()
        port = lst.getsockname()[1]
        mon = Monitor(["--all", "--format", "jsonl", "--events", "new,closed,state", "--interval", "50",
                       "--dst-port", str(port)])
        try:
            time.sleep(0.3)
            client, server = connect_pair(lst)
            sport = client.getsockname()[1]
            mine = lambda e: isinstance(e, dict) and e.get("src_port") == sport
            new = mon.wait_for(mine)
            self.assertEqual((new["event"], new["state"], new["pid"]), ("new", "ESTABLISHED", ME))
            time.sleep(1.3)
            server.close()  # the client endpoint goes to CLOSE_WAIT
            state = mon.wait_for(mine)
            self.assertEqual((state["event"], state["state"]), ("state", "CLOSE_WAIT"))
            self.assertGreaterEqual(state["age_seconds"], 1)
            client.close()
            closed = mon.wait_for(mine)
            self.assertEqual((closed["event"], closed["state"], closed["pid"]), ("closed", "CLOSE_WAIT", ME))
            self.assertGreaterEqual(closed["age_seconds"], state["age_seconds"])
        finally:
            err = mon.stop()
            lst.close()
        self.assertEqual(err, b"")
        mine_all = [e for e in mon.seen if isinstance(e, dict) and e.get("src_port") == sport]
        self.assertEqual([e["event"] for e in mine_all], ["new", "state", "closed"])

    def test_periodic_statistics(self):
        lst = listener()
        port = lst.getsockname()[1]
        client, server = connect_pair(lst)
        mon = Monitor(["--all", "--interval", "100", "--stats", "1", "--dst-port", str(port), "--pid", ME])
        try:
            first = mon.wait_for(lambda l: isinstance(l, str) and l.startswith("STATS "))
            # Due at one second; a busy machine may make it the next.
            self.assertRegex(first, r"^STATS uptime=[12]s new=1 closed=0 state=0 active=1$")
            mon.wait_for(lambda l: l == "TOP PROCESSES (observed NEW sockets):")
            mon.wait_for(lambda l: l == f"  {MY_NAME} ({ME}): 1")
            second = mon.wait_for(lambda l: isinstance(l, str) and l.startswith("STATS "))
            self.assertRegex(second, r"^STATS uptime=\d+s new=1 closed=0 state=0 active=1$")
            uptime = [int(re.search(r"uptime=(\d+)s", line)[1]) for line in (first, second)]
            self.assertIn(uptime[1] - uptime[0], (1, 2))
        finally:
            mon.stop()
            for s in (client, server, lst):
                s.close()


# Connects to the port it is given once told to, reports its end's port and
# holds the connection until its input closes.
HOLDER = r"""
import signal, socket, sys
signal.alarm(60)
sys.stdin.readline()
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
print(s.getsockname()[1], flush=True)
sys.stdin.readline()
"""

FIELDS = ["uid", "user", "direction", "unit", "owner_from"]
BASE = ["time", "event", "proto", "pid", "process", "src_ip", "src_port", "dst_ip", "dst_port", "state",
        "age_seconds"]


def cgroup2_mount():
    with open("/proc/self/mountinfo") as f:
        return next((l.split()[4] for l in f if l.split(" - ")[1].startswith("cgroup2 ")), None)


class ExtraFields(unittest.TestCase):
    """--extra on three ends of loopback connections: the client end of a
    holder run as nobody in a cgroup of our own, the end we accepted, and a
    TIME_WAIT remnant nobody holds."""

    def setUp(self):
        self.lst = listener()
        self.port = self.lst.getsockname()[1]
        self.unit = ""
        mount = cgroup2_mount() if is_root() else None
        holder_cmd = [sys.executable, "-c", HOLDER, str(self.port)]
        self.holder = subprocess.Popen([*NOBODY, *holder_cmd] if is_root() else holder_cmd,
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(self.holder.wait, 30)
        self.addCleanup(self.holder.stdin.close)
        if mount and os.access(mount, os.W_OK):
            self.unit = f"sv-test-{os.getpid()}.scope"
            group = os.path.join(mount, self.unit)
            os.mkdir(group)
            self.addCleanup(self.remove_group, group)
            with open(os.path.join(group, "cgroup.procs"), "w") as f:
                f.write(str(self.holder.pid))
        self.holder.stdin.write("go\n")
        self.holder.stdin.flush()
        self.holder_port = int(self.holder.stdout.readline())
        self.server, _ = self.lst.accept()
        # Closed by us first: our end stays in TIME_WAIT, with no owner.
        tw_client, tw_server = connect_pair(self.lst)
        self.tw_port = tw_client.getsockname()[1]
        tw_client.close()
        tw_server.close()
        for s in (self.server, self.lst, self.holder.stdout):
            self.addCleanup(s.close)

    def remove_group(self, group):
        self.holder.stdin.close()
        self.holder.wait(30)
        for _ in range(50):  # the cgroup empties a moment after its last process ends
            if subprocess.run(["rmdir", group], stderr=subprocess.DEVNULL).returncode == 0:
                break
            time.sleep(0.1)

    def scan(self, fields, fmt, unprivileged=False):
        r = run(["--once", "--all", "--format", fmt, "--extra", ",".join(fields), "--dst-port",
                 f"{self.port},{self.holder_port}"], unprivileged=unprivileged)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout.decode()

    def ends(self, objs):
        """Our three ends, by name; other programs' rows skipped."""
        named = {(self.holder_port, self.port): "holder", (self.port, self.holder_port): "accepted",
                 (self.tw_port, self.port): "time_wait"}
        return {named[(o["src_port"], o["dst_port"])]: o for o in objs
                if o["src_ip"] == "127.0.0.1" and (o["src_port"], o["dst_port"]) in named}

    def test_values_as_root_and_as_nobody(self):
        with open("/proc/self/cgroup") as f:
            my_path = [l for l in f.read().splitlines() if l.startswith("0::")][0][3:]
        for unprivileged in ([False, True] if is_root() else [False]):
            with self.subTest(unprivileged=unprivileged):
                got = self.ends(jsonl(self.scan(FIELDS, "jsonl", unprivileged).encode()))
                self.assertEqual(set(got), {"holder", "accepted", "time_wait"}, got)
                holder, accepted, tw = got["holder"], got["accepted"], got["time_wait"]
                self.assertEqual([holder[k] for k in ["pid", *FIELDS]],
                                 [str(self.holder.pid), 65534 if is_root() else os.getuid(),
                                  "nobody" if is_root() else holder["user"], "out", self.unit or holder["unit"], "fd"])
                self.assertEqual((accepted["direction"], accepted["uid"], accepted["user"]),
                                 ("in", os.getuid(), "root" if is_root() else accepted["user"]))
                self.assertEqual((accepted["pid"], accepted["owner_from"]), ("0", "none") if unprivileged else (ME, "fd"))
                self.assertIn(accepted["unit"], [""] if unprivileged else my_path.split("/"))
                self.assertEqual((tw["state"], tw["pid"]), ("TIME_WAIT", "0"))
                self.assertEqual([tw[k] for k in FIELDS], [None, "", "out", "", "none"])

    def test_every_combination_reads_in_jq_and_csv(self):
        jq = shutil.which("jq")
        combos = [list(c) for n in range(1, len(FIELDS) + 1) for c in itertools.combinations(FIELDS, n)]
        for fields in combos + [list(reversed(FIELDS))]:
            with self.subTest(fields=fields):
                out = self.scan(fields, "jsonl")
                objs = [json.loads(l) for l in out.splitlines()]
                self.assertTrue(objs)
                self.assertTrue(all(list(o) == BASE + fields for o in objs))
                if jq:
                    r = subprocess.run([jq, "-c", "."], input=out, capture_output=True, text=True)
                    self.assertEqual((r.returncode, len(r.stdout.splitlines())), (0, len(objs)), r.stderr)
                table = list(csv.reader(io.StringIO(self.scan(fields, "csv"))))
                self.assertEqual(table[0], BASE + fields)
                self.assertTrue(all(len(row) == len(table[0]) for row in table[1:]) and len(table) > 1, table)


class OtherFamilies(unittest.TestCase):
    @unittest.skipUnless(is_root(), "the connect hooks load as root")
    def test_a_traced_connect_is_out_beside_a_listener_of_its_port(self):
        if not is_root():
            self.skipTest("the connect hooks load as root")
        probe = os.environ.get("SOCKVANE_TRACER_PROBE", "")
        if not probe or not os.path.exists(probe):
            self.skipTest("needs the tracer's test driver")
        first = subprocess.run([probe, "0"], capture_output=True, timeout=60).stdout.decode().splitlines()
        if first[:1] != ["tracer: active"]:
            self.skipTest(f"the tracer's hooks do not all load here: {first[:1]}")
        # Our own listener on the port our client is bound to: by listeners alone it reads "in".
        near = socket.socket()
        near.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        near.bind(("127.0.0.1", 0))
        near.listen()
        self.addCleanup(near.close)
        for env, want in ((dict(os.environ, SOCKVANE_NO_TRACER="1"), "in"), (None, "out")):
            with self.subTest(want=want):
                far = listener()
                client = socket.socket()
                client.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
                client.bind(near.getsockname())
                for s in (far, client):
                    self.addCleanup(s.close)
                m = Monitor(["--all", "--format", "jsonl", "--interval", "100", "--extra", "direction",
                             "--dst-port", str(far.getsockname()[1])], env=env)
                try:
                    time.sleep(0.5)
                    client.connect(far.getsockname())
                    got = m.wait_for(lambda e: isinstance(e, dict) and e.get("event") == "new"
                                     and e["src_port"] == near.getsockname()[1] and e["pid"] == ME)
                    self.assertEqual(got["direction"], want)
                finally:
                    m.stop()

    def test_ipv6_loopback(self):
        lst = listener(socket.AF_INET6, "::1")
        port = lst.getsockname()[1]
        client, server = connect_pair(lst)
        try:
            # IPv6 is always read here; --ipv6 changes nothing.
            for extra in ([], ["--ipv6"]):
                with self.subTest(extra=extra):
                    r = run(["--once", "--all", "--format", "jsonl", "--dst-port", str(port), *extra])
                    events = from_end(r.stdout, client)
                    self.assertEqual(len(events), 1, events)
                    e = events[0]
                    self.assertEqual((e["src_ip"], e["dst_ip"], e["dst_port"], e["pid"]), ("::1", "::1", port, ME))
                    self.assertEqual(e["src_port"], client.getsockname()[1])
        finally:
            for s in (client, server, lst):
                s.close()

    def test_ipv4_mapped_is_dotted(self):
        lst = listener(socket.AF_INET6, "::")
        port = lst.getsockname()[1]
        client = socket.create_connection(("127.0.0.1", port))
        server, _ = lst.accept()
        try:
            # Other programs' connections may use the same port number: keep our own.
            mine = lambda r: [e for e in jsonl(r.stdout) if e["pid"] == ME and e["src_port"] == port]
            r = run(["--once", "--all", "--format", "jsonl", "--dst-port", str(client.getsockname()[1]),
                     "--extra", "direction"])
            events = mine(r)
            self.assertEqual(len(events), 1, events)
            self.assertEqual(events[0]["direction"], "in")  # accepted by a dual-stack listener
            self.assertEqual((events[0]["src_ip"], events[0]["src_port"], events[0]["dst_ip"]),
                             ("127.0.0.1", port, "127.0.0.1"))
            # --dst-net works on the dotted form of a dual-stack socket.
            r = run(["--once", "--all", "--format", "jsonl", "--dst-port", str(client.getsockname()[1]),
                     "--dst-net", "127.0.0.0/8"])
            self.assertEqual(len(mine(r)), 1)
        finally:
            for s in (client, server, lst):
                s.close()

    def test_connected_udp(self):
        srv = listener(kind=socket.SOCK_DGRAM)
        port = srv.getsockname()[1]
        cl = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        cl.connect(("127.0.0.1", port))
        try:
            r = run(["--once", "--all", "--format", "jsonl", "--dst-port", str(port), "--proto", "udp",
                     "--extra", "direction"])
            events = from_end(r.stdout, cl)
            self.assertEqual(len(events), 1, events)
            e = events[0]
            self.assertEqual((e["proto"], e["state"], e["pid"], e["src_port"], e["direction"]),
                             ("UDP", "ESTABLISHED", ME, cl.getsockname()[1], "out"))
            r = run(["--once", "--all", "--format", "jsonl", "--dst-port", str(port), "--proto", "tcp"])
            # Other programs may hold TCP connections to the same port number.
            self.assertEqual([e for e in jsonl(r.stdout) if e["proto"] != "TCP"], [])
            self.assertEqual(from_end(r.stdout, cl), [])
        finally:
            cl.close()
            srv.close()


if __name__ == "__main__":
    unittest.main()
