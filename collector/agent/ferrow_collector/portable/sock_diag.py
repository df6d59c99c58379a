"""The kernel's socket diagnostics (sock_diag): dumps of the open sockets with their
counters, single-socket queries, and the notifications of closing TCP sockets."""

import errno
import socket
import struct

from .addresses import addr
from .netlink import NETLINK_SOCK_DIAG, NLMSG, SO_RCVBUFFORCE, Netlink, attrs

SOCK_DIAG_BY_FAMILY = 20
DIAG_REQ = struct.Struct("=BBBBI48x")
DIAG_INFO = 2
# States asked of the kernel: every connected state (no TIME_WAIT, CLOSE or LISTEN).
TCP_LIVE = 0xB3E
TCP_LISTEN = 1 << 10
UDP_STATES = (1 << 1) | (1 << 7)
# Close notification groups INET_TCP (1) and INET6_TCP (3).
TCP_DESTROY_GROUPS = (1 << 0) | (1 << 2)
# Extra dumps triggered by traffic of unknown owners are at most this frequent.
EAGER_GAP = 0.25


def parse_diag(data, off, end, with_info, closed=False):
    """One inet_diag_msg: (family, sport, dport, src, dst, cookie, inode, tx, rx)."""
    family, state = data[off], data[off + 1]
    sport, dport = struct.unpack_from("!HH", data, off + 4)
    src = addr(data[off + 8:off + 24], family)
    dst = addr(data[off + 24:off + 40], family)
    lo, hi = struct.unpack_from("=II", data, off + 44)
    inode = struct.unpack_from("=I", data, off + 68)[0]
    tx = rx = None
    if with_info:
        for kind, start, length in attrs(data, off + 72, end):
            # tcp_info: bytes_received @128, bytes_sent @200, bytes_retrans @208.
            if kind == DIAG_INFO and length >= 216:
                rx = struct.unpack_from("=Q", data, start + 128)[0]
                sent, retrans = struct.unpack_from("=QQ", data, start + 200)
                tx = sent - retrans
                # bytes_received counts the peer's FIN: once in CLOSE_WAIT, LAST_ACK or
                # CLOSING, and (nearly always) in a closed socket's final counters.
                if rx and (closed or state in (8, 9, 11)):
                    rx -= 1
                break
    return family, sport, dport, src, dst, lo | (hi << 32), inode, tx, rx


def diag_request(family, protocol, ext, states):
    return DIAG_REQ.pack(family, protocol, ext, 0, states)


class SockDiag:
    """Dumps and queries of Internet sockets; rows as parse_diag() makes them."""

    def __init__(self):
        self.netlink = Netlink(NETLINK_SOCK_DIAG)

    def dump(self, protocol, states, with_info=False):
        """Every socket of `protocol` in `states`, IPv4 then IPv6; with_info: with the
        TCP payload counters."""
        rows = []

        def on_message(kind, data, start, end):
            if kind == SOCK_DIAG_BY_FAMILY:
                rows.append(parse_diag(data, start, end, with_info))
        ext = 1 << (DIAG_INFO - 1) if with_info else 0
        for family in (socket.AF_INET, socket.AF_INET6):
            self.netlink.dump(SOCK_DIAG_BY_FAMILY, diag_request(family, protocol, ext, states), on_message)
        return rows

    def find_tcp(self, family, src, sport, dst, dport):
        """The TCP socket of one connection (no counters). Raises OSError when it is gone."""
        rows = []

        def on_message(kind, data, start, end):
            if kind == SOCK_DIAG_BY_FAMILY:
                rows.append(parse_diag(data, start, end, False))
        src16, dst16 = (src, dst) if family == socket.AF_INET6 else (src + bytes(12), dst + bytes(12))
        request = (diag_request(family, socket.IPPROTO_TCP, 0, 0xFFF)[:8]
                   + struct.pack("!HH", sport, dport) + src16 + dst16
                   + struct.pack("=III", 0, 0xFFFFFFFF, 0xFFFFFFFF))
        self.netlink.query(SOCK_DIAG_BY_FAMILY, request, on_message)
        return rows

    def close(self):
        self.netlink.close()


class CloseNotifications:
    """The final counters of every TCP socket that closes (needs CAP_NET_ADMIN)."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW | socket.SOCK_CLOEXEC
                                  | socket.SOCK_NONBLOCK, NETLINK_SOCK_DIAG)
        try:
            try:
                self.sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 8 << 20)
            except OSError:
                pass
            self.sock.bind((0, TCP_DESTROY_GROUPS))
        except OSError:
            self.sock.close()
            raise
        self.buf = bytearray(1 << 17)
        self.lost = 0  # times notifications were lost for want of buffer space

    def fileno(self):
        return self.sock.fileno()

    def read(self):
        """Yields the rows (with counters) of the sockets closed since the last read."""
        for _ in range(256):
            try:
                n = self.sock.recv_into(self.buf)
            except (BlockingIOError, InterruptedError):
                return
            except OSError as e:
                if e.errno == errno.ENOBUFS:
                    self.lost += 1
                    continue
                raise
            data = bytes(self.buf[:n])
            off = 0
            while off + NLMSG.size <= n:
                length, kind = NLMSG.unpack_from(data, off)[:2]
                if length < NLMSG.size:
                    break
                if kind == SOCK_DIAG_BY_FAMILY:
                    yield parse_diag(data, off + NLMSG.size, off + length, True, True)
                off += (length + 3) & ~3

    def close(self):
        self.sock.close()
