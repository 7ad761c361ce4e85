"""The man page, the bash completion and the systemd unit agree with the program.

The option list is taken from the built program's own --help, so a new option
that is not documented or completable fails here.
"""

import json
import os
import re
import shlex
import shutil
import socket
import subprocess
import tempfile
import unittest
from pathlib import Path

BIN = os.environ.get("SOCKVANE_BIN", "sockvane")
ROOT = Path(__file__).resolve().parents[2]
PACKAGING = ROOT / "packaging"
MAN_PAGE = PACKAGING / "sockvane.1"
COMPLETION = PACKAGING / "sockvane.bash-completion"
UNIT = PACKAGING / "sockvane.service"

OPTION_RE = re.compile(r"(?<![\w-])(--?[a-z][a-z0-9-]*)")


def run(args, **kw):
    return subprocess.run([BIN, *args], capture_output=True, timeout=60, **kw)


def help_options():
    """Option names of the help text: the words of the option column."""
    res = run(["--help"])
    assert res.returncode == 0, res
    opts = []
    for line in res.stdout.decode().splitlines():
        if line.startswith("  -"):
            # The descriptions start in the 29th column.
            opts += OPTION_RE.findall(line[:28])
    return opts


def roff_to_text(text):
    """Plain text of roff source: escapes for minus, fonts and quotes removed."""
    text = text.replace("\\-", "-").replace("\\e", "\\")
    text = re.sub(r"\\f(\[[^]]*\]|.)", "", text)
    text = text.replace("\\&", "").replace("\\(bu", "*")
    return text


def man_sections():
    """Section name -> list of source lines."""
    sections, name = {}, None
    for line in MAN_PAGE.read_text().splitlines():
        if line.startswith(".SH "):
            name = line[4:].strip().strip('"')
            sections[name] = []
        elif name is not None:
            sections[name].append(line)
    return sections


def man_examples():
    """The lines of every .EX/.EE block, as plain text."""
    lines, inside = [], False
    for line in MAN_PAGE.read_text().splitlines():
        if line == ".EX":
            inside = True
        elif line == ".EE":
            inside = False
        elif inside:
            lines.append(roff_to_text(line))
    return lines


class HelpText(unittest.TestCase):
    def test_help_lists_the_options(self):
        opts = help_options()
        # A broken parse of the help text would make every check below vacuous.
        self.assertGreaterEqual(len(opts), 20, opts)
        for o in ("--interval", "--allowlist", "--format", "-h", "--help", "--version"):
            self.assertIn(o, opts)


class ManPage(unittest.TestCase):
    def test_every_option_has_an_entry(self):
        lines = man_sections()["OPTIONS"]
        tags = set()
        for i, line in enumerate(lines):
            if line == ".TP":
                tags.update(OPTION_RE.findall(roff_to_text(lines[i + 1])))
        help_opts = set(help_options())
        self.assertEqual(set(), help_opts - tags, "options of --help without a man page entry")
        self.assertEqual(set(), tags - help_opts, "man page entries for options the program lacks")

    def test_sections(self):
        sections = man_sections()
        for name in ("NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "FILTER CHAIN",
                     "ALLOWLIST FILE", "OUTPUT FORMATS", "EXIT STATUS",
                     "UNPRIVILEGED OPERATION", "LIMITS"):
            self.assertIn(name, sections)
        status = sections["EXIT STATUS"]
        codes = [status[i + 1] for i, l in enumerate(status) if l == ".TP"]
        self.assertEqual([".B 0", ".B 1", ".B 2", ".B 141"], codes)
        # The filter chain is a numbered list of eleven steps.
        steps = [l for l in sections["FILTER CHAIN"] if l.startswith(".IP ")]
        self.assertEqual([f".IP {n}. 4" for n in range(1, 12)], steps)

    def test_version_matches_the_program(self):
        version = run(["--version"]).stdout.decode().split(" | ")[0]
        th = next(l for l in MAN_PAGE.read_text().splitlines() if l.startswith(".TH "))
        self.assertIn(f'"{version}"', th)

    def test_renders_without_warnings(self):
        if shutil.which("groff") is None:
            self.skipTest("groff is not installed")
        res = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z", str(MAN_PAGE)],
                             capture_output=True, timeout=60)
        self.assertEqual(0, res.returncode)
        self.assertEqual(b"", res.stderr)

    def test_examples_match_the_program(self):
        examples = man_examples()
        # Text: the banner's layout and the column header, byte for byte.
        res = run(["--once", "--dst-port", "1"])
        self.assertEqual(0, res.returncode, res.stderr)
        banner, header = res.stdout.decode().splitlines()[:2]
        self.assertIn(header, examples)
        doc_banner = next(l for l in examples if l.startswith("SOCKVANE "))
        pattern = re.escape(doc_banner)
        pattern = pattern.replace("0123456789abcdef", "[0-9a-f]{16}")
        self.assertRegex(banner, "^" + pattern + "$")
        # CSV: the header line.
        res = run(["--once", "--format", "csv", "--dst-port", "1"])
        self.assertEqual(0, res.returncode, res.stderr)
        self.assertIn(res.stdout.decode().splitlines()[0], examples)
        # JSON lines: an event of a real connection has the documented keys in
        # the documented order, and so has a statistics object.
        doc_event = json.loads(next(l for l in examples if l.startswith('{"time"')))
        doc_stats = json.loads(next(l for l in examples if l.startswith('{"type"')))
        with socket.create_server(("127.0.0.1", 0)) as srv:
            port = srv.getsockname()[1]
            cli = socket.create_connection(("127.0.0.1", port))
            peer, _ = srv.accept()
            try:
                # Our PID: a TIME_WAIT row on a reused port number is not ours.
                res = run(["--once", "--summary", "--all", "--format", "jsonl",
                           "--dst-port", str(port), "--pid", str(os.getpid())])
            finally:
                cli.close()
                peer.close()
        self.assertEqual(0, res.returncode, res.stderr)
        objs = [json.loads(l) for l in res.stdout.decode().splitlines()]
        events = [o for o in objs if "type" not in o]
        stats = [o for o in objs if "type" in o]
        self.assertEqual(1, len(events), objs)
        self.assertEqual(list(doc_event), list(events[0]))
        self.assertEqual(1, len(stats), objs)
        self.assertEqual(list(doc_stats), list(stats[0]))


class Completion(unittest.TestCase):
    def complete(self, *words, cwd=None):
        """COMPREPLY for the command line `sockvane WORDS...`, the last word being completed."""
        script = (
            f"source {shlex.quote(str(COMPLETION))}\n"
            'COMP_WORDS=(sockvane "$@"); COMP_CWORD=$#\n'
            "_sockvane\n"
            'printf "%s\\n" "${COMPREPLY[@]}"\n'
        )
        res = subprocess.run(["bash", "--norc", "--noprofile", "-c", script, "bash", *words],
                             capture_output=True, timeout=60, cwd=cwd)
        self.assertEqual(0, res.returncode, res.stderr)
        self.assertEqual(b"", res.stderr)
        return sorted(w for w in res.stdout.decode().split("\n") if w)

    def test_offers_every_option(self):
        self.assertEqual(sorted(set(help_options())), self.complete(""))
        self.assertEqual(["--dst-ip", "--dst-net", "--dst-port"], self.complete("--dst"))
        # After a flag, options again.
        self.assertEqual(["--summary"], self.complete("--once", "--su"))

    def test_choices(self):
        cases = [
            (("--format", ""), ["csv", "jsonl", "text"]),
            (("--format", "j"), ["jsonl"]),
            (("--timestamp", ""), ["iso8601", "time"]),
            (("--events", ""), ["closed", "new", "state"]),
            (("--events", "new,"), ["new,closed", "new,state"]),
            (("--events", "new,c"), ["new,closed"]),
            (("--events", "state,new,"), ["state,new,closed"]),
            (("--proto", ""), ["tcp", "udp"]),
            (("--proto", "tcp,"), ["tcp,udp"]),
            (("--proto", "tcp,udp,"), []),
            # Values of the user's own: no option names offered in their place.
            (("--interval", ""), []),
            (("--dst-port", "--"), []),
            (("--exclude-port", ""), []),
        ]
        for words, expected in cases:
            with self.subTest(words=words):
                self.assertEqual(expected, self.complete(*words))

    def test_allowlist_completes_file_names(self):
        with tempfile.TemporaryDirectory() as tmp:
            Path(tmp, "allow.txt").write_text("8.8.8.8\n")
            Path(tmp, "other.txt").write_text("")
            self.assertEqual(["allow.txt"], self.complete("--allowlist", "al", cwd=tmp))


class ServiceUnit(unittest.TestCase):
    def unit_settings(self):
        settings = {}
        for line in UNIT.read_text().splitlines():
            line = line.strip()
            if line and not line.startswith(("#", ";", "[")):
                key, _, value = line.partition("=")
                settings.setdefault(key, []).append(value)
        return settings

    def exec_start_args(self):
        cmd = shlex.split(self.unit_settings()["ExecStart"][-1])
        self.assertEqual("/usr/bin/sockvane", cmd[0])
        return cmd[1:]

    def test_hardening(self):
        s = self.unit_settings()
        caps = "CAP_BPF CAP_PERFMON CAP_NET_ADMIN CAP_SYS_PTRACE CAP_DAC_READ_SEARCH"
        for key, value in [("DynamicUser", "yes"), ("CapabilityBoundingSet", caps),
                           ("AmbientCapabilities", caps), ("ProtectSystem", "strict"),
                           ("ProtectHome", "yes"), ("NoNewPrivileges", "yes"),
                           ("Restart", "on-failure"), ("RestartPreventExitStatus", "2"),
                           ("LogRateLimitIntervalSec", "10s"),
                           ("LogRateLimitBurst", "50000")]:
            self.assertEqual([value], s.get(key), key)
        # Settings that would hide the host's sockets or the other processes.
        for key in ("PrivateNetwork", "PrivateUsers", "ProtectProc", "ProcSubset", "User"):
            self.assertNotIn(key, s)
        args = self.exec_start_args()
        self.assertEqual("jsonl", args[args.index("--format") + 1])
        self.assertEqual("60", args[args.index("--stats") + 1])

    def test_capabilities_cannot_reach_other_memory(self):
        # The calls that would turn the two capabilities into reading or
        # steering other processes are denied by name, on top of the groups.
        s = self.unit_settings()
        denied = set()
        for value in s["SystemCallFilter"]:
            if value.startswith("~"):
                denied.update(value[1:].split())
        self.assertLessEqual({"@debug", "@privileged", "ptrace", "process_vm_readv",
                              "process_vm_writev", "pidfd_getfd", "open_by_handle_at"}, denied)
        self.assertFalse(s["SystemCallFilter"][0].startswith("~"),
                         "the first filter must be an allow list")

    def test_exec_start_options_are_accepted(self):
        # One scan with the unit's own options: exit 0 and JSON on every line.
        res = run([*self.exec_start_args(), "--once", "--summary"])
        self.assertEqual(0, res.returncode, res.stderr)
        lines = res.stdout.decode().splitlines()
        self.assertTrue(lines)
        for line in lines:
            json.loads(line)

    def verify_copy(self):
        """A copy of the unit that starts the built program, and a man page for
        its Documentation= line, in a temporary directory."""
        tmp = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, tmp)
        (tmp / "man" / "man1").mkdir(parents=True)
        shutil.copy(MAN_PAGE, tmp / "man" / "man1" / "sockvane.1")
        text = UNIT.read_text()
        self.assertIn("ExecStart=/usr/bin/sockvane ", text)
        text = text.replace("ExecStart=/usr/bin/sockvane ",
                            f"ExecStart={Path(BIN).resolve()} ")
        (tmp / "sockvane.service").write_text(text)
        env = dict(os.environ, MANPATH=str(tmp / "man"), SYSTEMD_LOG_COLOR="0")
        return tmp / "sockvane.service", env

    def test_systemd_analyze_verify(self):
        if shutil.which("systemd-analyze") is None:
            self.skipTest("systemd-analyze is not installed (Debian package systemd)")
        unit, env = self.verify_copy()
        res = subprocess.run(["systemd-analyze", "verify", str(unit)],
                             capture_output=True, text=True, timeout=120, env=env)
        out = res.stdout + res.stderr
        self.assertEqual(0, res.returncode, out)
        # Unknown keys and bad values are only warnings: fail on them too.
        self.assertNotIn("sockvane.service", out)

    def test_exposure_is_low(self):
        if shutil.which("systemd-analyze") is None:
            self.skipTest("systemd-analyze is not installed (Debian package systemd)")
        unit, env = self.verify_copy()
        res = subprocess.run(["systemd-analyze", "security", "--offline=true", str(unit)],
                             capture_output=True, text=True, timeout=120, env=env)
        m = re.search(r"Overall exposure level for sockvane\.service: ([0-9.]+)", res.stdout)
        self.assertIsNotNone(m, res.stdout + res.stderr)
        self.assertLessEqual(float(m.group(1)), 2.5, res.stdout)


if __name__ == "__main__":
    unittest.main()
