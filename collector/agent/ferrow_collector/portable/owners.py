"""Who owns a socket: inode -> pid from /proc/<pid>/fd, and the name of every pid seen."""

import collections
import os

from .. import programs
from . import procfs

# An inode not found by a full /proc scan is not searched again for this long.
MISSING_RETRY = 30.0
# Scans look at this many of the last pids handed out before anything else.
LAST_PIDS = 16
# Programs remembered at most (processes that exec'd or owned sockets lately).
PROGRAM_LIMIT = 16384


class LookupThrottle:
    """Owner lookups triggered by traffic of an unknown owner: at most one a second per key."""

    def __init__(self):
        self.when = {}  # key -> when traffic made us look for its owner

    def due(self, key, now):
        """True (and noted) when the owner of `key` may be looked for now."""
        if now - self.when.get(key, -1e9) >= 1.0:
            self.when[key] = now
            return True
        return False

    def bound(self, limit=4096):
        if len(self.when) > limit:
            self.when = {}

    def clear(self):
        self.when = {}


class Owners:
    """Socket inode -> pid from /proc/<pid>/fd, and the name of every pid seen."""

    def __init__(self, proc="/proc"):
        self.proc = proc
        self.inode_pid = {}
        self.comm = {}
        # pid -> (exe, args), read while the process lived (programs.py)
        self.program = {}
        # pids that forked or exec'd recently (newest last), from the proc connector
        self.recent = collections.OrderedDict()
        # pids that owned sockets (most recent last): likely owners of the next ones
        self.owners = collections.OrderedDict()
        self.missing = {}  # inode -> when a full scan did not find it
        self.live_inodes = set()  # socket inodes in the dumps since the last prune

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

    def read_program(self, pid):
        program = programs.from_proc(pid, self.proc)
        if program is not None:
            self.program.pop(pid, None)
            self.program[pid] = program
            if len(self.program) > PROGRAM_LIMIT:  # between prunes: the oldest half goes
                for old in list(self.program)[:PROGRAM_LIMIT // 2]:
                    del self.program[old]
        return program

    def program_of(self, pid):
        """The program of a pid with traffic: as read while it lived, or now."""
        program = self.program.get(pid)
        if program is None:
            program = self.read_program(pid)
        return program

    def inherit_program(self, child, parent):
        """A child forked without exec runs its parent's program."""
        program = self.program.get(parent)
        if program is not None:
            self.program[child] = program
        else:
            self.program.pop(child, None)

    def read_comm(self, pid):
        raw = procfs.read("%s/%d/comm" % (self.proc, pid))
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
            last = int(procfs.read("%s/sys/kernel/ns_last_pid" % self.proc) or 0)
        except ValueError:
            last = 0
        for pid in range(last, max(last - LAST_PIDS, 0), -1):
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
        raw = procfs.read("%s/%d/status" % (self.proc, pid)) or b""
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
                if given_up is None or now - given_up >= MISSING_RETRY:
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
                self.read_program(pid)
                self.note_owner(pid)
                if not wanted:
                    break
        if not quick:
            for ino in wanted:
                self.missing[ino] = now
        return found

    def resolve_dumped(self, inodes, now, quick=False):
        """The sockets of a dump: noted as alive, and their owners found."""
        self.live_inodes.update(inodes)
        self.resolve(inodes, now, quick)

    def prune(self, now):
        """Forgets the sockets not seen in the dumps since the last prune."""
        live_inodes, self.live_inodes = self.live_inodes, set()
        self.inode_pid = {i: p for i, p in self.inode_pid.items() if i in live_inodes}
        self.missing = {i: t for i, t in self.missing.items() if now - t < MISSING_RETRY}
        keep = set(self.inode_pid.values()) | set(self.owners) | set(self.recent)
        if len(self.comm) > 8192:
            self.comm = {p: c for p, c in self.comm.items() if p in keep}
        if len(self.program) > 8192:
            self.program = {p: c for p, c in self.program.items() if p in keep}
