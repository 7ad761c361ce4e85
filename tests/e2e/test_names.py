"""Hostile process names and IPv6 filters, with real processes and sockets.

Each named process is a copy of sleep that holds the client end of a loopback
connection opened here; this process closes its own copy, so the copy is the
sole owner of the row.
"""

import csv
import io
import json
import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from support import BIN, connect_pair, is_root, jsonl, listener, public_dir_file, run

SLEEP = shutil.which("sleep") or "/bin/sleep"

NAMES = [
    b"my:sh",
    b"back\\sh",
    b"evil:unknown",
    b"caf\xe9sh",  # Latin-1, not UTF-8
    b"\x1b[2Jclear",
    b"x\x9b2Jc1",  # an 8-bit CSI
    "a\u202egpj.sh".encode(),  # shown reversed by a terminal
    b"=1+2",
    b"@SUM(A1)",
]


def json_expected(name):
    """The string a JSON reader gets: UTF-8 as it is, other bytes as their
    Latin-1 character, control bytes without an escape as '?'."""
    text = name.decode("utf-8", "surrogateescape")
    text = "".join(chr(ord(c) - 0xDC00) if 0xDC80 <= ord(c) <= 0xDCFF else c for c in text)
    return "".join("?" if ord(c) < 0x20 and c not in "\t\n\r" else c for c in text)


C1_UTF8 = re.compile(rb"\xc2[\x80-\x9f]")
TERMINAL_MOVERS = re.compile(rb"\xe2\x80[\xa8-\xae]|\xe2\x81[\xa6-\xa9]")


def controls_in(data, allowed=b"\n"):
    """Bytes and sequences that drive a terminal or reorder its line."""
    found = [b for b in data if (b < 0x20 and bytes([b]) not in allowed) or b == 0x7F]
    found += C1_UTF8.findall(data) + TERMINAL_MOVERS.findall(data)
    # Raw 0x80-0x9F outside a well-formed sequence.
    text = data.decode("utf-8", "surrogateescape")
    found += [c for c in text if 0xDC80 <= ord(c) <= 0xDC9F]
    return found


class NamedOwner:
    """A copy of sleep under `name` that owns one loopback TCP connection."""

    def __init__(self, name, family=socket.AF_INET, address="127.0.0.1"):
        self.dir = tempfile.mkdtemp(prefix="sockvane-names-")
        os.chmod(self.dir, 0o755)
        self.path = os.path.join(os.fsencode(self.dir), name)
        shutil.copy2(SLEEP, self.path)
        os.chmod(self.path, 0o755)
        self.lst = listener(family, address)
        self.port = self.lst.getsockname()[1]
        client, self.server = connect_pair(self.lst)
        self.client_port = client.getsockname()[1]
        self.proc = subprocess.Popen([self.path, "120"], pass_fds=(client.fileno(),),
                                     stdin=subprocess.DEVNULL)
        client.close()
        self.pid = str(self.proc.pid)
        # Until exec has happened the child is still a copy of this process.
        deadline = time.monotonic() + 10
        while not os.readlink(f"/proc/{self.proc.pid}/exe".encode()).startswith(self.path):
            if time.monotonic() > deadline:
                raise AssertionError("the copy did not start")
            time.sleep(0.01)

    def close(self):
        self.proc.kill()
        self.proc.wait(timeout=10)
        self.server.close()
        self.lst.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def scan(self, *extra):
        r = run(["--once", "--all", "--dst-port", str(self.port), *extra])
        if r.returncode != 0:
            raise AssertionError(r.stderr)
        return r.stdout

    def mine(self, events):
        """The events of this owner's row; other programs may share the port."""
        return [e for e in events if e.get("pid") == self.pid and e.get("src_port") == self.client_port]


class HostileNames(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.owners = {name: NamedOwner(name) for name in NAMES}

    @classmethod
    def tearDownClass(cls):
        for owner in cls.owners.values():
            owner.close()

    def mine(self, events, owner):
        rows = owner.mine(events)
        self.assertEqual(len(rows), 1, events)
        return rows[0]

    def test_json_lines_every_reader_accepts(self):
        for name, owner in self.owners.items():
            with self.subTest(name=name):
                out = owner.scan("--format", "jsonl")
                out.decode("utf-8")  # strict: the stream is UTF-8
                events = [json.loads(line) for line in out.decode().splitlines()]
                self.assertEqual(self.mine(events, owner)["process"], json_expected(name))
                jq = subprocess.run(["jq", "-c", "select(.pid == \"%s\") | .process" % owner.pid],
                                    input=out, capture_output=True, timeout=30)
                self.assertEqual(jq.returncode, 0, jq.stderr)
                self.assertEqual(json.loads(jq.stdout), json_expected(name))

    def test_csv_is_one_record_per_line_without_controls_or_formulas(self):
        for name, owner in self.owners.items():
            with self.subTest(name=name):
                out = owner.scan("--format", "csv")
                self.assertEqual(controls_in(out.replace(b"\xe2\x80\xae", b"")), [])
                lines = out.split(b"\n")
                self.assertEqual(lines[-1], b"")
                rows = list(csv.reader(io.StringIO(out.decode("utf-8", "surrogateescape"), newline="")))
                self.assertEqual(rows[0], ["time", "event", "proto", "pid", "process", "src_ip", "src_port",
                                           "dst_ip", "dst_port", "state", "age_seconds"])
                self.assertEqual(len(rows), len(lines) - 1)  # no record spans two lines
                mine = [r for r in rows[1:] if r[3] == owner.pid and r[6] == str(owner.client_port)]
                self.assertEqual(len(mine), 1, rows)
                shown = name.decode("utf-8", "surrogateescape")
                shown = re.sub("[\x00-\x1f\x7f\x80-\x9f\udc80-\udc9f]", "?", shown)
                if shown[:1] in ("=", "+", "-", "@"):
                    shown = "'" + shown
                self.assertEqual(mine[0][4], shown)

    def test_text_and_its_report_drive_no_terminal(self):
        for name, owner in self.owners.items():
            with self.subTest(name=name):
                out = owner.scan("--summary")
                self.assertEqual(controls_in(out), [])
                shown = name.decode("utf-8", "surrogateescape")
                shown = re.sub("[\x00-\x1f\x7f\x80-\x9f\u202a-\u202e\u2066-\u2069\u2028\u2029"
                               "\udc80-\udc9f]", "?", shown)
                shown = shown.encode("utf-8", "surrogateescape")
                line = [ln for ln in out.split(b"\n") if re.search(rb" %s +%d +127\.0\.0\.1 " % (
                    re.escape(shown), owner.client_port), ln)]
                self.assertEqual(len(line), 1, out)
                self.assertIn(b"\n  " + shown + b" (" + owner.pid.encode() + b"): 1\n", out)

    def test_whole_names_match_the_process_filters(self):
        for name in (b"my:sh", b"back\\sh", b"evil:unknown"):
            owner = self.owners[name]
            with self.subTest(name=name):
                self.assertEqual(len(owner.mine(jsonl(owner.scan("--format", "jsonl", "--process", name)))), 1)
                self.assertEqual(owner.mine(jsonl(owner.scan("--format", "jsonl", "--exclude-process", name))), [])
        owner = self.owners[b"evil:unknown"]
        self.assertEqual(len(owner.mine(jsonl(owner.scan("--format", "jsonl", "--process", "evil:")))), 1)
        self.assertEqual(owner.mine(jsonl(owner.scan("--format", "jsonl", "--process", "unknown", "--pid",
                                                     owner.pid)))[0]["process"], "evil:unknown")
        owner = self.owners[b"my:sh"]
        self.assertEqual(owner.mine(jsonl(owner.scan("--format", "jsonl", "--process", "sh", "--exclude-process",
                                                     ":"))), [])


class DeletedImage(unittest.TestCase):
    def test_a_running_program_whose_file_is_gone_keeps_its_name(self):
        owner = NamedOwner(b"vanish")
        try:
            os.unlink(owner.path)
            self.assertTrue(os.readlink(f"/proc/{owner.pid}/exe").endswith(" (deleted)"))
            events = owner.mine(jsonl(owner.scan("--format", "jsonl", "--process", "vanish")))
            self.assertEqual([e["process"] for e in events], ["vanish"])
            r = run(["--once", "--all", "--dst-port", str(owner.port), "--summary"])
            self.assertIn(b"  vanish (%s): 1\n" % owner.pid.encode(), r.stdout)
            self.assertNotIn(b"(deleted) (%s)" % owner.pid.encode(), r.stdout)
        finally:
            owner.close()


class Ipv6Filters(unittest.TestCase):
    def setUp(self):
        self.lst = listener(socket.AF_INET6, "::1")
        self.port = self.lst.getsockname()[1]
        self.client, self.server = connect_pair(self.lst)

    def tearDown(self):
        for s in (self.client, self.server, self.lst):
            s.close()

    def count(self, *extra):
        """How many of the events are of this test's connection (port sharers are skipped)."""
        r = run(["--once", "--all", "--format", "jsonl", "--dst-port", str(self.port), *extra])
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        mine = [e for e in jsonl(r.stdout)
                if e["pid"] == str(os.getpid()) and e["src_port"] == self.client.getsockname()[1]]
        for e in mine:
            self.assertEqual(e["dst_ip"], "::1")
        return len(mine)

    def test_addresses_and_networks(self):
        self.assertEqual(self.count(), 1)
        cases = [
            ("--dst-net", "::1/128", 1),
            ("--dst-net", "::/0", 1),
            ("--dst-net", "::/127", 1),
            ("--dst-net", "0:0:0:0:0:0:0:0/64", 1),
            ("--dst-net", "::2/127", 0),
            ("--dst-net", "fe80::/10", 0),
            ("--dst-net", "0.0.0.0/0", 0),
            ("--dst-ip", "::1", 1),
            ("--dst-ip", "::1/128", 1),
            ("--dst-ip", "0:0:0:0:0:0:0:1", 1),
            ("--dst-ip", "0000::0001", 1),
            ("--dst-ip", "10.0.0.1, ::1", 1),
            ("--dst-ip", "::2", 0),
            ("--dst-ip", "::ffff:127.0.0.1", 0),
        ]
        for option, value, want in cases:
            with self.subTest(option=option, value=value):
                self.assertEqual(self.count(option, value), want)

    def test_unprivileged_run_filters_the_same(self):
        if not is_root():
            self.skipTest("needs root to change user")
        for value, want in (("::1/128", 1), ("::/0", 1), ("::2/127", 0)):
            with self.subTest(value=value):
                r = run(["--once", "--all", "--format", "jsonl", "--dst-port", str(self.port), "--dst-net", value],
                        unprivileged=True)
                self.assertEqual((r.returncode, r.stderr), (0, b""))
                mine = [e for e in jsonl(r.stdout) if e["src_port"] == self.client.getsockname()[1]]
                self.assertEqual(len(mine), want, mine)

    def test_allowlist_with_ipv6_networks(self):
        for content, want in ((b"::1/128\n", 0), (b"10.0.0.0/8, ::/0\n", 0), (b"\xef\xbb\xbf0::1\r\n", 0),
                              (b"2001:db8::/32\n", 1), (b"127.0.0.1/32\n", 1)):
            with self.subTest(content=content):
                self.assertEqual(self.count("--allowlist", public_dir_file(content)), want)

    def test_dotted_rows_of_dual_stack_sockets(self):
        dual = listener(socket.AF_INET6, "::")
        port = dual.getsockname()[1]
        client = socket.create_connection(("127.0.0.1", port))
        server, _ = dual.accept()
        try:
            # The accepted end is an IPv6 socket whose peer shows as dotted IPv4.
            base = ["--once", "--all", "--format", "jsonl", "--dst-port", str(client.getsockname()[1])]
            for option, value, want in (("--dst-net", "127.0.0.0/8", 1),
                                        ("--dst-net", "::ffff:127.0.0.0/104", 1),
                                        ("--dst-ip", "::ffff:127.0.0.1", 1),
                                        ("--dst-net", "::/0", 0),
                                        ("--dst-net", "::1/128", 0)):
                with self.subTest(option=option, value=value):
                    events = [e for e in jsonl(run([*base, option, value]).stdout)
                              if e["pid"] == str(os.getpid()) and e["src_port"] == port]
                    self.assertEqual(len(events), want, events)
                    for e in events:
                        self.assertEqual(e["dst_ip"], "127.0.0.1")
        finally:
            for s in (client, server, dual):
                s.close()


class UsageErrorsEchoNoControls(unittest.TestCase):
    def test_arguments_and_file_names(self):
        cases = [
            ([b"--x\x1b]0;T\x07"], b"sockvane: unknown option --x?]0;T? (see --help)\n"),
            ([b"--x\x9b2J\xc2\x9b"], b"sockvane: unknown option --x?2J? (see --help)\n"),
            ([b"--x\xe2\x80\xaey"], b"sockvane: unknown option --x?y (see --help)\n"),
            ([b"--b\xffad\xe9"], b"sockvane: unknown option --b\xffad\xe9 (see --help)\n"),
            ([b"--once", b"--allowlist", b"/nonexistent/\x1b[2J\x7f"],
             b"sockvane: allowlist: Unable to open file \"/nonexistent/?[2J?\": No such file or directory\n"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                r = subprocess.run([BIN, *args], capture_output=True, timeout=30)
                self.assertEqual((r.returncode, r.stdout, r.stderr), (2, b"", message))


if __name__ == "__main__":
    unittest.main()
