"""The capabilities the service holds are enough, and no more stay than needed.

An unprivileged user holding CAP_SYS_PTRACE and CAP_DAC_READ_SEARCH as ambient
capabilities, or what sockvane.service grants, names the owners of root's
loopback connections exactly as `ss -tanp` run by root does; with either one
alone, or none, every owner stays unknown while the endpoints are still
complete. Once the tracer is loaded, the rights only loading needed are gone.
"""

import os
import shutil
import subprocess
import sys
import time
import unittest

from support import connect_pair, is_root, jsonl, listener, public_binary
from test_peer_ss import ss_endpoints

NOBODY = ["setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups"]
# Bit numbers from linux/capability.h.
CAP_BITS = {"dac_read_search": 2, "net_admin": 12, "sys_ptrace": 19, "perfmon": 38, "bpf": 39}
# What sockvane.service grants.
UNIT_CAPS = ("bpf", "perfmon", "net_admin", "sys_ptrace", "dac_read_search")

# Holds one connection to the port given, as a second root-owned process.
CHILD = r"""
import socket, sys, select
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
print("ready", flush=True)
select.select([sys.stdin], [], [], 60)
"""


def with_caps(caps):
    """setpriv arguments for an unprivileged user holding exactly CAPS."""
    if not caps:
        return [*NOBODY, "--inh-caps", "-all", "--bounding-set", "-all"]
    plus = ",".join("+" + c for c in caps)
    return [*NOBODY, "--inh-caps", plus, "--ambient-caps", plus,
            "--bounding-set", "-all," + plus]


def effective_caps(prefix):
    out = subprocess.run([*prefix, "cat", "/proc/self/status"], capture_output=True,
                         text=True, timeout=30, check=True, cwd="/").stdout
    fields = dict(line.split(":\t", 1) for line in out.splitlines() if ":\t" in line)
    return int(fields["CapEff"], 16), fields["Uid"].split()


@unittest.skipUnless(is_root(), "needs root to own the connections and grant capabilities")
@unittest.skipIf(shutil.which("setpriv") is None or shutil.which("ss") is None,
                 "needs setpriv and ss (util-linux, iproute2)")
class AmbientCapabilities(unittest.TestCase):
    def test_owners_of_root_connections(self):
        lst = listener()
        port = lst.getsockname()[1]
        pairs, child = [], None
        try:
            pairs = [connect_pair(lst) for _ in range(3)]
            child = subprocess.Popen([sys.executable, "-c", CHILD, str(port)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            self.assertEqual("ready", child.stdout.readline().strip())
            pairs.append((lst.accept()[0], None))
            time.sleep(0.2)
            theirs = ss_endpoints(port, {os.getpid(), child.pid})
            mine = {row[:2] for row in theirs}
            # 4 connections, both ends; the listener has no remote port.
            self.assertEqual(8, len(theirs), theirs)
            owners = {row[3] for row in theirs}
            self.assertEqual({str(os.getpid()), str(child.pid)}, owners)

            cases = [
                (UNIT_CAPS, True),
                (("sys_ptrace", "dac_read_search"), True),
                (("sys_ptrace",), False),
                (("dac_read_search",), False),
                ((), False),
            ]
            for caps, attributed in cases:
                with self.subTest(caps=caps):
                    prefix = with_caps(caps)
                    eff, uids = effective_caps(prefix)
                    self.assertEqual(sum(1 << CAP_BITS[c] for c in caps), eff)
                    self.assertEqual(["65534"] * 4, uids)
                    res = subprocess.run([*prefix, public_binary(), "--once", "--all",
                                          "--format", "jsonl"],
                                         stdin=subprocess.DEVNULL, capture_output=True,
                                         timeout=60, cwd="/")
                    self.assertEqual(0, res.returncode, res.stderr)
                    ours = set()
                    for e in jsonl(res.stdout):
                        ends = ((e["src_ip"], e["src_port"]), (e["dst_ip"], e["dst_port"]))
                        # Another program may hold sockets on the same port number.
                        if e["proto"] == "TCP" and ends in mine:
                            ours.add((*ends, e["state"], e["pid"]))
                    if attributed:
                        self.assertEqual(theirs, ours)
                    else:
                        self.assertEqual({row[:3] + ("0",) for row in theirs}, ours)
        finally:
            if child is not None:
                child.stdin.close()
                child.wait(timeout=30)
                child.stdout.close()
            for a, b in pairs:
                a.close()
                if b is not None:
                    b.close()
            lst.close()

    def test_loading_rights_go_once_the_tracer_is_loaded(self):
        prefix = with_caps(UNIT_CAPS)
        mon = subprocess.Popen([*prefix, public_binary(), "--interval", "100"], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd="/")
        try:
            time.sleep(1.0)
            with open(f"/proc/{mon.pid}/status") as f:
                fields = dict(line.split(":\t", 1) for line in f if ":\t" in line)
            links = 0
            for fd in os.listdir(f"/proc/{mon.pid}/fdinfo"):
                with open(f"/proc/{mon.pid}/fdinfo/{fd}") as f:
                    links += sum(line.startswith("link_id:") for line in f)
        finally:
            mon.terminate()
            mon.wait(timeout=30)
        if links == 0:
            self.skipTest("the tracer did not load here")
        kept = sum(1 << CAP_BITS[c] for c in ("sys_ptrace", "dac_read_search"))
        for key in ("CapEff", "CapPrm", "CapAmb"):
            self.assertEqual(kept, int(fields[key], 16), key)


if __name__ == "__main__":
    unittest.main()
