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

import signal

STOP_REQUESTED = False


def request_stop(_signum, _frame):
    global STOP_REQUESTED
    STOP_REQUESTED = True


if __name__ == "__main__":
    # SIGTERM must end the collector cleanly at any moment, also while it starts up.
    signal.signal(signal.SIGTERM, request_stop)
    signal.signal(signal.SIGINT, request_stop)

import argparse  # noqa: E402
import ctypes  # noqa: E402
import ctypes.util  # noqa: E402
import errno  # noqa: E402
import fcntl  # noqa: E402
import json  # noqa: E402
import os  # noqa: E402
import select  # noqa: E402
import socket  # noqa: E402
import stat  # noqa: E402
import struct  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

DEFAULT_SOCKET = "/tmp/network_monitor.sock"
DEFAULT_INTERVAL = 1.0
# A frame body may be at most 1 MiB; the daemon drops the connection otherwise.
MAX_FRAME_BODY = 1048576
# The daemon reads every frame as it arrives; unread data this long means it is stuck.
DEFAULT_STALL_TIMEOUT = 10.0
SIOCOUTQ = 0x5411
# Processes kept apart while no daemon reads; beyond that, exited ones are folded.
PENDING_LIMIT = 65536
UNATTRIBUTED = "unattributed"
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

    name = "none"

    def open(self):
        pass


# ---------------------------------------------------------------------------
# eBPF backend
# ---------------------------------------------------------------------------

BPF_OBJECT_NAME = "ferrow_monitor.bpf.o"
KERNEL_BTF = "/sys/kernel/btf/vmlinux"
# Layout of struct traffic in the eBPF program: u64 tx, u64 rx, char comm[16].
TRAFFIC_VALUE = struct.Struct("=QQ16s")
TRAFFIC_MAP_ENTRIES = 16384  # processes with traffic not yet known to have exited
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
        self._sig(L.bpf_object__find_map_by_name, vp, [vp, cp])
        self._sig(L.bpf_map__set_max_entries, i, [vp, ctypes.c_uint32])
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
        self.capacity = TRAFFIC_MAP_ENTRIES
        self.keys = self.values = None
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
        if self.options is not None and self.options.map_entries:
            self.capacity = self.options.map_entries
        self.keys = (ctypes.c_uint32 * self.capacity)()
        self.values = ctypes.create_string_buffer(TRAFFIC_VALUE.size * self.capacity)
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
        traffic_map = L.bpf_object__find_map_by_name(self.obj, b"traffic")
        if not traffic_map:
            raise BackendUnavailable("program file %s lacks its maps" % path)
        err = L.bpf_map__set_max_entries(traffic_map, self.capacity)
        if err:
            self._fail("sizing the process map failed", err)
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
            count = ctypes.c_uint32(self.capacity)
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
        nearly_full = len(entries) > self.capacity * 3 // 4
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
                say("process map full (%d processes): the excess is reported as pid 0 \"unattributed\""
                    % self.capacity)
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
# Measurement without the sock tracepoints (kernels before 6.3):
# - TCP: a sock_diag dump every report gives each socket's payload counters (tcp_info),
#   keyed by the socket cookie; the sock_diag close notifications give the final counters
#   of every socket that goes away, including those that lived between two dumps.
# - UDP: packet capture on the non-loopback interfaces, filtered in the kernel so that
#   only UDP headers (and TCP SYNs) reach Python; the payload is the UDP length field minus 8.
# - Owners: socket inode -> pid from /proc/<pid>/fd, scanned only for unknown inodes,
#   newest processes first (fork/exec events of the proc connector say which). A new
#   connection's owner is looked up at its SYN, while the process surely holds the socket.
# - Connections nobody was seen holding: the listener's owner for inbound ones, the one
#   process talking to the same remote endpoint at the time for outbound ones, else pid 0
#   "unattributed", so that totals add up.
import collections

_PB_NETLINK_ROUTE = 0
_PB_NETLINK_SOCK_DIAG = 4
_PB_NETLINK_CONNECTOR = 11
_PB_SOCK_DIAG_BY_FAMILY = 20
_PB_RTM_NEWLINK, _PB_RTM_GETLINK = 16, 18
_PB_RTM_NEWADDR, _PB_RTM_GETADDR = 20, 22
_PB_NLM_F_DUMP_REQUEST = 0x301
_PB_NLMSG_ERROR, _PB_NLMSG_DONE = 2, 3
_PB_NLMSG = struct.Struct("=IHHII")
_PB_DIAG_REQ = struct.Struct("=BBBBI48x")
_PB_DIAG_INFO = 2
# States asked of the kernel: every connected state (no TIME_WAIT, CLOSE or LISTEN).
_PB_TCP_LIVE = 0xB3E
_PB_TCP_LISTEN = 1 << 10
_PB_UDP_STATES = (1 << 1) | (1 << 7)
# Close notification groups INET_TCP (1) and INET6_TCP (3).
_PB_TCP_DESTROY_GROUPS = (1 << 0) | (1 << 2)
_PB_SO_RCVBUFFORCE = 33
_PB_SOL_PACKET = 263
_PB_PACKET_STATISTICS = 6
_PB_SO_ATTACH_FILTER = 26
_PB_ETH_P_ALL = 0x0003
_PB_PACKET_OUTGOING = 4
_PB_SNAPLEN = 128
_PB_CN_IDX_PROC = 1
_PB_PROC_FORK, _PB_PROC_EXEC, _PB_PROC_COMM, _PB_PROC_EXIT = 0x1, 0x2, 0x200, 0x80000000
_PB_UNATTRIBUTED = "unattributed"
# How long a process counts as "recently talking" to a remote endpoint, in seconds.
_PB_TALKER_WINDOW = 60.0
# Listening sockets are dumped this often (and earlier when an inbound connection needs them).
_PB_LISTENER_EVERY = 10.0
_PB_LINKS_EVERY = 5.0
# Extra dumps triggered by traffic of unknown owners are at most this frequent.
_PB_EAGER_GAP = 0.25
# An inode not found by a full /proc scan is not searched again for this long.
_PB_MISSING_RETRY = 30.0
# A socket missing from dumps this long without a close notification is forgotten.
_PB_FORGET_AFTER = 600.0
_PB_PRUNE_EVERY = 60.0
# Scans look at this many of the last pids handed out before anything else.
_PB_LAST_PIDS = 16
# New outgoing connections whose owner is looked up at their SYN, per second at most;
# beyond that they are attributed when they show up in a dump or close.
_PB_SYN_BUDGET = 1000
_PB_V4_MAPPED = b"\0" * 10 + b"\xff\xff"


def _pb_addr(raw, family):
    """Address bytes as keys: 4 bytes for IPv4 (also IPv4-mapped IPv6), 16 for IPv6."""
    if family == socket.AF_INET:
        return raw[:4]
    if raw[:12] == _PB_V4_MAPPED:
        return raw[12:16]
    return raw[:16]


def _pb_is_loopback(addr):
    if len(addr) == 4:
        return addr[0] == 127
    return addr == b"\0" * 15 + b"\1"


def _pb_is_wildcard(addr):
    return not any(addr)


def _pb_is_group(addr):
    """Multicast or the limited broadcast."""
    if len(addr) == 4:
        return addr[0] >= 224
    return addr[0] == 0xFF


def _pb_read(path, size=1024):
    """The start of a small /proc file, or None; cheaper than open() on the hot path."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        return os.read(fd, size)
    except OSError:
        return None
    finally:
        os.close(fd)


def _pb_started(pid):
    """When a process started, on the time.monotonic() scale; None when unknown."""
    raw = _pb_read("/proc/%d/stat" % pid)
    if raw is None:
        return None
    try:
        ticks = int(raw[raw.rindex(b")") + 2:].split()[19])
    except (ValueError, IndexError):
        return None
    since_boot = time.clock_gettime(time.CLOCK_BOOTTIME) - time.monotonic()
    return ticks / os.sysconf("SC_CLK_TCK") - since_boot


def _pb_attrs(data, off, end):
    """Yields (type, start, length) of the netlink attributes in data[off:end]."""
    while off + 4 <= end:
        length, kind = struct.unpack_from("=HH", data, off)
        if length < 4:
            return
        yield kind & 0x3FFF, off + 4, length - 4
        off += (length + 3) & ~3


class _PbNetlink:
    """A netlink socket for request/dump exchanges."""

    def __init__(self, protocol):
        self.sock = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW | socket.SOCK_CLOEXEC, protocol)
        self.sock.bind((0, 0))
        self.sock.settimeout(2.0)
        self.buf = bytearray(1 << 17)
        self.seq = 0

    def dump(self, msg_type, body, on_message):
        """Sends one dump request; calls on_message(type, data, start, end) per answer."""
        self.seq += 1
        self.sock.send(_PB_NLMSG.pack(_PB_NLMSG.size + len(body), msg_type,
                                      _PB_NLM_F_DUMP_REQUEST, self.seq, 0) + body)
        while True:
            n = self.sock.recv_into(self.buf)
            data = bytes(self.buf[:n])
            off = 0
            while off + _PB_NLMSG.size <= n:
                length, kind, _flags, seq, _pid = _PB_NLMSG.unpack_from(data, off)
                if length < _PB_NLMSG.size:
                    break
                if seq == self.seq:
                    if kind == _PB_NLMSG_DONE:
                        return
                    if kind == _PB_NLMSG_ERROR:
                        err = -struct.unpack_from("=i", data, off + 16)[0]
                        if err:
                            raise OSError(err, os.strerror(err))
                        return
                    on_message(kind, data, off + _PB_NLMSG.size, off + length)
                off += (length + 3) & ~3

    def query(self, msg_type, body, on_message):
        """Sends one request for a single object; calls on_message for the answer."""
        self.seq += 1
        self.sock.send(_PB_NLMSG.pack(_PB_NLMSG.size + len(body), msg_type, 1, self.seq, 0) + body)
        while True:
            n = self.sock.recv_into(self.buf)
            data = bytes(self.buf[:n])
            length, kind, _flags, seq, _pid = _PB_NLMSG.unpack_from(data, 0)
            if seq != self.seq:
                continue  # a late answer to an earlier request
            if kind == _PB_NLMSG_ERROR:
                err = -struct.unpack_from("=i", data, 16)[0]
                if err:
                    raise OSError(err, os.strerror(err))
                return
            on_message(kind, data, _PB_NLMSG.size, min(length, n))
            return

    def close(self):
        self.sock.close()


def _pb_parse_diag(data, off, end, with_info, closed=False):
    """One inet_diag_msg: (family, sport, dport, src, dst, cookie, inode, tx, rx)."""
    family, state = data[off], data[off + 1]
    sport, dport = struct.unpack_from("!HH", data, off + 4)
    src = _pb_addr(data[off + 8:off + 24], family)
    dst = _pb_addr(data[off + 24:off + 40], family)
    lo, hi = struct.unpack_from("=II", data, off + 44)
    inode = struct.unpack_from("=I", data, off + 68)[0]
    tx = rx = None
    if with_info:
        for kind, start, length in _pb_attrs(data, off + 72, end):
            # tcp_info: bytes_received @128, bytes_sent @200, bytes_retrans @208.
            if kind == _PB_DIAG_INFO and length >= 216:
                rx = struct.unpack_from("=Q", data, start + 128)[0]
                sent, retrans = struct.unpack_from("=QQ", data, start + 200)
                tx = sent - retrans
                # bytes_received counts the peer's FIN: once in CLOSE_WAIT, LAST_ACK or
                # CLOSING, and (nearly always) in a closed socket's final counters.
                if rx and (closed or state in (8, 9, 11)):
                    rx -= 1
                break
    return family, sport, dport, src, dst, lo | (hi << 32), inode, tx, rx


def _pb_diag_request(family, protocol, ext, states):
    return _PB_DIAG_REQ.pack(family, protocol, ext, 0, states)


class _PbOwners:
    """Socket inode -> pid from /proc/<pid>/fd, and the name of every pid seen."""

    def __init__(self, proc="/proc"):
        self.proc = proc
        self.inode_pid = {}
        self.comm = {}
        # pids that forked or exec'd recently (newest last), from the proc connector
        self.recent = collections.OrderedDict()
        # pids that owned sockets (most recent last): likely owners of the next ones
        self.owners = collections.OrderedDict()
        self.missing = {}  # inode -> when a full scan did not find it

    def note_new_pid(self, pid):
        self.recent.pop(pid, None)
        self.recent[pid] = True
        if len(self.recent) > 256:
            self.recent.popitem(last=False)

    def note_exit(self, pid):
        self.recent.pop(pid, None)

    def note_owner(self, pid):
        if pid in self.owners:
            self.owners.move_to_end(pid)
        else:
            self.owners[pid] = True
            if len(self.owners) > 1024:
                self.owners.popitem(last=False)

    def name(self, pid):
        comm = self.comm.get(pid)
        if comm is None:
            comm = self.read_comm(pid) or "pid %d" % pid
        return comm

    def read_comm(self, pid):
        raw = _pb_read("%s/%d/comm" % (self.proc, pid))
        if raw is None:
            return None
        comm = self.comm[pid] = raw.rstrip(b"\n").decode("utf-8", "replace")
        return comm

    def _candidates(self, quick=False):
        """(pid, is a process and not a thread) pairs, the likeliest owners of new sockets first:
        processes the proc connector saw start, the last pids handed out, earlier owners,
        then every process from the newest pid down."""
        seen = set()
        for pid in reversed(list(self.recent)):
            seen.add(pid)
            yield pid, True
        if self.owners:  # the last owner found: a process opening many connections
            pid = next(reversed(self.owners))
            if pid not in seen:
                seen.add(pid)
                yield pid, True
        try:
            last = int(_pb_read("%s/sys/kernel/ns_last_pid" % self.proc) or 0)
        except ValueError:
            last = 0
        for pid in range(last, max(last - _PB_LAST_PIDS, 0), -1):
            if pid not in seen:
                seen.add(pid)
                yield pid, False
        for pid in reversed(list(self.owners)):
            if pid not in seen:
                seen.add(pid)
                yield pid, True
        if quick:
            return
        try:
            pids = [int(n) for n in os.listdir(self.proc) if n.isdigit()]
        except OSError:
            return
        pids.sort(reverse=True)
        for pid in pids:
            if pid not in seen:
                yield pid, True

    def _tgid(self, pid):
        """The process a task belongs to (a pid handed out may be a thread's)."""
        raw = _pb_read("%s/%d/status" % (self.proc, pid)) or b""
        at = raw.find(b"\nTgid:")
        try:
            return int(raw[at + 6:raw.index(b"\n", at + 6)]) if at >= 0 else pid
        except ValueError:
            return pid

    def resolve(self, inodes, now, quick=False):
        """Finds the owners of the inodes not known yet; returns how many were found.
        quick: only the likeliest candidates (new processes, earlier owners), so that a
        lookup at a SYN keeps up with the next connection; the dumps scan everything."""
        wanted = set()
        for ino in inodes:
            if ino and ino not in self.inode_pid:
                given_up = self.missing.get(ino)
                if given_up is None or now - given_up >= _PB_MISSING_RETRY:
                    wanted.add(ino)
        if not wanted:
            return 0
        found = 0
        for pid, is_process in self._candidates(quick):
            fd_dir = "%s/%d/fd" % (self.proc, pid)
            try:
                names = os.listdir(fd_dir)
            except OSError:
                continue
            sockets = []
            for name in names:
                try:
                    link = os.readlink("%s/%s" % (fd_dir, name))
                except OSError:
                    continue
                if link.startswith("socket:["):
                    sockets.append(int(link[8:-1]))
            if not sockets:
                continue
            hits = wanted.intersection(sockets)
            if not is_process and hits:
                pid = self._tgid(pid)
            elif not is_process:
                continue  # maybe a thread: its sockets are recorded under its process later
            for ino in sockets:
                self.inode_pid.setdefault(ino, pid)
            if hits:
                wanted -= hits
                found += len(hits)
                self.read_comm(pid)
                self.note_owner(pid)
                if not wanted:
                    break
        if not quick:
            for ino in wanted:
                self.missing[ino] = now
        return found

    def prune(self, live_inodes, now):
        self.inode_pid = {i: p for i, p in self.inode_pid.items() if i in live_inodes}
        self.missing = {i: t for i, t in self.missing.items() if now - t < _PB_MISSING_RETRY}
        keep = set(self.inode_pid.values()) | set(self.owners) | set(self.recent)
        if len(self.comm) > 8192:
            self.comm = {p: c for p, c in self.comm.items() if p in keep}


class _PbSocket:
    """What is known of one TCP socket between dumps."""
    __slots__ = ("pid", "tx", "rx", "remote", "local", "lport", "seen", "skip", "firm")

    def __init__(self, tx, rx, remote, local, lport, now, skip):
        self.pid = None
        self.tx = tx
        self.rx = rx
        self.remote = remote
        self.local = local
        self.lport = lport
        self.seen = now
        self.skip = skip
        self.firm = False


class _PbTalkers:
    """Which processes recently talked to each remote endpoint."""

    def __init__(self):
        self.by_endpoint = {}

    def note(self, endpoint, pid, now):
        pids = self.by_endpoint.get(endpoint)
        if pids is None:
            pids = self.by_endpoint[endpoint] = {}
        times = pids.get(pid)
        if times is None:
            started = _pb_started(pid)
            pids[pid] = [now if started is None else min(started, now), now]
        else:
            times[1] = now

    def only(self, endpoint, now, at=None):
        """The one process that talked to the endpoint within the window around time `at`
        (default now) and was alive then, else None. A process started later cannot have
        made an earlier connection; one that has exited makes no more."""
        pids = self.by_endpoint.get(endpoint)
        if not pids:
            return None
        at = now if at is None else at
        found = None
        for pid, (started, last) in pids.items():
            if started > at or abs(at - last) > _PB_TALKER_WINDOW:
                continue
            if last < at and not os.path.exists("/proc/%d" % pid):
                continue
            if found is not None:
                return None
            found = pid
        return found

    def prune(self, now):
        for endpoint in list(self.by_endpoint):
            pids = {p: t for p, t in self.by_endpoint[endpoint].items() if now - t[1] <= _PB_TALKER_WINDOW}
            if pids:
                self.by_endpoint[endpoint] = pids
            else:
                del self.by_endpoint[endpoint]


def _pb_capture_filter(outgoing, ifindexes):
    """Classic BPF for a SOCK_DGRAM packet socket: the headers of the UDP packets of one
    direction on the given interfaces, and of the TCP SYNs that open connections (an
    outgoing one's owner is looked up at once, while the socket is surely still open; an
    incoming one's listener too)."""
    ad = lambda off: (-0x1000 + off) & 0xFFFFFFFF  # ancillary data: 0 protocol, 4 pkttype, 8 ifindex
    prog = []  # (code, jump-true label, jump-false label, k)

    def op(code, k=0, jt=None, jf=None):
        prog.append([code, jt, jf, k])

    LD_W, LD_H, LD_B, LD_B_IND, LDX_MSH = 0x20, 0x28, 0x30, 0x50, 0xB1
    JEQ, JSET, JGT, AND, RET = 0x15, 0x45, 0x25, 0x54, 0x06
    op(LD_W, ad(4))
    if outgoing:
        op(JEQ, _PB_PACKET_OUTGOING, None, "drop")
    else:  # to us, broadcast or multicast; not other hosts' nor our own outgoing
        op(JGT, 2, "drop", None)
    # Only the interfaces asked for (none: index 0, which no interface has). Past a few
    # hundred the jumps would not reach: then every interface.
    if len(ifindexes) <= 200:
        op(LD_W, ad(8))
        wanted = sorted(ifindexes) or [0]
        for i, index in enumerate(wanted):
            op(JEQ, index, "proto", "drop" if i == len(wanted) - 1 else None)
    labels = {"proto": len(prog)}
    op(LD_W, ad(0))
    op(JEQ, 0x0800, "v4", None)
    op(JEQ, 0x86DD, "v6", "drop")
    labels["v4"] = len(prog)
    op(LD_H, 6)
    op(JSET, 0x1FFF, "drop", None)  # later fragments carry no transport header
    op(LD_B, 9)
    op(JEQ, 17, "keep", None)
    op(JEQ, 6, "v4tcp", "drop")
    labels["v4tcp"] = len(prog)
    op(LDX_MSH, 0)
    op(LD_B_IND, 13)
    op(JEQ, 0, "flags", "flags")
    labels["v6"] = len(prog)
    op(LD_B, 6)
    op(JEQ, 17, "keep", None)
    op(JEQ, 44, "v6frag", None)
    op(JEQ, 6, "v6tcp", "drop")
    labels["v6frag"] = len(prog)  # a fragment header first: only the first fragment counts
    op(LD_H, 42)
    op(JSET, 0xFFF8, "drop", None)
    op(LD_B, 40)
    op(JEQ, 17, "keep", "drop")
    labels["v6tcp"] = len(prog)
    op(LD_B, 53)
    labels["flags"] = len(prog)
    op(AND, 0x12)  # SYN without ACK
    op(JEQ, 0x02, "keep", "drop")
    labels["keep"] = len(prog)
    op(RET, _PB_SNAPLEN)
    labels["drop"] = len(prog)
    op(RET, 0)
    raw = b""
    for i, (code, jt, jf, k) in enumerate(prog):
        t = labels[jt] - i - 1 if jt else 0
        f = labels[jf] - i - 1 if jf else 0
        raw += struct.pack("=HBBI", code, t, f, k)
    return raw, len(prog)


class _PbCapture:
    """One packet socket for one direction: UDP headers and TCP SYNs."""

    def __init__(self, outgoing):
        self.outgoing = outgoing
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM | socket.SOCK_CLOEXEC,
                                  socket.htons(_PB_ETH_P_ALL))
        self.sock.setblocking(False)
        try:
            self.sock.setsockopt(socket.SOL_SOCKET, _PB_SO_RCVBUFFORCE, 16 << 20)
        except OSError:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16 << 20)
        self.filter_buf = None
        self.ifindexes = None

    def set_filter(self, ifindexes):
        ifindexes = frozenset(ifindexes)
        if ifindexes == self.ifindexes:
            return
        raw, count = _pb_capture_filter(self.outgoing, ifindexes)
        # The program must stay alive while the kernel copies it.
        self.filter_buf = ctypes.create_string_buffer(raw, len(raw))
        fprog = struct.pack("HL", count, ctypes.addressof(self.filter_buf))
        self.sock.setsockopt(socket.SOL_SOCKET, _PB_SO_ATTACH_FILTER, fprog)
        if self.ifindexes is None:
            self.drain()  # packets queued before the first filter was attached
        self.ifindexes = ifindexes

    def drain(self):
        while True:
            try:
                self.sock.recv(1)
            except OSError:  # empty (EAGAIN) or failing: nothing more to drop
                return

    def drops(self):
        """Packets the kernel dropped for want of buffer space since the last call."""
        try:
            raw = self.sock.getsockopt(_PB_SOL_PACKET, _PB_PACKET_STATISTICS, 8)
        except OSError:
            return 0
        return struct.unpack("=II", raw)[1]

    def close(self):
        self.sock.close()


class PortableBackend(Backend):
    name = "portable sock_diag + UDP capture"

    def __init__(self):
        self.include_local = False
        self.diag = self.route = self.destroy = self.proc_events = None
        self.captures = []
        self.owners = _PbOwners()
        self.socks = {}           # cookie -> _PbSocket
        self.talkers = _PbTalkers()
        self.listeners = {}       # (family, port) -> (last seen, [(local address, pid or None)])
        self.ports_checked = {}   # port key -> when traffic to an unknown port made us look for its owner
        # Closed sockets never seen alive: (family, local, lport, remote, tx, rx, guess, closed at)
        self.short = []
        self.udp = {}             # (family, port) -> [tx, rx, local address, remote endpoint, to a group, since]
        self.udp_owner = {}       # (family, port) -> (pid, when), from the UDP dumps
        self.udp_talkers = _PbTalkers()
        self.acc = {}             # pid -> [tx, rx]
        self.local = set()
        self.broadcast = set()
        self.baseline = True
        self.last_tcp_dump = self.last_listener_dump = self.last_udp_dump = self.last_links = -1e9
        self.events_lost = 0
        self.last_complaint = None
        self.syn_budget = _PB_SYN_BUDGET
        self.seen_inodes = set()  # socket inodes in the dumps since the last prune
        self.last_prune = time.monotonic()
        self.buf = bytearray(1 << 17)
        self.pkt = bytearray(_PB_SNAPLEN)

    # -- opening --

    def open(self):
        if self.options is not None and getattr(self.options, "loopback", "exclude") == "include":
            self.include_local = True
        try:
            self.diag = _PbNetlink(_PB_NETLINK_SOCK_DIAG)
            self.route = _PbNetlink(_PB_NETLINK_ROUTE)
            self.destroy = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW | socket.SOCK_CLOEXEC
                                         | socket.SOCK_NONBLOCK, _PB_NETLINK_SOCK_DIAG)
            try:
                self.destroy.setsockopt(socket.SOL_SOCKET, _PB_SO_RCVBUFFORCE, 8 << 20)
            except OSError:
                pass
            # Close notifications need CAP_NET_ADMIN.
            self.destroy.bind((0, _PB_TCP_DESTROY_GROUPS))
            self.captures = [_PbCapture(True), _PbCapture(False)]
            now = time.monotonic()
            self._refresh_links(now)
            self._dump_tcp(now)
            self._dump_listeners(now)
        except OSError as e:
            self.close()
            why = e.strerror or str(e)
            if e.errno in (errno.EPERM, errno.EACCES):
                why += " (needs root)"
            raise BackendUnavailable("socket diagnostics or packet capture unavailable: %s" % why)
        self._open_proc_events()

    def _open_proc_events(self):
        """fork/exec events say which processes are new; only in the initial network namespace."""
        try:
            if os.stat("/proc/self/ns/net").st_ino != os.stat("/proc/1/ns/net").st_ino:
                say("portable: not in the initial network namespace, process events off "
                    "(socket owners found by scanning /proc)")
                return
        except OSError:
            pass
        sock = None
        try:
            sock = socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM | socket.SOCK_CLOEXEC
                                 | socket.SOCK_NONBLOCK, _PB_NETLINK_CONNECTOR)
            sock.bind((0, _PB_CN_IDX_PROC))
            cn_msg = struct.pack("=IIIIHHI", _PB_CN_IDX_PROC, 1, 0, 0, 4, 0, 1)  # listen
            sock.send(_PB_NLMSG.pack(_PB_NLMSG.size + len(cn_msg), _PB_NLMSG_DONE, 0, 0, 0) + cn_msg)
            self.proc_events = sock
        except OSError as e:
            if sock is not None:
                sock.close()
            say("portable: process events unavailable (%s), socket owners found by scanning /proc"
                % (e.strerror or e))

    def fds(self):
        if self.destroy is None:
            return []
        fds = [self.destroy.fileno()] + [c.sock.fileno() for c in self.captures]
        if self.proc_events is not None:
            fds.append(self.proc_events.fileno())
        return fds

    def close(self):
        for closable in [self.diag, self.route, self.destroy, self.proc_events] + self.captures:
            if closable is not None:
                try:
                    closable.close()
                except OSError:
                    pass
        self.diag = self.route = self.destroy = self.proc_events = None
        self.captures = []

    # -- events --

    def handle(self, fd):
        now = time.monotonic()
        try:
            if self.destroy is not None and fd == self.destroy.fileno():
                self._read_closes(now)
            elif self.proc_events is not None and fd == self.proc_events.fileno():
                self._read_proc_events()
            else:
                for capture in self.captures:
                    if fd == capture.sock.fileno():
                        self._read_packets(capture, now)
        except Exception as e:  # one bad event must not stop the measurement
            self._complain("reading events failed", e)

    def _count(self, pid, tx, rx):
        if tx <= 0 and rx <= 0:
            return
        pid = pid or 0
        entry = self.acc.get(pid)
        if entry is None:
            self.acc[pid] = [max(tx, 0), max(rx, 0)]
        else:
            entry[0] += max(tx, 0)
            entry[1] += max(rx, 0)

    def _excluded(self, remote):
        return not self.include_local and (_pb_is_loopback(remote) or remote in self.local)

    def _read_closes(self, now):
        unexplained = False
        for _ in range(256):
            try:
                n = self.destroy.recv_into(self.buf)
            except (BlockingIOError, InterruptedError):
                break
            except OSError as e:
                if e.errno == errno.ENOBUFS:
                    self.events_lost += 1
                    continue
                raise
            data = bytes(self.buf[:n])
            off = 0
            while off + _PB_NLMSG.size <= n:
                length, kind = _PB_NLMSG.unpack_from(data, off)[:2]
                if length < _PB_NLMSG.size:
                    break
                if kind == _PB_SOCK_DIAG_BY_FAMILY:
                    row = _pb_parse_diag(data, off + _PB_NLMSG.size, off + length, True, True)
                    unexplained |= self._closed(row, now)
                off += (length + 3) & ~3
        if unexplained and self.syn_budget <= 0 and now - self.last_tcp_dump >= _PB_EAGER_GAP:
            # Connections of unknown owners while SYN lookups are spent: look at them while they last.
            self._dump_tcp(now)

    def _closed(self, row, now):
        """Final counters of a closed socket; True when its owner is not known yet."""
        family, sport, dport, src, dst, cookie, _inode, tx, rx = row
        if tx is None:
            return False
        entry = self.socks.pop(cookie, None)
        if entry is not None:
            if not entry.skip:
                self._count(entry.pid, tx - entry.tx, rx - entry.rx)
                if entry.firm:
                    self.talkers.note((dst, dport), entry.pid, now)
            return False
        if self._excluded(dst) or (tx <= 0 and rx <= 0):
            return False
        # Guessed now, while the likely owner is alive; settled at the next report.
        guess = self._listener_owner(family, src, sport)
        if guess is None:
            guess = self.talkers.only((dst, dport), now)
        self.short.append((family, src, sport, (dst, dport), tx, rx, guess, now))
        return guess is None

    def _read_proc_events(self):
        for _ in range(256):
            try:
                data = self.proc_events.recv(4096)
            except (BlockingIOError, InterruptedError):
                return
            except OSError as e:
                if e.errno == errno.ENOBUFS:
                    continue
                raise
            # nlmsghdr (16) + cn_msg (20), then what, cpu, timestamp and the event's data (@52).
            if len(data) < 60:
                continue
            what = struct.unpack_from("=I", data, 36)[0]
            if what == _PB_PROC_FORK and len(data) >= 68:
                child_pid, child_tgid = struct.unpack_from("=II", data, 60)
                if child_pid == child_tgid:
                    self.owners.note_new_pid(child_tgid)
                continue
            pid, tgid = struct.unpack_from("=II", data, 52)
            if pid != tgid:
                continue  # a thread
            if what == _PB_PROC_EXEC:
                self.owners.note_new_pid(tgid)
                if tgid in self.owners.comm:
                    self.owners.read_comm(tgid)  # a new program, a new name
            elif what == _PB_PROC_EXIT:
                self.owners.note_exit(tgid)  # its name stays known
            elif what == _PB_PROC_COMM and len(data) >= 76 and tgid in self.owners.comm:
                self.owners.comm[tgid] = data[60:76].split(b"\0", 1)[0].decode("utf-8", "replace")

    # -- UDP capture --

    def _read_packets(self, capture, now):
        buf, outgoing, udp = self.pkt, capture.outgoing, self.udp
        unpack = struct.unpack_from
        unknown = False
        for _ in range(4096):
            try:
                n = capture.sock.recv_into(buf)
            except (BlockingIOError, InterruptedError):
                break
            except OSError as e:
                if e.errno == errno.ENETDOWN:  # an interface went down; the socket goes on
                    continue
                raise
            version = buf[0] >> 4
            if version == 4:
                ihl = (buf[0] & 15) * 4
                if n < ihl + 8:
                    continue
                family, src, dst = socket.AF_INET, bytes(buf[12:16]), bytes(buf[16:20])
                sport, dport, length = unpack("!HHH", buf, ihl)
                tcp = buf[9] == 6
            elif version == 6 and n >= 48:
                family, src, dst = socket.AF_INET6, bytes(buf[8:24]), bytes(buf[24:40])
                header, at = buf[6], 40
                if header == 44:  # the first fragment of a datagram larger than the MTU
                    header, at = buf[40], 48
                    if n < 56:
                        continue
                sport, dport, length = unpack("!HHH", buf, at)
                tcp = header == 6
            else:
                continue
            if tcp:
                if outgoing:
                    if not self._excluded(dst):
                        self._connecting(family, src, sport, dst, dport, now)
                elif not self._excluded(src):
                    self._accepting(family, dst, dport, now)
                continue
            if length < 8:
                continue
            if outgoing:
                local, lport, remote, rport = src, sport, dst, dport
            else:
                local, lport, remote, rport = dst, dport, src, sport
            group = False
            if not self.include_local and (_pb_is_loopback(remote) or remote in self.local):
                continue
            if local not in self.local:
                if outgoing or not (_pb_is_group(local) or local in self.broadcast):
                    continue  # forwarded traffic, not a process of this host
                group = True
            key = (family, lport)
            entry = udp.get(key)
            if entry is None:
                entry = udp[key] = [0, 0, local, (remote, rport), group, now]
                if key not in self.udp_owner and now - self.ports_checked.get(key, -1e9) >= 1.0:
                    self.ports_checked[key] = now
                    unknown = True
            entry[0 if outgoing else 1] += length - 8
            entry[3] = (remote, rport)
        if unknown:
            self._dump_udp(now, quick=True)  # while the socket is surely still open

    def _accepting(self, family, local, port, now):
        """A SYN came in: make sure the listener's owner is known before the connection
        can come and go between two dumps."""
        if self._listener_owner(family, local, port) is not None:
            return
        key = ("listen", family, port)
        if now - self.ports_checked.get(key, -1e9) >= 1.0:
            self.ports_checked[key] = now
            self._dump_listeners(now, quick=True)

    def _connecting(self, family, src, sport, dst, dport, now):
        """A SYN just left: find the new socket and its owner while the process holds it."""
        if self.syn_budget <= 0:
            return
        self.syn_budget -= 1
        rows = []

        def on_message(kind, data, start, end):
            if kind == _PB_SOCK_DIAG_BY_FAMILY:
                rows.append(_pb_parse_diag(data, start, end, False))
        src16, dst16 = (src, dst) if family == socket.AF_INET6 else (src + bytes(12), dst + bytes(12))
        request = (_pb_diag_request(family, socket.IPPROTO_TCP, 0, 0xFFF)[:8]
                   + struct.pack("!HH", sport, dport) + src16 + dst16
                   + struct.pack("=III", 0, 0xFFFFFFFF, 0xFFFFFFFF))
        try:
            self.diag.query(_PB_SOCK_DIAG_BY_FAMILY, request, on_message)
        except OSError:
            return  # already gone: its close notification counts it
        for _family, _sport, _dport, local, remote, cookie, inode, _tx, _rx in rows:
            if cookie in self.socks or not inode:
                continue
            if not self.owners.resolve([inode], now, quick=True):
                self.owners.resolve([inode], now)  # an older process: the socket is open, look everywhere
            pid = self.owners.inode_pid.get(inode)
            if pid is None:
                continue
            # A new socket: everything it moves counts, from zero.
            entry = self.socks[cookie] = _PbSocket(0, 0, (remote, dport), local, sport, now, False)
            entry.pid, entry.firm = pid, True
            self.owners.note_owner(pid)
            self.talkers.note(entry.remote, pid, now)

    def _dump_with_owners(self, protocol, states, now, quick):
        """Every socket of `protocol` in `states` (v4 and v6), with owners resolved."""
        rows = []

        def on_message(kind, data, start, end):
            if kind == _PB_SOCK_DIAG_BY_FAMILY:
                rows.append(_pb_parse_diag(data, start, end, False))
        for family in (socket.AF_INET, socket.AF_INET6):
            self.diag.dump(_PB_SOCK_DIAG_BY_FAMILY,
                           _pb_diag_request(family, protocol, 0, states), on_message)
        self.seen_inodes.update(row[6] for row in rows)
        self.owners.resolve([row[6] for row in rows], now, quick)
        return rows

    def _dump_udp(self, now, quick=False):
        """Local port -> owner of every UDP socket now open."""
        self.last_udp_dump = now
        rows = self._dump_with_owners(socket.IPPROTO_UDP, _PB_UDP_STATES, now, quick)
        for family, sport, _dport, _src, _dst, _cookie, inode, _tx, _rx in rows:
            pid = self.owners.inode_pid.get(inode)
            if pid is not None:
                self.udp_owner[(family, sport)] = (pid, now)

    def _udp_pid(self, key, now):
        family, port = key
        for k in ((family, port), (socket.AF_INET6, port)):
            owner = self.udp_owner.get(k)
            if owner is not None and now - owner[1] <= _PB_TALKER_WINDOW:
                return owner[0]
        return None

    def _settle_udp(self, now):
        if not self.udp:
            return
        # The owners of this interval's ports: the dumps at their first packets looked only
        # at the likeliest processes; look everywhere for those still unknown.
        if any(self._udp_pid(key, now) is None for key in self.udp) or \
                now - self.last_udp_dump >= _PB_EAGER_GAP:
            self._dump_udp(now)
        udp, self.udp = self.udp, {}
        for key, (tx, rx, _local, remote, group, first) in udp.items():
            pid = self._udp_pid(key, now)
            if pid is not None:
                self.udp_talkers.note(remote, pid, now)
            elif group:
                continue  # broadcast or multicast no process here listens to
            else:
                pid = self.udp_talkers.only(remote, now, first)
            self._count(pid if pid is not None else 0, tx, rx)

    # -- TCP dumps --

    def _refresh_links(self, now):
        """The host's own addresses, and the interfaces whose packets are captured: those
        holding an address (not only an IPv6 link-local one), but not bridge or bond ports
        nor loopback. A packet also seen on a VLAN's parent or a bridge port counts once."""
        self.last_links = now
        local, broadcast, addressed, excluded = set(), set(), set(), set()

        def on_addr(kind, data, start, end):
            if kind != _PB_RTM_NEWADDR:
                return
            family = data[start]
            index = struct.unpack_from("=I", data, start + 4)[0]
            for attr, at, length in _pb_attrs(data, start + 8, end):
                if attr in (1, 2) and length in (4, 16):  # IFA_ADDRESS, IFA_LOCAL
                    address = _pb_addr(data[at:at + length], family)
                    local.add(address)
                    if not (len(address) == 16 and address[0] == 0xFE and address[1] & 0xC0 == 0x80):
                        addressed.add(index)
                elif attr == 4 and length == 4:  # IFA_BROADCAST
                    broadcast.add(data[at:at + 4])

        def on_link(kind, data, start, end):
            if kind != _PB_RTM_NEWLINK:
                return
            index, flags = struct.unpack_from("=iI", data, start + 4)
            if flags & 0x8 and not self.include_local:  # IFF_LOOPBACK
                excluded.add(index)
            for attr, _at, _length in _pb_attrs(data, start + 16, end):
                if attr == 10:  # IFLA_MASTER: a bridge or bond port; counted on its master
                    excluded.add(index)
        self.route.dump(_PB_RTM_GETADDR, struct.pack("=BBBBI", 0, 0, 0, 0, 0), on_addr)
        self.route.dump(_PB_RTM_GETLINK, struct.pack("=BBHiII", 0, 0, 0, 0, 0, 0), on_link)
        broadcast.add(b"\xff\xff\xff\xff")
        self.local, self.broadcast = local, broadcast
        for capture in self.captures:
            capture.set_filter(addressed - excluded)

    def _dump_listeners(self, now, quick=False):
        self.last_listener_dump = now
        rows = self._dump_with_owners(socket.IPPROTO_TCP, _PB_TCP_LISTEN, now, quick)
        fresh = {}
        for family, sport, _dport, src, _dst, _cookie, inode, _tx, _rx in rows:
            fresh.setdefault((family, sport), []).append((src, self.owners.inode_pid.get(inode)))
        # A listener that closed a moment ago still owns the connections it accepted.
        listeners = {k: v for k, v in self.listeners.items()
                     if k not in fresh and now - v[0] <= _PB_TALKER_WINDOW}
        for key, entries in fresh.items():
            listeners[key] = (now, entries)
        self.listeners = listeners

    def _listener_owner(self, family, local, port):
        best = None
        for k in ((family, port), (socket.AF_INET6, port)):
            for address, pid in self.listeners.get(k, (0, ()))[1]:
                if pid is None:
                    continue
                if address == local:
                    return pid
                if _pb_is_wildcard(address):
                    best = pid
        return best

    def _dump_tcp(self, now):
        self.last_tcp_dump = now
        rows = []

        def on_message(kind, data, start, end):
            if kind == _PB_SOCK_DIAG_BY_FAMILY:
                rows.append(_pb_parse_diag(data, start, end, True))
        for family in (socket.AF_INET, socket.AF_INET6):
            self.diag.dump(_PB_SOCK_DIAG_BY_FAMILY,
                           _pb_diag_request(family, socket.IPPROTO_TCP, 1 << (_PB_DIAG_INFO - 1),
                                            _PB_TCP_LIVE), on_message)
        baseline, self.baseline = self.baseline, False
        socks, seen_inodes = self.socks, self.seen_inodes
        fresh = []
        for family, sport, dport, src, dst, cookie, inode, tx, rx in rows:
            if tx is None:
                continue
            entry = socks.get(cookie)
            if entry is None:
                # Sockets open before the collector started count from now on; newer ones from 0.
                entry = socks[cookie] = _PbSocket(tx if baseline else 0, rx if baseline else 0,
                                                  (dst, dport), src, sport, now, self._excluded(dst))
            entry.seen = now
            if entry.skip:
                continue
            seen_inodes.add(inode)
            delta_tx, delta_rx = tx - entry.tx, rx - entry.rx
            entry.tx, entry.rx = tx, rx
            if entry.pid is None:
                fresh.append((entry, family, inode, delta_tx, delta_rx))
            else:
                self._count(entry.pid, delta_tx, delta_rx)
                if entry.firm:
                    self.talkers.note(entry.remote, entry.pid, now)
        if not fresh:
            return
        self.owners.resolve([item[2] for item in fresh], now)
        for entry, family, inode, delta_tx, delta_rx in fresh:
            pid = self.owners.inode_pid.get(inode) if inode else None
            if pid is not None:
                entry.firm = True
                self.owners.note_owner(pid)
                self.talkers.note(entry.remote, pid, now)
            else:
                # Owner gone or unknown: inbound to a listener, else the one process
                # recently talking to the same remote endpoint, else unattributed.
                pid = self._guess_owner(family, entry.local, entry.lport, entry.remote, now)
            entry.pid = pid
            self._count(pid, delta_tx, delta_rx)

    def _forget_stale(self, now):
        stale = [c for c, e in self.socks.items() if now - e.seen > _PB_FORGET_AFTER]
        for cookie in stale:
            del self.socks[cookie]

    def _settle_short(self, now):
        """Owners of the connections that opened and closed between two dumps."""
        if not self.short:
            return
        short, self.short = self.short, []
        for family, local, lport, remote, tx, rx, guess, closed_at in short:
            if guess is None:
                try:
                    guess = self._guess_owner(family, local, lport, remote, now, closed_at)
                except Exception as e:  # counted all the same, unattributed
                    self._complain("guessing an owner failed", e)
            self._count(guess, tx, rx)

    def _guess_owner(self, family, local, lport, remote, now, at=None):
        """Owner of a socket whose process is not known: the listener's owner for an inbound
        connection, else the one process recently talking to the same remote endpoint,
        else 0 (unattributed)."""
        pid = self._listener_owner(family, local, lport)
        if pid is None:
            pid = self.talkers.only(remote, now, at)
        if pid is None and now - self.last_listener_dump >= 1.0:
            try:
                self._dump_listeners(now)  # a listener opened since the last look
            except OSError as e:
                self._complain("listing listeners failed", e)
            pid = self._listener_owner(family, local, lport)
        return pid if pid is not None else 0

    # -- reports --

    def collect(self):
        now = time.monotonic()
        interval = getattr(self.options, "interval", 1.0) if self.options is not None else 1.0
        self.syn_budget = max(1, int(_PB_SYN_BUDGET * interval))
        if len(self.ports_checked) > 4096:
            self.ports_checked = {}
        steps = [self._read_closes]
        if now - self.last_links >= _PB_LINKS_EVERY:
            steps.append(self._refresh_links)
        steps.append(self._dump_tcp)
        if now - self.last_listener_dump >= _PB_LISTENER_EVERY:
            steps.append(self._dump_listeners)
        steps += [self._settle_short, self._settle_udp, self._report_losses]
        if now - self.last_prune >= _PB_PRUNE_EVERY:
            steps.append(self._prune)
        for step in steps:
            try:
                step(now)
            except Exception as e:  # the other steps still run and the report goes out
                self._complain("measuring failed this interval", e)
        acc, self.acc = self.acc, {}
        out = {}
        for pid, (tx, rx) in acc.items():
            out[pid] = (_PB_UNATTRIBUTED if pid == 0 else self.owners.name(pid), tx, rx)
        return out

    def _complain(self, what, error):
        """One line per new kind of failure, not one per event."""
        text = "portable: %s: %s" % (what, getattr(error, "strerror", None) or error)
        if text != self.last_complaint:
            self.last_complaint = text
            say(text)

    def _report_losses(self, _now):
        drops = sum(c.drops() for c in self.captures)
        if drops:
            say("portable: the kernel dropped %d captured packets (UDP counts are short)" % drops)
        if self.events_lost:
            say("portable: socket close notifications lost %d times (some final bytes missing)"
                % self.events_lost)
            self.events_lost = 0

    def _prune(self, now):
        self.last_prune = now
        self.ports_checked = {}
        self._forget_stale(now)
        self.talkers.prune(now)
        self.udp_talkers.prune(now)
        self.udp_owner = {k: v for k, v in self.udp_owner.items() if now - v[1] <= _PB_TALKER_WINDOW}
        self.owners.prune(self.seen_inodes, now)
        self.seen_inodes = set()
# ---- end portable backend ----


# ---------------------------------------------------------------------------
# Reports: accumulation, documents, frames
# ---------------------------------------------------------------------------

class Ledger:
    """Byte counts not yet handed to the daemon, per pid: {pid: [comm, tx, rx]}.

    While no daemon reads, the table grows with every process that moves data. Past
    `limit` processes, those that have exited are folded into pid 0 "unattributed",
    so that the totals still add up and the memory stays bounded.
    """

    def __init__(self, limit=PENDING_LIMIT, alive=None):
        self.pending = {}
        self.limit = limit
        self.alive = alive or (lambda pid: os.path.exists("/proc/%d" % pid))
        self.folded_warned = False

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
        if len(self.pending) > self.limit:
            self.fold_exited()

    def fold_exited(self):
        bucket = self.pending.setdefault(0, [UNATTRIBUTED, 0, 0])
        for pid in [p for p in self.pending if p != 0 and not self.alive(p)]:
            _comm, tx, rx = self.pending.pop(pid)
            bucket[1] += tx
            bucket[2] += rx
        if not self.folded_warned:
            say("no daemon has read for long: exited processes are kept as pid 0 \"%s\"" % UNATTRIBUTED)
            self.folded_warned = True

    def take(self):
        taken, self.pending = self.pending, {}
        self.folded_warned = False
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
        # The daemon connects as soon as the socket file exists, so the file
        # must only appear once it is listening: bind and listen under a
        # temporary name in the same directory, then rename it into place.
        temp = os.path.join(os.path.dirname(path) or ".",
                            ".%s.%d" % (os.path.basename(path), os.getpid()))
        try:
            os.unlink(temp)
        except FileNotFoundError:
            pass
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        old_umask = os.umask(0o177)
        try:
            sock.bind(temp)
        finally:
            os.umask(old_umask)
        try:
            os.chmod(temp, 0o600)
            sock.listen(4)
            os.rename(temp, path)
        except OSError:
            sock.close()
            try:
                os.unlink(temp)
            except OSError:
                pass
            raise
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

    def install_signals(self):
        self.wake_r, self.wake_w = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
        signal.set_wakeup_fd(self.wake_w, warn_on_full_buffer=False)

    # -- loop --

    def run(self):
        self.install_signals()
        if STOP_REQUESTED:  # SIGTERM while the measurement was being opened
            self.shutdown()
            return
        self.listen()
        say("serving %s every %g s" % (self.options.socket, self.options.interval))
        poller = select.poll()
        interval = self.options.interval
        next_tick = time.monotonic() + interval
        self.last_tick = time.monotonic()
        backend_fds = set()
        poller.register(self.listener.fileno(), select.POLLIN)
        poller.register(self.wake_r, select.POLLIN)
        registered_link, registered_fd = None, None
        while not STOP_REQUESTED:
            # A backend may replace its descriptors while it runs.
            wanted = set(self.backend.fds())
            if wanted != backend_fds:
                for fd in backend_fds - wanted:
                    try:
                        poller.unregister(fd)
                    except (KeyError, ValueError):
                        pass
                for fd in wanted - backend_fds:
                    poller.register(fd, select.POLLIN)
                backend_fds = wanted
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
            if STOP_REQUESTED:
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
    parser.add_argument("--map-entries", type=int, default=0, help=argparse.SUPPRESS)
    options = parser.parse_args(argv)
    if not 0.01 <= options.interval <= 10.0:
        parser.error("--interval must be between 0.01 and 10 seconds")
    if not 0 <= options.map_entries <= 1 << 20:
        parser.error("--map-entries must be at most %d" % (1 << 20))
    if not 256 <= options.max_frame <= MAX_FRAME_BODY:
        parser.error("--max-frame must be between 256 and %d" % MAX_FRAME_BODY)
    return options


def open_backend(options):
    """Returns (opened backend, None); (None, reasons) when an explicitly chosen one cannot run."""
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
    signal.signal(signal.SIGTERM, request_stop)
    signal.signal(signal.SIGINT, request_stop)
    signal.signal(signal.SIGPIPE, signal.SIG_IGN)
    signal.signal(signal.SIGHUP, signal.SIG_IGN)
    options = parse_args(sys.argv[1:] if argv is None else argv)
    backend, reason = open_backend(options)
    if backend is None:
        say("exiting: the requested %s measurement cannot run here" % options.backend)
        return 2
    if isinstance(backend, NullBackend):
        say("no measurement available: serving empty reports")
    else:
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
