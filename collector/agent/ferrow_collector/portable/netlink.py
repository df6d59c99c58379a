"""Netlink request/dump exchanges, as used for sock_diag and rtnetlink."""

import os
import socket
import struct

NETLINK_ROUTE = 0
NETLINK_SOCK_DIAG = 4
NETLINK_CONNECTOR = 11
NLM_F_DUMP_REQUEST = 0x301
NLMSG_ERROR, NLMSG_DONE = 2, 3
NLMSG = struct.Struct("=IHHII")
# A receive buffer beyond net.core.rmem_max (needs CAP_NET_ADMIN).
SO_RCVBUFFORCE = 33


def attrs(data, off, end):
    """Yields (type, start, length) of the netlink attributes in data[off:end]."""
    while off + 4 <= end:
        length, kind = struct.unpack_from("=HH", data, off)
        if length < 4:
            return
        yield kind & 0x3FFF, off + 4, length - 4
        off += (length + 3) & ~3


class Netlink:
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
        self.sock.send(NLMSG.pack(NLMSG.size + len(body), msg_type,
                                  NLM_F_DUMP_REQUEST, self.seq, 0) + body)
        while True:
            n = self.sock.recv_into(self.buf)
            data = bytes(self.buf[:n])
            off = 0
            while off + NLMSG.size <= n:
                length, kind, _flags, seq, _pid = NLMSG.unpack_from(data, off)
                if length < NLMSG.size:
                    break
                if seq == self.seq:
                    if kind == NLMSG_DONE:
                        return
                    if kind == NLMSG_ERROR:
                        err = -struct.unpack_from("=i", data, off + 16)[0]
                        if err:
                            raise OSError(err, os.strerror(err))
                        return
                    on_message(kind, data, off + NLMSG.size, off + length)
                off += (length + 3) & ~3

    def query(self, msg_type, body, on_message):
        """Sends one request for a single object; calls on_message for the answer."""
        self.seq += 1
        self.sock.send(NLMSG.pack(NLMSG.size + len(body), msg_type, 1, self.seq, 0) + body)
        while True:
            n = self.sock.recv_into(self.buf)
            data = bytes(self.buf[:n])
            length, kind, _flags, seq, _pid = NLMSG.unpack_from(data, 0)
            if seq != self.seq:
                continue  # a late answer to an earlier request
            if kind == NLMSG_ERROR:
                err = -struct.unpack_from("=i", data, 16)[0]
                if err:
                    raise OSError(err, os.strerror(err))
                return
            on_message(kind, data, NLMSG.size, min(length, n))
            return

    def close(self):
        self.sock.close()
