#!/usr/bin/env bash
# The packaged service under a real systemd: boots a minimal Debian 12 in
# systemd-nspawn (granted CAP_BPF, CAP_PERFMON and CAP_NET_ADMIN, so that the
# service can load its tracer), installs the .deb, starts sockvane.service
# (with --all, so that loopback shows), opens a loopback connection and a
# short-lived one and reads their events, with the owners, back from the
# journal with jq; then checks the capabilities of the running service (those
# that only loading needed are given up), that it names owners through /proc
# where it may not load BPF, what a probe in its place can and cannot do, that
# a usage error is not restarted, and that dpkg -r stops the service and purge
# cleans up.
#
#   tools/systemd-nspawn-check.sh [PACKAGE.deb]
#
# Default package: the one tools/stage-package.sh left in build/pkg/stage/deb.
# Not part of ./x.sh test: the first run downloads a Debian base system
# (debootstrap, about 300 MB unpacked, kept in build/nspawn/root); later runs
# take about half a minute. Exit status 0: passed; 1: failed; 77: cannot run
# here (not root, no systemd-nspawn or debootstrap, no mirror), with the reason.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
WORK=$ROOT/build/nspawn
ROOTFS=$WORK/root
MIRROR=${SOCKVANE_DEBIAN_MIRROR:-http://deb.debian.org/debian}

log() { printf '== nspawn: %s\n' "$*" >&2; }
skip() { printf 'SKIP nspawn: %s\n' "$*" >&2; exit 77; }

[ "$(id -u)" -eq 0 ] || skip "needs root"
command -v systemd-nspawn >/dev/null || skip "systemd-nspawn is missing (Debian package systemd-container)"

deb=${1:-}
if [ -z "$deb" ]; then
  shopt -s nullglob
  debs=("$ROOT"/build/pkg/stage/deb/sockvane_*.deb)
  shopt -u nullglob
  [ ${#debs[@]} -eq 1 ] || { echo "no single package in build/pkg/stage/deb: run tools/stage-package.sh" >&2; exit 1; }
  deb=${debs[0]}
fi
deb=$(realpath "$deb")

# libbpf1: the package's tracer links it. A root made with another list is made anew.
INCLUDE=systemd,systemd-sysv,dbus,jq,python3,libbpf1
if [ "$(cat "$ROOTFS/.sockvane-include" 2>/dev/null)" != "$INCLUDE" ]; then
  command -v debootstrap >/dev/null || skip "debootstrap is missing"
  log "debootstrap bookworm from $MIRROR into $ROOTFS"
  rm -rf "$ROOTFS.new"
  mkdir -p "$WORK"
  if ! debootstrap --variant=minbase --include="$INCLUDE" \
      bookworm "$ROOTFS.new" "$MIRROR" >"$WORK/debootstrap.log" 2>&1; then
    tail -n 5 "$WORK/debootstrap.log" >&2
    rm -rf "$ROOTFS.new"
    skip "debootstrap failed (log: $WORK/debootstrap.log)"
  fi
  echo "$INCLUDE" >"$ROOTFS.new/.sockvane-include"
  rm -rf "$ROOTFS"
  mv "$ROOTFS.new" "$ROOTFS"
fi

CHECK=$(mktemp -d "$WORK/check.XXXXXX")
trap 'rm -rf "$CHECK"' EXIT
mkdir "$CHECK/in" "$CHECK/out"
cp "$deb" "$CHECK/in/sockvane.deb"

# Runs inside the container once it has booted, then powers it off.
cat >"$CHECK/in/check.sh" <<'EOF'
#!/bin/sh
set -u
exec >/results/log 2>&1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
unit=sockvane.service

dpkg -i /check/sockvane.deb >/dev/null || fail "dpkg -i"
state=$(systemctl is-enabled $unit)
[ "$state" = disabled ] || fail "enabled state after install: $state"
systemctl is-active --quiet $unit && fail "started on install"

# --all: the connection below is on loopback.
mkdir -p /etc/systemd/system/$unit.d
printf '[Service]\nExecStart=\nExecStart=/usr/bin/sockvane --format jsonl --timestamp iso8601 --stats 60 --all\n' \
  >/etc/systemd/system/$unit.d/all.conf
systemctl daemon-reload
systemctl start $unit || fail "start"
sleep 1
pid=$(systemctl show -P MainPID $unit)
echo "service: $(systemctl show -P ActiveState $unit), main PID $pid"
grep -E '^(Uid|CapEff|CapBnd|CapAmb|NoNewPrivs|Seccomp):' /proc/$pid/status
# Loaded, the tracer leaves only what /proc needs.
[ "$(awk '/^CapEff:/ {print $2}' /proc/$pid/status)" = 0000000000080004 ] ||
  fail "effective capabilities are not exactly CAP_DAC_READ_SEARCH and CAP_SYS_PTRACE"
[ "$(awk '/^CapBnd:/ {print $2}' /proc/$pid/status)" = 000000c000081004 ] || fail "bounding set"
[ "$(awk '/^Seccomp:/ {print $2}' /proc/$pid/status)" = 2 ] || fail "no system-call filter"
[ "$(awk '/^Uid:/ {print $2}' /proc/$pid/status)" != 0 ] || fail "runs as root"
links=$(cat /proc/$pid/fdinfo/* 2>/dev/null | grep -c '^link_id:')
echo "BPF links held: $links"
[ "$links" -ge 5 ] || fail "the tracer is not loaded with its connect and release hooks"

# A root-owned connection on loopback, held for three polls and more, and a
# short-lived one that no poll sees.
python3 - >/results/conn <<'PY'
import os, socket, time
srv = socket.create_server(("127.0.0.1", 0))
cli = socket.create_connection(srv.getsockname())
peer, _ = srv.accept()
short = socket.create_connection(srv.getsockname())
srv.accept()[0].close()
print(os.getpid(), srv.getsockname()[1], cli.getsockname()[1], short.getsockname()[1], flush=True)
short.close()
time.sleep(3)
PY
read -r cpid port cport sport </results/conn
echo "connections: pid $cpid, 127.0.0.1:$cport and :$sport -> 127.0.0.1:$port"
journalctl --sync 2>/dev/null || true
sleep 1
# -u also selects systemd's own messages about the unit: fromjson? skips them.
echo "--- journalctl -o cat -u sockvane | jq -R -c 'fromjson? | select(.dst_port == $port)'"
journalctl -o cat -u $unit | jq -R -c "fromjson? | select(.dst_port == $port)" | tee /results/events
for p in $cport $sport; do
  n=$(jq -s "map(select(.event == \"new\" and .src_port == $p and .pid == \"$cpid\" and .process != \"unknown\")) | length" /results/events)
  [ "$n" = 1 ] || fail "no new event with owner $cpid for $p -> $port"
done
# The shipper's path: the journal's JSON export, MESSAGE parsed by jq.
echo "--- journalctl -o json -u sockvane | jq (MESSAGE | fromjson)"
journalctl -o json -u $unit |
  jq -c "select(.SYSLOG_IDENTIFIER == \"sockvane\") | .MESSAGE | fromjson? | select(.dst_port == $port)" |
  tee /results/events-json
cmp -s /results/events /results/events-json || fail "journalctl -o json and -o cat differ"

# Where BPF may not load, the owners come from /proc.
printf '[Service]\nCapabilityBoundingSet=\nCapabilityBoundingSet=CAP_SYS_PTRACE CAP_DAC_READ_SEARCH\nAmbientCapabilities=\nAmbientCapabilities=CAP_SYS_PTRACE CAP_DAC_READ_SEARCH\n' \
  >/etc/systemd/system/$unit.d/nobpf.conf
systemctl daemon-reload
systemctl restart $unit
sleep 1
pid=$(systemctl show -P MainPID $unit)
links=$(cat /proc/$pid/fdinfo/* 2>/dev/null | grep -c '^link_id:')
echo "without BPF: main PID $pid, BPF links held: $links"
[ "$links" = 0 ] || fail "BPF links without CAP_BPF"
python3 - >/results/conn <<'PY'
import os, socket, time
srv = socket.create_server(("127.0.0.1", 0))
cli = socket.create_connection(srv.getsockname())
peer, _ = srv.accept()
print(os.getpid(), srv.getsockname()[1], cli.getsockname()[1], flush=True)
time.sleep(3)
PY
read -r cpid port cport </results/conn
journalctl --sync 2>/dev/null || true
sleep 1
n=$(journalctl -o cat -u $unit | jq -R -c "fromjson? | select(.dst_port == $port)" |
    jq -s "map(select(.event == \"new\" and .src_port == $cport and .pid == \"$cpid\" and .process != \"unknown\")) | length")
[ "$n" = 1 ] || fail "without BPF: no new event with owner $cpid for $cport -> $port"
rm /etc/systemd/system/$unit.d/nobpf.conf

# What the capabilities cannot be turned into, tried from inside the unit's
# sandbox: a probe in the service's place.
cat >/run/probe.py <<'PY'
import ctypes, errno, os
libc = ctypes.CDLL(None, use_errno=True)
def call(name, *args):
    r = getattr(libc, name)(*args)
    return "ok" if r >= 0 else errno.errorcode[ctypes.get_errno()]
print("ptrace", call("ptrace", 16, 1, 0, 0))
print("process_vm_readv", call("syscall", 310, 1, 0, 0, 0, 0, 0))
print("pidfd_getfd", call("syscall", 438, 0, 0, 0))
try:
    print("shadow", len(open("/etc/shadow").read()))
except OSError as e:
    print("shadow", errno.errorcode[e.errno])
print("fd", len(os.listdir("/proc/1/fd")) > 0)
PY
printf '[Service]\nExecStart=\nExecStart=/usr/bin/python3 /run/probe.py\n' \
  >/etc/systemd/system/$unit.d/all.conf
systemctl daemon-reload
systemctl restart $unit
sleep 2
probe=$(journalctl -o cat -t sockvane | grep -v '^{')
echo "$probe"
for want in "ptrace EPERM" "process_vm_readv EPERM" "pidfd_getfd EPERM" "shadow 0" "fd True"; do
  echo "$probe" | grep -qx "$want" || fail "probe: expected '$want'"
done

# A usage error (exit 2) is not restarted.
printf '[Service]\nExecStart=\nExecStart=/usr/bin/sockvane --no-such-option\n' \
  >/etc/systemd/system/$unit.d/all.conf
systemctl daemon-reload
systemctl restart $unit
sleep 7
echo "after a usage error: $(systemctl show -P ActiveState $unit), restarts: $(systemctl show -P NRestarts $unit)"
[ "$(systemctl show -P NRestarts $unit)" = 0 ] || fail "restarted after exit status 2"
[ "$(systemctl show -P ExecMainStatus $unit)" = 2 ] || fail "exit status is not 2"

# Removal stops a running service; purge leaves nothing behind.
rm -r /etc/systemd/system/$unit.d
systemctl daemon-reload
systemctl reset-failed $unit
systemctl enable $unit 2>/dev/null
systemctl start $unit
systemctl is-active --quiet $unit || fail "not running before dpkg -r"
dpkg -r sockvane >/dev/null || fail "dpkg -r"
state=$(systemctl show -P ActiveState $unit)
echo "after dpkg -r: $state"
[ "$state" = inactive ] || fail "still $state after dpkg -r"
dpkg --purge sockvane >/dev/null || fail "dpkg --purge"
left=$(find /etc/systemd/system /var/lib/systemd/deb-systemd-helper-enabled -name "$unit*")
[ -z "$left" ] || fail "left after purge: $left"

echo "failures: $failures"
[ "$failures" -eq 0 ] && echo PASS >/results/status
systemctl --no-block poweroff
EOF
chmod 755 "$CHECK/in/check.sh"
cat >"$CHECK/in/sockvane-check.service" <<'EOF'
[Unit]
Description=sockvane package check
After=multi-user.target

[Service]
Type=oneshot
ExecStart=/check/check.sh
EOF

log "booting $ROOTFS with $(basename "$deb")"
# The root stays untouched (changes go to a tmpfs overlay); no machined needed.
rc=0
timeout 300 systemd-nspawn -q --register=no --keep-unit --volatile=overlay \
  --capability=CAP_BPF,CAP_PERFMON,CAP_NET_ADMIN --system-call-filter=bpf \
  -D "$ROOTFS" --bind-ro="$CHECK/in:/check" --bind="$CHECK/out:/results" \
  --bind-ro="$CHECK/in/sockvane-check.service:/etc/systemd/system/sockvane-check.service" \
  -b systemd.wants=sockvane-check.service >"$WORK/boot.log" 2>&1 || rc=$?
if [ -f "$CHECK/out/log" ]; then
  sed 's/^/   /' "$CHECK/out/log" >&2
else
  tail -n 20 "$WORK/boot.log" >&2
  [ "$rc" -eq 0 ] || skip "systemd-nspawn could not boot the container (exit $rc, log: $WORK/boot.log)"
  echo "FAIL nspawn: the check did not run (log: $WORK/boot.log)" >&2
  exit 1
fi
if [ "$(cat "$CHECK/out/status" 2>/dev/null)" = PASS ]; then
  log "passed"
else
  echo "FAIL nspawn: see above" >&2
  exit 1
fi
