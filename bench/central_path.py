"""Hosts and a central server on one machine, for the many-hosts test and bench.

Each host and the central server is a network namespace of our own, joined by
veth pairs; each runs its own rsyslogd with the shipped configuration
(packaging/examples), wrapped in a few lines that give it a work directory, a
host name and, on the hosts, a private log socket. PostgreSQL is a cluster made
in a temporary directory, run as an unprivileged user, reachable only through
its Unix socket. Everything started here is ended by its PID, and the
namespaces are deleted, by close(), which is safe to call after any failure.
"""

import glob
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "packaging" / "examples"
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
RELP_PORT = 2514
PG_PORT = 5432  # the socket file's name only: the cluster listens on no network


def pg_bindir():
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"), key=lambda p: int(p.split("/")[4]))
    return Path(found[-1]).parent if found else None


def missing():
    """Why the central path cannot be built here, or None."""
    if os.geteuid() != 0:
        return "network namespaces and rsyslogd need root"
    for tool in ("ip", "rsyslogd", "logger", "psql", "setpriv"):
        if shutil.which(tool) is None:
            return f"{tool} is not installed"
    if pg_bindir() is None:
        return "no PostgreSQL server (package postgresql)"
    for mod, pkg in (("omrelp", "rsyslog-relp"), ("imrelp", "rsyslog-relp"), ("ompgsql", "rsyslog-pgsql")):
        if not glob.glob(f"/usr/lib/*/rsyslog/{mod}.so"):
            return f"rsyslog module {mod} is missing (package {pkg})"
    probe = f"svprobe{os.getpid()}"
    res = subprocess.run(["ip", "netns", "add", probe], capture_output=True, text=True)
    if res.returncode != 0:
        return "cannot create a network namespace: " + res.stderr.strip()
    subprocess.run(["ip", "netns", "del", probe], capture_output=True)
    return None


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"{what}: not within {timeout}s")
        time.sleep(0.05)


class Lab:
    """Namespaces, processes and files of one run; close() undoes them all."""

    def __init__(self, hosts, prefix="svmh"):
        self.tmp = Path(tempfile.mkdtemp(prefix="sockvane-manyhosts-"))
        os.chmod(self.tmp, 0o755)  # the PostgreSQL user must reach its folder
        self.procs = []
        self.namespaces = []
        self.central_proc = None
        self.tag = f"{prefix}{os.getpid()}"
        self.hosts = {}
        try:
            self.central = self.netns("c")
            for i, name in enumerate(hosts, 1):
                ns = self.netns(f"h{i}")
                subprocess.run(["ip", "-n", ns, "link", "add", "eth0", "type", "veth", "peer", "name",
                                f"h{i}", "netns", self.central], check=True)
                ends = ((ns, "eth0", f"10.77.{i}.2/24"), (self.central, f"h{i}", f"10.77.{i}.1/24"))
                for n, dev, addr in ends:
                    subprocess.run(["ip", "-n", n, "addr", "add", addr, "dev", dev], check=True)
                    subprocess.run(["ip", "-n", n, "link", "set", dev, "up"], check=True)
                self.hosts[name] = {"ns": ns, "addr": f"10.77.{i}.2", "central": f"10.77.{i}.1"}
        except BaseException:
            self.close()
            raise

    def netns(self, role):
        name = f"{self.tag}{role}"
        subprocess.run(["ip", "netns", "add", name], check=True)
        self.namespaces.append(name)
        subprocess.run(["ip", "-n", name, "link", "set", "lo", "up"], check=True)
        return name

    def spawn(self, args, ns=None, **kw):
        cmd = (["ip", "netns", "exec", ns] if ns else []) + [str(a) for a in args]
        proc = subprocess.Popen(cmd, **kw)
        self.procs.append(proc)
        return proc

    def close(self):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
        for proc in reversed(self.procs):
            if proc.stdin:
                try:
                    proc.stdin.close()
                except OSError:  # a reader gone mid-write
                    pass
            try:
                proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout=5)
        for name in self.namespaces:
            subprocess.run(["ip", "netns", "del", name], capture_output=True)
        shutil.rmtree(self.tmp, ignore_errors=True)

    # --- PostgreSQL ----------------------------------------------------------

    def postgres(self, *settings):
        """Starts a private cluster with database sockvane and the shipped schema."""
        bindir = pg_bindir()
        self.pgdir = self.tmp / "pg"
        self.pgdir.mkdir()
        os.chown(self.pgdir, 65534, 65534)
        env = dict(os.environ, LC_ALL="C")
        subprocess.run([*NOBODY, bindir / "initdb", "-D", self.pgdir / "data", "-U", "sockvane_admin",
                        "-E", "UTF8", "--locale=C", "--auth=trust", "--no-sync"],
                       check=True, capture_output=True, env=env, cwd=self.pgdir)
        opts = ["-c", "listen_addresses=", "-k", self.pgdir, "-p", PG_PORT]
        for s in settings:
            opts += ["-c", s]
        with open(self.tmp / "pg.log", "wb") as log:
            self.pg = self.spawn([*NOBODY, bindir / "postgres", "-D", self.pgdir / "data", *opts],
                                 stdout=log, stderr=subprocess.STDOUT, env=env, cwd=self.pgdir)
        ready = ["pg_isready", "-q", "-h", self.pgdir, "-p", str(PG_PORT)]
        wait_until(lambda: subprocess.run(ready).returncode == 0, 30, "PostgreSQL ready")
        self.psql("CREATE DATABASE sockvane", db="postgres")
        self.psql(file=EXAMPLES / "schema.sql")

    def psql(self, sql=None, db="sockvane", file=None, variables=(), csv=False):
        cmd = ["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", str(self.pgdir), "-p", str(PG_PORT),
               "-U", "sockvane_admin", "-d", db]
        cmd += ["--csv"] if csv else ["-A", "-t"]
        for k, v in variables:
            cmd += ["-v", f"{k}={v}"]
        cmd += ["-f", str(file)] if file else ["-c", sql]
        res = subprocess.run(cmd, capture_output=True, text=True, timeout=120,
                             env=dict(os.environ, PGTZ="UTC"))
        if res.returncode != 0:
            raise AssertionError(f"psql {sql or file}: {res.stderr}")
        return res.stdout

    # --- rsyslog -------------------------------------------------------------

    def _rsyslogd(self, name, ns, conf):
        work = self.tmp / name
        work.mkdir(exist_ok=True)
        path = self.tmp / f"{name}.conf"
        path.write_text(f'global(workDirectory="{work}" maxMessageSize="64k")\n' + conf)
        res = subprocess.run(["rsyslogd", "-N1", "-f", path], capture_output=True, text=True, timeout=60)
        if res.returncode != 0:
            raise AssertionError(f"rsyslogd -N1 {path}: {res.stderr}{res.stdout}")
        with open(self.tmp / f"{name}.err", "ab") as err:
            return self.spawn(["rsyslogd", "-n", "-f", path, "-i", self.tmp / f"{name}.pid"], ns=ns,
                              stdout=subprocess.DEVNULL, stderr=err)

    def start_central(self, action=None, transform=None):
        """The shipped central configuration; action replaces its ompgsql action."""
        conf = (EXAMPLES / "rsyslog-central.conf").read_text()
        if transform:
            conf = transform(conf)
        conf = conf.replace('server="localhost"', f'server="{self.pgdir}" serverport="{PG_PORT}"')
        if action:
            conf = re.sub(r'action\(type="ompgsql".*?\)', action, conf, flags=re.S)
        self.central_proc = self._rsyslogd("central", self.central, conf)
        return self.central_proc

    def stop(self, proc):
        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=60)

    def start_host(self, name):
        """The shipped host rule under the host's name, its input a private socket."""
        h = self.hosts[name]
        h["socket"] = self.tmp / f"{name}.sock"
        h["socket"].unlink(missing_ok=True)
        rule = (EXAMPLES / "rsyslog-host.conf").read_text().replace('"logs.example.org"', f'"{h["central"]}"')
        conf = (f'global(localHostName="{name}")\n'
                'module(load="imuxsock" SysSock.Use="off")\n'
                f'input(type="imuxsock" Socket="{h["socket"]}")\n' + rule)
        h["rsyslogd"] = self._rsyslogd(name, h["ns"], conf)
        wait_until(h["socket"].exists, 30, f"{name}'s rsyslogd socket")

    def restart_host(self, name):
        self.stop(self.hosts[name]["rsyslogd"])
        self.start_host(name)

    def logger(self, name):
        """A logger feeding the host's rsyslogd, as sockvane's lines would arrive."""
        return self.spawn(["logger", "-u", self.hosts[name]["socket"], "-t", "sockvane", "--size", "8192"],
                          stdin=subprocess.PIPE)


class Feed:
    """A command in a host's namespace whose output lines go to that host's
    rsyslog through logger, each kept with the time it was read."""

    def __init__(self, lab, name, args, env=None):
        self.lab, self.name = lab, name
        self.lines, self.waiting = [], None
        self.lock = threading.Lock()
        self.logger = lab.logger(name)
        self.proc = lab.spawn(args, ns=lab.hosts[name]["ns"], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, env=env)
        self.thread = threading.Thread(target=self._copy, daemon=True)
        self.thread.start()

    def _copy(self):
        for raw in self.proc.stdout:
            with self.lock:
                self.lines.append((time.time(), raw.decode(errors="replace").rstrip("\n")))
                self._write(raw)

    def _write(self, raw):
        if self.waiting is not None:
            self.waiting.append(raw)
        else:
            self.logger.stdin.write(raw)
            self.logger.stdin.flush()

    def send(self, line: bytes):
        """A line of our own, into the same logger."""
        with self.lock:
            self._write(line + b"\n")

    def hold(self):
        """Lines wait here from now on, and the logger ends, while the host's
        rsyslog restarts."""
        with self.lock:
            self.waiting = []
            self.logger.stdin.close()
            self.logger.wait(timeout=30)

    def release(self):
        with self.lock:
            self.logger = self.lab.logger(self.name)
            waiting, self.waiting = self.waiting, None
            for raw in waiting:
                self._write(raw)

    def stop(self):
        self.lab.stop(self.proc)
        self.thread.join(timeout=30)
        self.proc.stdout.close()
        self.logger.stdin.close()
        self.logger.wait(timeout=30)
        return [line for _, line in self.lines]
