#!/usr/bin/env python3
"""What a running monitor costs every other process on the host, per system call.

A C loop times CALLS `getppid()` calls (the cheapest system call: what is left
is the entry and exit every call pays) while, in turns:

  none         nothing else runs;
  monitor      `sockvane --all --interval 500` runs as root (tracer on);
  no-tracer    the same with SOCKVANE_NO_TRACER=1;
  before       (with --before BIN) an older build, as `monitor`.

The loop's own CPU time is what counts (time it waits for a CPU on a busy
host is not its cost; a hook in the system call's path runs in its context
and is). The turns are interleaved, their order rotating by round, and each
turn's figure is the best of three loops in it (the least disturbed by the
other sessions of a shared host). Reported: the median over rounds of ns per call,
and each turn's ratio against `none` measured in the same run.

  python3 bench/host_tax_bench.py --sockvane build/dev/sockvane --rounds 7
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

LOOP = r"""
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>
int main(int argc, char** argv) {
  long calls = atol(argv[1]);
  double best = 1e18;
  for (int rep = 0; rep < 3; rep++) {
    struct timespec a, b;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
    for (long i = 0; i < calls; i++) getppid();
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
    double ns = ((b.tv_sec - a.tv_sec) * 1e9 + (b.tv_nsec - a.tv_nsec)) / calls;
    if (ns < best) best = ns;
  }
  printf("%.2f\n", best);
  return 0;
}
"""


def build_loop(folder):
    source = os.path.join(folder, "getppid_loop.c")
    binary = os.path.join(folder, "getppid_loop")
    with open(source, "w") as f:
        f.write(LOOP)
    subprocess.run(["cc", "-O2", "-o", binary, source], check=True)
    return binary


def turn(loop, calls, monitor, env):
    proc = None
    if monitor:
        proc = subprocess.Popen([monitor, "--all", "--interval", "500", "--format", "jsonl"],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, env=env)
        time.sleep(1.5)  # loaded, past its first scan
        if proc.poll() is not None:
            raise SystemExit(f"{monitor} ended early: {proc.returncode}")
    try:
        out = subprocess.run([loop, str(calls)], capture_output=True, text=True, check=True, timeout=300)
        return float(out.stdout)
    finally:
        if proc is not None:
            proc.terminate()
            proc.wait(timeout=30)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sockvane", required=True)
    ap.add_argument("--before", help="an older build to measure as a fourth turn")
    ap.add_argument("--calls", type=int, default=2_000_000)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    if os.geteuid() != 0:
        raise SystemExit("run as root: the tracer loads only then")
    if not 0 < args.calls <= 50_000_000 or not 0 < args.rounds <= 50:
        raise SystemExit("calls must be in (0, 50,000,000], rounds in (0, 50]")
    on = dict(os.environ)
    on.pop("SOCKVANE_NO_TRACER", None)
    turns = {"none": (None, on), "monitor": (args.sockvane, on),
             "no-tracer": (args.sockvane, dict(on, SOCKVANE_NO_TRACER="1"))}
    if args.before:
        turns["before"] = (args.before, on)
    folder = tempfile.mkdtemp(prefix="sockvane-tax-")
    try:
        loop = build_loop(folder)
        results = {name: [] for name in turns}
        names = list(turns)
        for r in range(args.rounds):
            for name in names[r % len(names):] + names[:r % len(names)]:
                ns = turn(loop, args.calls, *turns[name])
                results[name].append(ns)
                print(f"round {r + 1} {name}: {ns:.1f} ns", file=sys.stderr)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    with open("/proc/loadavg") as f:
        load = " ".join(f.read().split()[:3])
    base = statistics.median(results["none"])
    print(f"getppid, {args.calls:,} calls per loop, best of 3 per turn, medians of {args.rounds} rounds "
          f"(load average {load})")
    for name, values in results.items():
        med = statistics.median(values)
        print(f"{name:10} {med:7.1f} ns per call ({min(values):.1f}-{max(values):.1f})  {med / base:.2f}x none")


if __name__ == "__main__":
    main()
