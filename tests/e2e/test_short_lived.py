"""Connections that open and close between two polls: every close style, as
root and as an unprivileged user, with the destroy-notification layer on and
off. Our own connections are picked by the ports of our own generators."""

import os
import re
import subprocess
import unittest

import short_lived as sl
import support

COUNT = 20
LIVES_MS = (20, 100)
WHOLE = ("client", "server", "udp")  # every one of these must be reported


def users():
    return [False, True] if support.is_root() else [False]


class ShortLived(unittest.TestCase):
    def check_run(self, unprivileged, life, destroy_events, tracer=True, extra_args=()):
        loads, events, err = sl.run_load(sl.STYLES, life, COUNT, unprivileged=unprivileged,
                                         destroy_events=destroy_events, tracer=tracer, extra_args=extra_args)
        self.assertTrue(sl.losses_only(err), f"standard error says nothing else off a terminal: {err}")
        scores = {load["style"]: sl.score(load, events) for load in loads}
        for s in scores.values():
            s["lossy"] = err != b""
        for style, s in scores.items():
            with self.subTest(style=style):
                self.assertEqual(s["invented"], [], f"{style}: events no socket had")
                print(f"\n  {'nobody' if unprivileged else 'root'} life={life}ms layer="
                      f"{'on' if destroy_events else 'off'} {style}: {s['reported']}/{s['count']} reported, "
                      f"{s['right_pid']} with our PID", end="")
        return scores, events, loads

    def test_every_close_style_is_reported(self):
        for unprivileged in users():
            for life in LIVES_MS:
                with self.subTest(unprivileged=unprivileged, life=life):
                    scores, _, _ = self.check_run(unprivileged, life, True)
                    for style in WHOLE:
                        s = scores[style]
                        if not s["lossy"]:  # else other programs' churn overran the buffer, and it was said
                            self.assertGreaterEqual(s["reported"], 0.95 * s["count"], f"{style}: {s}")

    def test_reset_ends_are_never_reported_without_their_destination(self):
        # The filters drop every row without a destination port; a reset's
        # notification lost its port, and must not come back with another.
        _, events, loads = self.check_run(False, 20, True, tracer=False)
        reset = next(l for l in loads if l["style"] == "reset")
        ports = set(reset["client_ports"])
        for e in events:
            self.assertNotEqual(e["dst_port"], 0, e)
            if e["src_port"] in ports and e["dst_port"] == reset["server_port"] and e["event"] == "new":
                # Only what a poll saw: never the closed state of a notification.
                self.assertNotEqual(e["state"], "1", e)

    def test_layer_off_gives_only_what_polls_see(self):
        for unprivileged in users():
            with self.subTest(unprivileged=unprivileged):
                _, events, loads = self.check_run(unprivileged, 20, False)
                for load in loads:
                    ports = set(load["client_ports"])
                    for e in events:
                        if e["src_port"] in ports and e["proto"] == "TCP" and e["event"] == "new":
                            # A destroyed socket's closing state: no table read shows it.
                            self.assertNotEqual(e["state"], "1", e)

    def test_one_scan_is_the_same_whatever_the_switches(self):
        # A single scan runs without the layers: the switches change nothing.
        # Our PID keeps out what one scan may see and the next not: a TIME_WAIT
        # remnant of an earlier connection to the same port number.
        held = support.listener()
        pairs = [support.connect_pair(held) for _ in range(3)]
        try:
            mine = {str(p[0].getsockname()[1]) for p in pairs} | {str(held.getsockname()[1])}
            outs = []
            for on in (True, False):
                r = subprocess.run([support.BIN, "--once", "--all", "--format", "csv", "--summary",
                                    "--proto", "tcp,udp", "--dst-port", str(held.getsockname()[1]),
                                    "--pid", str(os.getpid())],
                                   capture_output=True, env=sl.environment(on, on), timeout=60)
                self.assertEqual(r.returncode, 0)
                self.assertEqual(r.stderr, b"")
                # The time field aside, byte for byte.
                lines = [re.sub(rb'^"[^"]*",', b"", line) for line in r.stdout.splitlines()
                         if not line.startswith(b"# STATS")]
                outs.append(sorted(lines))
            self.assertEqual(outs[0], outs[1])
            self.assertEqual(len(outs[0]), 1 + len(pairs), outs[0])
            self.assertTrue(all(any(p.encode() in line for p in mine) for line in outs[0][:-1]))
        finally:
            for c, s in pairs:
                c.close()
                s.close()
            held.close()

    def test_which_layers_run_is_said_on_a_terminal(self):
        self.assertRegex(sl.layers(sl.environment()),
                         r"^sockvane: short-lived sockets: destroy notifications on, tracer (on|off \(.*\))\r?\n$")
        self.assertEqual(sl.layers(sl.environment(False, False)),
                         "sockvane: short-lived sockets: destroy notifications off (SOCKVANE_NO_DESTROY_EVENTS), "
                         "tracer off (SOCKVANE_NO_TRACER)\r\n")

    def test_tracer_gives_the_owner_of_every_close_style(self):
        if not support.is_root() or "tracer on" not in sl.layers(sl.environment()):
            self.skipTest("the tracer does not run here")
        for life in LIVES_MS:
            with self.subTest(life=life):
                scores, events, loads = self.check_run(False, life, True, extra_args=["--extra", "owner_from,direction"])
                for style, s in scores.items():
                    if not s["lossy"]:
                        self.assertGreaterEqual(s["right_pid"], 0.95 * s["count"], f"{style}: {s}")
                # Most live shorter than a poll: their owner is the tracer's record.
                pids = {str(l["pid"]) for l in loads}
                ours = [e for e in events if e["pid"] in pids and e["event"] == "new"]
                self.assertTrue(all(e["owner_from"] in ("fd", "cached", "traced") for e in ours), ours)
                self.assertGreaterEqual(sum(e["owner_from"] == "traced" for e in ours), 0.5 * len(ours), ours)
                self.assertTrue(all(e["owner_from"] == "none" for e in events if e["pid"] == "0"))
                # The connecting ends opened their connections, however short.
                ends = {(p, l["server_port"]) for l in loads for p in l["client_ports"]}
                self.assertEqual({e["direction"] for e in events if (e["src_port"], e["dst_port"]) in ends}, {"out"})


if __name__ == "__main__":
    unittest.main()
