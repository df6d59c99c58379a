"""The eBPF backend: loads ferrow_monitor.bpf.o with one of its two attachments and
reports the differences of its per-process counters.

The sock_send_length/sock_recv_length tracepoints (Linux 6.3 and later) are preferred;
without them, fexit programs on the inet_* send and receive functions count the same
bytes on kernels with BTF and BPF trampolines (5.5 and later: Debian 11 and 12). The
kernel's own BTF tells which of them this kernel has before anything is loaded."""

import ctypes
import errno
import os

from .. import programs
from ..backend import UNATTRIBUTED, Backend, BackendUnavailable, Counts
from ..log import say
from .btf import LayoutError, ValueLayout
from .libbpf import Libbpf

BPF_OBJECT_NAME = "ferrow_monitor.bpf.o"
ENTRY_SCRIPT = "ferrow_monitor.py"
KERNEL_BTF = "/sys/kernel/btf/vmlinux"
# The fields of struct traffic the collector reads; their layout comes from the program file.
TRAFFIC_FIELDS = ("tx", "rx", "comm")
# The fields of struct program (what an exec recorded) the collector reads.
PROGRAM_FIELDS = ("root_dev", "root_ino", "path_len", "args_len", "path", "args")
PROGRAM_TRACERS = (b"note_exec", b"note_fork", b"note_exit")
BTF_KIND_TYPEDEF = 8
BTF_KIND_FUNC = 12


class Attachment:
    """One way of hooking the counters into the kernel: the programs that count (all
    needed), those that count where the kernel has their function, and those that only
    help to tell local datagrams apart (missing ones are named once in the first line):
    on kernel functions, on the cgroup v2 root, or on tracepoints that some kernels lack."""

    def __init__(self, key, label, name, counters, optional_counters=(), notes=(), cgroup_notes=(),
                 tracepoint_notes=()):
        self.key = key
        self.label = label
        self.name = name
        self.counters = counters
        self.optional_counters = optional_counters
        self.notes = notes
        self.cgroup_notes = cgroup_notes
        self.tracepoint_notes = tracepoint_notes

    @property
    def programs(self):
        return (self.counters + self.optional_counters + self.notes + self.cgroup_notes
                + tracepoint_notes_names(self))


# The tracepoint attachment tells an unconnected socket's local datagrams apart by the
# sendmsg hooks (destination of each send) and the ingress hook (each datagram queued
# from loopback); udp_fail_queue_rcv_skb forgets the datagrams then dropped for a full
# receive buffer (its sk_buff argument came with Linux 6.10: attaching fails before).
TRACEPOINTS = Attachment("tracepoints", "eBPF tracepoints",
                         "eBPF tracepoints sock_send_length/sock_recv_length",
                         (b"count_send", b"count_recv"),
                         cgroup_notes=(b"note_sendmsg4", b"note_sendmsg6", b"note_ingress"),
                         tracepoint_notes=((b"forget_dropped", "udp_fail_queue_rcv_skb"),))
FEXIT = Attachment("fexit", "eBPF fexit", "eBPF fexit on inet_sendmsg/inet_recvmsg",
                   (b"fexit_inet_sendmsg", b"fexit_inet6_sendmsg", b"fexit_inet_recvmsg",
                    b"fexit_inet6_recvmsg"),
                   optional_counters=(b"fexit_inet_sendpage",),
                   notes=(b"fentry_skb_consume_udp",))
ATTACHMENTS = {a.key: a for a in (TRACEPOINTS, FEXIT)}
NEEDED_TRACEPOINTS = ("sock_send_length", "sock_recv_length")
TRAFFIC_MAP_ENTRIES = 16384  # processes with traffic not yet known to have exited
# Dead processes are removed from the kernel map this often (in reports).
REAP_EVERY = 5


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


def tracepoint_notes_names(attachment):
    """The program names of an attachment's tracepoint notes ((program, tracepoint) pairs)."""
    return tuple(name for name, _tracepoint in attachment.tracepoint_notes)


def hooked_function(prog_name):
    """The kernel function a trampoline program is named after: fexit_inet_sendmsg hooks
    inet_sendmsg."""
    return prog_name.decode().split("_", 1)[1]


def cgroup2_root():
    """The root of the cgroup v2 hierarchy as mounted here, or None."""
    try:
        with open("/proc/self/mountinfo") as f:
            for line in f:
                fields = line.split()
                sep = fields.index("-")
                if fields[sep + 1] == "cgroup2" and fields[3] == "/":
                    return fields[4].replace("\\040", " ")
    except (OSError, ValueError, IndexError):
        pass
    return None


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
        self.cgroup_fd = -1
        self.bpf = None
        self.obj = None
        self.links = []
        self.traffic_fd = self.unowned_fd = -1
        self.seen = {}
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
        kernel = self._kernel_functions()
        reasons = []
        for attachment in self.wanted:
            label = "%s unusable" % attachment.label
            why = self._missing(attachment, kernel)
            if why is None:
                why = self._load_either(path, attachment, kernel)
                if why is None:
                    self.attachment = attachment
                    self.name = attachment.name
                    self.passed_over = reasons
                    return
            reasons.append("%s: %s" % (label, why))
        error = BackendUnavailable("; ".join(reasons))
        error.reasons = reasons
        raise error

    def _load_either(self, path, attachment, kernel):
        """Loads the attachment, else once more without the hooks that only tell local
        datagrams apart (they then count, and the first line says so). None when loaded,
        else why not."""
        try:
            self._load(path, attachment, kernel)
            return None
        except BackendUnavailable as e:
            self.close()
            why = str(e)
        if not attachment.notes and not attachment.cgroup_notes:
            return why
        try:
            self._load(path, attachment, kernel, notes=False)
        except BackendUnavailable:
            self.close()
            return why
        self.caveats.append("loopback datagrams of unconnected UDP sockets counted: their hooks "
                            "did not load (%s)" % why)
        return None

    def _kernel_functions(self):
        """What this kernel's BTF names: the tracepoints and the functions the attachments
        hook. A set of names; None when the BTF cannot be read (then loading tells)."""
        L = self.bpf
        btf = L.btf__parse(KERNEL_BTF.encode(), None)
        if not btf:
            return None
        try:
            names = set()
            for tp in NEEDED_TRACEPOINTS:
                if L.btf__find_by_name_kind(btf, b"btf_trace_" + tp.encode(), BTF_KIND_TYPEDEF) >= 0:
                    names.add("tracepoint " + tp)
            for prog in FEXIT.programs:
                func = hooked_function(prog)
                if L.btf__find_by_name_kind(btf, func.encode(), BTF_KIND_FUNC) >= 0:
                    names.add(func)
            return names
        finally:
            L.btf__free(btf)

    @staticmethod
    def _missing(attachment, kernel):
        """Why the kernel cannot have this attachment, from its BTF; None when it may."""
        if kernel is None:
            return None
        if attachment is TRACEPOINTS:
            if not all("tracepoint " + tp in kernel for tp in NEEDED_TRACEPOINTS):
                return "kernel lacks the sock_send_length/sock_recv_length tracepoints (Linux 6.3 or later)"
            return None
        missing = [hooked_function(p) for p in attachment.counters if hooked_function(p) not in kernel]
        if missing:
            return "kernel BTF lacks %s" % ", ".join(missing)
        return None

    def _fail(self, what, err):
        detail = self.bpf.last_message()
        text = "%s: %s" % (what, os.strerror(abs(err)) if err else "failed")
        if detail:
            text += " (libbpf: %s)" % detail[:160]
        raise BackendUnavailable(text)

    def _read_layout(self, path, traffic_map, unowned_map):
        """struct traffic as compiled into the program, shared by both maps."""
        L = self.bpf
        btf = L.bpf_object__btf(self.obj)
        type_id = L.bpf_map__btf_value_type_id(traffic_map)
        if not btf or not type_id:
            raise BackendUnavailable("program file %s lacks the type information of its maps" % path)
        if L.bpf_map__btf_value_type_id(unowned_map) != type_id:
            raise BackendUnavailable("program file %s: its maps hold different values" % path)
        try:
            layout = ValueLayout(L, btf, type_id, TRAFFIC_FIELDS)
        except LayoutError as e:
            raise BackendUnavailable("program file %s: unexpected process counters: %s" % (path, e))
        if layout.size != L.bpf_map__value_size(traffic_map):
            raise BackendUnavailable("program file %s: unexpected process counters" % path)
        return layout

    def _load(self, path, attachment, kernel, notes=True):
        L = self.bpf
        self.obj = L.bpf_object__open_file(path.encode(), None)
        if not self.obj:
            self._fail("cannot open %s" % path, ctypes.get_errno())
        # Only this attachment's programs are loaded: the others' hooks may not exist here.
        chosen = set(attachment.counters + PROGRAM_TRACERS)
        chosen.update(p for p in attachment.optional_counters
                      if kernel is None or hooked_function(p) in kernel)
        if notes:
            chosen.update(attachment.cgroup_notes)
            chosen.update(tracepoint_notes_names(attachment))
            chosen.update(p for p in attachment.notes if kernel is None or hooked_function(p) in kernel)
        for name in (TRACEPOINTS.programs + FEXIT.programs + PROGRAM_TRACERS):
            prog = L.bpf_object__find_program_by_name(self.obj, name)
            if not prog:
                if name in attachment.counters:
                    raise BackendUnavailable("program file %s lacks %s" % (path, name.decode()))
                continue
            L.bpf_program__set_autoload(prog, name in chosen)
        traffic_map = L.bpf_object__find_map_by_name(self.obj, b"traffic")
        unowned_map = L.bpf_object__find_map_by_name(self.obj, b"unowned")
        if not traffic_map or not unowned_map:
            raise BackendUnavailable("program file %s lacks its maps" % path)
        self.layout = self._read_layout(path, traffic_map, unowned_map)
        self._read_program_layout(path)
        self.keys = (ctypes.c_uint32 * self.capacity)()
        self.values = ctypes.create_string_buffer(self.layout.size * self.capacity)
        self.value = ctypes.create_string_buffer(self.layout.size)
        err = L.bpf_map__set_max_entries(traffic_map, self.capacity)
        if err:
            self._fail("sizing the process map failed", err)
        err = L.bpf_object__load(self.obj)
        if err:
            if abs(err) == errno.EPERM:
                raise BackendUnavailable("the kernel refused to load its programs (EPERM)")
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
        for prog_name in attachment.counters + attachment.optional_counters:
            prog = L.bpf_object__find_program_by_name(self.obj, prog_name)
            if not prog or not L.bpf_program__autoload(prog):
                continue
            link = L.bpf_program__attach(prog)
            if not link:
                err = ctypes.get_errno()
                if err == errno.ENOENT and attachment is TRACEPOINTS:
                    raise BackendUnavailable("kernel lacks the sock_send_length/sock_recv_length "
                                             "tracepoints (Linux 6.3 or later)")
                if err == errno.EPERM:
                    raise BackendUnavailable("the kernel refused to attach %s (EPERM)" % prog_name.decode())
                self._fail("attaching %s failed" % prog_name.decode(), err)
            self.links.append(link)
        if notes:
            self._attach_datagram_notes(attachment)
        self._attach_program_tracers()

    def _attach_datagram_notes(self, attachment):
        """The hooks that tell an unconnected socket's local datagrams apart; without them
        those datagrams are counted, and the first line says so."""
        L = self.bpf
        missing = []
        for prog_name in attachment.notes:
            prog = L.bpf_object__find_program_by_name(self.obj, prog_name)
            link = L.bpf_program__attach(prog) if prog and L.bpf_program__autoload(prog) else None
            if not link:
                missing.append("%s unavailable" % hooked_function(prog_name))
                continue
            self.links.append(link)
        if attachment.cgroup_notes:
            why = None
            root = cgroup2_root()
            if root is None:
                why = "no cgroup v2 mounted"
            else:
                try:
                    self.cgroup_fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
                except OSError as e:
                    why = "cannot open %s: %s" % (root, e.strerror)
            for prog_name in attachment.cgroup_notes:
                if why is not None:
                    break
                prog = L.bpf_object__find_program_by_name(self.obj, prog_name)
                link = L.bpf_program__attach_cgroup(prog, self.cgroup_fd) if prog else None
                if not link:
                    why = "attaching to the cgroup v2 root failed: %s" % os.strerror(ctypes.get_errno())
                    break
                self.links.append(link)
            if why is not None:
                missing.append(why)
        if missing:
            self.caveats.append("loopback datagrams of unconnected UDP sockets counted: %s"
                                % ", ".join(missing))
            return
        for prog_name, tracepoint in attachment.tracepoint_notes:
            prog = L.bpf_object__find_program_by_name(self.obj, prog_name)
            link = L.bpf_program__attach(prog) if prog else None
            if not link:
                self.caveats.append("tracepoint %s unusable (%s): a loopback datagram dropped for a "
                                    "full receive buffer may leave a later one of its size uncounted"
                                    % (tracepoint, os.strerror(ctypes.get_errno())))
                continue
            self.links.append(link)

    @staticmethod
    def _own_root():
        """(kernel dev_t, inode) of our root directory, as struct program holds them."""
        try:
            st = os.stat("/")
        except OSError:
            return None
        return (os.major(st.st_dev) << 20) | os.minor(st.st_dev), st.st_ino

    def _read_program_layout(self, path):
        """The programs map is optional: without it the programs come from /proc alone."""
        L = self.bpf
        programs_map = L.bpf_object__find_map_by_name(self.obj, b"programs")
        btf = L.bpf_object__btf(self.obj)
        if not programs_map or not btf:
            return
        try:
            layout = ValueLayout(L, btf, L.bpf_map__btf_value_type_id(programs_map), PROGRAM_FIELDS)
        except LayoutError as e:
            say("program file %s: unexpected program records (%s); programs read from /proc only"
                % (path, e))
            return
        if layout.size == L.bpf_map__value_size(programs_map):
            self.program_layout = layout
            self.program_value = ctypes.create_string_buffer(layout.size)

    def _attach_program_tracers(self):
        """Exec, fork and exit tracepoints; then the processes already running from /proc."""
        L = self.bpf
        if self.program_layout is not None:
            self.programs_fd = L.bpf_object__find_map_fd_by_name(self.obj, b"programs")
            self.forks_fd = L.bpf_object__find_map_fd_by_name(self.obj, b"forks")
            for prog_name in PROGRAM_TRACERS:
                prog = L.bpf_object__find_program_by_name(self.obj, prog_name)
                link = L.bpf_program__attach(prog) if prog else None
                if not link:
                    say("attaching %s failed: programs of short processes may be missed"
                        % prog_name.decode())
                    continue
                self.links.append(link)
        self.started_with = programs.startup_programs()

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

    def _read_all(self):
        """All entries of the kernel map: {pid: (comm, tx, rx)}, cumulative."""
        L = self.bpf
        entries = {}
        out_batch = ctypes.c_uint32(0)
        in_batch = None
        size = self.layout.size
        while True:
            count = ctypes.c_uint32(self.capacity)
            err = L.bpf_map_lookup_batch(self.traffic_fd, in_batch, ctypes.byref(out_batch),
                                         self.keys, self.values, ctypes.byref(count), None)
            n = count.value
            raw = self.values.raw[:n * size]
            for i, (tx, rx, comm) in enumerate(self.layout.iter_unpack(raw)):
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
        out = Counts()
        entries = self._read_all()
        for pid, (comm, tx, rx) in entries.items():
            self._delta(out, pid, comm, tx, rx)
            self.seen[pid] = (tx, rx)
        for pid in [p for p in self.seen if p not in entries]:
            del self.seen[pid]
            self.program_of.pop(pid, None)
        self.reports += 1
        nearly_full = len(entries) > self.capacity * 3 // 4
        if self.reports % REAP_EVERY == 0 or nearly_full:
            self._reap(out, entries)
        self._collect_unowned(out)
        self._add_programs(out)
        for pid in self.reaped:
            self._forget(pid)
        self.reaped = []
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
        if self.bpf is None:
            return
        for link in self.links:
            self.bpf.bpf_link__destroy(link)
        self.links = []
        self.caveats = []
        if self.cgroup_fd >= 0:
            os.close(self.cgroup_fd)
            self.cgroup_fd = -1
        if self.obj:
            self.bpf.bpf_object__close(self.obj)
            self.obj = None
        self.traffic_fd = self.unowned_fd = self.programs_fd = self.forks_fd = -1
        self.program_layout = self.program_value = None
