"""UDP payload per process: captured packets counted per local port, each port's owner
from sock_diag dumps. The captured TCP SYNs are handed on to the TCP side."""

import errno
import socket
import struct

from .addresses import is_group, is_loopback
from .capture import SNAPLEN
from .sock_diag import EAGER_GAP, UDP_STATES
from .talkers import TALKER_WINDOW, Talkers


class UdpTraffic:
    """Ports seen in this interval's packets, settled into `tally` at each report.

    connecting(family, src, sport, dst, dport, now) is called for every outgoing SYN,
    accepting(family, local, port, now) for every incoming one."""

    def __init__(self, diag, owners, links, tally, lookups, connecting, accepting):
        self.diag = diag
        self.owners = owners
        self.links = links
        self.tally = tally
        self.lookups = lookups
        self.connecting = connecting
        self.accepting = accepting
        self.ports = {}       # (family, port) -> [tx, rx, local address, remote endpoint, to a group, since]
        self.port_owner = {}  # (family, port) -> (pid, when), from the UDP dumps
        self.talkers = Talkers()
        self.last_dump = -1e9
        self.pkt = bytearray(SNAPLEN)

    def read_packets(self, capture, now):
        buf, outgoing, udp, links = self.pkt, capture.outgoing, self.ports, self.links
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
                    if not links.excluded(dst):
                        self.connecting(family, src, sport, dst, dport, now)
                elif not links.excluded(src):
                    self.accepting(family, dst, dport, now)
                continue
            if length < 8:
                continue
            if outgoing:
                local, lport, remote, rport = src, sport, dst, dport
            else:
                local, lport, remote, rport = dst, dport, src, sport
            group = False
            if not links.include_local and (is_loopback(remote) or remote in links.local):
                continue
            if local not in links.local:
                if outgoing or not (is_group(local) or local in links.broadcast):
                    continue  # forwarded traffic, not a process of this host
                group = True
            key = (family, lport)
            entry = udp.get(key)
            if entry is None:
                entry = udp[key] = [0, 0, local, (remote, rport), group, now]
                if key not in self.port_owner and self.lookups.due(key, now):
                    unknown = True
            entry[0 if outgoing else 1] += length - 8
            entry[3] = (remote, rport)
        if unknown:
            self.dump(now, quick=True)  # while the socket is surely still open

    def dump(self, now, quick=False):
        """Local port -> owner of every UDP socket now open."""
        self.last_dump = now
        rows = self.diag.dump(socket.IPPROTO_UDP, UDP_STATES)
        self.owners.resolve_dumped([row[6] for row in rows], now, quick)
        for family, sport, _dport, _src, _dst, _cookie, inode, _tx, _rx in rows:
            pid = self.owners.inode_pid.get(inode)
            if pid is not None:
                self.port_owner[(family, sport)] = (pid, now)

    def pid(self, key, now):
        family, port = key
        for k in ((family, port), (socket.AF_INET6, port)):
            owner = self.port_owner.get(k)
            if owner is not None and now - owner[1] <= TALKER_WINDOW:
                return owner[0]
        return None

    def settle(self, now):
        if not self.ports:
            return
        # The owners of this interval's ports: the dumps at their first packets looked only
        # at the likeliest processes; look everywhere for those still unknown.
        if any(self.pid(key, now) is None for key in self.ports) or \
                now - self.last_dump >= EAGER_GAP:
            self.dump(now)
        udp, self.ports = self.ports, {}
        for key, (tx, rx, _local, remote, group, first) in udp.items():
            pid = self.pid(key, now)
            if pid is not None:
                self.talkers.note(remote, pid, now)
            elif group:
                continue  # broadcast or multicast no process here listens to
            else:
                pid = self.talkers.only(remote, now, first)
            self.tally.count(pid if pid is not None else 0, tx, rx)

    def prune(self, now):
        self.talkers.prune(now)
        self.port_owner = {k: v for k, v in self.port_owner.items() if now - v[1] <= TALKER_WINDOW}
