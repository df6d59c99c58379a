"""The eBPF backend: ferrow_monitor.bpf.o with one of its two attachments, and the
differences of its per-process counters.

The sock_send_length/sock_recv_length tracepoints (Linux 6.3 and later) are preferred;
without them, fexit programs on the inet_* send and receive functions count the same
bytes on kernels with BTF and BPF trampolines (5.5 and later: Debian 11 and 12). The
kernel's own BTF tells which of them this kernel has before anything is loaded.

The program is loaded and attached by a short-lived child (loader.py); this process
only holds the descriptors of its maps and links, and reads the maps through them."""

import ctypes
import errno
import os

from .. import programs
from ..backend import UNATTRIBUTED, Backend, BackendUnavailable, Counts
from ..log import say
from . import loader
from .btf import LayoutError, ValueLayout
from .libbpf import Libbpf
from .loader import ATTACHMENTS, KERNEL_BTF

BPF_OBJECT_NAME = "ferrow_monitor.bpf.o"
ENTRY_SCRIPT = "ferrow_monitor.py"
TRAFFIC_MAP_ENTRIES = 16384  # processes with traffic not yet known to have exited
# Entries read from the kernel per batch call: the buffers stay small whatever the
# map's size, and a map of thousands of processes takes a few calls.
READ_BATCH = 1024
# Dead processes are removed from the kernel map this often (in reports).
REAP_EVERY = 5


def _exists(pid):
    """Whether /proc/<pid> exists, zombies included, without a path to walk: kill()
    with signal 0 only looks the pid up. 0 and below name process groups there."""
    if pid <= 0:
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        pass
    return True


def default_bpf_object():
    """The compiled program installed with the package, in <prefix>/lib/ferrow-monitor/.

    In a source tree the package sits beside the entry script: then the place the
    script finds once installed (<its directory>/../lib/ferrow-monitor/) comes first,
    then the script's own directory."""
    home = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
    candidates = [os.path.join(home, BPF_OBJECT_NAME)]
    if os.path.isfile(os.path.join(home, ENTRY_SCRIPT)):
        candidates.insert(0, os.path.join(home, os.pardir, "lib", "ferrow-monitor", BPF_OBJECT_NAME))
    for path in candidates:
        if os.path.exists(path):
            return os.path.normpath(path)
    return os.path.normpath(candidates[0])



class EbpfBackend(Backend):
    name = "eBPF"
    label = "eBPF"

    def __init__(self, attachments=("tracepoints", "fexit")):
        self.wanted = [ATTACHMENTS[key] for key in attachments]
        # Set by open(): why better attachments were passed over, and what the chosen one
        # cannot tell apart here.
        self.passed_over = []
        self.caveats = []
        self.attachment = None
        self.bpf = None
        # Descriptors handed over by the loader: every one of them is closed by close().
        self.handed = []
        self.traffic_fd = self.unowned_fd = -1
        self.seen = {}
        self.comm_text = {}
        self.unowned_seen = (0, 0)
        self.reports = 0
        self.reaped = []
        self.full_warned = False
        self.capacity = TRAFFIC_MAP_ENTRIES
        self.layout = None
        self.keys = self.values = self.value = None
        # Programs: what an exec recorded (kernel maps "programs" and "forks"), what
        # /proc showed at start, and what was found for each pid with traffic.
        self.programs_fd = self.forks_fd = -1
        self.program_layout = self.program_value = None
        self.started_with = {}
        self.program_of = {}
        self.root = self._own_root()

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
        self.bpf = Libbpf()
        include_local = 1 if self.options is not None and self.options.loopback == "include" else 0
        job = loader.ProgramLoader(self.bpf, path, self.wanted, self.capacity, include_local).run
        data, self.handed = loader.run_in_child(job)
        try:
            self._take(data)
        except (KeyError, TypeError, ValueError, LayoutError) as e:
            self.close()
            raise BackendUnavailable("the process loading the program answered garbage (%s)" % e)
        # The exec, fork and exit tracers are attached: from now on no program is missed.
        self.started_with = programs.startup_programs()

    def _take(self, data):
        """Takes over what the loader handed: the choice, the layouts and the descriptors."""
        maps = data["maps"]
        if len(self.handed) != len(maps) + data["links"]:
            raise ValueError("%d descriptors for %d maps and %d links"
                             % (len(self.handed), len(maps), data["links"]))
        fd_of = dict(zip(maps, self.handed))
        self.traffic_fd, self.unowned_fd = fd_of["traffic"], fd_of["unowned"]
        self.attachment = ATTACHMENTS[data["attachment"]]
        self.name = self.attachment.name
        self.passed_over = list(data["passed_over"])
        self.caveats = list(data["caveats"])
        self.layout = ValueLayout.from_description(data["traffic_layout"])
        self.batch = min(self.capacity, getattr(self.options, "read_batch", 0) or READ_BATCH)
        self.keys = (ctypes.c_uint32 * self.batch)()
        self.values = ctypes.create_string_buffer(self.layout.size * self.batch)
        self.value = ctypes.create_string_buffer(self.layout.size)
        if data["program_layout"] is not None and "programs" in fd_of and "forks" in fd_of:
            self.program_layout = ValueLayout.from_description(data["program_layout"])
            self.program_value = ctypes.create_string_buffer(self.program_layout.size)
            self.programs_fd, self.forks_fd = fd_of["programs"], fd_of["forks"]

    @staticmethod
    def _own_root():
        """(kernel dev_t, inode) of our root directory, as struct program holds them."""
        try:
            st = os.stat("/")
        except OSError:
            return None
        return (os.major(st.st_dev) << 20) | os.minor(st.st_dev), st.st_ino

    def _lookup(self, fd, pid, value):
        if fd < 0:
            return False
        key = ctypes.c_uint32(pid)
        return self.bpf.bpf_map_lookup_elem(fd, ctypes.byref(key), value) == 0

    def _recorded(self, pid):
        """(exe, args) from the exec record of pid, or None."""
        if not self._lookup(self.programs_fd, pid, self.program_value):
            return None
        root_dev, root_ino, path_len, args_len, path, args = self.program_layout.unpack(
            self.program_value.raw)
        # Under another root (a container) the path may name another file here.
        if self.root is None or (root_dev, root_ino) != self.root:
            return None
        if not 0 < path_len < len(path):
            return None  # unreadable or cut short
        cut = args_len >= len(args) - 1
        return programs.from_exec(path[:path_len - 1], args[:args_len], cut)

    def _ancestor(self, pid):
        ancestor = ctypes.c_uint32()
        if self._lookup(self.forks_fd, pid, ctypes.byref(ancestor)):
            return ancestor.value
        return None

    def _program(self, pid):
        """The program of a process with traffic: /proc while it lives, else what its exec
        recorded, else its ancestor's program when it forked without exec."""
        program = programs.from_proc(pid)
        if program is not None:
            return program
        known = self.program_layout is not None and self._lookup(self.programs_fd, pid,
                                                                 self.program_value)
        if known:
            self.started_with.pop(pid, None)  # the pid was given to a new process
            return self._recorded(pid)
        ancestor = self._ancestor(pid)
        if ancestor is not None:
            self.started_with.pop(pid, None)
            return self.started_with.get(ancestor) or programs.from_proc(ancestor)
        return self.started_with.get(pid)

    def _forget(self, pid):
        """A process reported for the last time: its records go."""
        self.program_of.pop(pid, None)
        key = ctypes.c_uint32(pid)
        for fd in (self.programs_fd, self.forks_fd):
            if fd >= 0:
                self.bpf.bpf_map_delete_elem(fd, ctypes.byref(key))

    def _add_programs(self, out):
        for pid in out:
            if pid == 0:
                continue
            if pid not in self.program_of:
                self.program_of[pid] = self._program(pid)
            program = self.program_of[pid]
            if program is not None:
                out.programs[pid] = program

    def _rows(self):
        """Every entry of the kernel map, batch by batch: (pid, raw comm, tx, rx), cumulative."""
        L = self.bpf
        out_batch = ctypes.c_uint32(0)
        in_batch = None
        size = self.layout.size
        while True:
            count = ctypes.c_uint32(self.batch)
            err = L.bpf_map_lookup_batch(self.traffic_fd, in_batch, ctypes.byref(out_batch),
                                         self.keys, self.values, ctypes.byref(count), None)
            n = count.value
            raw = ctypes.string_at(self.values, n * size)
            keys = self.keys
            for i, (tx, rx, comm) in enumerate(self.layout.iter_unpack(raw)):
                yield keys[i], comm, tx, rx
            if err:
                if abs(err) == errno.ENOENT:
                    return
                raise OSError(abs(err), "reading the eBPF map failed: %s" % os.strerror(abs(err)))
            if n == 0:
                return
            in_batch = ctypes.byref(out_batch)

    def _comm(self, raw):
        """The name in a map value's comm field. Names repeat from read to read, so
        each raw field is decoded once (the table is bounded by the map's size)."""
        text = self.comm_text.get(raw)
        if text is None:
            if len(self.comm_text) >= self.capacity:
                self.comm_text.clear()
            text = self.comm_text[raw] = raw.split(b"\0", 1)[0].decode("utf-8", "replace")
        return text

    def collect(self):
        out = Counts()
        seen = self.seen
        # Only the pids of this read are kept, not a table of its rows: the counts
        # go straight into `seen` and the changes into `out`.
        present = set()
        for pid, comm, tx, rx in self._rows():
            present.add(pid)
            old = seen.get(pid)
            if old is None or tx < old[0] or rx < old[1]:  # new, or a new entry after a removal
                old = (0, 0)
            if tx != old[0] or rx != old[1]:
                out[pid] = (self._comm(comm), tx - old[0], rx - old[1])
            seen[pid] = (tx, rx)
        if len(seen) > len(present):
            for pid in [p for p in seen if p not in present]:
                del seen[pid]
                self.program_of.pop(pid, None)
        self.reports += 1
        nearly_full = len(present) > self.capacity * 3 // 4
        if self.reports % REAP_EVERY == 0 or nearly_full:
            self._reap(out, present)
        self._collect_unowned(out)
        self._add_programs(out)
        for pid in self.reaped:
            self._forget(pid)
        self.reaped = []
        return out

    def _reap(self, out, pids):
        """Removes processes that have exited, counting what they did since the last read."""
        L = self.bpf
        key = ctypes.c_uint32()
        for pid in pids:
            if _exists(pid):
                continue
            key.value = pid
            if L.bpf_map_lookup_and_delete_elem(self.traffic_fd, ctypes.byref(key), self.value) == 0:
                self.reaped.append(pid)
                tx, rx, comm = self.layout.unpack(self.value.raw)
                old_tx, old_rx = self.seen.pop(pid, (0, 0))
                if tx - old_tx or rx - old_rx:
                    prev = out.get(pid)
                    add_tx, add_rx = (prev[1], prev[2]) if prev else (0, 0)
                    out[pid] = (self._comm(comm), add_tx + tx - old_tx, add_rx + rx - old_rx)

    def _collect_unowned(self, out):
        key = ctypes.c_uint32(0)
        if self.bpf.bpf_map_lookup_elem(self.unowned_fd, ctypes.byref(key), self.value) != 0:
            return
        tx, rx, _comm = self.layout.unpack(self.value.raw)
        old_tx, old_rx = self.unowned_seen
        if tx != old_tx or rx != old_rx:
            if not self.full_warned:
                say("process map full (%d processes): the excess is reported as pid 0 \"%s\""
                    % (self.capacity, UNATTRIBUTED))
                self.full_warned = True
            out[0] = (UNATTRIBUTED, tx - old_tx, rx - old_rx)
            self.unowned_seen = (tx, rx)

    def close(self):
        """Closes every descriptor handed over: the links go, so the programs detach."""
        loader.close_all(self.handed)
        self.handed = []
        self.caveats = []
        self.traffic_fd = self.unowned_fd = self.programs_fd = self.forks_fd = -1
        self.program_layout = self.program_value = None
