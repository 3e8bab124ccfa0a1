#!/usr/bin/env python3
"""A proxy that breaks HTTP answers on purpose, for bench/soak.

    fault_proxy.py --port P --upstream PORT --seed N --log FILE [--rate R] [--stall S]

Listens on 127.0.0.1:P (a free port when P is 0; "port N" on the first line
once it listens), passes each request to the web server at 127.0.0.1:PORT and, by a seeded
random choice per request, passes the answer clean or breaks it:

    reset     the connection is reset after a random number of body bytes
    short     the body ends early (the connection is closed normally)
    stall     some body bytes, then silence for S seconds (longer than the
              updater's watchdog), then the connection is closed
    trickle   the body's first part at a few KiB/s, the rest at full speed
    500, 503, 404   that status once, without asking the server
    flip      one to three bytes of the body changed

R is the share of requests that get a fault (default 0.35). Each request is
written to FILE as one line "<fault> <path>" once its answer is decided, so
the soak counts the faults by kind. Every connection carries one request:
the proxy asks the server to close after it, so a fault never spills into
the next request. Only the standard library; nothing leaves 127.0.0.1.
"""
import argparse
import random
import socket
import socketserver
import struct
import sys
import threading
import time

KINDS = ["reset", "short", "stall", "trickle", "500", "503", "404", "flip"]
# Stalls cost the run a whole watchdog period, so they come less often.
WEIGHTS = [4, 4, 0.5, 2, 1, 1, 1, 3]
TRICKLE_BYTES_PER_S = 16 << 10
TRICKLE_SECONDS = 2.0
CHUNK = 64 << 10
STATUS_TEXT = {"500": "Internal Server Error", "503": "Service Unavailable", "404": "Not Found"}


class Chooser:
    """One seeded sequence of choices shared by all connections in order of arrival."""

    def __init__(self, seed, rate):
        self.random = random.Random(seed)
        self.rate = rate
        self.lock = threading.Lock()

    def next(self):
        with self.lock:
            if self.random.random() >= self.rate:
                return "clean", self.random.random()
            return self.random.choices(KINDS, WEIGHTS)[0], self.random.random()


def read_head(sock):
    data = b""
    while b"\r\n\r\n" not in data:
        piece = sock.recv(65536)
        if not piece:
            return None, b""
        data += piece
    end = data.index(b"\r\n\r\n") + 4
    return data[:end], data[end:]


def one_request_only(head):
    lines = head.decode("latin-1").split("\r\n")
    kept = [line for line in lines[1:] if line and not line.lower().startswith(("connection:", "keep-alive:"))]
    return ("\r\n".join([lines[0]] + kept + ["Connection: close", "", ""])).encode("latin-1")


def content_length(head):
    for line in head.decode("latin-1").split("\r\n")[1:]:
        name, _, value = line.partition(":")
        if name.strip().lower() == "content-length":
            return int(value.strip())
    return None


def reset(sock):
    # An abortive close: the peer sees a reset, not an orderly end.
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        client = self.request
        head, rest = read_head(client)
        if head is None:
            return
        path = head.split(b" ")[1].decode("latin-1") if head.count(b" ") >= 2 else "?"
        kind, fraction = self.server.chooser.next()
        self.server.record(kind, path)
        if kind in STATUS_TEXT:
            body = b"fault"
            client.sendall(("HTTP/1.1 %s %s\r\nContent-Length: %d\r\nConnection: close\r\n\r\n"
                            % (kind, STATUS_TEXT[kind], len(body))).encode() + body)
            client.close()
            return
        upstream = socket.create_connection(("127.0.0.1", self.server.upstream))
        try:
            upstream.sendall(one_request_only(head) + rest)
            answer_head, body_start = read_head(upstream)
            if answer_head is None:
                reset(client)
                return
            length = content_length(answer_head)
            self.relay(client, upstream, answer_head, body_start, length, kind, fraction)
        except OSError:
            pass
        finally:
            upstream.close()

    def relay(self, client, upstream, answer_head, body, length, kind, fraction):
        # The byte of the body where the fault strikes.
        cut = int((length or 0) * fraction)
        flips = set()
        if kind == "flip" and length:
            rng = random.Random(fraction)
            flips = {rng.randrange(length) for _ in range(rng.randint(1, 3))}
        client.sendall(answer_head)
        sent = 0
        started = time.monotonic()
        while True:
            if not body:
                body = upstream.recv(CHUNK)
                if not body:
                    break
            piece, body = body, b""
            if kind in ("reset", "short", "stall") and sent + len(piece) >= cut:
                client.sendall(piece[: cut - sent])
                if kind == "reset":
                    reset(client)
                    return
                if kind == "stall":
                    time.sleep(self.server.stall)
                client.close()
                return
            if flips:
                changed = bytearray(piece)
                for at in flips:
                    if sent <= at < sent + len(piece):
                        changed[at - sent] ^= 0xFF
                piece = bytes(changed)
            if kind == "trickle" and time.monotonic() - started < TRICKLE_SECONDS:
                for at in range(0, len(piece), 1024):
                    client.sendall(piece[at: at + 1024])
                    time.sleep(1024 / TRICKLE_BYTES_PER_S)
            else:
                client.sendall(piece)
            sent += len(piece)
        client.close()


class Proxy(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, port, upstream, chooser, log, stall):
        super().__init__(("127.0.0.1", port), Handler)
        self.upstream = upstream
        self.chooser = chooser
        self.stall = stall
        self.log = log
        self.log_lock = threading.Lock()

    def record(self, kind, path):
        with self.log_lock:
            self.log.write("%s %s\n" % (kind, path))
            self.log.flush()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--upstream", type=int, required=True)
    parser.add_argument("--seed", type=int, required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--rate", type=float, default=0.35)
    parser.add_argument("--stall", type=float, default=32.0)
    args = parser.parse_args()
    with open(args.log, "a") as log:
        proxy = Proxy(args.port, args.upstream, Chooser(args.seed, args.rate), log, args.stall)
        print("port %d" % proxy.server_address[1], flush=True)
        proxy.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
