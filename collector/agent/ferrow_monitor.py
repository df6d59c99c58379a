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

BPF_OBJECT_NAME = "ferrow_monitor.bpf.o"
KERNEL_BTF = "/sys/kernel/btf/vmlinux"
# Layout of struct traffic in the eBPF program: u64 tx, u64 rx, char comm[16].
TRAFFIC_VALUE = struct.Struct("=QQ16s")
TRAFFIC_MAP_ENTRIES = 16384
# Dead processes are removed from the kernel map this often (in reports).
REAP_EVERY = 5


def default_bpf_object():
    """The compiled program installed beside the script: <prefix>/lib/ferrow-monitor/."""
    here = os.path.dirname(os.path.realpath(__file__))
    candidates = [os.path.join(here, os.pardir, "lib", "ferrow-monitor", BPF_OBJECT_NAME),
                  os.path.join(here, BPF_OBJECT_NAME)]
    for path in candidates:
        if os.path.exists(path):
            return os.path.normpath(path)
    return os.path.normpath(candidates[0])


_LIBBPF_PRINT = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p)


class Libbpf:
    """The few libbpf 1.x calls the collector needs, through ctypes."""

    def __init__(self):
        name = ctypes.util.find_library("bpf") or "libbpf.so.1"
        for candidate in ("libbpf.so.1", name):
            try:
                self.lib = ctypes.CDLL(candidate, use_errno=True)
                break
            except OSError:
                self.lib = None
        if self.lib is None:
            raise BackendUnavailable("libbpf1 is not installed")
        self.messages = []
        libc = ctypes.CDLL(None)
        self._vsnprintf = libc.vsnprintf
        self._vsnprintf.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_void_p]
        # Keep libbpf's warnings for the one line printed on failure instead of its stderr chatter.
        self._printer = _LIBBPF_PRINT(self._print)
        L = self.lib
        vp, cp, i, u32p = ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(ctypes.c_uint32)
        self._sig(L.libbpf_set_print, vp, [_LIBBPF_PRINT])
        self._sig(L.bpf_object__open_file, vp, [cp, vp])
        self._sig(L.bpf_object__load, i, [vp])
        self._sig(L.bpf_object__close, None, [vp])
        self._sig(L.bpf_object__find_program_by_name, vp, [vp, cp])
        self._sig(L.bpf_object__find_map_fd_by_name, i, [vp, cp])
        self._sig(L.bpf_program__attach, vp, [vp])
        self._sig(L.bpf_link__destroy, i, [vp])
        self._sig(L.bpf_map_update_elem, i, [i, vp, vp, ctypes.c_uint64])
        self._sig(L.bpf_map_lookup_elem, i, [i, vp, vp])
        self._sig(L.bpf_map_lookup_and_delete_elem, i, [i, vp, vp])
        self._sig(L.bpf_map_lookup_batch, i, [i, vp, vp, vp, vp, u32p, vp])
        L.libbpf_set_print(self._printer)

    @staticmethod
    def _sig(fn, restype, argtypes):
        fn.restype = restype
        fn.argtypes = argtypes

    def _print(self, level, fmt, args):
        if level > 0:  # info and debug
            return 0
        buf = ctypes.create_string_buffer(512)
        self._vsnprintf(buf, len(buf), fmt, args)
        text = buf.value.decode("utf-8", "replace").strip()
        if text:
            self.messages = (self.messages + [text])[-20:]
        return 0

    def last_message(self):
        return self.messages[-1] if self.messages else ""

    def __getattr__(self, name):
        if name == "lib":
            raise AttributeError(name)
        return getattr(self.lib, name)


class EbpfBackend(Backend):
    name = "eBPF tracepoints sock_send_length/sock_recv_length"

    def __init__(self):
        self.bpf = None
        self.obj = None
        self.links = []
        self.traffic_fd = self.unowned_fd = -1
        self.seen = {}
        self.unowned_seen = (0, 0)
        self.reports = 0
        self.full_warned = False
        self.keys = (ctypes.c_uint32 * TRAFFIC_MAP_ENTRIES)()
        self.values = ctypes.create_string_buffer(TRAFFIC_VALUE.size * TRAFFIC_MAP_ENTRIES)
        self.value = ctypes.create_string_buffer(TRAFFIC_VALUE.size)

    def open(self):
        if os.geteuid() != 0:
            raise BackendUnavailable("needs root to load eBPF programs")
        if not os.path.exists(KERNEL_BTF):
            raise BackendUnavailable("kernel BTF missing (%s), needed to adapt the program to this kernel"
                                     % KERNEL_BTF)
        path = (self.options.bpf_object if self.options is not None and self.options.bpf_object
                else default_bpf_object())
        if not os.path.isfile(path):
            raise BackendUnavailable("program file %s not found" % path)
        self.bpf = Libbpf()
        try:
            self._load(path)
        except BackendUnavailable:
            self.close()
            raise

    def _fail(self, what, err):
        detail = self.bpf.last_message()
        text = "%s: %s" % (what, os.strerror(abs(err)) if err else "failed")
        if detail:
            text += " (libbpf: %s)" % detail[:160]
        raise BackendUnavailable(text)

    def _load(self, path):
        L = self.bpf
        self.obj = L.bpf_object__open_file(path.encode(), None)
        if not self.obj:
            self._fail("cannot open %s" % path, ctypes.get_errno())
        err = L.bpf_object__load(self.obj)
        if err:
            if abs(err) == errno.EPERM:
                raise BackendUnavailable("the kernel refused to load eBPF programs (EPERM)")
            self._fail("loading the eBPF program failed", err)
        self.traffic_fd = L.bpf_object__find_map_fd_by_name(self.obj, b"traffic")
        self.unowned_fd = L.bpf_object__find_map_fd_by_name(self.obj, b"unowned")
        settings_fd = L.bpf_object__find_map_fd_by_name(self.obj, b"settings")
        if min(self.traffic_fd, self.unowned_fd, settings_fd) < 0:
            raise BackendUnavailable("program file %s lacks its maps" % path)
        include_local = 1 if self.options is not None and self.options.loopback == "include" else 0
        key, value = ctypes.c_uint32(0), ctypes.c_uint32(include_local)
        err = L.bpf_map_update_elem(settings_fd, ctypes.byref(key), ctypes.byref(value), 0)
        if err:
            self._fail("configuring the eBPF program failed", err)
        for prog_name in (b"count_send", b"count_recv"):
            prog = L.bpf_object__find_program_by_name(self.obj, prog_name)
            if not prog:
                raise BackendUnavailable("program file %s lacks %s" % (path, prog_name.decode()))
            link = L.bpf_program__attach(prog)
            if not link:
                err = ctypes.get_errno()
                if err == errno.ENOENT:
                    raise BackendUnavailable("kernel lacks the sock_send_length/sock_recv_length "
                                             "tracepoints (Linux 6.3 or later)")
                self._fail("attaching %s failed" % prog_name.decode(), err)
            self.links.append(link)

    def _read_all(self):
        """All entries of the kernel map: {pid: (comm, tx, rx)}, cumulative."""
        L = self.bpf
        entries = {}
        out_batch = ctypes.c_uint32(0)
        in_batch = None
        while True:
            count = ctypes.c_uint32(TRAFFIC_MAP_ENTRIES)
            err = L.bpf_map_lookup_batch(self.traffic_fd, in_batch, ctypes.byref(out_batch),
                                         self.keys, self.values, ctypes.byref(count), None)
            n = count.value
            raw = self.values.raw[:n * TRAFFIC_VALUE.size]
            for i, (tx, rx, comm) in enumerate(TRAFFIC_VALUE.iter_unpack(raw)):
                entries[self.keys[i]] = (comm, tx, rx)
            if err:
                if abs(err) == errno.ENOENT:
                    return entries
                raise OSError(abs(err), "reading the eBPF map failed: %s" % os.strerror(abs(err)))
            if n == 0:
                return entries
            in_batch = ctypes.byref(out_batch)

    @staticmethod
    def _comm(raw):
        return raw.split(b"\0", 1)[0].decode("utf-8", "replace")

    def _delta(self, out, pid, comm, tx, rx):
        old_tx, old_rx = self.seen.get(pid, (0, 0))
        if tx < old_tx or rx < old_rx:  # a new entry after a removal
            old_tx, old_rx = 0, 0
        if tx != old_tx or rx != old_rx:
            out[pid] = (self._comm(comm), tx - old_tx, rx - old_rx)
        return old_tx, old_rx

    def collect(self):
        out = {}
        entries = self._read_all()
        for pid, (comm, tx, rx) in entries.items():
            self._delta(out, pid, comm, tx, rx)
            self.seen[pid] = (tx, rx)
        for pid in [p for p in self.seen if p not in entries]:
            del self.seen[pid]
        self.reports += 1
        nearly_full = len(entries) > TRAFFIC_MAP_ENTRIES * 3 // 4
        if self.reports % REAP_EVERY == 0 or nearly_full:
            self._reap(out, entries)
        self._collect_unowned(out)
        return out

    def _reap(self, out, entries):
        """Removes processes that have exited, counting what they did since the last read."""
        L = self.bpf
        key = ctypes.c_uint32()
        for pid in entries:
            if os.path.exists("/proc/%d" % pid):
                continue
            key.value = pid
            if L.bpf_map_lookup_and_delete_elem(self.traffic_fd, ctypes.byref(key), self.value) == 0:
                tx, rx, comm = TRAFFIC_VALUE.unpack(self.value.raw)
                old_tx, old_rx = self.seen.pop(pid, (0, 0))
                if tx - old_tx or rx - old_rx:
                    prev = out.get(pid)
                    add_tx, add_rx = (prev[1], prev[2]) if prev else (0, 0)
                    out[pid] = (self._comm(comm), add_tx + tx - old_tx, add_rx + rx - old_rx)

    def _collect_unowned(self, out):
        key = ctypes.c_uint32(0)
        if self.bpf.bpf_map_lookup_elem(self.unowned_fd, ctypes.byref(key), self.value) != 0:
            return
        tx, rx, _comm = TRAFFIC_VALUE.unpack(self.value.raw)
        old_tx, old_rx = self.unowned_seen
        if tx != old_tx or rx != old_rx:
            if not self.full_warned:
                say("process map full (%d entries): some bytes are reported under pid 0 \"unattributed\""
                    % TRAFFIC_MAP_ENTRIES)
                self.full_warned = True
            out[0] = ("unattributed", tx - old_tx, rx - old_rx)
            self.unowned_seen = (tx, rx)

    def close(self):
        if self.bpf is None:
            return
        for link in self.links:
            self.bpf.bpf_link__destroy(link)
        self.links = []
        if self.obj:
            self.bpf.bpf_object__close(self.obj)
            self.obj = None


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
        except OSError:  # reset: the daemon closed with our data unread
            return False
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
    except Exception as e:  # a clear line instead of a traceback, and the socket file removed
        say("stopping on unexpected error: %s: %s" % (e.__class__.__name__, e))
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
