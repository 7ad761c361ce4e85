#!/usr/bin/env python3
"""Loading a long allowlist: peak memory per entry and entries per second.

Each build runs `--once --dst-port 1 --allowlist FILE` (a scan that keeps no
row, so the run is the load) and the same with an empty file; the difference in
peak RSS (ru_maxrss) and in time, over the file's entries, is the load's cost.
The peer, measured in the same turns, is `LC_ALL=C sort -u FILE`: it too reads
every line, orders them and drops duplicates.

    apt-get install time   # GNU time, for the peak RSS of each run
    python3 bench/allowlist_bench.py --sockvane build/ci/sockvane \\
        [--baseline /tmp/old/build/sockvane] [--entries 1000000,4000000] [--runs 3]
"""

import argparse
import os
import random
import statistics
import subprocess
import tempfile
import time


def mixed_entries(count, seed=1):
    """A list as people keep them: mostly IPv4 addresses and networks, some
    IPv6, a remark now and then, several entries on a line now and then."""
    rng = random.Random(seed)
    lines, made = [], 0
    while made < count:
        kind = rng.random()
        if kind < 0.5:
            entry = ".".join(str(rng.randrange(256)) for _ in range(4))
        elif kind < 0.7:
            entry = "%d.%d.%d.0/%d" % (rng.randrange(1, 224), rng.randrange(256), rng.randrange(256),
                                      rng.choice((16, 20, 24, 28)))
        elif kind < 0.9:
            entry = "2001:db8:%x:%x::%x" % (rng.randrange(65536), rng.randrange(65536), rng.randrange(65536))
        else:
            entry = "2001:db8:%x::/%d" % (rng.randrange(65536), rng.choice((48, 56, 64)))
        if rng.random() < 0.05:
            lines.append("%s, 10.%d.%d.%d" % (entry, rng.randrange(256), rng.randrange(256), rng.randrange(256)))
            made += 2
        else:
            lines.append(entry + (" # host" if rng.random() < 0.02 else ""))
            made += 1
    return "\n".join(lines) + "\n", made


def ipv6_entries(count, seed=1):
    """Random IPv6 addresses only: the largest entries, in no order."""
    rng = random.Random(seed)
    return "".join("2001:db8:%x:%x::%x\n" % (rng.randrange(65536), rng.randrange(65536), rng.randrange(65536))
                   for _ in range(count)), count


def zero_entries(count, seed=None):
    """The hostile probe's file: one "0::" a line."""
    return "0::\n" * count, count


def run(cmd, report):
    """(seconds, CPU seconds, peak RSS in bytes) of one run of `cmd`. GNU time
    starts it: a child forked from this (larger) process would count our pages
    as its own."""
    start = time.monotonic()
    proc = subprocess.run(["/usr/bin/time", "-o", report, "-f", "%U %S %M", *cmd], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
    elapsed = time.monotonic() - start
    if proc.returncode != 0:
        raise SystemExit(f"{cmd[0]} failed: {proc.stderr.decode(errors='replace')}")
    with open(report) as f:
        user, system, rss = f.read().split()[-3:]
    return elapsed, float(user) + float(system), int(rss) * 1024


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--sockvane", required=True)
    ap.add_argument("--baseline", help="an older build, measured in the same turns")
    ap.add_argument("--entries", default="1000000,4000000")
    ap.add_argument("--ipv6-entries", default="4000000", help="sizes of the IPv6-only file; '' for none")
    ap.add_argument("--zero-entries", default="4000000", help="sizes of the '0::' file; '' for none")
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()

    builds = [("sockvane", args.sockvane)] + ([("baseline", args.baseline)] if args.baseline else [])
    cases = [("mixed", mixed_entries, int(n)) for n in args.entries.split(",") if n]
    cases += [("ipv6", ipv6_entries, int(n)) for n in args.ipv6_entries.split(",") if n]
    cases += [("0::", zero_entries, int(n)) for n in args.zero_entries.split(",") if n]
    print(f"load average: {os.getloadavg()}")
    print("| list | entries | file MB | build | load s | entries/s | CPU s | entries/CPU s | peak RSS MB "
          "| bytes/entry | sort -u s | time ratio to sort -u |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory(prefix="sockvane-allow-") as d:
        empty = os.path.join(d, "empty.txt")
        open(empty, "w").close()
        report = os.path.join(d, "time.txt")
        for name, make, count in cases:
            text, entries = make(count)
            path = os.path.join(d, "list.txt")
            with open(path, "w") as f:
                f.write(text)
            del text
            size_mb = os.path.getsize(path) / 1e6
            times = {b: [] for b, _ in builds}
            rss = {b: [] for b, _ in builds}
            cpu = {b: [] for b, _ in builds}
            peer = []
            env = dict(os.environ, LC_ALL="C")
            for _ in range(args.runs):  # in turns, so each build faces the same load
                for build, binary in builds:
                    scan = [binary, "--once", "--dst-port", "1"]
                    t_empty, c_empty, r_empty = run(scan + ["--allowlist", empty], report)
                    t_full, c_full, r_full = run(scan + ["--allowlist", path], report)
                    times[build].append(t_full - t_empty)
                    cpu[build].append(c_full - c_empty)
                    rss[build].append(r_full - r_empty)
                start = time.monotonic()
                subprocess.run(["sort", "-u", path], stdout=subprocess.DEVNULL, env=env, check=True)
                peer.append(time.monotonic() - start)
            peer_s = statistics.median(peer)
            for build, _ in builds:
                t = statistics.median(times[build])
                c = statistics.median(cpu[build])
                r = statistics.median(rss[build])
                print(f"| {name} | {entries:,} | {size_mb:.1f} | {build} | {t:.2f} | {entries / t / 1e6:.2f} M "
                      f"| {c:.2f} | {entries / c / 1e6:.2f} M | {r / 1e6:.1f} | {r / entries:.1f} | {peer_s:.2f} "
                      f"| {t / peer_s:.2f}x |")
            os.unlink(path)


if __name__ == "__main__":
    main()
