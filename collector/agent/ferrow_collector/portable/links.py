"""The host's own addresses, and the interfaces whose packets are captured (rtnetlink)."""

import struct

from .addresses import addr, is_loopback
from .netlink import NETLINK_ROUTE, Netlink, attrs

RTM_NEWLINK, RTM_GETLINK = 16, 18
RTM_NEWADDR, RTM_GETADDR = 20, 22
# Addresses and interfaces are read again this often.
LINKS_EVERY = 5.0


class HostLinks:
    """Which traffic stays on this host, and where the host's own traffic is captured."""

    def __init__(self, include_local):
        self.include_local = include_local
        self.route = Netlink(NETLINK_ROUTE)
        self.local = set()
        self.broadcast = set()
        self.last_refresh = -1e9

    def excluded(self, remote):
        """Traffic with this remote address is not counted: loopback or the host itself."""
        return not self.include_local and (is_loopback(remote) or remote in self.local)

    def refresh(self, now):
        """Reads the host's own addresses; returns the indexes of the interfaces whose
        packets are captured: those holding an address (not only an IPv6 link-local one),
        but not bridge or bond ports nor loopback. A packet also seen on a VLAN's parent
        or a bridge port counts once."""
        self.last_refresh = now
        local, broadcast, addressed, excluded = set(), set(), set(), set()

        def on_addr(kind, data, start, end):
            if kind != RTM_NEWADDR:
                return
            family = data[start]
            index = struct.unpack_from("=I", data, start + 4)[0]
            for attr, at, length in attrs(data, start + 8, end):
                if attr in (1, 2) and length in (4, 16):  # IFA_ADDRESS, IFA_LOCAL
                    address = addr(data[at:at + length], family)
                    local.add(address)
                    if not (len(address) == 16 and address[0] == 0xFE and address[1] & 0xC0 == 0x80):
                        addressed.add(index)
                elif attr == 4 and length == 4:  # IFA_BROADCAST
                    broadcast.add(data[at:at + 4])

        def on_link(kind, data, start, end):
            if kind != RTM_NEWLINK:
                return
            index, flags = struct.unpack_from("=iI", data, start + 4)
            if flags & 0x8 and not self.include_local:  # IFF_LOOPBACK
                excluded.add(index)
            for attr, _at, _length in attrs(data, start + 16, end):
                if attr == 10:  # IFLA_MASTER: a bridge or bond port; counted on its master
                    excluded.add(index)
        self.route.dump(RTM_GETADDR, struct.pack("=BBBBI", 0, 0, 0, 0, 0), on_addr)
        self.route.dump(RTM_GETLINK, struct.pack("=BBHiII", 0, 0, 0, 0, 0, 0), on_link)
        broadcast.add(b"\xff\xff\xff\xff")
        self.local, self.broadcast = local, broadcast
        return addressed - excluded

    def close(self):
        self.route.close()
