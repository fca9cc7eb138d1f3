#!/usr/bin/env python3
"""Holds sockets open from one loopback address, each trickling a TLS record into the
server one byte every 250 ms, for a bounded time; then closes them and exits.

    trickle_tls.py PORT SECONDS [--from 127.0.0.2] [--sockets 300]
Loopback only: the target is always 127.0.0.1.
"""
import argparse
import ipaddress
import socket
import sys
import time

# The start of a TLS handshake record (ClientHello, 512 bytes announced): the server
# waits for the rest, which never comes in time.
RECORD = bytes([0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01, 0xFC, 0x03, 0x03]) + bytes(501)
INTERVAL = 0.25


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", type=int)
    parser.add_argument("seconds", type=float)
    parser.add_argument("--from", dest="source", default="127.0.0.2")
    parser.add_argument("--sockets", type=int, default=300)
    args = parser.parse_args()
    if not ipaddress.ip_address(args.source).is_loopback:
        sys.exit("trickle_tls.py: the source address must be on loopback")
    if not 0 < args.seconds <= 600 or not 0 < args.sockets <= 1000:
        sys.exit("trickle_tls.py: at most 600 s and 1000 sockets")

    deadline = time.monotonic() + args.seconds
    sockets = {}  # socket -> bytes sent
    reconnects = 0

    def connect():
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.bind((args.source, 0))
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", args.port))
        sockets[s] = 0

    for _ in range(args.sockets):
        connect()
    while time.monotonic() < deadline:
        time.sleep(min(INTERVAL, max(0.0, deadline - time.monotonic())))
        for s in list(sockets):
            sent = sockets[s]
            try:
                if s.send(RECORD[sent % len(RECORD):sent % len(RECORD) + 1]) == 1:
                    sockets[s] = sent + 1
            except BlockingIOError:
                pass
            except OSError:
                # Dropped by the server (deadline or cap): come back, as an attacker would.
                s.close()
                del sockets[s]
                reconnects += 1
                if time.monotonic() < deadline:
                    connect()
    for s in sockets:
        s.close()
    print(f"trickle: {args.sockets} sockets from {args.source}, {reconnects} reconnects",
          file=sys.stderr)


if __name__ == "__main__":
    main()
