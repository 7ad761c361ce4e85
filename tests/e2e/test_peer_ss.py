"""sockvane and ss agree on every endpoint of connections held by several processes."""

import os
import re
import subprocess
import sys
import time
import unittest

from support import jsonl, listener, run

# Each child connects COUNT times, forks once so that one socket is shared,
# says "ready" and holds everything until its standard input closes (or 60 s).
CHILD = r"""
import os, socket, sys, select
port, count = int(sys.argv[1]), int(sys.argv[2])
socks = [socket.create_connection(("127.0.0.1", port)) for _ in range(count)]
pid = os.fork()
if pid == 0:
    select.select([sys.stdin], [], [], 60)
    os._exit(0)
print("ready", pid, flush=True)
select.select([sys.stdin], [], [], 60)
os.waitpid(pid, 0)
"""

SS_STATES = {"ESTAB": "ESTABLISHED", "SYN-SENT": "SYN_SENT", "SYN-RECV": "SYN_RECV", "FIN-WAIT-1": "FIN_WAIT1",
             "FIN-WAIT-2": "FIN_WAIT2", "TIME-WAIT": "TIME_WAIT", "CLOSE-WAIT": "CLOSE_WAIT",
             "LAST-ACK": "LAST_ACK", "LISTEN": "LISTEN", "CLOSING": "CLOSING"}


def split_endpoint(text):
    host, port = text.rsplit(":", 1)
    host = host.strip("[]")
    if host.startswith("::ffff:") and "." in host:
        host = host[len("::ffff:"):]
    return host, 0 if port == "*" else int(port)


def ss_endpoints(port, pids):
    """Endpoints on `port` held by one of `pids`: a busy host may have foreign
    sockets with the same port number (another address, another peer)."""
    # Other processes' names need not be valid UTF-8.
    out = subprocess.run(["ss", "-Htanp"], capture_output=True, check=True).stdout.decode(errors="replace")
    rows = set()
    for line in out.splitlines():
        fields = line.split()
        if len(fields) < 5:
            continue
        state, local, peer = fields[0], fields[3], fields[4]
        src, dst = split_endpoint(local), split_endpoint(peer)
        if port not in (src[1], dst[1]) or dst[1] == 0:
            continue
        holders = [int(p) for p in re.findall(r"pid=(\d+)", line)]
        if not set(holders) & pids:
            continue
        owner = str(min(holders))
        rows.add((src, dst, SS_STATES.get(state, state), owner))
    return rows


class PeerWithSs(unittest.TestCase):
    def test_endpoints_agree_with_ss(self):
        lst = listener()
        port = lst.getsockname()[1]
        children, accepted = [], []
        try:
            for _ in range(4):
                children.append(subprocess.Popen([sys.executable, "-c", CHILD, str(port), "5"],
                                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True))
            for _ in range(20):
                accepted.append(lst.accept()[0])
            forks = []
            for child in children:
                line = child.stdout.readline().split()
                self.assertEqual(line[0], "ready")
                forks.append(int(line[1]))
            time.sleep(0.2)

            ours = set()
            pids = {os.getpid(), *(c.pid for c in children), *forks}
            r = run(["--once", "--all", "--format", "jsonl"])
            self.assertEqual(r.returncode, 0, r.stderr)
            theirs = ss_endpoints(port, pids)
            for e in jsonl(r.stdout):
                if e["proto"] == "TCP" and port in (e["src_port"], e["dst_port"]) and int(e["pid"]) in pids:
                    ours.add(((e["src_ip"], e["src_port"]), (e["dst_ip"], e["dst_port"]), e["state"], e["pid"]))
            self.assertEqual(len(ours), 40)
            self.assertEqual(ours, theirs)
            # Shared sockets go to the lowest holder: each child, not its later fork.
            owners = {row[3] for row in ours}
            expected = {str(min(c.pid, f)) for c, f in zip(children, forks)} | {str(os.getpid())}
            self.assertEqual(owners, expected)
        finally:
            for child in children:
                child.stdin.close()
            for child in children:
                child.wait(timeout=30)
                child.stdout.close()
            for s in accepted:
                s.close()
            lst.close()


if __name__ == "__main__":
    unittest.main()
