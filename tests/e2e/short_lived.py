"""Runs sockvane over short-lived loopback connections and scores its output.

Shared by test_short_lived.py and bench/short_lived_bench.py."""

import json
import os
import socket
import subprocess
import sys
import time
from collections import defaultdict

import support

HERE = os.path.dirname(os.path.abspath(__file__))
LOAD = os.path.join(HERE, "short_lived_load.py")
STYLES = ["client", "reset", "server", "udp"]
ARGS = ["--all", "--format", "jsonl", "--events", "new,closed,state", "--proto", "tcp,udp"]


def environment(destroy_events=True, tracer=True):
    env = dict(os.environ)
    env.pop("SOCKVANE_NO_DESTROY_EVENTS", None)
    env.pop("SOCKVANE_NO_TRACER", None)
    if not destroy_events:
        env["SOCKVANE_NO_DESTROY_EVENTS"] = "1"
    if not tracer:
        env["SOCKVANE_NO_TRACER"] = "1"
    return env


def run_load(styles, life_ms, count, unprivileged=False, destroy_events=True, tracer=True, extra_args=(),
             caps=()):
    """One monitor over one generator per style, all at once. Returns (loads, events, stderr).
    The monitor is told our destination ports, so others' traffic stays out of its output."""
    held = support.listener()
    procs = [subprocess.Popen([sys.executable, LOAD, "--style", st, "--life-ms", str(life_ms),
                               "--count", str(count)], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
             for st in styles]
    servers = [json.loads(p.stdout.readline())["server_port"] for p in procs]
    ports = ",".join(str(p) for p in [held.getsockname()[1], *servers])
    mon = support.Monitor([*ARGS, "--dst-port", ports, *extra_args], unprivileged=unprivileged,
                          env=environment(destroy_events, tracer), caps=caps)
    markers = []

    def poll_done():
        # A connection opened now shows at the first poll that starts later.
        c, s = support.connect_pair(held)
        markers.append((c, s))
        mine = c.getsockname()[1]
        mon.wait_for(lambda e: isinstance(e, dict) and e.get("src_port") == mine and e.get("event") == "new",
                     timeout=120)

    try:
        poll_done()
        for p in procs:
            p.stdin.write(b"go\n")
            p.stdin.flush()
        loads = [json.loads(p.communicate(timeout=300)[0]) for p in procs]
        # Notifications of the last connections may arrive during the next
        # poll; they are reported at the one after it at the latest.
        poll_done()
        poll_done()
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()
        err = mon.stop()
        for c, s in markers:
            c.close()
            s.close()
        held.close()
    events = [e for e in mon.seen if isinstance(e, dict) and "event" in e]
    return loads, events, err


LOSS = b"sockvane: short-lived sockets may be missing: "


def losses_only(err):
    """Whether standard error holds nothing but loss notices (a busy host's
    churn can overrun the notifications; that is said, not hidden)."""
    return all(line.startswith(LOSS) for line in err.splitlines())


def score(load, events):
    """Shares for the connecting ends of one generator's connections."""
    proto = "UDP" if load["style"] == "udp" else "TCP"
    server, ports = load["server_port"], set(load["client_ports"])
    ours = [e for e in events if e["proto"] == proto and e["src_ip"] == "127.0.0.1"
            and e["src_port"] in ports and e["dst_port"] in (server, 0)]
    reported, right_pid, invented = set(), set(), []
    by_key = defaultdict(list)
    closed_state_new, time_wait = set(), set()
    for e in ours:
        key = (e["pid"], e["src_port"], e["dst_port"])
        by_key[key].append(e["event"])
        if e["dst_port"] == 0:
            invented.append(e)
            continue
        if e["event"] == "new":
            reported.add(e["src_port"])
            if e["pid"] == str(load["pid"]) and e["process"] == load["name"]:
                right_pid.add(e["src_port"])
            if e["pid"] == "0" and e["state"] != "TIME_WAIT" and proto == "TCP" and e["state"] == "1":
                closed_state_new.add(e["src_port"])
        if e["pid"] == "0" and e["state"] == "TIME_WAIT":
            time_wait.add(e["src_port"])
    # A key opens before it closes, and never twice in a row.
    for key, seq in by_key.items():
        open_ = False
        for ev in seq:
            if ev == "new":
                if open_:
                    invented.append({"key": key, "seq": seq})
                open_ = True
            elif ev == "closed":
                open_ = False
    # An ownerless end already shown by its TIME_WAIT row, told again.
    invented += [{"duplicate": p} for p in closed_state_new & time_wait]
    n = len(load["client_ports"])
    return {"style": load["style"], "count": n, "reported": len(reported), "right_pid": len(right_pid),
            "invented": invented}


def layers(env, caps=None):
    """The status line sockvane writes to a terminal at start (of a polling
    run: a single scan runs without the layers); with CAPS, as uid 65534
    holding them."""
    import pty
    import select
    master, slave = pty.openpty()
    cmd = [support.BIN] if caps is None else [*support.as_nobody(caps), support.public_binary()]
    p = subprocess.Popen([*cmd, "--interval", "100", "--pid", "1"], stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=slave, env=env)
    os.close(slave)
    out = b""
    try:
        deadline = time.monotonic() + 60
        while b"\n" not in out and time.monotonic() < deadline:
            if select.select([master], [], [], 0.5)[0]:
                try:
                    chunk = os.read(master, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                out += chunk
            elif p.poll() is not None:
                break
    finally:
        p.kill()
        p.wait()
        os.close(master)
    return out.decode(errors="replace")
