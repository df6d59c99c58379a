"""Packet capture for the UDP payload: packet sockets with a classic BPF filter that
lets only UDP headers and the SYNs opening TCP connections reach Python."""

import ctypes
import socket
import struct

from .netlink import SO_RCVBUFFORCE

SOL_PACKET = 263
PACKET_STATISTICS = 6
SO_ATTACH_FILTER = 26
ETH_P_ALL = 0x0003
PACKET_OUTGOING = 4
# Bytes kept of each packet: enough for the IP and transport headers.
SNAPLEN = 128


def capture_filter(outgoing, ifindexes):
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
        op(JEQ, PACKET_OUTGOING, None, "drop")
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
    op(RET, SNAPLEN)
    labels["drop"] = len(prog)
    op(RET, 0)
    raw = b""
    for i, (code, jt, jf, k) in enumerate(prog):
        t = labels[jt] - i - 1 if jt else 0
        f = labels[jf] - i - 1 if jf else 0
        raw += struct.pack("=HBBI", code, t, f, k)
    return raw, len(prog)


class Capture:
    """One packet socket for one direction: UDP headers and TCP SYNs."""

    def __init__(self, outgoing):
        self.outgoing = outgoing
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM | socket.SOCK_CLOEXEC,
                                  socket.htons(ETH_P_ALL))
        self.sock.setblocking(False)
        try:
            self.sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 16 << 20)
        except OSError:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16 << 20)
        self.filter_buf = None
        self.ifindexes = None

    def set_filter(self, ifindexes):
        ifindexes = frozenset(ifindexes)
        if ifindexes == self.ifindexes:
            return
        raw, count = capture_filter(self.outgoing, ifindexes)
        # The program must stay alive while the kernel copies it.
        self.filter_buf = ctypes.create_string_buffer(raw, len(raw))
        fprog = struct.pack("HL", count, ctypes.addressof(self.filter_buf))
        self.sock.setsockopt(socket.SOL_SOCKET, SO_ATTACH_FILTER, fprog)
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
            raw = self.sock.getsockopt(SOL_PACKET, PACKET_STATISTICS, 8)
        except OSError:
            return 0
        return struct.unpack("=II", raw)[1]

    def close(self):
        self.sock.close()
