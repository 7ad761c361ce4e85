#!/usr/bin/env python3
"""How many short-lived connections sockvane reports, and a burst of them.

  short_lived_bench.py table [--count 40] [--lives 20,100,300]
      For every close style (client first, client reset, server first,
      connected UDP) and life: the share of connections whose connecting end
      was reported "new", and the share with the right PID, as root, as
      uid 65534 and as uid 65534 holding the service's tracer rights
      (CAP_BPF, CAP_PERFMON, CAP_NET_ADMIN), with the destroy notifications on and off
      (SOCKVANE_NO_DESTROY_EVENTS=1). Default interval (500 ms).

  short_lived_bench.py burst [--rate 5000] [--duration 10] [--unprivileged]
      loadgen.py opens and closes RATE loopback connections per second for
      DURATION seconds (the client closes first). Reports how many ends the
      program reported, every loss notice on its standard error, and the
      spacing of its polls (the clusters of its event times).

  short_lived_bench.py steady [--held 10000] [--rounds 3] [--window 15]
      Steady CPU with no churn (N held connections), the destroy
      notifications on and off in turns. Run it in a network namespace of its
      own, so that no other program's churn reaches the notifications:
        ip netns add slb; ip -n slb link set lo up
        ip netns exec slb python3 bench/short_lived_bench.py steady; ip netns del slb

Run as root (the table's uid 65534 runs use setpriv). SOCKVANE_BIN names the
binary (default build/dev/sockvane). Loopback only; every load is bounded.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
os.environ.setdefault("SOCKVANE_BIN", os.path.join(ROOT, "build", "dev", "sockvane"))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import short_lived as sl  # noqa: E402
import support  # noqa: E402

NAMES = {"client": "client closes first", "reset": "client aborts (RST)", "server": "server closes first",
         "udp": "connected UDP"}


def table(args):
    lives = [int(x) for x in args.lives.split(",")]
    # (who, unprivileged, capabilities, notification settings)
    users = [("root", False, (), (True, False))]
    if os.geteuid() == 0:
        users += [("uid 65534", True, (), (True, False)),
                  ("uid 65534 with " + "+".join(support.TRACER_CAPS), True, support.TRACER_CAPS, (True,))]
    if args.only:
        users = [u for u in users if u[0] == args.only]
    for who, unprivileged, caps, settings in users:
        for on in settings:
            print(f"\n{who}, destroy notifications {'on' if on else 'off'}:")
            print("| how the connection ends | " + " | ".join(f"lives {l} ms" for l in lives) + " |")
            print("|---|" + "---|" * len(lives))
            cells = {st: [] for st in sl.STYLES}
            for life in lives:
                loads, events, err = sl.run_load(sl.STYLES, life, args.count, unprivileged=unprivileged,
                                                 destroy_events=on, caps=caps)
                for load in loads:
                    s = sl.score(load, events)
                    cells[load["style"]].append(
                        f"{s['reported']}/{s['count']} reported, {s['right_pid']} right PID"
                        + (f", {len(s['invented'])} invented" if s["invented"] else ""))
                if err:
                    print("stderr:", err.decode(errors="replace").strip(), file=sys.stderr)
            for st in sl.STYLES:
                print(f"| {NAMES[st]} | " + " | ".join(cells[st]) + " |")
            sys.stdout.flush()


def burst(args):
    log = tempfile.mktemp(prefix="sockvane-burst-", suffix=".jsonl")
    mon = support.Monitor(["--all", "--format", "jsonl", "--events", "new,closed", "--proto", "tcp", "--stats", "1"],
                          unprivileged=args.unprivileged, env=sl.environment(not args.off, True))
    held = support.listener()
    markers = []

    def poll_done():
        c, s = support.connect_pair(held)
        markers.append((c, s))
        mine = c.getsockname()[1]
        mon.wait_for(lambda e: isinstance(e, dict) and e.get("src_port") == mine and e.get("event") == "new",
                     timeout=300)

    poll_done()
    gen = subprocess.run([sys.executable, os.path.join(HERE, "loadgen.py"), "--held", "4", "--clients", "4",
                          "--rate", str(args.rate), "--life", str(args.life), "--duration", str(args.duration),
                          "--log", log], capture_output=True, timeout=args.duration + 120)
    poll_done()
    poll_done()
    err = mon.stop().decode(errors="replace")
    for c, s in markers:
        c.close()
        s.close()
    held.close()
    conns = [c for c in (json.loads(line) for line in open(log)) if c.get("kind") == "churn"]
    events = [e for e in mon.seen if isinstance(e, dict) and "event" in e]
    news = {(e["src_ip"], e["src_port"], e["dst_ip"], e["dst_port"]) for e in events if e["event"] == "new"}
    client = sum((c["client_addr"], c["client_port"], c["server_addr"], c["server_port"]) in news for c in conns)
    server = sum((c["server_addr"], c["server_port"], c["client_addr"], c["client_port"]) in news
                 for c in conns if c["server_pid"])
    # Statistics are due at the first poll a second after the last report:
    # their spacing shows whether the polls keep their interval.
    stamps = [e["time"] for e in mon.seen if isinstance(e, dict) and e.get("type") == "stats"]
    secs = [int(t[0:2]) * 3600 + int(t[3:5]) * 60 + float(t[6:]) for t in stamps]
    gaps = [b - a for a, b in zip(secs, secs[1:])]
    opened = [c["client_open"] for c in conns]
    span = max(opened) - min(opened)
    print(f"connections: {len(conns)} opened in {span:.1f} s ({len(conns) / max(span, 1e-9):.0f}/s), "
          f"loadgen exit {gen.returncode}")
    print(f"client ends reported new: {client} ({100 * client / len(conns):.1f}%)")
    print(f"server ends reported new: {server} ({100 * server / max(1, len(conns)):.1f}%)")
    if gaps:
        print(f"statistics reports: {len(secs)}; spacing median {statistics.median(gaps):.2f} s, "
              f"max {max(gaps):.2f} s (due every 1 s, at the next 500 ms poll)")
    print("stderr:", err.strip() or "(nothing)")
    os.unlink(log)


def steady(args):
    """CPU share of a core at the fixed interval, layer on and off in turns.
    The poll cycles are far shorter than the interval when nothing churns, so
    the share compares the cycles' cost directly."""
    sys.path.insert(0, HERE)
    from scan_bench import Generator

    def cpu_seconds(pid):
        fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    per = {"on": [], "off": []}
    gen = Generator(args.held, args.clients, 0.0, None, 60 + args.rounds * 2 * (args.window + 8), 29100)
    try:
        time.sleep(2.0)
        for r in range(args.rounds):
            for name in (("on", "off") if r % 2 == 0 else ("off", "on")):
                p = subprocess.Popen([os.environ["SOCKVANE_BIN"], "--all", "--interval", "500"],
                                     stdout=subprocess.DEVNULL, env=sl.environment(name == "on", True))
                time.sleep(6.0)  # the first polls report everything and look up every owner
                c0, t0 = cpu_seconds(p.pid), time.monotonic()
                time.sleep(args.window)
                c1, t1 = cpu_seconds(p.pid), time.monotonic()
                p.kill()
                p.wait()
                per[name].append((c1 - c0) / (t1 - t0))
                print("round %d: %s %.3f of a core" % (r + 1, name, per[name][-1]), file=sys.stderr)
    finally:
        gen.stop()
    off = statistics.median(per["off"])
    print("| destroy notifications | CPU, share of a core (median of %d) | all rounds | ratio to off |" % args.rounds)
    print("|---|---|---|---|")
    for name in ("on", "off"):
        m = statistics.median(per[name])
        print("| %s | %.3f | %s | %.2f |" % (name, m, " ".join("%.3f" % x for x in per[name]), m / off))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = ap.add_subparsers(dest="what", required=True)
    t = sub.add_parser("table")
    t.add_argument("--count", type=int, default=40)
    t.add_argument("--lives", default="20,100,300")
    t.add_argument("--only", help="one of the users: root, uid 65534, uid 65534 with bpf+perfmon+net_admin")
    b = sub.add_parser("burst")
    b.add_argument("--rate", type=float, default=5000)
    b.add_argument("--life", type=float, default=0)
    b.add_argument("--duration", type=float, default=10)
    b.add_argument("--unprivileged", action="store_true")
    b.add_argument("--off", action="store_true", help="destroy notifications off")
    st = sub.add_parser("steady")
    st.add_argument("--held", type=int, default=10000)
    st.add_argument("--clients", type=int, default=100)
    st.add_argument("--rounds", type=int, default=3)
    st.add_argument("--window", type=float, default=20.0)
    args = ap.parse_args()
    {"table": table, "burst": burst, "steady": steady}[args.what](args)


if __name__ == "__main__":
    main()
