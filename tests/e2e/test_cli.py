"""The command line of the built binary: help, version, usage errors."""

import os
import re
import subprocess
import unittest

BIN = os.environ.get("SOCKVANE_BIN", "")
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data")
VERSION_RE = re.compile(
    rb"^sockvane (?P<version>[^ |]+) \| Source: [0-9a-f]{16} \| Target: linux64"
    rb" \| (?P<web>[^|]+) \| (?P<contact>[^|]+)\n$")

# Appended before a case's own arguments so that an accepted command line
# ends after one scan that reports (almost) nothing.
QUIET_SCAN = [b"--once", b"--format", b"jsonl", b"--dst-port", b"1"]


def run(args, timeout=30, **kwargs):
    return subprocess.run([BIN] + list(args), capture_output=True, timeout=timeout, **kwargs)


class CommandLineTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        if not (BIN and os.access(BIN, os.X_OK)):
            raise RuntimeError("SOCKVANE_BIN must name the built binary, got %r" % BIN)

    def expected_help(self):
        version = run([b"--version"])
        match = VERSION_RE.match(version.stdout)
        self.assertIsNotNone(match, version.stdout)
        with open(os.path.join(DATA, "help.txt"), "rb") as f:
            body = f.read()
        first = b"sockvane %s | %s | %s\n" % (match["version"], match["web"], match["contact"])
        return first + body

    def test_version(self):
        for args in ([b"--version"], [b"--version", b"--help"], [b"--once", b"--version", b"--bogus"]):
            with self.subTest(args=args):
                r = run(args)
                self.assertEqual(r.returncode, 0)
                self.assertEqual(r.stderr, b"")
                self.assertRegex(r.stdout, VERSION_RE)

    def test_help(self):
        want = self.expected_help()
        cases = [
            [b"--help"],
            [b"-h"],
            [b"--help", b"--bogus"],
            [b"--format", b"xml", b"--help"],
            [b"--events", b"", b"-h"],
            [b"--interval", b"5", b"--help", b"--interval"],
        ]
        for args in cases:
            with self.subTest(args=args):
                r = run(args)
                self.assertEqual(r.returncode, 0)
                self.assertEqual(r.stderr, b"")
                self.assertEqual(r.stdout, want)

    def test_help_layout(self):
        # Descriptions of the option rows start in column 29.
        lines = self.expected_help().decode().splitlines()
        rows = [line for line in lines if line.startswith("  -")]
        self.assertEqual(len(rows), 21)
        for line in rows:
            with self.subTest(line=line):
                self.assertNotEqual(line[28], " ")
                self.assertEqual(line[27], " ")

    def test_usage_errors(self):
        cases = [
            ([b"--bogus"], b"unknown option --bogus (see --help)"),
            ([b"--bogus", b"--help"], b"unknown option --bogus (see --help)"),
            ([b"--HELP"], b"unknown option --HELP (see --help)"),
            ([b""], b"unknown option  (see --help)"),
            ([b"--b\xffad"], b"unknown option --b\xffad (see --help)"),
            ([b"--Interval", b"5"], b"unknown option --Interval"),
            ([b"--pid,--dst-ip", b"1"], b"unknown option --pid,--dst-ip"),
            ([b"--interval"], b"missing value for --interval (see --help)"),
            ([b"--once", b"--stats"], b"missing value for --stats (see --help)"),
            ([b"--interval", b"--help"], b"invalid interval"),
            ([b"--interval", b"0"], b"invalid interval"),
            ([b"--interval", b"-5"], b"invalid interval"),
            ([b"--interval", b"20ms"], b"invalid interval"),
            ([b"--stats", b"-1"], b"invalid stats interval"),
            ([b"--format", b""], b"invalid format"),
            ([b"--format", b"xml"], b"invalid format"),
            ([b"--timestamp", b"date"], b"invalid timestamp"),
            ([b"--events", b""], b"empty events"),
            ([b"--extra", b"uid,Bogus", b"--once"],
             b'unknown field "Bogus" in --extra (fields: uid,user,direction,unit,owner_from)'),
            ([b"--events", b"", b"--timestamp", b"x", b"--format", b"xml"], b"invalid format"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                r = run(args)
                self.assertEqual(r.returncode, 2)
                self.assertEqual(r.stdout, b"")
                self.assertEqual(r.stderr, b"sockvane: " + message + b"\n")

    def test_accepted(self):
        cases = [
            [],
            [b"--ipv6"],
            [b"--process", b"--once"],
            [b"--interval", b"0x10"],
            [b"--interval", b"+20"],
            [b"--interval", b"  7"],
            [b"--interval", b"100", b"--interval", b"200"],
            [b"--stats", b"0"],
            [b"--format", b"JSONL"],
            [b"--format", b"jsonl,csv"],
            [b"--timestamp", b"ISO8601"],
            [b"--events", b"NEW,Closed"],
        ]
        for args in cases:
            with self.subTest(args=args):
                r = run(QUIET_SCAN + args, timeout=60)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stderr, b"")

    def test_items_that_select_nothing_are_said(self):
        # Said once each on standard error; the exit status and standard output stay.
        cases = [
            ([b"--events", b"nwe,new,nwe"], [b'--events: "nwe" selects nothing']),
            ([b"--pid", b"-1", b"--proto", b"tpc,TCP"],
             [b'--proto: "tpc" selects nothing', b'--pid: "-1" selects nothing']),
            ([b"--exclude-port", b"99999\x1b[2J"], [b'--exclude-port: "99999?[2J" excludes nothing']),
            ([b"--events", b"nwe", b"--events", b"new"], []),
        ]
        header = b"time,event,proto,pid,process,src_ip,src_port,dst_ip,dst_port,state,age_seconds\n"
        for args, said in cases:
            with self.subTest(args=args):
                r = run(QUIET_SCAN + [b"--format", b"csv"] + args, timeout=60)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stderr, b"".join(b"sockvane: " + line + b"\n" for line in said))
                self.assertEqual(r.stdout, header)

    def test_unwritable_stdout_is_an_error(self):
        if not os.path.exists("/dev/full"):
            self.skipTest("no /dev/full")
        for args in ([b"--help"], [b"--version"]):
            with self.subTest(args=args), open("/dev/full", "wb") as full:
                r = subprocess.run([BIN] + args, stdout=full, stderr=subprocess.PIPE, timeout=30)
                self.assertNotEqual(r.returncode, 0)
                self.assertTrue(r.stderr.startswith(b"sockvane: "), r.stderr)

    def test_out_of_memory_is_said(self):
        with open(BIN, "rb") as f:
            if b"__asan_init" in f.read():
                self.skipTest("a sanitizer's runtime cannot start under an address-space limit")
        # A long list read from a pipe outgrows the limit while it loads; a
        # plain scan under the probe's limit may or may not.
        cases = [
            ('yes 0:: | head -n 4000000 | prlimit --as=25165824 "$0" --once --dst-port 1 --allowlist /dev/stdin',
             True),
            ('prlimit --as=8388608 "$0" --once --all', False),
        ]
        for command, must_run_out in cases:
            with self.subTest(command):
                r = subprocess.run(["bash", "-c", command, BIN], capture_output=True, timeout=60)
                if must_run_out or r.returncode != 0:
                    self.assertEqual((r.returncode, r.stderr), (1, b"sockvane: out of memory\n"))


if __name__ == "__main__":
    unittest.main()
