#!/usr/bin/env python3
"""Short-lived loopback connections of one close style, for the tests and bench.

  short_lived_load.py --style client|reset|server|udp --life-ms 20 --count 40

Opens COUNT connections one after another on 127.0.0.1, each living LIFE_MS,
with a random pause of up to GAP_MS between them. It prints the server's port
as one JSON line, waits for a line on standard input, runs, and prints one
JSON line at the end: the server's port, the client ports in order, and this
process's PID and name (client and server both live in this process). Bounded: it ends by
itself (a watchdog ends it after --deadline seconds in any case).

  client  the client closes first (its end goes to TIME_WAIT)
  reset   the client aborts with a reset (SO_LINGER 0)
  server  the server closes first; the client closes on end-of-file
  udp     a connected UDP socket sends one datagram and closes
"""

import argparse
import json
import os
import random
import signal
import socket
import struct
import sys
import threading
import time


def serve_tcp(listener, style, life):
    def handle(conn):
        try:
            if style == "server":
                time.sleep(life)
            else:
                conn.settimeout(10)
                try:
                    while conn.recv(64):
                        pass
                except OSError:
                    pass
        finally:
            conn.close()

    while True:
        try:
            conn, _ = listener.accept()
        except OSError:
            return
        threading.Thread(target=handle, args=(conn,), daemon=True).start()


def one_tcp(port, style, life):
    c = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    c.connect(("127.0.0.1", port))
    mine = c.getsockname()[1]
    if style == "server":
        c.settimeout(10)
        try:
            while c.recv(64):
                pass
        except OSError:
            pass
    else:
        time.sleep(life)
        if style == "reset":
            c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    c.close()
    return mine


def one_udp(port, life):
    c = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    c.connect(("127.0.0.1", port))
    c.send(b"x")
    mine = c.getsockname()[1]
    time.sleep(life)
    c.close()
    return mine


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--style", choices=["client", "reset", "server", "udp"], required=True)
    ap.add_argument("--life-ms", type=float, default=20)
    ap.add_argument("--count", type=int, default=40)
    ap.add_argument("--gap-ms", type=float, default=100)
    ap.add_argument("--deadline", type=float, default=120)
    args = ap.parse_args()
    signal.alarm(int(args.deadline))
    life = args.life_ms / 1000
    if args.style == "udp":
        server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        server.bind(("127.0.0.1", 0))
    else:
        server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        server.bind(("127.0.0.1", 0))
        server.listen(128)
        threading.Thread(target=serve_tcp, args=(server, args.style, life), daemon=True).start()
    port = server.getsockname()[1]
    print(json.dumps({"server_port": port}), flush=True)
    sys.stdin.readline()
    ports = []
    for _ in range(args.count):
        ports.append(one_udp(port, life) if args.style == "udp" else one_tcp(port, args.style, life))
        time.sleep(random.uniform(0, args.gap_ms / 1000))
    time.sleep(0.05)  # the server ends of the last connection close too
    print(json.dumps({"style": args.style, "server_port": port, "client_ports": ports, "pid": os.getpid(),
                      "name": os.path.basename(os.readlink("/proc/self/exe"))}), flush=True)


if __name__ == "__main__":
    main()
