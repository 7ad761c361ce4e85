#!/usr/bin/env python3
"""Steady poll-cycle CPU of two sockvane builds on one table, in turns.

The load generator builds one table (N connections, P client processes, with
--rate connections opened and closed per second on top); then, rounds times, each build runs `sockvane --all --interval 500`
for a window and its CPU per poll cycle is taken as in scan_bench.py, and one
`ss -tan` is timed (CPU of the child) between the turns. Medians are printed,
with each build's ratio to ss -tan. Both binaries must be named `sockvane`
(the cycle counter finds the process by name). Run as root.

  bench/ab_cycle.py --a /tmp/before/sockvane --b build/bench/sockvane --held 10000 --clients 100
"""

import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from scan_bench import Generator, poll_cpu, timed_run  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--a", required=True, help="first sockvane (e.g. before a change)")
    ap.add_argument("--b", required=True, help="second sockvane (e.g. after it)")
    ap.add_argument("--held", type=int, default=10000)
    ap.add_argument("--clients", type=int, default=100)
    ap.add_argument("--rate", type=float, default=0.0, help="churn: connections opened and closed per second")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--window", type=float, default=20.0)
    ap.add_argument("--base-port", type=int, default=29100)
    args = ap.parse_args()

    per = {"a": [], "b": [], "ss": []}
    gen = Generator(args.held, args.clients, args.rate, None, 60 + args.rounds * 2 * (args.window + 8),
                    args.base_port)
    try:
        time.sleep(2.0)
        for r in range(args.rounds):
            for name in (("a", "b") if r % 2 == 0 else ("b", "a")):
                per[name].append(poll_cpu(getattr(args, name), None, args.window)["per_cycle_ms"])
                per["ss"].append(timed_run(["ss", "-tan"], None)[1] * 1000.0)
            print("round %d: a %.1f ms, b %.1f ms per cycle" % (r + 1, per["a"][-1], per["b"][-1]),
                  file=sys.stderr)
    finally:
        gen.stop()
    ss = statistics.median(per["ss"])
    print("| build | CPU per cycle ms (median of %d) | all rounds | one ss -tan CPU ms | ratio |" % args.rounds)
    print("|---|---|---|---|---|")
    for name in ("a", "b"):
        m = statistics.median(per[name])
        print("| %s | %.1f | %s | %.1f | %.2fx |" % (
            getattr(args, name), m, " ".join("%.1f" % x for x in per[name]), ss, m / ss))


if __name__ == "__main__":
    main()
