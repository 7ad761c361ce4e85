#!/usr/bin/env python3
"""The central path's cost: lines stored per second, and the lag from a line
printed on a host to its row in PostgreSQL.

  sudo python3 bench/central_bench.py --sockvane build/dev/sockvane

One host and the central server, as in the many-hosts end-to-end test
(central_path.py), with the shipped configuration and a PostgreSQL cluster at
its default settings (fsync on) plus track_commit_timestamp, so that every
row's commit time is known.

Stored per second: --lines lines in sockvane's format handed to the host's
rsyslog at once, from the first handed over to the last committed. Peers in
the same run: the shipped central rsyslog with one line per transaction
instead of batches, the same central rsyslog writing a file instead
(the transport alone), and COPY of the same rows into the same table
(PostgreSQL's own ceiling for this table and its indexes).

Lag: a real sockvane on the host over loopback churn from loadgen.py (--rate
connections per second, closed with RST so that no TIME_WAIT owner-less rows
appear: a new and a closed event at each end, four events a connection), each
line's moment of printing to its row's commit, against the same lines through
the central rsyslog writing a file, each seen by a reader polling it.
"""

import argparse
import csv
import io
import json
import os
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import central_path as cp  # noqa: E402

HERE = Path(__file__).resolve().parent
FILE_ACTION = 'action(type="omfile" file="{}" template="RSYSLOG_FileFormat")'


def synthetic(n):
    """n distinct lines as sockvane prints them."""
    t = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime())
    return [json.dumps({"time": f"{t}.{i % 1000:03d}", "event": "new" if i % 2 else "closed", "proto": "TCP",
                        "pid": str(1000 + i % 50), "process": f"worker{i % 50}", "src_ip": "192.0.2.20",
                        "src_port": 10000 + i % 50000, "dst_ip": f"203.0.113.{i % 250}", "dst_port": 443,
                        "state": "ESTABLISHED", "age_seconds": i // 100000}, separators=(",", ":"))
            for i in range(n)]


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(p / 100 * len(values)))]


class FileWatch:
    """Reads the central rsyslog's file as it grows; keeps each line's arrival."""

    def __init__(self, path):
        self.path, self.seen, self.done = path, [], False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.path.exists() and not self.done:
            time.sleep(0.001)
        with open(self.path, "rb") as f:
            buf = b""
            while not self.done:
                chunk = f.read(1 << 20)
                if not chunk:
                    time.sleep(0.001)
                    continue
                now = time.time()
                buf += chunk
                *lines, buf = buf.split(b"\n")
                self.seen += [(now, line.decode()[line.decode().index(" {") + 1:]) for line in lines]

    def stop(self):
        self.done = True
        self.thread.join(timeout=10)
        return self.seen


class Bench:
    def __init__(self, args):
        self.args = args
        self.lab = cp.Lab(["alpha"], prefix="svcb")
        self.lab.postgres("track_commit_timestamp=on")
        self.lab.start_host("alpha")

    def use_central(self, variant):
        if self.lab.central_proc and self.lab.central_proc.poll() is None:
            self.lab.stop(self.lab.central_proc)
        self.lab.psql("TRUNCATE sockvane_log")
        out = self.lab.tmp / f"central-{variant}.log"
        out.unlink(missing_ok=True)
        if variant == "file":
            self.lab.start_central(action=FILE_ACTION.format(out))
        elif variant == "single":
            self.lab.start_central(transform=lambda c: c.replace('BatchSize="1000"', 'BatchSize="1"'))
        else:
            self.lab.start_central()
        # The host's connection to the central rsyslog just stopped is broken:
        # one line through first, so that no run pays for the reconnection.
        self.lab.logger("alpha").communicate(b'{"type":"warm-up"}\n', timeout=60)
        if variant == "file":
            cp.wait_until(lambda: out.exists() and out.read_bytes().count(b"\n") == 1, 60, "the warm-up line")
        else:
            cp.wait_until(lambda: self.lab.psql("SELECT count(*) FROM sockvane_log") == "1\n", 60,
                          "the warm-up row")
            self.lab.psql("TRUNCATE sockvane_log")
        return out

    def committed(self):
        """(line, commit time) of every row."""
        out = self.lab.psql("SELECT extract(epoch FROM pg_xact_commit_timestamp(xmin)), line "
                            "FROM sockvane_log", csv=True)
        return [(float(t), line) for t, line in list(csv.reader(io.StringIO(out)))[1:]]

    def throughput(self, variant, lines):
        out = self.use_central(variant)
        watch = FileWatch(out) if variant == "file" else None
        logger = self.lab.logger("alpha")
        start = time.time()
        logger.communicate("\n".join(lines).encode() + b"\n", timeout=600)
        if watch:
            cp.wait_until(lambda: len(watch.seen) > len(lines), 600, "the file")
            end = max(t for t, _ in watch.stop())
        else:
            count = lambda: int(self.lab.psql("SELECT count(*) FROM sockvane_log"))  # noqa: E731
            cp.wait_until(lambda: count() >= len(lines), 1200, "the rows")
            end = float(self.lab.psql("SELECT extract(epoch FROM max(pg_xact_commit_timestamp(xmin))) "
                                      "FROM sockvane_log"))
        return len(lines) / (end - start)

    def copy(self, lines):
        self.lab.psql("TRUNCATE sockvane_log")
        data = self.lab.tmp / "copy.csv"
        now = time.strftime("%Y-%m-%d %H:%M:%S+00", time.gmtime())
        with open(data, "w") as f:
            for line in lines:
                f.write('alpha,10.77.1.2,%s,%s,"%s"\n' % (now, now, line.replace('"', '""')))
        start = time.time()
        self.lab.psql(f"\\copy sockvane_log (host, sender, logged, received, line) "
                      f"FROM '{data}' (FORMAT csv)")
        return len(lines) / (time.time() - start)

    def lag(self, variant):
        out = self.use_central(variant)
        watch = FileWatch(out) if variant == "file" else None
        ns = self.lab.hosts["alpha"]["ns"]
        load = self.lab.spawn([sys.executable, HERE / "loadgen.py", "--held", "4", "--clients", "4",
                               "--rate", self.args.rate, "--life", "600", "--close", "rst",
                               "--duration", self.args.duration], ns=ns, stdout=subprocess.DEVNULL)
        feed = cp.Feed(self.lab, "alpha", [self.args.sockvane, "--all", "--events", "new,closed",
                                           "--format", "jsonl", "--timestamp", "iso8601"],
                       env=dict(os.environ, TZ="UTC"))
        load.wait(timeout=self.args.duration + 120)
        time.sleep(1)
        feed.stop()
        printed = {line: t for t, line in feed.lines}
        if watch:
            cp.wait_until(lambda: len(watch.seen) > len(printed), 120, "the file")
            arrived = watch.stop()
        else:
            cp.wait_until(lambda: int(self.lab.psql("SELECT count(*) FROM sockvane_log")) >= len(printed),
                          120, "the rows")
            arrived = self.committed()
        lags = [t - printed[line] for t, line in arrived if line in printed]
        rate = len(printed) / (max(printed.values()) - min(printed.values()))
        return rate, len(lags), statistics.median(lags), percentile(lags, 99)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sockvane", required=True)
    ap.add_argument("--lines", type=int, default=30000, help="lines for the stored-per-second runs")
    ap.add_argument("--rate", type=int, default=280, help="connections per second in the lag runs")
    ap.add_argument("--duration", type=int, default=30, help="seconds of churn in each lag run")
    args = ap.parse_args()
    why = cp.missing()
    if why:
        sys.exit(f"central_bench: {why}")
    bench = Bench(args)
    try:
        lines = synthetic(args.lines)
        stored = {
            "rsyslog -> PostgreSQL, batches (shipped)": bench.throughput("batches", lines),
            "rsyslog -> PostgreSQL, one line per transaction":
                bench.throughput("single", lines[:args.lines // 6]),
            "rsyslog -> file (transport alone)": bench.throughput("file", lines),
            "COPY into the table": bench.copy(lines),
        }
        print(f"lines stored per second ({args.lines} lines; load average {os.getloadavg()[0]:.1f})")
        shipped = stored["rsyslog -> PostgreSQL, batches (shipped)"]
        for name, rate in stored.items():
            print(f"  {name:50s} {rate:9.0f}/s  {rate / shipped:6.2f}x")
        print(f"lag from printed to stored, {args.rate} connections/s for {args.duration}s")
        for variant, name in (("batches", "rsyslog -> PostgreSQL (shipped)"), ("file", "rsyslog -> file")):
            rate, n, median, p99 = bench.lag(variant)
            print(f"  {name:32s} {rate:6.0f} events/s printed, {n} lines: "
                  f"median {median * 1000:6.1f} ms, 99th percentile {p99 * 1000:6.1f} ms")
        print(f"load average {os.getloadavg()[0]:.1f}")
    finally:
        bench.lab.close()


if __name__ == "__main__":
    main()
