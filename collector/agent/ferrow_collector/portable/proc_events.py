"""The proc connector's fork/exec/exit/comm events: which processes are new, so that
owner scans look at them first, and the program each one runs."""

import errno
import os
import socket
import struct

from ..log import say
from .netlink import NETLINK_CONNECTOR, NLMSG, NLMSG_DONE

CN_IDX_PROC = 1
PROC_FORK, PROC_EXEC, PROC_COMM, PROC_EXIT = 0x1, 0x2, 0x200, 0x80000000


class ProcEvents:
    """A subscription to the proc connector; read() hands the events to an Owners."""

    def __init__(self, sock):
        self.sock = sock

    @classmethod
    def open(cls):
        """The subscription, or None (saying why); only in the initial network namespace."""
        try:
            if os.stat("/proc/self/ns/net").st_ino != os.stat("/proc/1/ns/net").st_ino:
                say("portable: not in the initial network namespace, process events off "
                    "(socket owners found by scanning /proc)")
                return None
        except OSError:
            pass
        sock = None
        try:
            sock = socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM | socket.SOCK_CLOEXEC
                                 | socket.SOCK_NONBLOCK, NETLINK_CONNECTOR)
            sock.bind((0, CN_IDX_PROC))
            cn_msg = struct.pack("=IIIIHHI", CN_IDX_PROC, 1, 0, 0, 4, 0, 1)  # listen
            sock.send(NLMSG.pack(NLMSG.size + len(cn_msg), NLMSG_DONE, 0, 0, 0) + cn_msg)
            return cls(sock)
        except OSError as e:
            if sock is not None:
                sock.close()
            say("portable: process events unavailable (%s), socket owners found by scanning /proc"
                % (e.strerror or e))
            return None

    def fileno(self):
        return self.sock.fileno()

    def read(self, owners):
        for _ in range(256):
            try:
                data = self.sock.recv(4096)
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
            if what == PROC_FORK and len(data) >= 68:
                parent_tgid, child_pid, child_tgid = struct.unpack_from("=III", data, 56)
                if child_pid == child_tgid:
                    owners.note_new_pid(child_tgid)
                    owners.inherit_program(child_tgid, parent_tgid)
                continue
            pid, tgid = struct.unpack_from("=II", data, 52)
            if pid != tgid:
                continue  # a thread
            if what == PROC_EXEC:
                owners.note_new_pid(tgid)
                owners.read_program(tgid)  # at once: a short process is gone in milliseconds
                if tgid in owners.comm:
                    owners.read_comm(tgid)  # a new program, a new name
            elif what == PROC_EXIT:
                owners.note_exit(tgid)  # its name stays known
            elif what == PROC_COMM and len(data) >= 76 and tgid in owners.comm:
                owners.comm[tgid] = data[60:76].split(b"\0", 1)[0].decode("utf-8", "replace")

    def close(self):
        self.sock.close()
