#!/usr/bin/env python3
"""What the eBPF owner tracer costs, against what a poll costs, on one load.

Run as root. A bounded loopback load (one client process opening and closing
RATE TCP connections per second for SECONDS, one server process accepting and
closing them; every connection lives about LIFE ms) runs in turns:

  bare      the load alone;
  tracer    the load with the tracer loaded and drained every 100 ms by its
            test driver (sockvane_tracer_probe ... count);
  poll      the load with `sockvane --all --interval 500` running (no tracer).

Per turn it takes the CPU (user + system, from rusage) of the load's two
processes and of the consumer (driver or sockvane), and, with
kernel.bpf_stats_enabled on during the tracer turns, the run time the kernel
counted in the tracer's programs. One more pair of turns times a loop of
2,000,000 one-byte `dd` reads and writes (4,000,000 system calls) with and
without the tracer: a hook on system calls would be paid by every process, not
only by those with sockets (bench/host_tax_bench.py times that alone).

  python3 bench/tracer_bench.py --sockvane build/bench/sockvane \\
      --probe build/bench/tests/sockvane_tracer_probe --rate 1000 --seconds 10 --rounds 3

The tracer's cost per 1,000 connections per second is the run time of its BPF
programs plus its driver's CPU, per second and per 1,000 connections per
second; the load's own CPU with and without it is shown too, but on a shared
host it varies more than the tracer costs. The peer is the CPU per second of
sockvane's polls over the same load.
"""

import argparse
import json
import os
import resource
import signal
import socket
import statistics
import subprocess
import sys
import time

LOAD = r"""
import os, socket, sys, time, signal
role, port, rate, seconds, life = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4]), float(sys.argv[5])
signal.alarm(int(seconds) + 30)
if role == "server":
    lst = socket.socket()
    lst.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    lst.bind(("127.0.0.1", port))
    lst.listen(1024)
    print("ready", flush=True)
    lst.settimeout(5)
    pending = []
    while True:
        try:
            conn, _ = lst.accept()
        except socket.timeout:
            break
        pending.append((time.monotonic() + life, conn))
        now = time.monotonic()
        while pending and pending[0][0] <= now:
            pending.pop(0)[1].close()
    for _, c in pending:
        c.close()
else:
    n = int(rate * seconds)
    start = time.monotonic()
    open_ = []
    for i in range(n):
        due = start + i / rate
        now = time.monotonic()
        if due > now:
            time.sleep(due - now)
        c = socket.create_connection(("127.0.0.1", port))
        open_.append((time.monotonic() + life, c))
        now = time.monotonic()
        while open_ and open_[0][0] <= now:
            open_.pop(0)[1].close()
    for _, c in open_:
        c.close()
    print(n, flush=True)
"""


def cpu_of(rusage):
    return rusage.ru_utime + rusage.ru_stime


def wait_rusage(proc, timeout):
    deadline = time.monotonic() + timeout
    while True:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid == proc.pid:
            proc.returncode = os.waitstatus_to_exitcode(status)
            return usage
        if time.monotonic() > deadline:
            proc.kill()
            pid, status, usage = os.wait4(proc.pid, 0)
            proc.returncode = os.waitstatus_to_exitcode(status)
            return usage
        time.sleep(0.05)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def run_load(args):
    """Runs one load; returns (load CPU seconds, connections)."""
    port = free_port()
    common = [str(port), str(args.rate), str(args.seconds), str(args.life / 1000)]
    server = subprocess.Popen([sys.executable, "-c", LOAD, "server", *common], stdout=subprocess.PIPE)
    server.stdout.readline()
    client = subprocess.Popen([sys.executable, "-c", LOAD, "client", *common], stdout=subprocess.PIPE)
    out = client.stdout.read()
    cu = wait_rusage(client, args.seconds + 60)
    su = wait_rusage(server, 60)
    return cpu_of(cu) + cpu_of(su), int(out.split()[0])


def bpf_progs():
    """The loaded BPF programs: id -> (name, run time the kernel counted so far)."""
    out = subprocess.run(["bpftool", "-j", "prog", "show"], capture_output=True, text=True).stdout
    return {p["id"]: (p.get("name", ""), p.get("run_time_ns", 0)) for p in json.loads(out or "[]")}


def run_ns(ids):
    progs = bpf_progs()
    return sum(progs[i][1] for i in ids if i in progs)


def start_consumer(cmd):
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return proc


def turn(args, kind):
    consumer = None
    if kind == "tracer":
        earlier = set(bpf_progs())
        consumer = start_consumer([args.probe, str(args.seconds + 60), "count"])
        first = consumer.stdout.readline().decode().strip()
        if first != "tracer: active":
            raise SystemExit(f"the tracer did not start: {first}")
        # The driver's programs: the ones of its names that were not there before.
        ours = [i for i, (name, _) in bpf_progs().items() if i not in earlier and name.startswith("sv_")]
        before_ns = run_ns(ours)
        start_usage = proc_cpu(consumer.pid)  # loading it is not part of the steady cost
    elif kind == "poll":
        env = dict(os.environ, SOCKVANE_NO_TRACER="1")
        consumer = subprocess.Popen([args.sockvane, "--all", "--interval", "500", "--format", "jsonl"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        time.sleep(1.0)  # past the first, full scan
        start_usage = proc_cpu(consumer.pid)
    load_cpu, conns = run_load(args)
    result = {"load": load_cpu, "conns": conns, "consumer": 0.0, "bpf": 0.0, "records": 0}
    if kind == "tracer":
        result["bpf"] = (run_ns(ours) - before_ns) / 1e9
        time.sleep(0.2)  # its last drain
        result["consumer"] = proc_cpu(consumer.pid) - start_usage
        consumer.send_signal(signal.SIGTERM)
        tail = consumer.stdout.read().decode()
        wait_rusage(consumer, 30)
        fields = dict(item.split("=") for item in tail.split())
        result["records"] = int(fields["records"])
        result["lost"] = int(fields["lost"])
    elif kind == "poll":
        result["consumer"] = proc_cpu(consumer.pid) - start_usage
        consumer.send_signal(signal.SIGTERM)
        wait_rusage(consumer, 30)
    return result


def proc_cpu(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    tick = os.sysconf("SC_CLK_TCK")
    return (int(fields[11]) + int(fields[12])) / tick


def dd_cpu():
    start = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(["dd", "if=/dev/zero", "of=/dev/null", "bs=1", "count=2000000"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    end = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (end.ru_utime - start.ru_utime) + (end.ru_stime - start.ru_stime)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sockvane", required=True)
    ap.add_argument("--probe", required=True)
    ap.add_argument("--rate", type=float, default=1000)
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--life", type=float, default=20, help="ms each connection lives")
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()
    if os.geteuid() != 0:
        raise SystemExit("run as root: the tracer needs it")
    if args.rate <= 0 or args.rate > 5000 or args.seconds <= 0 or args.seconds > 60:
        raise SystemExit("rate must be in (0, 5000], seconds in (0, 60]")

    stats_path = "/proc/sys/kernel/bpf_stats_enabled"
    with open(stats_path) as f:
        stats_before = f.read().strip()
    results = {"bare": [], "tracer": [], "poll": []}
    dd = {"bare": [], "tracer": []}
    try:
        with open(stats_path, "w") as f:
            f.write("1")
        for r in range(args.rounds):
            order = ["bare", "tracer", "poll"]
            order = order[r % 3:] + order[:r % 3]
            for kind in order:
                res = turn(args, kind)
                results[kind].append(res)
                print(f"round {r + 1} {kind}: {res}", file=sys.stderr)
            dd["bare"].append(dd_cpu())
            probe = start_consumer([args.probe, "120", "count"])
            probe.stdout.readline()
            dd["tracer"].append(dd_cpu())
            probe.send_signal(signal.SIGTERM)
            probe.stdout.read()
            wait_rusage(probe, 30)
    finally:
        with open(stats_path, "w") as f:
            f.write(stats_before)

    per_k = args.rate / 1000
    med = lambda kind, key: statistics.median(x[key] for x in results[kind])
    bare = med("bare", "load")
    tracer_load = med("tracer", "load")
    driver = med("tracer", "consumer")
    bpf = med("tracer", "bpf")
    poll = med("poll", "consumer")
    overhead = tracer_load - bare + driver
    conns = med("tracer", "conns")
    print(f"load: {args.rate:.0f} connections/s for {args.seconds:.0f} s, each living {args.life:.0f} ms; "
          f"medians of {args.rounds} rounds")
    print(f"bare load CPU {bare:.3f} s; with the tracer {tracer_load:.3f} s; driver {driver:.3f} s; "
          f"in the BPF programs {bpf:.3f} s; records {med('tracer', 'records'):.0f} for {conns:.0f} connections, "
          f"lost {max(x.get('lost', 0) for x in results['tracer'])}")
    direct = bpf + driver
    print(f"tracer cost per 1,000 connections/s, in the BPF programs and the driver: "
          f"{direct / args.seconds / per_k * 1000:.1f} ms CPU per second "
          f"(BPF {bpf / args.seconds / per_k * 1000:.1f}, driver {driver / args.seconds / per_k * 1000:.1f}); "
          f"load CPU difference with and without it {(tracer_load - bare) / args.seconds / per_k * 1000:+.1f} ms "
          f"per second (noise on a shared host)")
    print(f"poll-only (sockvane --all --interval 500) over the same load: {poll / args.seconds * 1000:.1f} ms CPU per second")
    print(f"ratio tracer cost / poll-only: {direct / poll:.3f}x; counting the load difference too: {overhead / poll:.3f}x")
    dd_bare = statistics.median(dd["bare"])
    dd_tracer = statistics.median(dd["tracer"])
    print(f"dd, 4,000,000 system calls: {dd_bare:.3f} s bare, {dd_tracer:.3f} s with the tracer "
          f"({(dd_tracer - dd_bare) / 4e6 * 1e9:+.0f} ns per call, ratio {dd_tracer / dd_bare:.2f}x)")


if __name__ == "__main__":
    main()
