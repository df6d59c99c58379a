#!/usr/bin/python3
"""Bounded network workloads for the collector's tests and benchmark.

Run inside a network namespace (ip netns exec). Every client mode prints one JSON
line on standard output with the true payload bytes each process moved:
    {"pid": P, "tx": N, "rx": M, "children": [{"pid", "tx", "rx"}, ...]}

serve: a TCP sink and a UDP echo on one port, both dual-stack. A TCP client first
sends an 8-byte big-endian count of bytes it wants back, then its payload, then
shuts down its sending side; the server reads to the end, sends the requested bytes
and closes. UDP datagrams are echoed unchanged.
"""

import argparse
import json
import os
import selectors
import signal
import socket
import struct
import sys
import time

CHUNK = 65536
DEADLINE = 30.0  # no single workload may take longer


def pace(start, done, rate):
    """Sleeps so that `done` bytes since `start` go out at `rate` bytes per second."""
    if rate:
        ahead = done / rate - (time.monotonic() - start)
        if ahead > 0:
            time.sleep(ahead)


# ---------------------------------------------------------------------------
# Server
# ---------------------------------------------------------------------------

def serve(args):
    sel = selectors.DefaultSelector()
    tcp = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
    tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    tcp.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    tcp.bind(("::", args.port))
    tcp.listen(256)
    tcp.setblocking(False)
    udp = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    udp.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    udp.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    udp.bind(("::", args.port))
    udp.setblocking(False)
    sel.register(tcp, selectors.EVENT_READ, "accept")
    sel.register(udp, selectors.EVENT_READ, "udp")
    conns = {}
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print("ready", flush=True)
    while True:
        for key, _ in sel.select():
            if key.data == "accept":
                try:
                    c, _ = tcp.accept()
                except BlockingIOError:
                    continue
                c.setblocking(False)
                conns[c] = bytearray()
                sel.register(c, selectors.EVENT_READ, "conn")
            elif key.data == "udp":
                while True:
                    try:
                        data, peer = udp.recvfrom(CHUNK)
                    except BlockingIOError:
                        break
                    try:
                        udp.sendto(data, peer)
                    except OSError:
                        pass
            else:
                c = key.fileobj
                try:
                    data = c.recv(1 << 20)
                except BlockingIOError:
                    continue
                except OSError:
                    data = b""
                head = conns[c]
                if len(head) < 8:
                    head += data[:8 - len(head)]
                if data:
                    continue
                sel.unregister(c)
                del conns[c]
                want = struct.unpack(">Q", head)[0] if len(head) == 8 else 0
                if want:
                    c.setblocking(True)
                    c.settimeout(DEADLINE)
                    try:
                        send_all(c, want, 0)
                    except OSError:
                        pass
                c.close()


# ---------------------------------------------------------------------------
# Clients
# ---------------------------------------------------------------------------

def send_all(sock, count, rate, start=None):
    """Sends `count` bytes (paced at `rate` bytes/s when given); returns the bytes sent."""
    block = b"\x5a" * CHUNK
    start = time.monotonic() if start is None else start
    sent = 0
    while sent < count:
        n = sock.send(memoryview(block)[:min(CHUNK, count - sent)])
        sent += n
        pace(start, sent, rate)
    return sent


def tcp_exchange(host, port, send, reply, rate=0):
    """One connection: sends `send` payload bytes, receives `reply`; returns (tx, rx)."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    s = socket.socket(family, socket.SOCK_STREAM)
    s.settimeout(DEADLINE)
    s.connect((host, port))
    tx = 0
    s.sendall(struct.pack(">Q", reply))
    tx += 8
    tx += send_all(s, send, rate)
    s.shutdown(socket.SHUT_WR)
    rx = 0
    while True:
        data = s.recv(1 << 20)
        if not data:
            break
        rx += len(data)
    s.close()
    return tx, rx


def result(tx, rx, children=()):
    print(json.dumps({"pid": os.getpid(), "tx": tx, "rx": rx, "children": list(children)}), flush=True)


def mode_tcp(args):
    if not args.thread:
        tx, rx = tcp_exchange(args.host, args.port, args.send, args.reply, args.rate)
        result(tx, rx)
        return
    # The I/O from a second thread of the process: its bytes belong to the process.
    import threading

    done = []
    worker = threading.Thread(target=lambda: done.append(
        tcp_exchange(args.host, args.port, args.send, args.reply, args.rate)))
    worker.start()
    worker.join()
    if not done:
        sys.exit("the transfer thread failed")
    result(*done[0])


def mode_sendfile(args):
    """One connection whose payload goes out by sendfile() from a file of --send bytes."""
    import tempfile

    family = socket.AF_INET6 if ":" in args.host else socket.AF_INET
    with tempfile.TemporaryFile() as f:
        block = b"\x3c" * CHUNK
        left = args.send
        while left:
            left -= f.write(block[:min(left, CHUNK)])
        f.flush()
        s = socket.socket(family, socket.SOCK_STREAM)
        s.settimeout(DEADLINE)
        s.connect((args.host, args.port))
        s.sendall(struct.pack(">Q", args.reply))
        s.settimeout(None)  # sendfile() needs a blocking socket; the alarm bounds it
        tx = 8
        while tx - 8 < args.send:
            n = os.sendfile(s.fileno(), f.fileno(), tx - 8, args.send - (tx - 8))
            if n == 0:
                sys.exit("sendfile() stopped early")
            tx += n
    s.shutdown(socket.SHUT_WR)
    rx = 0
    while True:
        data = s.recv(1 << 20)
        if not data:
            break
        rx += len(data)
    s.close()
    result(tx, rx)


def mode_udp(args):
    """Datagrams to the echo server; counts exactly what was sent and what came back."""
    family = socket.AF_INET6 if ":" in args.host else socket.AF_INET
    s = socket.socket(family, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    peer = (args.host, args.port)
    if args.connected:
        s.connect(peer)
    payload = b"\xa5" * args.size
    tx = rx = 0
    start = time.monotonic()
    s.setblocking(False)

    def drain():
        nonlocal rx
        while True:
            try:
                rx += len(s.recv(CHUNK))
            except BlockingIOError:
                return

    for _ in range(args.count):
        tx += s.send(payload) if args.connected else s.sendto(payload, peer)
        pace(start, tx, args.rate)
        drain()
    # Collect the last echoes: wait until nothing more arrives for a moment.
    quiet_until = time.monotonic() + 0.3
    while time.monotonic() < quiet_until:
        before = rx
        time.sleep(0.02)
        drain()
        if rx != before:
            quiet_until = time.monotonic() + 0.3
    result(tx, rx)


def mode_burst(args):
    """Many short connections, one after another, from this one process."""
    tx = rx = 0
    for _ in range(args.connections):
        a, b = tcp_exchange(args.host, args.port, args.send, args.reply)
        tx += a
        rx += b
    result(tx, rx)


def mode_spawn(args):
    """Short-lived processes: each forks, transfers, lives about `life` seconds, exits."""
    children = []
    for _ in range(args.processes):
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(r)
            code = 1
            try:
                born = time.monotonic()
                tx, rx = tcp_exchange(args.host, args.port, args.send, args.reply)
                os.write(w, json.dumps({"pid": os.getpid(), "tx": tx, "rx": rx}).encode())
                rest = args.life - (time.monotonic() - born)
                if rest > 0:
                    time.sleep(rest)
                code = 0
            finally:
                os._exit(code)
        os.close(w)
        with os.fdopen(r, "rb") as f:
            report = f.read()
        _, status = os.waitpid(pid, 0)
        if status != 0 or not report:
            sys.exit("child %d failed" % pid)
        children.append(json.loads(report))
    result(0, 0, children)


def overflow_exchange(host, port):
    """A wildcard-bound UDP socket with a small receive buffer gets more loopback
    datagrams than it holds (the rest are dropped) and reads what it holds with recv();
    then it exchanges datagrams of the same size with the remote host: true traffic.
    Returns (loopback bytes sent, loopback bytes read, remote tx, remote rx)."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    loopback = "::1" if family == socket.AF_INET6 else "127.0.0.1"
    o = socket.socket(family, socket.SOCK_DGRAM)
    o.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    o.bind(("::" if family == socket.AF_INET6 else "0.0.0.0", 0))
    sent = read = tx = rx = 0
    with socket.socket(family, socket.SOCK_DGRAM) as loop:
        for _ in range(50):
            sent += loop.sendto(b"\x04" * 1000, (loopback, o.getsockname()[1]))
    o.setblocking(False)
    while True:
        try:
            read += len(o.recv(2000))
        except BlockingIOError:
            break
    o.settimeout(DEADLINE)
    for _ in range(10):
        tx += o.sendto(b"\x05" * 1000, (host, port))
        rx += len(o.recv(2000))
    o.close()
    return sent, read, tx, rx


def mode_local(args):
    """Traffic that never leaves the host, then a known amount to the remote host.

    The local part goes to 127.0.0.1, ::1 and each address in --own (the namespace's
    own addresses) over TCP, to 127.0.0.1 over connected UDP and to 127.0.0.1 and ::1
    over unconnected UDP; the remote part is one exchange with --host (and with
    --overflow the datagrams of overflow_exchange()).
    """
    import threading

    local_tx = 0
    for addr in ["127.0.0.1", "::1"] + list(args.own):
        family = socket.AF_INET6 if ":" in addr else socket.AF_INET
        srv = socket.socket(family, socket.SOCK_STREAM)
        srv.bind((addr, 0))
        srv.listen(1)
        srv.settimeout(DEADLINE)

        def sink(listener=srv):
            c, _ = listener.accept()
            while c.recv(1 << 20):
                pass
            c.sendall(b"\x33" * 1000)
            c.close()

        t = threading.Thread(target=sink)
        t.start()
        c = socket.create_connection((addr, srv.getsockname()[1]), timeout=DEADLINE)
        local_tx += send_all(c, args.send, 0)
        c.shutdown(socket.SHUT_WR)
        while c.recv(65536):
            pass
        c.close()
        t.join()
        srv.close()
    # Connected UDP to loopback as well.
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.bind(("127.0.0.1", 0))
    u2 = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u2.connect(u.getsockname())
    for _ in range(10):
        u2.send(b"\x01" * 1000)
        u.recv(2000)
    # Unconnected UDP to 127.0.0.1 and ::1, both sockets bound to the wildcard address:
    # each datagram names its destination; the echo server side reads with recvfrom() to
    # answer, the client side reads every other echo without asking for the sender.
    unnamed = 0
    for family, addr, wildcard in ((socket.AF_INET, "127.0.0.1", "0.0.0.0"),
                                   (socket.AF_INET6, "::1", "::")):
        a = socket.socket(family, socket.SOCK_DGRAM)
        a.bind((wildcard, 0))
        b = socket.socket(family, socket.SOCK_DGRAM)
        b.bind((wildcard, 0))
        a.settimeout(DEADLINE)
        b.settimeout(DEADLINE)
        for i in range(args.datagrams):
            a.sendto(b"\x02" * 1000, (addr, b.getsockname()[1]))
            data, peer = b.recvfrom(2000)
            b.sendto(data, peer)
            if i % 2:
                unnamed += len(a.recv(2000))
            else:
                a.recvfrom(2000)
        a.close()
        b.close()
    # Sent (and as much received) over unconnected UDP, both sockets being this process's.
    unconnected = 2 * 2 * args.datagrams * 1000
    tx, rx = tcp_exchange(args.host, args.port, args.remote, args.reply)
    overflow = overflow_exchange(args.host, args.port) if args.overflow else (0, 0, 0, 0)
    tx, rx = tx + overflow[2], rx + overflow[3]
    print(json.dumps({"pid": os.getpid(), "tx": tx, "rx": rx, "local_tx": local_tx,
                      "unconnected_udp": unconnected, "unconnected_udp_unnamed": unnamed,
                      "overflow_sent": overflow[0], "overflow_read": overflow[1],
                      "children": []}), flush=True)


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="mode", required=True)
    p = sub.add_parser("serve")
    p.add_argument("--port", type=int, required=True)
    for name in ("tcp", "udp", "burst", "spawn", "local", "sendfile"):
        p = sub.add_parser(name)
        p.add_argument("host")
        p.add_argument("port", type=int)
        p.add_argument("--send", type=int, default=0)
        p.add_argument("--reply", type=int, default=0)
        p.add_argument("--rate", type=float, default=0.0, help="bytes per second, 0: unpaced")
        p.add_argument("--count", type=int, default=0)
        p.add_argument("--size", type=int, default=1000)
        p.add_argument("--connected", action="store_true")
        p.add_argument("--connections", type=int, default=200)
        p.add_argument("--processes", type=int, default=20)
        p.add_argument("--life", type=float, default=0.1)
        p.add_argument("--remote", type=int, default=0)
        p.add_argument("--own", action="append", default=[])
        p.add_argument("--thread", action="store_true", help="tcp: the transfer runs in a second thread")
        p.add_argument("--datagrams", type=int, default=10,
                       help="local: unconnected UDP datagrams to each loopback address")
        p.add_argument("--overflow", action="store_true",
                       help="local: loopback datagrams overflowing a receive buffer as well")
    args = parser.parse_args()
    # A hung workload dies instead of hanging the suite; the server lives for a test run.
    signal.alarm(600 if args.mode == "serve" else int(DEADLINE) + 5)
    {"serve": serve, "tcp": mode_tcp, "udp": mode_udp, "burst": mode_burst,
     "spawn": mode_spawn, "local": mode_local, "sendfile": mode_sendfile}[args.mode](args)


if __name__ == "__main__":
    main()
