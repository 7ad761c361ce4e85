#!/usr/bin/env python3
"""Steady poll-cycle CPU of two sockvane builds on one table, in turns.

The load generator builds one table (N connections, P client processes, with
--rate connections opened and closed per second on top); then, rounds times, each build runs `sockvane --all --interval 500`
for a window and its CPU per poll cycle is taken as in scan_bench.py, and one
`ss -tan` is timed (CPU of the child) between the turns. Medians are printed,
with each build's ratio to ss -tan. Both binaries must be named `sockvane`
(the cycle counter finds the process by name). Run as root.

  bench/ab_cycle.py --a /tmp/before/sockvane --b build/bench/sockvane --held 10000 --clients 100

--user UID runs the generator, both builds and ss as that user (as
scan_bench.py does); --scope default polls without --all (public
destinations only, so a loopback table prints nothing); --wake S makes every
generator process wake at least every S seconds.

With --hoard P, P processes holding --fds descriptors each (bench/hostile_load.py)
start before the table is built, so they sit below its owners in PID order;
the cycle's wall time (elapsed / cycles) is then printed against the interval
and against one `ss -tanp` (which reads every descriptor too), as it is for
any --interval but the default 500 (--hoard 0 --interval 100: the same run
without hoarders).
"""

import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from hostile_load import Hoarders  # noqa: E402
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
    ap.add_argument("--interval", type=int, default=500, help="poll interval of both builds, ms")
    ap.add_argument("--hoard", type=int, default=0, help="processes holding --fds descriptors each")
    ap.add_argument("--fds", type=int, default=19000)
    ap.add_argument("--wake", type=float, default=50, help="hoarders wake every WAKE ms")
    ap.add_argument("--user", type=int, default=None, help="run the generator, the builds and ss as this uid")
    ap.add_argument("--scope", choices=("all", "default"), default="all", help="poll with --all or without")
    ap.add_argument("--holders-wake", type=float, default=1.0,
                    help="the generator's processes wake at least every this many seconds")
    args = ap.parse_args()

    per = {"a": [], "b": [], "ss": []}
    wall = {"a": [], "b": []}
    duration = 60 + args.rounds * 2 * (args.window + 8)
    hoarders = Hoarders(args.hoard, args.fds, args.wake, duration + 60) if args.hoard else None
    if hoarders:
        print("hoarders %s hold %d descriptors each" % (" ".join(map(str, hoarders.pids)), hoarders.held),
              file=sys.stderr)
    try:
        gen = Generator(args.held, args.clients, args.rate, args.user, duration, args.base_port,
                        wake=args.holders_wake)
    except BaseException:
        if hoarders:
            hoarders.stop()
        raise
    try:
        time.sleep(2.0)
        for r in range(args.rounds):
            for name in (("a", "b") if r % 2 == 0 else ("b", "a")):
                got = poll_cpu(getattr(args, name), args.user, args.window, interval_ms=args.interval,
                               scope_all=args.scope == "all")
                per[name].append(got["per_cycle_ms"])
                wall[name].append(got["elapsed_s"] / got["cycles"] * 1000.0)
                if hoarders or args.interval != 500:
                    per["ss"].append(timed_run(["ss", "-tanp"], None)[0] * 1000.0)
                else:
                    per["ss"].append(timed_run(["ss", "-tan"], args.user)[1] * 1000.0)
            print("round %d: a %.1f ms, b %.1f ms CPU per cycle; wall %.1f / %.1f ms" % (
                r + 1, per["a"][-1], per["b"][-1], wall["a"][-1], wall["b"][-1]), file=sys.stderr)
    finally:
        gen.stop()
        if hoarders:
            hoarders.stop()
    ss = statistics.median(per["ss"])
    if hoarders or args.interval != 500:
        print("| build | wall ms per cycle at --interval %d (median of %d) | all rounds | CPU ms per cycle "
              "| cycle / interval | one ss -tanp wall ms | cycle / ss -tanp |" % (args.interval, args.rounds))
        print("|---|---|---|---|---|---|---|")
        for name in ("a", "b"):
            m = statistics.median(wall[name])
            print("| %s | %.1f | %s | %.1f | %.2fx | %.1f | %.2fx |" % (
                getattr(args, name), m, " ".join("%.1f" % x for x in wall[name]),
                statistics.median(per[name]), m / args.interval, ss, m / ss))
        return
    print("| build | CPU per cycle ms (median of %d) | all rounds | one ss -tan CPU ms | ratio |" % args.rounds)
    print("|---|---|---|---|---|")
    for name in ("a", "b"):
        m = statistics.median(per[name])
        print("| %s | %.1f | %s | %.1f | %.2fx |" % (
            getattr(args, name), m, " ".join("%.1f" % x for x in per[name]), ss, m / ss))


if __name__ == "__main__":
    main()
