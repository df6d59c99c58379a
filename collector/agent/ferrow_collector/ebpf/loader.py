"""Opening, loading and attaching ferrow_monitor.bpf.o, done in a short-lived child process.

Adapting the program to the running kernel (CO-RE) makes libbpf parse the kernel's whole
BTF (/sys/kernel/btf/vmlinux, several MB), which about doubles the memory of a process
for a moment. The collector therefore forks before it has any threads; the child loads
and attaches the program and hands back, over a socket pair, the descriptors the
collector needs for its life (the maps it reads and the links of the attached programs)
and, as JSON, what it learnt from the program file. An attached program stays attached
while any descriptor of its link is open, so the collector's copies keep the counting
going after the child has exited, and closing them detaches the programs.

The child dies with the collector (a parent-death signal), ignores SIGTERM and SIGINT
(the collector decides when to stop: a stop request waits for the child's answer, then
ends the collector cleanly), and is reaped before the answer is used."""

import ctypes
import errno
import marshal
import os
import signal
import socket

from .. import log
from ..backend import BackendUnavailable
from ..log import say
from .btf import LayoutError, ValueLayout

KERNEL_BTF = "/sys/kernel/btf/vmlinux"
# The fields of struct traffic the collector reads; their layout comes from the program file.
TRAFFIC_FIELDS = ("tx", "rx", "comm")
# The fields of struct program (what an exec recorded) the collector reads.
PROGRAM_FIELDS = ("root_dev", "root_ino", "path_len", "args_len", "path", "args")
PROGRAM_TRACERS = (b"note_exec", b"note_fork", b"note_exit")
# The maps the collector reads and deletes from; programs and forks are optional.
KEPT_MAPS = ("traffic", "unowned", "programs", "forks")
BTF_KIND_TYPEDEF = 8
BTF_KIND_FUNC = 12
PR_SET_PDEATHSIG = 1
# The child's answer: its JSON (a few KB) and at most this many descriptors.
ANSWER_LIMIT = 1 << 16
DESCRIPTOR_LIMIT = 64


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


class ProgramLoader:
    """Loads the program with the first of the wanted attachments this kernel can run.

    Runs in the child only: it holds the bpf_object and the kernel's BTF. run() returns
    (what the collector needs as plain data, the descriptors it keeps) or raises
    BackendUnavailable with one "<attachment> unusable: <why>" reason per attachment."""

    def __init__(self, bpf, path, wanted, capacity, include_local):
        self.bpf = bpf
        self.path = path
        self.wanted = wanted
        self.capacity = capacity
        self.include_local = include_local
        self.obj = None
        self.links = []
        self.cgroup_fd = -1
        self.caveats = []
        self.traffic_layout = self.program_layout = None

    def run(self):
        kernel = self._kernel_functions()
        reasons = []
        for attachment in self.wanted:
            label = "%s unusable" % attachment.label
            why = self._missing(attachment, kernel)
            if why is None:
                why = self._load_either(attachment, kernel)
                if why is None:
                    return self._handover(attachment, reasons)
            reasons.append("%s: %s" % (label, why))
        error = BackendUnavailable("; ".join(reasons))
        error.reasons = reasons
        raise error

    def _handover(self, attachment, passed_over):
        maps, fds = [], []
        for name in KEPT_MAPS:
            fd = self.bpf.bpf_object__find_map_fd_by_name(self.obj, name.encode())
            if fd >= 0 and (name in ("traffic", "unowned") or self.program_layout is not None):
                maps.append(name)
                fds.append(fd)
        for link in self.links:
            fd = self.bpf.bpf_link__fd(link)
            if fd < 0:
                raise BackendUnavailable("attaching the eBPF program failed: a link without a descriptor")
            fds.append(fd)
        data = {
            "attachment": attachment.key,
            "passed_over": passed_over,
            "caveats": self.caveats,
            "traffic_layout": self.traffic_layout.describe(),
            "program_layout": self.program_layout.describe() if self.program_layout else None,
            "maps": maps,
            "links": len(self.links),
        }
        return data, fds

    def _load_either(self, attachment, kernel):
        """Loads the attachment, else once more without the hooks that only tell local
        datagrams apart (they then count, and the first line says so). None when loaded,
        else why not."""
        try:
            self._load(attachment, kernel)
            return None
        except BackendUnavailable as e:
            self.close()
            why = str(e)
        if not attachment.notes and not attachment.cgroup_notes:
            return why
        try:
            self._load(attachment, kernel, notes=False)
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

    def _read_layout(self, traffic_map, unowned_map):
        """struct traffic as compiled into the program, shared by both maps."""
        L, path = self.bpf, self.path
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

    def _read_program_layout(self):
        """The programs map is optional: without it the programs come from /proc alone."""
        L = self.bpf
        self.program_layout = None
        programs_map = L.bpf_object__find_map_by_name(self.obj, b"programs")
        btf = L.bpf_object__btf(self.obj)
        if not programs_map or not btf:
            return
        try:
            layout = ValueLayout(L, btf, L.bpf_map__btf_value_type_id(programs_map), PROGRAM_FIELDS)
        except LayoutError as e:
            say("program file %s: unexpected program records (%s); programs read from /proc only"
                % (self.path, e))
            return
        if layout.size == L.bpf_map__value_size(programs_map):
            self.program_layout = layout

    def _load(self, attachment, kernel, notes=True):
        L, path = self.bpf, self.path
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
        self.traffic_layout = self._read_layout(traffic_map, unowned_map)
        self._read_program_layout()
        err = L.bpf_map__set_max_entries(traffic_map, self.capacity)
        if err:
            self._fail("sizing the process map failed", err)
        err = L.bpf_object__load(self.obj)
        if err:
            if abs(err) == errno.EPERM:
                raise BackendUnavailable("the kernel refused to load its programs (EPERM)")
            self._fail("loading the eBPF program failed", err)
        traffic_fd = L.bpf_object__find_map_fd_by_name(self.obj, b"traffic")
        unowned_fd = L.bpf_object__find_map_fd_by_name(self.obj, b"unowned")
        settings_fd = L.bpf_object__find_map_fd_by_name(self.obj, b"settings")
        if min(traffic_fd, unowned_fd, settings_fd) < 0:
            raise BackendUnavailable("program file %s lacks its maps" % path)
        key, value = ctypes.c_uint32(0), ctypes.c_uint32(self.include_local)
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
                # A bpf_link (BPF_LINK_CREATE), not a bare attachment: it lasts as long as a
                # descriptor of it is open, also the collector's copy after the child is gone.
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

    def _attach_program_tracers(self):
        """Exec, fork and exit tracepoints (the collector reads /proc once it has them)."""
        L = self.bpf
        if self.program_layout is None:
            return
        for prog_name in PROGRAM_TRACERS:
            prog = L.bpf_object__find_program_by_name(self.obj, prog_name)
            link = L.bpf_program__attach(prog) if prog else None
            if not link:
                say("attaching %s failed: programs of short processes may be missed"
                    % prog_name.decode())
                continue
            self.links.append(link)

    def close(self):
        """Detaches and unloads what the last attempt left."""
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


# -- the child process --

def _die_with_parent(libc, parent):
    """SIGKILL once the collector is gone, also if it went before this was set."""
    libc.prctl(ctypes.c_int(PR_SET_PDEATHSIG), ctypes.c_ulong(signal.SIGKILL),
               ctypes.c_ulong(0), ctypes.c_ulong(0), ctypes.c_ulong(0))
    if os.getppid() != parent:
        os._exit(1)


def _child(sock, libc, parent, job):
    """What the child does: job() and its answer; never returns."""
    code = 1
    try:
        _die_with_parent(libc, parent)
        # The collector decides when to stop; this child only finishes its short job.
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        log.hold()
        fds = []
        try:
            data, fds = job()
            answer = {"loaded": data}
        except BackendUnavailable as e:
            answer = {"unavailable": str(e), "reasons": getattr(e, "reasons", None)}
        except OSError as e:
            answer = {"os_error": [e.errno, e.strerror or str(e), e.filename]}
        except Exception as e:
            answer = {"failed": "%s: %s" % (e.__class__.__name__, e)}
        answer["said"] = log.release()
        socket.send_fds(sock, [marshal.dumps(answer)], fds)
        code = 0
    finally:
        os._exit(code)


def _receive(sock):
    """(answer, descriptors): the child's message, its descriptors close-on-exec."""
    msg, ancdata, flags, _addr = sock.recvmsg(ANSWER_LIMIT, socket.CMSG_SPACE(DESCRIPTOR_LIMIT * 4),
                                              socket.MSG_CMSG_CLOEXEC)
    fds = []
    for level, kind, data in ancdata:
        if level == socket.SOL_SOCKET and kind == socket.SCM_RIGHTS:
            usable = len(data) - len(data) % 4
            fds.extend(memoryview(data[:usable]).cast("i"))
    if flags & (socket.MSG_TRUNC | socket.MSG_CTRUNC):
        close_all(fds)
        raise BackendUnavailable("the answer of the process loading the program was cut short")
    try:
        return (marshal.loads(msg) if msg else None), fds
    except (ValueError, EOFError, TypeError):
        close_all(fds)
        raise BackendUnavailable("the process loading the program answered garbage")


def _reap(pid):
    """The child's exit status, once it has ended."""
    try:
        return os.waitpid(pid, 0)[1]
    except ChildProcessError:
        return 0


def close_all(fds):
    for fd in fds:
        try:
            os.close(fd)
        except OSError:
            pass


def run_in_child(job):
    """Runs job() in a forked child and returns (data, descriptors) it handed over.

    job returns (data of plain values marshal carries, descriptors to hand over) or raises: BackendUnavailable
    comes back as the same exception (with its reasons), OSError as OSError, anything
    else as RuntimeError naming it. The lines the child said are said here, in order.
    Call it while the process has one thread only."""
    libc = ctypes.CDLL(None, use_errno=True)
    ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    parent = os.getpid()
    try:
        pid = os.fork()
    except OSError as e:
        ours.close()
        theirs.close()
        raise BackendUnavailable("cannot start the process that loads the program: %s" % e.strerror)
    if pid == 0:
        ours.close()
        _child(theirs, libc, parent, job)
    theirs.close()
    try:
        answer, fds = _receive(ours)
    finally:
        ours.close()
        status = _reap(pid)
    if answer is None:
        close_all(fds)
        if os.WIFSIGNALED(status):
            why = "killed by signal %d" % os.WTERMSIG(status)
        else:
            why = "exit status %d" % os.waitstatus_to_exitcode(status)
        raise BackendUnavailable("the process loading the program ended without an answer (%s)" % why)
    for line in answer.get("said", ()):
        say(line)
    if "loaded" in answer:
        return answer["loaded"], fds
    close_all(fds)
    if "unavailable" in answer:
        error = BackendUnavailable(answer["unavailable"])
        if answer.get("reasons"):
            error.reasons = answer["reasons"]
        raise error
    if "os_error" in answer:
        raise OSError(*answer["os_error"])
    raise RuntimeError(answer.get("failed", "the process loading the program failed"))
