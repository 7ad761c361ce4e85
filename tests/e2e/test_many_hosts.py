"""Two hosts and a central server (network namespaces) with the shipped rsyslog
and PostgreSQL examples. Each host's sockvane watches connections its clients
open to public-looking addresses on its own loopback; the clients change
targets after a quiet gap, and the central rsyslog is stopped for 20 s after
it. Every line must be in the table once, as printed, with its host; the
shipped SQL must answer as the printed lines say.
"""

import collections
import csv
import io
import json
import os
import shutil
import subprocess
import sys
import time
import unittest
from datetime import datetime, timezone
from pathlib import Path

from support import BIN

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))
import central_path as cp  # noqa: E402

# Accepts on each target; closes each connection when its client does.
SERVER = r"""
import socket, sys, threading
def serve(s):
    while True:
        threading.Thread(target=lambda c: c.recv(1) or c.close(), args=(s.accept()[0],), daemon=True).start()
for host, port in (t.split(":") for t in sys.argv[1:]):
    threading.Thread(target=serve, args=(socket.create_server((host, int(port))),), daemon=True).start()
sys.stdin.read()
"""

# Opens a connection to each target, holds them longer than a poll, closes them.
CLIENT = r"""
import select, socket, sys, time
while not select.select([sys.stdin], [], [], 0)[0]:
    held = [socket.create_connection((h, int(p))) for h, p in (t.split(":") for t in sys.argv[1:])]
    time.sleep(0.7)
    for s in held:
        s.close()
    time.sleep(0.1)
"""

WEB, SSH, HTTP = "203.0.113.7", "198.51.100.9", "192.0.2.10"
PORTS = {WEB: 443, SSH: 22, HTTP: 80}
# Per host, the programs and their targets before and after the boundary.
PLAN = {
    "alpha": ({"firefox": [WEB, HTTP]}, {"firefox": [WEB], "rsync": [SSH]}),
    "bravo": ({"firefox": [WEB]}, {"rsync": [HTTP, WEB]}),
}

# A line anyone on a host can log under sockvane's name: (sent, stored, its jsonb).
HOSTILE = [
    (b'{"event":"new","dst_ip":"203.0.113.7"', '{"event":"new","dst_ip":"203.0.113.7"', None),
    (b'{"event":"new","process":"\\u0000"}', '{"event":"new","process":"\\u0000"}', None),
    (b'{"note":"it\'s \\\\ \\"x\\" \'); DROP TABLE sockvane_log; --"}',
     '{"note":"it\'s \\\\ \\"x\\" \'); DROP TABLE sockvane_log; --"}',
     {"note": "it's \\ \"x\" '); DROP TABLE sockvane_log; --"}),
    (b'{"note":"\xff"}', '{"note":" "}', {"note": " "}),
]


def when(line):
    return datetime.fromisoformat(json.loads(line)["time"]).replace(tzinfo=timezone.utc).timestamp()


def stamp(t):
    return datetime.fromtimestamp(t, timezone.utc).isoformat()


class Examples(unittest.TestCase):
    def test_the_readme_shows_each_file_as_shipped(self):
        readme = (ROOT / "README.md").read_text()
        for path in sorted(cp.EXAMPLES.iterdir()):
            self.assertIn(path.read_text(), readme, path.name)


class ManyHosts(unittest.TestCase):
    def setUp(self):
        why = cp.missing()
        if why:
            self.skipTest(why)
        self.lab = cp.Lab(PLAN)
        self.addCleanup(self.lab.close)

    def rows(self):
        out = self.lab.psql("SELECT host, sender, line, event FROM sockvane_log", csv=True)
        return list(csv.DictReader(io.StringIO(out)))

    def query(self, name, **variables):
        out = self.lab.psql(file=cp.EXAMPLES / name, variables=variables.items(), csv=True)
        return list(csv.reader(io.StringIO(out)))[1:]

    def clients(self, phase):
        procs = []
        for name, plans in PLAN.items():
            for program, targets in plans[phase].items():
                args = [self.bin / program, "-c", CLIENT, *(f"{t}:{PORTS[t]}" for t in targets)]
                procs.append(self.lab.spawn(args, ns=self.lab.hosts[name]["ns"], stdin=subprocess.PIPE))
        return procs

    @staticmethod
    def stop(procs):
        for p in procs:
            p.stdin.close()
        for p in procs:
            p.wait(timeout=30)

    def test_every_line_arrives_once_through_an_outage(self):
        lab = self.lab
        lab.postgres("fsync=off")
        lab.start_central()
        self.bin = lab.tmp / "bin"
        self.bin.mkdir()
        for program in ("firefox", "rsync", "server"):
            shutil.copy2(sys.executable, self.bin / program)
        feeds = {}
        for name, h in lab.hosts.items():
            for addr in PORTS:
                subprocess.run(["ip", "-n", h["ns"], "addr", "add", addr + "/32", "dev", "lo"], check=True)
            lab.spawn([self.bin / "server", "-c", SERVER, *(f"{a}:{p}" for a, p in PORTS.items())],
                      ns=h["ns"], stdin=subprocess.PIPE)
            lab.start_host(name)
            feeds[name] = cp.Feed(lab, name, [BIN, "--all", "--events", "new,closed", "--format", "jsonl",
                                              "--timestamp", "iso8601"], env=dict(os.environ, TZ="UTC"))
        start = time.time()

        procs = self.clients(0)
        for sent, _, _ in HOSTILE:
            feeds["bravo"].send(sent)
        time.sleep(4)
        self.stop(procs)
        time.sleep(1)  # the clients' last lines come within a poll
        boundary = time.time()
        time.sleep(1)
        procs = self.clients(1)
        time.sleep(1)
        # A restart of a host's rsyslog keeps what it queued, but not what it had
        # written into the connection as the central server went away: alpha's
        # connection is idle then, and alpha restarts before it writes again.
        feeds["alpha"].hold()
        lab.stop(lab.central_proc)
        down = time.time()
        lab.restart_host("alpha")
        feeds["alpha"].release()
        kept = len(self.rows())
        time.sleep(5)
        feeds["alpha"].hold()
        lab.restart_host("alpha")
        restarted = time.time()
        feeds["alpha"].release()
        time.sleep(14)
        self.assertEqual(kept, len(self.rows()), "rows were stored while the central rsyslog was down")
        lab.start_central()
        up = time.time()
        time.sleep(2)
        self.stop(procs)
        time.sleep(1)
        printed = {name: feed.stop() for name, feed in feeds.items()}

        # Every line once, as printed, from its host's address.
        want = {name: sorted(lines) for name, lines in printed.items()}
        want["bravo"] = sorted(want["bravo"] + [stored for _, stored, _ in HOSTILE])
        total = sum(map(len, want.values()))
        cp.wait_until(lambda: len(self.rows()) >= total, 60, f"{total} rows")
        rows = self.rows()
        for name in PLAN:
            mine = [r for r in rows if r["host"] == name]
            self.assertEqual(want[name], sorted(r["line"] for r in mine), name)
            self.assertEqual({lab.hosts[name]["addr"]}, {r["sender"] for r in mine})
            self.assertTrue([l for l in printed[name] if down < when(l) < up], f"{name}: none in the outage")
        queued = [line for line in printed["alpha"] if down < when(line) < restarted - 1]
        self.assertTrue(queued, "alpha had nothing queued at its restart")
        events = {r["line"]: r["event"] for r in rows}
        for line in printed["alpha"] + printed["bravo"]:
            self.assertEqual(json.loads(line), json.loads(events[line]), line)
        for _, stored, event in HOSTILE:
            self.assertEqual(event, json.loads(events[stored]) if events[stored] else None, stored)

        # A repeat of a stored line is dropped by the key; the marker shows the
        # repeats have been through.
        replay = lab.logger("alpha")
        replay.communicate(("\n".join(printed["alpha"][:5]) + '\n{"type":"marker"}\n').encode(), timeout=30)
        cp.wait_until(lambda: '{"type":"marker"}' in [r["line"] for r in self.rows()], 30, "the marker")
        self.assertEqual(len(rows) + 1, len(self.rows()))

        # The shipped SQL against what the hosts printed.
        news = [(name, json.loads(l), when(l)) for name, lines in printed.items() for l in lines
                if json.loads(l)["event"] == "new"]
        self.assertTrue(all(abs(t - boundary) > 0.3 for _, _, t in news), "a line too near the boundary")
        for since, until in ((start - 60, boundary), (boundary, time.time() + 60)):
            got = self.query("who-connected.sql", dst_ip=WEB, since=stamp(since), until=stamp(until))
            count = collections.Counter((n, e["process"], e["pid"]) for n, e, t in news
                                        if e["dst_ip"] == WEB and since <= t < until)
            self.assertEqual(sorted(count.items()),
                             sorted(((h, p, pid), int(c)) for h, p, pid, c, _, _ in got))
        before = {e["dst_ip"] for _, e, t in news if t < boundary}
        after = {e["dst_ip"] for _, e, t in news if t >= boundary} - before
        hosts = {d: ",".join(sorted({n for n, e, _ in news if e["dst_ip"] == d})) for d in after}
        got = self.query("new-destinations.sql", since=stamp(boundary))
        self.assertEqual(hosts, {r[0]: r[3] for r in got})
        self.assertIn(SSH, after)
        self.assertNotIn(HTTP, after)  # alpha's before, bravo's after

        # Per process, its two destinations with most connections, ties by address and port.
        count = collections.Counter((e["process"], e["dst_ip"], e["dst_port"]) for _, e, _ in news)
        ranked = sorted(count.items(), key=lambda kc: (kc[0][0], -kc[1], kc[0][1:]))
        top = [k + (c, len({n for n, e, _ in news if (e["process"], e["dst_ip"], e["dst_port"]) == k}))
               for i, (k, c) in enumerate(ranked) if i < 2 or ranked[i - 2][0][0] != k[0]]
        got = self.query("top-destinations.sql", since=stamp(start - 60), top=2)
        self.assertEqual(top, [(p, ip, int(port), int(c), int(h)) for p, ip, port, c, h in got])
        self.assertIn(("rsync", HTTP, 80), [t[:3] for t in top])

        hourly = collections.Counter(
            (n, datetime.fromtimestamp(t, timezone.utc).strftime("%Y-%m-%d %H:00:00+00")) for n, _, t in news)
        got = self.query("connections-per-hour.sql", since=stamp(start - 60))
        if not any(t % 3600 < 1 or t % 3600 > 3599 for _, _, t in news):  # logged may fall in the next hour
            self.assertEqual(sorted(hourly.items()), [((h, hour), int(c)) for h, hour, c in got])
        self.assertEqual(len(news), sum(int(c) for _, _, c in got))


if __name__ == "__main__":
    unittest.main()
