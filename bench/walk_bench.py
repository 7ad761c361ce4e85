#!/usr/bin/env python3
"""The tracer's descriptor walk against a walk of /proc, on one table.

For each size (N loopback connections held by P client processes, each
connection two socket descriptors) the load generator builds the table; then,
in turns over rounds, the time of one walk, as the best of WALKS walks in one
process:

  iterator   `sockvane_tracer_probe walk WALKS`: the iter/task_file program
             lists every socket descriptor with its process and name;
  /proc      a C loop that reads /proc/<pid>/fd of every process with
             readlinkat, as the owner search without the tracer does (it
             finds the sockets but not yet the names).

Run as root.

  python3 bench/walk_bench.py --probe build/dev/tests/sockvane_tracer_probe --sizes 10000:100,50000:100
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from scan_bench import Generator  # noqa: E402

PROC_WALK = r"""
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
static long walk(void) {
  long sockets = 0;
  DIR* proc = opendir("/proc");
  struct dirent* p;
  while ((p = readdir(proc)) != NULL) {
    if (p->d_name[0] < '1' || p->d_name[0] > '9') continue;
    char path[64];
    snprintf(path, sizeof path, "/proc/%s/fd", p->d_name);
    int dfd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) continue;
    DIR* fds = fdopendir(dfd);
    struct dirent* f;
    while ((f = readdir(fds)) != NULL) {
      char link[64];
      ssize_t n = readlinkat(dfd, f->d_name, link, sizeof link);
      if (n > 8 && memcmp(link, "socket:[", 8) == 0) sockets++;
    }
    closedir(fds);
  }
  closedir(proc);
  return sockets;
}
int main(int argc, char** argv) {
  int walks = atoi(argv[1]);
  double best = 1e18;
  long sockets = 0;
  for (int i = 0; i < walks; i++) {
    struct timespec a, b;
    clock_gettime(CLOCK_MONOTONIC, &a);
    sockets = walk();
    clock_gettime(CLOCK_MONOTONIC, &b);
    double s = (b.tv_sec - a.tv_sec) + (b.tv_nsec - a.tv_nsec) / 1e9;
    if (s < best) best = s;
  }
  printf("sockets=%ld seconds=%.6f\n", sockets, best);
  return 0;
}
"""


def fields(text):
    return dict(item.split("=", 1) for item in text.split() if "=" in item)


def iterator_walk(probe, walks):
    """Best of `walks` walks, in seconds, and the sockets found."""
    out = subprocess.run([probe, "walk", str(walks)], capture_output=True, text=True, check=True, timeout=300)
    f = fields(out.stdout.splitlines()[-1])
    if "seconds" not in f:
        raise SystemExit(f"the walk failed: {out.stdout!r}")
    return float(f["seconds"]), int(f["sockets"])


def proc_walk(binary, walks):
    f = fields(subprocess.run([binary, str(walks)], capture_output=True, text=True, check=True,
                              timeout=600).stdout)
    return float(f["seconds"]), int(f["sockets"])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--probe", required=True)
    ap.add_argument("--sizes", default="10000:100,50000:100", help="connections:processes,...")
    ap.add_argument("--walks", type=int, default=5)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()
    if os.geteuid() != 0:
        raise SystemExit("run as root: the tracer loads only then")
    folder = tempfile.mkdtemp(prefix="sockvane-walk-")
    try:
        binary = os.path.join(folder, "proc_walk")
        with open(binary + ".c", "w") as f:
            f.write(PROC_WALK)
        subprocess.run(["cc", "-O2", "-o", binary, binary + ".c"], check=True)
        rows = []
        for size in args.sizes.split(","):
            held, clients = (int(x) for x in size.split(":"))
            gen = Generator(held, clients, 0, None, 3600, 20000)
            try:
                it, pw, counts = [], [], set()
                for r in range(args.rounds):
                    for kind in (("it", "proc") if r % 2 == 0 else ("proc", "it")):
                        if kind == "it":
                            seconds, sockets = iterator_walk(args.probe, args.walks)
                            it.append(seconds)
                        else:
                            seconds, sockets = proc_walk(binary, args.walks)
                            pw.append(seconds)
                        counts.add((kind, sockets))
                rows.append((held, clients, statistics.median(it), statistics.median(pw), sorted(counts)))
            finally:
                gen.stop()
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    with open("/proc/loadavg") as f:
        load = " ".join(f.read().split()[:3])
    print(f"best of {args.walks} walks per turn, medians of {args.rounds} rounds (load average {load})")
    print("| connections | processes | iterator walk | /proc walk | ratio | socket descriptors found |")
    print("|---|---|---|---|---|---|")
    for held, clients, it, pw, counts in rows:
        found = ", ".join(f"{k} {n}" for k, n in counts)
        print(f"| {held:,} | {clients} | {it * 1000:.1f} ms | {pw * 1000:.1f} ms | {it / pw:.2f}x | {found} |")


if __name__ == "__main__":
    main()
