"""The program a process runs, learnt while it lives: the daemon names the application
from it when the process is gone before the daemon looks at /proc.

A program is a pair (exe, args): the executable's path as /proc/<pid>/exe gives it,
and the start of the argument list (a tuple of strings, CMDLINE_LIMIT bytes at most),
which names the script of an interpreter."""

import os

# Bytes of the argument list read and reported; an argument cut short is left out.
CMDLINE_LIMIT = 2048
# Programs remembered for processes that were running when the collector started.
STARTUP_LIMIT = 16384


# Distinct programs seen lately, each kept once: the many processes of one program
# (a server's workers, a build's compilers) share one (exe, args) instead of a copy
# each. Cleared when full, so that it holds on to few programs that are gone.
SHARED_LIMIT = 1024
_shared = {}


def _share(program):
    found = _shared.get(program)
    if found is None:
        if len(_shared) >= SHARED_LIMIT:
            _shared.clear()
        found = _shared[program] = program
    return found


def _text(raw):
    return raw.decode("utf-8", "replace")


def split_args(raw, cut):
    """The NUL-separated arguments in raw; cut: raw ends inside an argument."""
    parts = raw.split(b"\0")
    if cut or not parts[-1]:
        parts.pop()  # an argument cut short, or the empty piece after the final NUL
    return tuple(_text(p) for p in parts)


def from_proc(pid, proc="/proc"):
    """(exe, args) of a live process, or None when it is gone or unreadable."""
    raw = b""
    try:
        fd = os.open(b"%s/%d/cmdline" % (proc.encode(), pid), os.O_RDONLY | os.O_CLOEXEC)
    except OSError:
        fd = -1
    if fd >= 0:
        try:
            raw = os.read(fd, CMDLINE_LIMIT + 1)
        except OSError:
            raw = b""
        finally:
            os.close(fd)
    # The link after the arguments: if it still reads, they were the process's own
    # (both go when the exiting process releases its memory).
    try:
        exe = os.readlink(b"%s/%d/exe" % (proc.encode(), pid))
    except OSError:
        return None
    cut = len(raw) > CMDLINE_LIMIT
    return _share((_text(exe), split_args(raw[:CMDLINE_LIMIT], cut)))


def from_exec(path, args, args_cut, resolve=os.path.realpath):
    """(exe, args) from what the kernel recorded at the exec: path is the file run
    (bytes, absolute), args the start of its argument list. None for a path that does
    not name one file for every process (relative, or a descriptor's)."""
    if not path.startswith(b"/") or path.startswith((b"/proc/", b"/dev/fd/")):
        return None
    # /proc/<pid>/exe shows the file with every symbolic link resolved.
    exe = resolve(path)
    return _share((_text(exe), split_args(args[:CMDLINE_LIMIT], args_cut or len(args) > CMDLINE_LIMIT)))


def startup_programs(proc="/proc", limit=STARTUP_LIMIT):
    """{pid: (exe, args)} of the processes running now (kernel threads have none)."""
    found = {}
    try:
        names = os.listdir(proc)
    except OSError:
        return found
    for name in names:
        if not name.isdigit():
            continue
        program = from_proc(int(name), proc)
        if program is not None:
            found[int(name)] = program
            if len(found) >= limit:
                break
    return found


def members(program):
    """The members a process object carries for its program."""
    exe, args = program
    return {"exe": exe, "cmdline": list(args)}
