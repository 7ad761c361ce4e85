#!/usr/bin/env python3
"""Scan and poll-cycle benchmark of sockvane against ss, on one table.

For each size (N loopback connections held by P client processes, each
connection two rows) the load generator builds the table, then, in the same
run and on the same table:

  * wall time of `sockvane --once --all --format jsonl > /dev/null`,
    `ss -tanp > /dev/null` and `ss -tan > /dev/null`, interleaved, medians;
  * CPU (utime+stime from /proc/<pid>/stat) that `sockvane --all
    --interval 500` uses per poll cycle over a window (default 30 s), with a
    steady table and with churn (100 connections opened and closed per
    second), against the CPU of one `ss -tan` (rusage of the child).

Run as root. --user also runs everything (the generator included) as that
unprivileged user. Results are printed as Markdown tables and, with --json,
written to a file.

  bench/scan_bench.py --sockvane build/bench/sockvane
  bench/scan_bench.py --user 65534 --sizes 1000:10,10000:100
"""

import argparse
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
LOADGEN = os.path.join(HERE, "loadgen.py")
TICK = os.sysconf("SC_CLK_TCK")


def drop_kwargs(user):
    if user is None:
        return {}
    return {"user": user, "group": user, "extra_groups": []}


def setpriv_prefix(user):
    if user is None:
        return []
    return ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups",
            "--inh-caps=-all"]


class Generator:
    """One load generator run; ended by PID (SIGTERM) when done."""

    def __init__(self, held, clients, rate, user, duration, base_port, wake=1.0):
        cmd = setpriv_prefix(user) + [
            sys.executable, LOADGEN, "--held", str(held), "--clients", str(clients),
            "--rate", str(rate), "--life", "500", "--close", "fin", "--final-close", "rst",
            "--duration", str(duration), "--base-port", str(base_port), "--wake", str(wake)]
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                     text=True)
        line = self.proc.stdout.readline().strip()
        if line != "ready":
            self.stop()
            raise RuntimeError("load generator did not get ready (%r)" % line)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def timed_run(cmd, user, rss=None):
    """Wall and CPU seconds of one run; its peak RSS in KiB is appended to `rss`."""
    t0 = time.perf_counter()
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                         **drop_kwargs(user))
    _, status, usage = os.wait4(p.pid, 0)
    wall = time.perf_counter() - t0
    p.returncode = os.waitstatus_to_exitcode(status)
    if p.returncode != 0:
        raise RuntimeError("%s exited with %d" % (" ".join(cmd), p.returncode))
    if rss is not None:
        rss.append(usage.ru_maxrss)
    return wall, usage.ru_utime + usage.ru_stime


def peak_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def count_rows(sockvane, user):
    out = subprocess.run([sockvane, "--once", "--all", "--format", "jsonl"],
                         stdout=subprocess.PIPE, check=True, **drop_kwargs(user)).stdout
    return out.count(b"\n")


def proc_cpu(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # fields[0] is the state (field 3); utime and stime are fields 14, 15.
    return (int(fields[11]) + int(fields[12])) / TICK


def voluntary_switches(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("voluntary_ctxt_switches:"):
                return int(line.split()[1])
    return 0


def strace_prefix(out, user):
    cmd = ["strace", "-qq", "-f", "--seccomp-bpf", "-ttt", "-e", "trace=socket", "-o", out]
    if user is not None:
        import pwd
        cmd += ["-u", pwd.getpwuid(user).pw_name]
    return cmd


def sockets_per_read(sockvane, user):
    """socket() calls of one read: those of a --once run."""
    fd, out = tempfile.mkstemp(prefix="scan-bench-strace-")
    os.close(fd)
    subprocess.run(strace_prefix(out, user) + [sockvane, "--once", "--all"],
                   stdout=subprocess.DEVNULL, check=True)
    with open(out) as f:
        n = sum(1 for line in f if "socket(AF_NETLINK" in line)
    os.unlink(out)
    return max(1, n)


def poll_cpu(sockvane, user, window, interval_ms=500, warmup=3.0, scope_all=True):
    """CPU per poll cycle of a polling sockvane: elapsed / interval, or, when
    it is busy most of the time (a cycle longer than the interval leaves no
    pause), the cycles counted from its netlink socket() calls (strace,
    stopping at that one call only)."""
    trace = None
    cmd = [sockvane] + (["--all"] if scope_all else []) + ["--interval", str(interval_ms)]
    if shutil.which("strace"):
        fd, trace = tempfile.mkstemp(prefix="scan-bench-strace-")
        os.close(fd)
        cmd = strace_prefix(trace, user) + cmd
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                         **({} if trace else drop_kwargs(user)))
    try:
        pid = p.pid
        if trace:
            # strace's child is sockvane; it drops rights itself below.
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline:
                kids = open("/proc/%d/task/%d/children" % (p.pid, p.pid)).read().split()
                named = []
                for k in kids:
                    try:
                        if open("/proc/%s/comm" % k).read().strip() == "sockvane":
                            named.append(int(k))
                    except OSError:
                        pass
                if named:
                    pid = named[0]
                    break
                time.sleep(0.01)
            if pid == p.pid:
                raise RuntimeError("sockvane did not start under strace")
        time.sleep(warmup)
        if p.poll() is not None:
            raise RuntimeError("sockvane --interval ended early (%d)" % p.returncode)
        c0, v0, t0, w0 = proc_cpu(pid), voluntary_switches(pid), time.monotonic(), time.time()
        time.sleep(window)
        c1, v1, t1, w1 = proc_cpu(pid), voluntary_switches(pid), time.monotonic(), time.time()
        hwm = peak_rss_kib(pid)
    finally:
        # Under strace, end sockvane itself (by its PID); strace then ends.
        if pid != p.pid:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        p.send_signal(signal.SIGTERM)
        p.wait()
    elapsed = t1 - t0
    cycles = elapsed / (interval_ms / 1000.0)
    counted = None
    if trace:
        stamps = []
        with open(trace) as f:
            for line in f:
                parts = line.split()
                if len(parts) > 2 and parts[2].startswith("socket(AF_NETLINK"):
                    stamps.append(float(parts[1]))
        os.unlink(trace)
        per = sockets_per_read(sockvane, user) if stamps else 0
        if per > 0:
            counted = sum(1 for t in stamps if w0 <= t < w1) / per
            # A build that reads through the tracer's iterators opens no
            # netlink socket per cycle; and a cycle longer than the interval
            # keeps the process busy. Only then do counted cycles say more.
            busy = (c1 - c0) / elapsed
            if 0 < counted <= cycles * 1.05 and busy > 0.8:
                cycles = counted
    return {"cpu_s": c1 - c0, "elapsed_s": elapsed, "cycles": cycles,
            "cycles_counted": counted,
            "per_cycle_ms": (c1 - c0) / cycles * 1000.0,
            "busy": (c1 - c0) / elapsed, "voluntary_switches": v1 - v0, "peak_rss_kib": hwm}


def median(xs):
    return statistics.median(xs) if xs else float("nan")


def measure_size(args, held, clients, user, targets):
    """Both builds (sockvane, and the baseline when given) on one table, in turns."""
    res = {"held": held, "clients": clients}
    builds = {"sockvane": args.sockvane}
    if args.baseline:
        builds["baseline"] = args.baseline
    gen = Generator(held, clients, 0, user, args.max_duration, args.base_port)
    try:
        time.sleep(1.0)
        res["rows"] = count_rows(args.sockvane, user)
        runs = args.runs if held < 50000 else args.runs_large
        cmds = {k: [b, "--once", "--all", "--format", "jsonl"] for k, b in builds.items()}
        cmds.update({"ss_tanp": ["ss", "-tanp"], "ss_tan": ["ss", "-tan"]})
        names = list(cmds)
        walls = {k: [] for k in names}
        cpus = {k: [] for k in names}
        rss = {k: [] for k in names}
        for r in range(runs):
            order = names[r % len(names):] + names[:r % len(names)]
            for k in order:
                w, c = timed_run(cmds[k], user, rss[k])
                walls[k].append(w)
                cpus[k].append(c)
        for k in names:
            res[k + "_ms"] = median(walls[k]) * 1000.0
            res[k + "_cpu_ms"] = median(cpus[k]) * 1000.0
            res[k + "_all_ms"] = [round(w * 1000.0, 1) for w in walls[k]]
            res[k + "_once_rss_kib"] = max(rss[k])
        for k in builds:
            res[k + "_ratio_tanp"] = res[k + "_ms"] / res["ss_tanp_ms"]
        res["ratio_tanp"] = res["sockvane_ratio_tanp"]
        res["target_tanp"] = targets["once"].get(held) if user is None else 0.9
        if args.window > 0:
            for k, b in builds.items():
                res[k + "_steady"] = poll_cpu(b, user, args.window)
            res["steady"] = res["sockvane_steady"]
            res["ss_tan_cpu_steady_ms"] = median(
                [timed_run(["ss", "-tan"], user)[1] for _ in range(5)]) * 1000.0
    finally:
        gen.stop()
    if args.window > 0 and args.churn_rate > 0:
        gen = Generator(held, clients, args.churn_rate, user, args.max_duration, args.base_port)
        try:
            time.sleep(2.0)
            for k, b in builds.items():
                res[k + "_churn"] = poll_cpu(b, user, args.window)
            res["churn"] = res["sockvane_churn"]
            res["ss_tan_cpu_churn_ms"] = median(
                [timed_run(["ss", "-tan"], user)[1] for _ in range(5)]) * 1000.0
        finally:
            gen.stop()
    for kind in ("steady", "churn"):
        for k in builds:
            if k + "_" + kind in res:
                res[k + "_" + kind + "_ratio"] = (res[k + "_" + kind]["per_cycle_ms"] /
                                                  res["ss_tan_cpu_%s_ms" % kind])
        if "sockvane_%s_ratio" % kind in res:
            res[kind + "_ratio"] = res["sockvane_%s_ratio" % kind]
    res["targets"] = {"steady": targets["steady"].get(held, 0.6), "churn": 1.5}
    return res


def verdict(ok):
    return "met" if ok else "MISSED"


def report(results):
    """Tables of each build's ratios to its peers in the same run, and its peak
    RSS per row (of a --once run, and of a polling run at its end)."""
    builds = ["sockvane"] + (["baseline"] if any("baseline_ms" in r for rs in results.values()
                                                  for r in rs) else [])
    lines = []
    lines.append("| run | N (P) | rows | build | --once ms | ss -tanp ms | ss -tan ms | "
                 "ratio to ss -tanp | target | | --once peak RSS | bytes/row | polling peak RSS | bytes/row |")
    lines.append("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for who, rs in results.items():
        for r in rs:
            for b in builds:
                ok = r[b + "_ratio_tanp"] <= r["target_tanp"]
                steady = r.get(b + "_steady", {})
                poll_rss = steady.get("peak_rss_kib", 0)
                lines.append("| %s | %d (%d) | %d | %s | %.1f | %.1f | %.1f | %.3fx | <= %.2fx | %s | "
                             "%.1f MB | %d | %s | %s |" % (
                                 who, r["held"], r["clients"], r["rows"], b, r[b + "_ms"],
                                 r["ss_tanp_ms"], r["ss_tan_ms"], r[b + "_ratio_tanp"],
                                 r["target_tanp"], verdict(ok) if b == "sockvane" else "",
                                 r[b + "_once_rss_kib"] / 1024.0,
                                 r[b + "_once_rss_kib"] * 1024 / max(r["rows"], 1),
                                 ("%.1f MB" % (poll_rss / 1024.0)) if poll_rss else "-",
                                 ("%d" % (poll_rss * 1024 / max(r["rows"], 1))) if poll_rss else "-"))
    if any("steady" in r for rs in results.values() for r in rs):
        lines.append("")
        lines.append("| run | N (P) | table | build | CPU per cycle ms | busy | one ss -tan CPU ms | "
                     "ratio | target | |")
        lines.append("|---|---|---|---|---|---|---|---|---|---|")
        for who, rs in results.items():
            for r in rs:
                for kind in ("steady", "churn"):
                    for b in builds:
                        if b + "_" + kind not in r:
                            continue
                        m = r[b + "_" + kind]
                        ratio = r[b + "_" + kind + "_ratio"]
                        limit = r["targets"][kind]
                        lines.append("| %s | %d (%d) | %s | %s | %.2f | %.1f%% | %.2f | %.2fx | <= %.1fx | %s |" % (
                            who, r["held"], r["clients"], kind, b, m["per_cycle_ms"], m["busy"] * 100.0,
                            r["ss_tan_cpu_%s_ms" % kind], ratio, limit,
                            verdict(ratio <= limit) if b == "sockvane" else ""))
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description="sockvane scan and poll-cycle benchmark")
    ap.add_argument("--sockvane", default=os.path.join(HERE, "..", "build", "bench", "sockvane"))
    ap.add_argument("--sizes", default="1000:10,10000:100,50000:200",
                    help="comma list of N:P (connections:client processes)")
    ap.add_argument("--runs", type=int, default=5, help="runs per command (median)")
    ap.add_argument("--runs-large", type=int, default=3, help="runs per command at N >= 50000")
    ap.add_argument("--window", type=float, default=30.0,
                    help="seconds of polling measured for the CPU per cycle (0: skip)")
    ap.add_argument("--user", type=int, action="append",
                    help="also run as this unprivileged uid (=gid); may repeat")
    ap.add_argument("--no-root", action="store_true", help="skip the run as root")
    ap.add_argument("--baseline", help="a second sockvane (e.g. before a change), measured in turns "
                    "on the same tables")
    ap.add_argument("--churn-rate", type=float, default=200.0,
                    help="connections opened and closed per second for the churn run (0: skip)")
    ap.add_argument("--base-port", type=int, default=29100)
    ap.add_argument("--max-duration", type=float, default=900.0,
                    help="deadline of each load generator run (it is ended earlier)")
    ap.add_argument("--json", help="write the raw results here")
    args = ap.parse_args()
    if os.geteuid() != 0:
        ap.error("run as root (use --user for the unprivileged run)")
    args.sockvane = os.path.abspath(args.sockvane)
    if not os.access(args.sockvane, os.X_OK):
        ap.error("no sockvane binary at %s" % args.sockvane)
    sizes = []
    for item in args.sizes.split(","):
        n, p = item.split(":")
        sizes.append((int(n), int(p)))
    if args.baseline:
        args.baseline = os.path.abspath(args.baseline)
    targets = {"once": {1000: 0.5, 10000: 0.35, 50000: 0.10},
               "steady": {1000: 0.5, 10000: 0.4, 50000: 0.6}}
    runs = ([] if args.no_root else [("root", None)]) + \
        [("uid %d" % u, u) for u in (args.user or [])]
    results = {}
    for who, user in runs:
        results[who] = []
        for n, p in sizes:
            print("== %s N=%d P=%d" % (who, n, p), file=sys.stderr, flush=True)
            r = measure_size(args, n, p, user, targets)
            if r.get("target_tanp") is None:
                r["target_tanp"] = 0.5
            results[who].append(r)
            print(json.dumps(r), file=sys.stderr, flush=True)
    text = report(results)
    print(text)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"command": " ".join(sys.argv), "results": results}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
