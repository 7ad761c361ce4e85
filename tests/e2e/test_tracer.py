"""The eBPF owner tracer, through its test driver: the owners of short-lived
loopback connections of every close style, as root; a quiet refusal without
rights; the switch that keeps it off."""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import support

PROBE = os.environ.get("SOCKVANE_TRACER_PROBE", "")
CLIENT_NAME = "svtrace-client"
COUNT = 40
LIFE = 0.020
# The host may refuse BPF altogether; anything else is a fault of ours.
HOST_REFUSALS = ("not permitted", "the kernel offers no type information")

# The client side of one case, in its own process under its own image name:
# prints the local port of every connection before it ends it.
CLIENT = r"""
import os, socket, struct, sys, time
style, family, port, count, life = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5])
fam, host = (socket.AF_INET6, "::1") if family == "6" else (socket.AF_INET, "127.0.0.1")
if style == "client_exits":
    # The kernel closes these as the process ends, after its image is let go.
    keep = []
    for _ in range(count):
        keep.append(socket.create_connection((host, port)))
        print(keep[-1].getsockname()[1], flush=True)
    time.sleep(life)
    os._exit(0)
for _ in range(count):
    if style == "udp":
        s = socket.socket(fam, socket.SOCK_DGRAM)
        s.connect((host, port))
        s.send(b"x")
    else:
        s = socket.socket(fam, socket.SOCK_STREAM)
        s.connect((host, port))
    print(s.getsockname()[1], flush=True)
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
    return {
        "proto": int(fields["proto"]), "pid": int(fields["pid"]), "state": int(fields["state"]),
        "src": fields["src"], "sport": int(fields["sport"]), "dst": fields["dst"],
        "dport": int(fields["dport"]), "cookie": int(fields["cookie"]),
        "name": bytes.fromhex(fields["name"]).decode(errors="replace"),
    }


class Probe:
    """The test driver, its records collected as they come."""

    def __init__(self, cmd, env=None):
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env)
        self.first = self.proc.stdout.readline().decode().rstrip("\n")
        self.records = []
        self.tail = []
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode(errors="replace").rstrip("\n")
            if line.startswith("proto="):
                self.records.append(parse(line))
            else:
                self.tail.append(line)

    def finish(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        self.proc.wait(timeout=30)
        self._reader.join(timeout=30)
        return self.proc.stderr.read().decode(errors="replace")


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

    def as_nobody(self, caps):
        """The driver's first line and standard error, run as uid 65534 holding CAPS."""
        plus = ",".join("+" + c for c in caps) if caps else "-all"
        bounding = "-all," + plus if caps else "-all"
        prefix = [*support.NOBODY, "--inh-caps", plus, "--bounding-set", bounding]
        if caps:
            prefix[len(support.NOBODY):len(support.NOBODY)] = ["--ambient-caps", plus]
        d, path = probe_copy()
        try:
            out = subprocess.run([*prefix, path, "0"], capture_output=True, timeout=60, cwd="/")
        finally:
            shutil.rmtree(d)
        self.assertEqual(out.returncode, 0, out.stderr)
        first = out.stdout.decode().splitlines()[0]
        if first == "tracer: off: not built in":
            self.skipTest("this build has no tracer")
        return first, out.stderr

    @unittest.skipUnless(support.is_root(), "needs root to change to an unprivileged user")
    @unittest.skipIf(shutil.which("setpriv") is None, "needs setpriv (util-linux)")
    def test_unprivileged_declines_quietly(self):
        for caps in ([], ["bpf"], ["perfmon"]):
            first, err = self.as_nobody(caps)
            self.assertTrue(first.startswith("tracer: off: not permitted to load BPF programs"), (caps, first))
            # libbpf's own complaints stay out of the program's standard error.
            self.assertEqual(err, b"", caps)

    @unittest.skipUnless(support.is_root(), "needs root to change to an unprivileged user and grant capabilities")
    @unittest.skipIf(shutil.which("setpriv") is None, "needs setpriv (util-linux)")
    def test_bpf_and_perfmon_suffice(self):
        as_root = subprocess.run([PROBE, "0"], capture_output=True, timeout=60).stdout.decode().splitlines()[0]
        if as_root != "tracer: active":
            self.skipTest(f"not even root may load it here: {as_root}")
        first, err = self.as_nobody(["bpf", "perfmon"])
        self.assertEqual(first, "tracer: active")
        self.assertEqual(err, b"")


@unittest.skipUnless(PROBE and os.path.exists(PROBE), "needs the tracer's test driver")
@unittest.skipUnless(support.is_root(), "loading BPF needs root")
class TracerOwners(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="sockvane-tracer-")
        # The client runs under a name of its own, so a record cannot be right
        # by naming the test process instead.
        cls.client_exe = os.path.join(cls.scratch, CLIENT_NAME)
        shutil.copy2(os.path.realpath(sys.executable), cls.client_exe)
        cls.probe = Probe([PROBE, "300"])
        if cls.probe.first == "tracer: off: not built in":
            cls.probe.finish()
            raise unittest.SkipTest("this build has no tracer")
        if cls.probe.first.startswith("tracer: off: ") and refusal(cls.probe.first).startswith(HOST_REFUSALS):
            cls.probe.finish()
            raise unittest.SkipTest(f"this host refuses BPF: {cls.probe.first}")
        if cls.probe.first != "tracer: active":
            err = cls.probe.finish()
            raise AssertionError(f"the tracer did not start: {cls.probe.first!r} {err!r}")
        cls.results = {}
        cls.server_name = support.exe_name(os.getpid())
        for style, family in [("client_closes", "4"), ("client_exits", "4"), ("client_rst", "4"), ("server_closes", "4"),
                              ("udp", "4"), ("client_rst", "6"), ("udp", "6")]:
            cls.results[(style, family)] = cls.run_case(style, family)
        time.sleep(0.5)  # one more drain of the driver
        cls.err = cls.probe.finish()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    @classmethod
    def run_case(cls, style, family):
        fam, host = (socket.AF_INET6, "::1") if family == "6" else (socket.AF_INET, "127.0.0.1")
        kind = socket.SOCK_DGRAM if style == "udp" else socket.SOCK_STREAM
        lst = socket.socket(fam, kind)
        lst.bind((host, 0))
        port = lst.getsockname()[1]
        if kind == socket.SOCK_STREAM:
            lst.listen(64)
        client = subprocess.Popen([cls.client_exe, "-c", CLIENT, style, family, str(port), str(COUNT), str(LIFE)],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            if kind == socket.SOCK_STREAM:
                lst.settimeout(10)
                for _ in range(COUNT):
                    conn, _ = lst.accept()
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
        client_ports = [int(p) for p in out.split()]
        assert len(client_ports) == COUNT, out
        return {"port": port, "host": host, "client_pid": client.pid, "client_ports": client_ports,
                "proto": 17 if style == "udp" else 6}

    def ends(self, case, style):
        """Each connection's client-side and server-side records, and the records of
        this case that name some other process."""
        by_client, by_server, strangers = {}, {}, []
        ours = set(case["client_ports"])
        for r in self.probe.records:
            if r["proto"] != case["proto"] or r["src"] != r["dst"] or r["src"] not in (case["host"], "::1", "127.0.0.1"):
                continue
            if r["dport"] == case["port"] and r["sport"] in ours:
                by_client.setdefault(r["sport"], []).append(r)
                if r["pid"] != case["client_pid"]:
                    strangers.append(r)
            elif r["sport"] == case["port"] and r["dport"] in ours:
                by_server.setdefault(r["dport"], []).append(r)
                if r["pid"] != os.getpid():
                    strangers.append(r)
        return by_client, by_server, strangers

    def check(self, style, family):
        case = self.results[(style, family)]
        by_client, by_server, strangers = self.ends(case, style)
        # Every record of our connections names the process that owns that end:
        # none may come from the task a softirq happened to interrupt.
        self.assertEqual(strangers, [], f"{style}/{family}: records with a wrong owner")
        need = COUNT * 95 // 100
        right_client = [p for p in case["client_ports"]
                        if any(r["pid"] == case["client_pid"] and r["name"] == CLIENT_NAME
                               for r in by_client.get(p, []))]
        self.assertGreaterEqual(len(right_client), need,
                                f"{style}/{family}: client end with its owner for {len(right_client)} of {COUNT}")
        if case["proto"] == 6:
            right_server = [p for p in case["client_ports"]
                            if any(r["pid"] == os.getpid() and r["name"] == self.server_name
                                   for r in by_server.get(p, []))]
            self.assertGreaterEqual(len(right_server), need,
                                    f"{style}/{family}: server end with its owner for {len(right_server)} of {COUNT}")
        return by_client, by_server

    def test_client_closes(self):
        by_client, by_server = self.check("client_closes", "4")
        # The client's close is its own (FIN_WAIT1), the server's answer too (LAST_ACK).
        self.assertTrue(all(any(r["state"] == 4 for r in rs) for rs in by_client.values()))
        self.assertTrue(all(any(r["state"] == 9 for r in rs) for rs in by_server.values()))

    def test_client_exits(self):
        by_client, _ = self.check("client_exits", "4")
        # Closed by the exiting process, which has no image left to name by then:
        # the name is the one its connects had.
        self.assertTrue(all(any(r["state"] == 4 and r["name"] == CLIENT_NAME for r in rs)
                            for rs in by_client.values()))

    def test_client_resets(self):
        for family in ("4", "6"):
            by_client, _ = self.check("client_rst", family)
            # The abort itself is seen with the whole address, before the kernel clears it.
            self.assertTrue(all(any(r["state"] == 7 and r["cookie"] != 0 for r in rs)
                                for rs in by_client.values()), family)

    def test_server_closes(self):
        by_client, by_server = self.check("server_closes", "4")
        self.assertTrue(all(any(r["state"] == 4 for r in rs) for rs in by_server.values()))
        self.assertTrue(all(any(r["state"] == 9 for r in rs) for rs in by_client.values()))

    def test_connected_udp(self):
        for family in ("4", "6"):
            by_client, _ = self.check("udp", family)
            self.assertTrue(all(r["state"] == 0 for rs in by_client.values() for r in rs))

    def test_nothing_lost_and_quiet(self):
        self.assertIn("lost=0", self.probe.tail)
        self.assertEqual(self.err, "")


if __name__ == "__main__":
    unittest.main()
