"""The README's commands run as written and give sane, parseable output.

Every command under "Common tasks" runs in a network namespace of the test's
own, where public addresses sit on the loopback interface and processes named
firefox and postgres (copies of the Python interpreter) keep opening and
closing connections between them. The rsyslog rule of the log-shipping
section runs in a private rsyslogd, and its file is read back with the
README's jq command.
"""

import csv
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

from support import BIN, is_root

ROOT = Path(__file__).resolve().parents[2]
README = ROOT / "README.md"

# Not allowlisted / allowlisted by the README's allow.txt; both public.
OTHER, ALLOWED = "9.9.9.9", "8.8.8.8"
TARGETS = [(OTHER, 443), (OTHER, 8443), (ALLOWED, 443), (OTHER, 5432), (OTHER, 53)]

# Listens on the targets given as arguments ("host:port").
SERVER = r"""
import select, socket, sys, time
socks = []
for target in sys.argv[1:]:
    host, port = target.rsplit(":", 1)
    port = int(port)
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((host, port))
    s.listen(64)
    socks.append(s)
listeners = set(socks)
print("ready", flush=True)
end = time.monotonic() + 180
while time.monotonic() < end:
    ready, _, _ = select.select(socks + [sys.stdin], [], [], 1)
    if sys.stdin in ready:
        break
    for s in ready:
        if s in listeners:
            socks.append(s.accept()[0])
        elif not s.recv(1):
            socks.remove(s)
            s.close()
"""

# New connections every 0.2 s, at most six open, the oldest closed first; at
# most 900 connections or 180 s, fewer if standard input closes.
CLIENT = r"""
import select, socket, sys, time
targets = %r
opened = []
for n in range(900):
    if select.select([sys.stdin], [], [], 0.2)[0]:
        break
    opened.append(socket.create_connection(targets[n %% len(targets)]))
    if len(opened) > 6:
        opened.pop(0).close()
""" % (TARGETS,)

# Commands run through this function: what would run until Ctrl-C gets it
# after three seconds, as a user would press it.
PRELUDE = r"""
sockvane() {
  case " $* " in
    *" --once "*) "$SOCKVANE" "$@" ;;
    *) timeout -s INT 3 "$SOCKVANE" "$@"; rc=$?; [ "$rc" -eq 124 ] || return "$rc" ;;
  esac
}
set -o pipefail
"""


def section(title):
    text = README.read_text()
    start = text.index(f"\n## {title}\n")
    end = text.find("\n## ", start + 1)
    return text[start:end if end >= 0 else len(text)]


def code_blocks(text):
    """(info string, body) of every fenced block."""
    return re.findall(r"^```(\w*)\n(.*?)^```", text, flags=re.M | re.S)


def commands(body):
    """Shell commands of a block: continuation lines joined, here-documents kept."""
    cmds, lines = [], body.splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        i += 1
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        while line.endswith("\\") or line.rstrip().endswith("|"):
            line = line.rstrip("\\") + "\n" + lines[i]
            i += 1
        m = re.search(r"<<'?(\w+)'?", line)
        if m:
            while True:
                line += "\n" + lines[i]
                i += 1
                if lines[i - 1] == m.group(1):
                    break
        cmds.append(line)
    return cmds


def text_events(out):
    """Event lines of text output, after checking the banner and the header."""
    lines = out.splitlines()
    assert len(lines) >= 2 and lines[0].startswith("SOCKVANE "), out
    assert lines[1].split()[:2] == ["TIME", "EVENT"], out
    return [l for l in lines[2:] if l and not l.startswith(("STATS", "TOP", "  "))]


@unittest.skipUnless(is_root(), "needs root for a network namespace")
@unittest.skipIf(shutil.which("ip") is None or shutil.which("jq") is None,
                 "needs ip (iproute2) and jq")
class CommonTasks(unittest.TestCase):
    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp(prefix="sockvane-readme-"))
        self.addCleanup(shutil.rmtree, self.tmp)
        self.ns = f"sockvane-doc-{os.getpid()}"
        made = subprocess.run(["ip", "netns", "add", self.ns], capture_output=True, text=True)
        if made.returncode != 0:
            self.skipTest(f"cannot make a network namespace: {made.stderr.strip()}")
        self.addCleanup(subprocess.run, ["ip", "netns", "delete", self.ns])
        subprocess.run(["ip", "-n", self.ns, "link", "set", "lo", "up"], check=True)
        for addr in (OTHER, ALLOWED):
            subprocess.run(["ip", "-n", self.ns, "addr", "add", addr + "/32", "dev", "lo"],
                           check=True)
        # Processes whose executables are named as in the README.
        bindir = self.tmp / "bin"
        bindir.mkdir()
        for name in ("firefox", "postgres", "httpd"):
            shutil.copy2(sys.executable, bindir / name)
        for name in ("postgres", "httpd"):
            targets = [f"{h}:{p}" for h, p in TARGETS if (p == 5432) == (name == "postgres")]
            server = self.spawn(bindir / name, SERVER, *targets)
            self.assertEqual("ready", server.stdout.readline().strip())
        self.spawn(bindir / "firefox", CLIENT)
        self.work = self.tmp / "work"
        self.work.mkdir()

    def spawn(self, exe, script, *args):
        p = subprocess.Popen(["ip", "netns", "exec", self.ns, str(exe), "-c", script, *args],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

        def stop():
            p.stdin.close()
            try:
                p.wait(timeout=30)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
            p.stdout.close()
        self.addCleanup(stop)
        return p

    def sh(self, command):
        env = dict(os.environ, SOCKVANE=str(Path(BIN).resolve()))
        return subprocess.run(["ip", "netns", "exec", self.ns, "bash", "-c", PRELUDE + command],
                              cwd=self.work, env=env, capture_output=True, text=True, timeout=120)

    def test_every_command_runs(self):
        cmds = []
        for lang, body in code_blocks(section("Common tasks")):
            self.assertEqual("sh", lang, body)
            cmds += commands(body)
        outputs = {}
        for cmd in cmds:
            with self.subTest(cmd=cmd):
                res = self.sh(cmd)
                self.assertEqual(0, res.returncode, res.stderr)
                self.assertEqual("", res.stderr)
                outputs[cmd] = res.stdout

        def output(prefix):
            found = [out for cmd, out in outputs.items() if cmd.startswith(prefix)]
            self.assertEqual(1, len(found), f"no single README command starts with {prefix!r}")
            return found[0]

        # Text output: banner and header, then the events the command selects.
        events = text_events(output("sockvane --process firefox "))
        self.assertTrue(events)
        self.assertTrue(all("firefox" in e for e in events), events)
        events = text_events(output("sockvane --process postgres --all"))
        self.assertTrue(events)
        self.assertTrue(all("postgres" in e and " 5432 " in e for e in events), events)
        events = text_events(output("sockvane --dst-port 443,8443"))
        self.assertTrue(events)
        self.assertTrue(all(re.search(r" (443|8443) ", e) for e in events), events)
        events = text_events(output("sockvane --allowlist allow.txt"))
        self.assertTrue(any(OTHER in e for e in events), events)
        self.assertFalse(any(ALLOWED in e for e in events), events)
        text_events(output("sockvane --pid 4312"))
        events = text_events(output("sockvane --all --exclude-port 53"))
        self.assertTrue(any(OTHER in e for e in events), events)

        # The JSON lines log, and the jq pipelines on it.
        log = [json.loads(l) for l in (self.work / "conn.jsonl").read_text().splitlines()]
        news = [o for o in log if o.get("event") == "new"]
        self.assertTrue(news, log)
        rows = output("jq -r 'select(.event == \"new\")").splitlines()
        self.assertEqual(len(news), len(rows))
        for row in rows:
            self.assertEqual(5, len(row.split("\t")), row)
        per_process = output("jq -s -r").splitlines()
        self.assertTrue(per_process)
        counts = {}
        for row in per_process:
            n, name = row.split("\t")
            counts[name] = int(n)
        self.assertEqual(len(news), sum(counts.values()))
        self.assertIn("firefox", counts)
        for line in output("jq -c 'select(.type == \"stats\")'").splitlines():
            self.assertEqual("stats", json.loads(line)["type"])

        # --extra: units beside destinations; the inbound ends are the servers'.
        for row in output("sockvane --format jsonl --extra unit,user").splitlines():
            self.assertEqual(5, len(row.split("\t")), row)
        inbound = [json.loads(l) for l in output("sockvane --all --format jsonl --extra direction").splitlines()]
        self.assertTrue(inbound)
        for o in inbound:  # PID 0: accepted by the kernel, not yet by the server
            self.assertEqual("in", o["direction"], o)
            self.assertIn(o["process"], ("httpd", "postgres", "unknown"), o)

        # The CSV, as a spreadsheet would read it.
        with open(self.work / "connections.csv", newline="") as f:
            table = list(csv.reader(f))
        header, rows = table[0], table[1:]
        self.assertIn("dst_port", header)
        self.assertTrue(rows)
        for row in rows:
            self.assertEqual(len(header), len(row), row)
        dst = header.index("dst_ip")
        self.assertIn(OTHER, {r[dst] for r in rows})


@unittest.skipUnless(is_root(), "rsyslogd needs root")
@unittest.skipIf(shutil.which("rsyslogd") is None or shutil.which("logger") is None
                 or shutil.which("jq") is None, "needs rsyslog, logger (bsdutils) and jq")
class RsyslogJson(unittest.TestCase):
    def test_rule_and_jq_read_back(self):
        text = section("A connection log in the journal")
        rule = next(body for _, body in code_blocks(text)
                    if body.startswith("# /etc/rsyslog.d/60-sockvane.conf"))
        read_back = next(cmd for _, body in code_blocks(text) for cmd in commands(body)
                         if cmd.startswith("jq ") and "/var/log/sockvane.jsonl" in cmd)
        tmp = Path(tempfile.mkdtemp(prefix="sockvane-rsyslog-"))
        self.addCleanup(shutil.rmtree, tmp)
        out = tmp / "sockvane.jsonl"
        sock = tmp / "log.sock"
        conf = tmp / "rsyslog.conf"
        # The README's rule, then a catch-all that must not see sockvane's lines.
        conf.write_text(
            f'global(workDirectory="{tmp}")\n'
            'module(load="imuxsock" SysSock.Use="off")\n'
            f'input(type="imuxsock" Socket="{sock}")\n'
            + rule.replace("/var/log/sockvane.jsonl", str(out))
            + f'action(type="omfile" file="{tmp}/other.log")\n')
        check = subprocess.run(["rsyslogd", "-N1", "-f", str(conf)], capture_output=True,
                               text=True, timeout=60)
        self.assertEqual(0, check.returncode, check.stderr + check.stdout)
        daemon = subprocess.Popen(["rsyslogd", "-n", "-f", str(conf), "-i", str(tmp / "pid")],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)

        def stop():
            if daemon.poll() is None:
                daemon.send_signal(signal.SIGTERM)
            daemon.wait(timeout=30)
            daemon.stderr.close()
        self.addCleanup(stop)
        for _ in range(100):
            if sock.exists():
                break
            time.sleep(0.1)
        self.assertTrue(sock.exists(), "rsyslogd made no socket")

        # One scan of a connection of ours, each line sent as sockvane's.
        with socket.create_server(("127.0.0.1", 0)) as srv:
            port = srv.getsockname()[1]
            cli = socket.create_connection(("127.0.0.1", port))
            peer, _ = srv.accept()
            try:
                # Our PID: a TIME_WAIT row on a reused port number is not ours.
                scan = subprocess.run([BIN, "--once", "--all", "--format", "jsonl",
                                       "--dst-port", str(port), "--pid", str(os.getpid())],
                                      capture_output=True, text=True, timeout=60)
            finally:
                cli.close()
                peer.close()
        self.assertEqual(0, scan.returncode, scan.stderr)
        lines = scan.stdout.splitlines()
        self.assertEqual(1, len(lines), lines)
        for tag, data in (("sockvane", scan.stdout), ("other", "not a sockvane line\n")):
            subprocess.run(["logger", "-d", "-u", str(sock), "-t", tag], input=data,
                           text=True, check=True, timeout=30)
        for _ in range(100):
            if out.exists() and (tmp / "other.log").exists() and out.read_text().count("\n") >= 1:
                break
            time.sleep(0.1)
        stop()

        records = [json.loads(l) for l in out.read_text().splitlines()]
        self.assertEqual(1, len(records), records)
        self.assertEqual({"time", "host", "line"}, set(records[0]))
        other = (tmp / "other.log").read_text()
        self.assertIn("not a sockvane line", other)
        self.assertNotIn('"proto"', other)
        res = subprocess.run(["bash", "-c", read_back.replace("/var/log/sockvane.jsonl", str(out))],
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(0, res.returncode, res.stderr)
        got = [json.loads(l) for l in res.stdout.splitlines()]
        want = json.loads(lines[0])
        want["host"] = records[0]["host"]
        self.assertEqual([want], got)


if __name__ == "__main__":
    unittest.main()
