"""Connections that open and close between two polls: every close style, as
root and as an unprivileged user, with the destroy-notification layer on and
off. Our own connections are picked by the ports of our own generators."""

import os
import re
import socket
import subprocess
import time
import unittest

import short_lived as sl
import support

COUNT = 20
LIVES_MS = (20, 100)
WHOLE = ("client", "server", "udp")  # every one of these must be reported


def users():
    return [False, True] if support.is_root() else [False]


class ShortLived(unittest.TestCase):
    def check_run(self, unprivileged, life, destroy_events, tracer=True, caps=(), extra_args=()):
        loads, events, err = sl.run_load(sl.STYLES, life, COUNT, unprivileged=unprivileged,
                                         destroy_events=destroy_events, tracer=tracer, caps=caps,
                                         extra_args=extra_args)
        self.assertTrue(sl.losses_only(err), f"standard error says nothing else off a terminal: {err}")
        scores = {load["style"]: sl.score(load, events) for load in loads}
        for s in scores.values():
            s["lossy"] = err != b""
        for style, s in scores.items():
            with self.subTest(style=style):
                self.assertEqual(s["invented"], [], f"{style}: events no socket had")
                who = "nobody" if unprivileged else f"nobody+{'+'.join(caps)}" if caps else "root"
                print(f"\n  {who} life={life}ms layer="
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
        # As root, and as uid 65534 with the tracer's rights alone: the
        # generators run as root, whose descriptors and names that user
        # cannot read in /proc.
        if not support.is_root():
            self.skipTest("needs root")
        for caps in (None, support.TRACER_CAPS):
            if "tracer on" not in sl.layers(sl.environment(), caps):
                print(f"\n  the tracer does not run here with {caps or 'root'}", end="")
                continue
            for life in LIVES_MS:
                with self.subTest(caps=caps, life=life):
                    scores, events, loads = self.check_run(False, life, True, caps=caps or (),
                                                           extra_args=["--extra", "owner_from,direction"])
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
                    self.assertEqual({e["direction"] for e in events if (e["src_port"], e["dst_port"]) in ends},
                                     {"out"})


    def test_a_remnant_its_owner_closed_is_told_under_it(self):
        # The client closes, the server keeps its end: the polls first see the
        # client's end as an orphan in FIN_WAIT2, which nobody holds.
        if not support.is_root():
            self.skipTest("needs root")
        for caps in (None, support.TRACER_CAPS):
            if "tracer on" not in sl.layers(sl.environment(), caps):
                continue
            with self.subTest(caps=caps):
                lst = support.listener()
                port = lst.getsockname()[1]
                mon = support.Monitor([*sl.ARGS, "--dst-port", str(port)], caps=caps or ())
                held, ports = [], []
                try:
                    time.sleep(1.5)  # past the first poll: these are not in it
                    for _ in range(3):
                        c = socket.create_connection(("127.0.0.1", port))
                        held.append(lst.accept()[0])
                        ports.append(c.getsockname()[1])
                        c.close()
                    mon.wait_for(lambda e: isinstance(e, dict) and e.get("event") == "closed"
                                 and e["src_port"] == ports[-1], timeout=30)
                    time.sleep(1.2)
                finally:
                    err = mon.stop()
                    for h in held:
                        h.close()
                    lst.close()
                self.assertEqual(err, b"")
                for sport in ports:
                    told = sorted((e["event"], e["pid"], e["state"]) for e in mon.seen
                                  if isinstance(e, dict) and e.get("src_port") == sport)
                    mine = str(os.getpid())
                    self.assertEqual(told, [("closed", mine, "ESTABLISHED"), ("new", "0", "FIN_WAIT2"),
                                            ("new", mine, "ESTABLISHED")], sport)


if __name__ == "__main__":
    unittest.main()
