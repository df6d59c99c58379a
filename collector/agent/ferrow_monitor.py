#!/usr/bin/python3
"""ferrow-monitor collector: measures every process's network traffic and serves it
to the daemon on a local stream socket.

Each frame is a 4-byte big-endian length followed by a UTF-8 JSON document
{"type": "network_data", "processes": [{"pid", "comm", "tx_bytes", "rx_bytes",
"tx_speed", "rx_speed"}, ...]}. One report goes out every interval (1 s); the byte
counts are the payload bytes since the previous report that was handed to the
daemon, the speeds are KiB/s over the last interval.

The measurement itself is done by a backend (eBPF tracepoints, or a portable one
for kernels without them); everything else lives in the main loop here.

Python standard library only; run with /usr/bin/python3 as root.
"""

import argparse
import ctypes
import ctypes.util
import errno
import fcntl
import json
import os
import select
import signal
import socket
import stat
import struct
import sys
import time

DEFAULT_SOCKET = "/tmp/network_monitor.sock"
DEFAULT_INTERVAL = 1.0
# A frame body may be at most 1 MiB; the daemon drops the connection otherwise.
MAX_FRAME_BODY = 1048576
# The daemon reads every frame as it arrives; unread data this long means it is stuck.
DEFAULT_STALL_TIMEOUT = 10.0
SIOCOUTQ = 0x5411
PROG = "ferrow_monitor"


def say(text):
    """One short line on standard output; the daemon relays it into its diagnostics."""
    try:
        sys.stdout.write("%s: %s\n" % (PROG, text))
        sys.stdout.flush()
    except (OSError, ValueError):
        pass


# ---------------------------------------------------------------------------
# Backend interface
# ---------------------------------------------------------------------------

class BackendUnavailable(Exception):
    """The backend cannot run on this machine; the message says why."""


class Backend:
    """A source of per-process traffic counts.

    open() raises BackendUnavailable when the backend cannot run here. fds() lists
    file descriptors the main loop polls for reading and hands to handle().
    collect() returns {pid: (comm, tx_bytes, rx_bytes)} accumulated since the
    previous collect(); a process appears at most once.
    """

    name = "none"
    # Options of the command line, set by the main loop before open().
    options = None

    def open(self):
        raise BackendUnavailable("not implemented")

    def fds(self):
        return []

    def handle(self, fd):
        pass

    def collect(self):
        return {}

    def close(self):
        pass


class NullBackend(Backend):
    """Measures nothing: keeps the daemon's link healthy with empty reports."""

    name = "none (no measurement available, serving empty reports)"

    def open(self):
        pass


# ---------------------------------------------------------------------------
# eBPF backend
# ---------------------------------------------------------------------------

class EbpfBackend(Backend):
    name = "eBPF tracepoints sock_send_length/sock_recv_length"

    def open(self):
        raise BackendUnavailable("eBPF backend not available yet")


# ---- portable backend ----
class PortableBackend(Backend):
    name = "portable"

    def open(self):
        raise BackendUnavailable("portable backend not available yet")
# ---- end portable backend ----


# ---------------------------------------------------------------------------
# Reports: accumulation, documents, frames
# ---------------------------------------------------------------------------

class Ledger:
    """Byte counts not yet handed to the daemon, per pid: {pid: [comm, tx, rx]}."""

    def __init__(self):
        self.pending = {}

    def add(self, counts):
        for pid, (comm, tx, rx) in counts.items():
            entry = self.pending.get(pid)
            if entry is None:
                self.pending[pid] = [comm, tx, rx]
            else:
                if comm:
                    entry[0] = comm
                entry[1] += tx
                entry[2] += rx

    def take(self):
        taken, self.pending = self.pending, {}
        return taken

    def restore(self, entries):
        """Puts back the counts of reports that never reached the daemon."""
        self.add({pid: tuple(e) for pid, e in entries.items()})


def build_documents(entries, speeds, max_body=MAX_FRAME_BODY):
    """Turns {pid: [comm, tx, rx]} into JSON bodies of at most max_body bytes.

    Returns a list of (body bytes, {pid: [comm, tx, rx]}) so that the counts of a
    report that could not be delivered can be restored. Every pid appears in
    exactly one document; at least one document is produced.
    """
    head = b'{"type":"network_data","processes":['
    tail = b']}'
    documents = []
    parts = []
    size = len(head) + len(tail)
    members = {}
    for pid in sorted(entries):
        comm, tx, rx = entries[pid]
        tx_speed, rx_speed = speeds.get(pid, (0.0, 0.0))
        item = json.dumps({"pid": pid, "comm": comm, "tx_bytes": tx, "rx_bytes": rx,
                           "tx_speed": round(tx_speed, 2), "rx_speed": round(rx_speed, 2)},
                          ensure_ascii=False, separators=(",", ":")).encode("utf-8")
        extra = len(item) + (1 if parts else 0)
        if parts and size + extra > max_body:
            documents.append((head + b",".join(parts) + tail, members))
            parts, members = [], {}
            size = len(head) + len(tail)
            extra = len(item)
        parts.append(item)
        members[pid] = entries[pid]
        size += extra
    documents.append((head + b",".join(parts) + tail, members))
    return documents


def frame(body):
    return struct.pack(">I", len(body)) + body


# ---------------------------------------------------------------------------
# The daemon's connection
# ---------------------------------------------------------------------------

class DaemonLink:
    """One connected daemon: a non-blocking socket and the frames not yet written."""

    def __init__(self, sock):
        self.sock = sock
        self.sock.setblocking(False)
        self.out = bytearray()
        # (offset just past the document's frame in self.out, its counts)
        self.in_flight = []
        self.unread_since = None

    def fileno(self):
        return self.sock.fileno()

    def queue(self, documents):
        for body, members in documents:
            self.out += frame(body)
            self.in_flight.append((len(self.out), members))

    def flush(self):
        """Writes what the socket takes. Raises OSError when the connection is gone."""
        while self.out:
            try:
                sent = self.sock.send(self.out, socket.MSG_NOSIGNAL | socket.MSG_DONTWAIT)
            except (BlockingIOError, InterruptedError):
                return
            del self.out[:sent]
            self.in_flight = [(end - sent, m) for end, m in self.in_flight if end - sent > 0]

    def unsent(self):
        """Counts of the documents not completely written: the daemon never saw them."""
        merged = {}
        for _end, members in self.in_flight:
            for pid, entry in members.items():
                merged[pid] = entry
        return merged

    def unread_bytes(self):
        try:
            buf = fcntl.ioctl(self.sock.fileno(), SIOCOUTQ, b"\0\0\0\0")
            return struct.unpack("i", buf)[0]
        except OSError:
            return 0

    def drain_input(self):
        """The daemon never writes; returns False at end of stream."""
        try:
            data = self.sock.recv(4096)
        except (BlockingIOError, InterruptedError):
            return True
        return bool(data)

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


# ---------------------------------------------------------------------------
# Main loop
# ---------------------------------------------------------------------------

class Collector:
    def __init__(self, options, backend):
        self.options = options
        self.backend = backend
        self.ledger = Ledger()
        self.listener = None
        self.link = None
        self.socket_ino = None
        self.stopping = False
        self.wake_r = self.wake_w = None
        self.last_tick = None
        self.speeds = {}

    # -- socket server --

    def listen(self):
        path = self.options.socket
        try:
            st = os.lstat(path)
        except FileNotFoundError:
            st = None
        if st is not None:
            if stat.S_ISDIR(st.st_mode):
                raise OSError(errno.EISDIR, "is a directory", path)
            os.unlink(path)
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        old_umask = os.umask(0o177)
        try:
            sock.bind(path)
        finally:
            os.umask(old_umask)
        os.chmod(path, 0o600)
        sock.listen(4)
        sock.setblocking(False)
        self.listener = sock
        self.socket_ino = os.stat(path).st_ino

    def remove_socket_file(self):
        path = self.options.socket
        try:
            if self.socket_ino is not None and os.lstat(path).st_ino == self.socket_ino:
                os.unlink(path)
        except OSError:
            pass

    def accept(self):
        try:
            sock, _ = self.listener.accept()
        except (BlockingIOError, InterruptedError):
            return
        except OSError as e:
            say("accept failed: %s" % e.strerror)
            return
        if self.link is not None:
            self.drop_link("daemon connected again; previous connection closed")
        self.link = DaemonLink(sock)
        say("daemon connected")
        # Reports wait for the next tick: the counts keep accumulating until then.

    def drop_link(self, why):
        link, self.link = self.link, None
        if link is None:
            return
        self.ledger.restore(link.unsent())
        link.close()
        say(why)

    # -- ticks --

    def tick(self, now):
        counts = self.backend.collect()
        elapsed = max(now - self.last_tick, 1e-3) if self.last_tick is not None else self.options.interval
        self.last_tick = now
        self.speeds = {pid: (tx / 1024.0 / elapsed, rx / 1024.0 / elapsed)
                       for pid, (_c, tx, rx) in counts.items()}
        self.ledger.add(counts)
        link = self.link
        if link is None:
            return
        if link.out:
            # The socket buffer is still full since an earlier tick.
            self.check_stall(link, now, True)
            return
        self.check_stall(link, now, link.unread_bytes() > 0)
        if self.link is None:
            return
        entries = self.ledger.take()
        link.queue(build_documents(entries, self.speeds, self.options.max_frame))
        self.write()

    def check_stall(self, link, now, stalled):
        if not stalled:
            link.unread_since = None
            return
        if link.unread_since is None:
            link.unread_since = now
        elif now - link.unread_since >= self.options.stall_timeout:
            self.drop_link("daemon has not read for %.0f s; connection dropped"
                           % (now - link.unread_since))

    def write(self):
        try:
            self.link.flush()
        except OSError as e:
            self.drop_link("daemon connection lost while writing (%s)"
                           % (e.strerror or e.__class__.__name__))

    # -- signals --

    def on_signal(self, signum, _frame):
        self.stopping = True

    def install_signals(self):
        self.wake_r, self.wake_w = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
        signal.set_wakeup_fd(self.wake_w, warn_on_full_buffer=False)
        signal.signal(signal.SIGTERM, self.on_signal)
        signal.signal(signal.SIGINT, self.on_signal)
        signal.signal(signal.SIGPIPE, signal.SIG_IGN)
        signal.signal(signal.SIGHUP, signal.SIG_IGN)

    # -- loop --

    def run(self):
        self.install_signals()
        self.listen()
        say("serving %s every %g s" % (self.options.socket, self.options.interval))
        poller = select.poll()
        interval = self.options.interval
        next_tick = time.monotonic() + interval
        self.last_tick = time.monotonic()
        backend_fds = set(self.backend.fds())
        for fd in backend_fds:
            poller.register(fd, select.POLLIN)
        poller.register(self.listener.fileno(), select.POLLIN)
        poller.register(self.wake_r, select.POLLIN)
        registered_link, registered_fd = None, None
        while not self.stopping:
            link = self.link
            if link is not registered_link:
                if registered_fd is not None:
                    try:
                        poller.unregister(registered_fd)
                    except (KeyError, ValueError):
                        pass
                registered_link, registered_fd = link, None
                if link is not None:
                    registered_fd = link.fileno()
                    poller.register(registered_fd, select.POLLIN)
            if link is not None:
                poller.modify(link.fileno(), select.POLLIN | (select.POLLOUT if link.out else 0))
            timeout = max(0.0, next_tick - time.monotonic())
            events = poller.poll(timeout * 1000.0)
            for fd, mask in events:
                if fd == self.wake_r:
                    try:
                        os.read(self.wake_r, 64)
                    except OSError:
                        pass
                elif fd == self.listener.fileno():
                    self.accept()
                elif fd in backend_fds:
                    self.backend.handle(fd)
                elif self.link is not None and fd == registered_fd and self.link is registered_link:
                    if mask & (select.POLLIN | select.POLLHUP | select.POLLERR):
                        if not self.link.drain_input():
                            self.drop_link("daemon disconnected")
                            continue
                    if mask & select.POLLOUT:
                        self.write()
            if self.stopping:
                break
            now = time.monotonic()
            if now >= next_tick:
                self.tick(now)
                next_tick += interval
                if next_tick <= now:
                    # Ticks were missed (suspend, long stall): restart the rhythm.
                    next_tick = now + interval
        self.shutdown()

    def shutdown(self):
        if self.link is not None:
            self.link.close()
            self.link = None
        if self.listener is not None:
            self.listener.close()
        self.remove_socket_file()
        try:
            self.backend.close()
        except Exception as e:  # the process ends anyway; say why the clean-up failed
            say("closing the measurement failed: %s" % e)


# ---------------------------------------------------------------------------
# Start
# ---------------------------------------------------------------------------

BACKENDS = {"ebpf": EbpfBackend, "portable": PortableBackend}


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="ferrow_monitor.py",
        description="Per-process traffic collector for the ferrow-monitor daemon. "
                    "Without options it serves %s as the daemon expects." % DEFAULT_SOCKET)
    parser.add_argument("--socket", default=DEFAULT_SOCKET, help="socket path (default %(default)s)")
    parser.add_argument("--interval", type=float, default=DEFAULT_INTERVAL,
                        help="seconds between reports (default %(default)s)")
    parser.add_argument("--loopback", choices=("exclude", "include"), default="exclude",
                        help="count traffic to loopback and the host's own addresses (default %(default)s)")
    parser.add_argument("--backend", choices=("auto", "ebpf", "portable"), default="auto",
                        help="measurement: auto picks ebpf when the kernel has the sock tracepoints")
    parser.add_argument("--bpf-object", default=None, help="path of ferrow_monitor.bpf.o")
    parser.add_argument("--max-frame", type=int, default=MAX_FRAME_BODY, help=argparse.SUPPRESS)
    parser.add_argument("--stall-timeout", type=float, default=DEFAULT_STALL_TIMEOUT, help=argparse.SUPPRESS)
    options = parser.parse_args(argv)
    if not 0.01 <= options.interval <= 10.0:
        parser.error("--interval must be between 0.01 and 10 seconds")
    if not 256 <= options.max_frame <= MAX_FRAME_BODY:
        parser.error("--max-frame must be between 256 and %d" % MAX_FRAME_BODY)
    return options


def open_backend(options):
    """Returns an opened backend; (None, reason) when an explicitly chosen one cannot run."""
    names = ["ebpf", "portable"] if options.backend == "auto" else [options.backend]
    reasons = []
    for name in names:
        backend = BACKENDS[name]()
        backend.options = options
        try:
            backend.open()
            return backend, None
        except BackendUnavailable as e:
            reasons.append("%s: %s" % (name, e))
            say("%s measurement unavailable: %s" % (name, e))
    if options.backend != "auto":
        return None, "; ".join(reasons)
    backend = NullBackend()
    backend.open()
    return backend, None


def main(argv=None):
    options = parse_args(sys.argv[1:] if argv is None else argv)
    backend, reason = open_backend(options)
    if backend is None:
        say("exiting: the requested measurement cannot run (%s)" % reason)
        return 2
    loopback = "loopback counted" if options.loopback == "include" else "loopback excluded"
    say("measuring with %s (payload bytes, %s)" % (backend.name, loopback))
    collector = Collector(options, backend)
    try:
        collector.run()
    except OSError as e:
        say("stopping on error: %s%s" % (e.strerror or e, (" (%s)" % e.filename) if e.filename else ""))
        collector.shutdown()
        return 1
    say("stopped")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(130)
    except Exception as e:  # a clear line instead of a traceback, and a non-zero exit
        say("fatal error: %s: %s" % (e.__class__.__name__, e))
        sys.exit(1)
