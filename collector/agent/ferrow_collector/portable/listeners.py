"""Listening TCP sockets and their owners: the owner of an inbound connection whose
own socket nobody was seen holding."""

import socket

from .addresses import is_wildcard
from .sock_diag import TCP_LISTEN
from .talkers import TALKER_WINDOW

# Listening sockets are dumped this often (and earlier when an inbound connection needs them).
LISTENER_EVERY = 10.0


class Listeners:
    """The listening sockets of the last dumps by port, with their owners."""

    def __init__(self, diag, owners, lookups):
        self.diag = diag
        self.owners = owners
        self.lookups = lookups
        self.by_port = {}  # (family, port) -> (last seen, [(local address, pid or None)])
        self.last_dump = -1e9

    def dump(self, now, quick=False):
        self.last_dump = now
        rows = self.diag.dump(socket.IPPROTO_TCP, TCP_LISTEN)
        self.owners.resolve_dumped([row[6] for row in rows], now, quick)
        fresh = {}
        for family, sport, _dport, src, _dst, _cookie, inode, _tx, _rx in rows:
            fresh.setdefault((family, sport), []).append((src, self.owners.inode_pid.get(inode)))
        # A listener that closed a moment ago still owns the connections it accepted.
        by_port = {k: v for k, v in self.by_port.items()
                   if k not in fresh and now - v[0] <= TALKER_WINDOW}
        for key, entries in fresh.items():
            by_port[key] = (now, entries)
        self.by_port = by_port

    def owner(self, family, local, port):
        """The owner of the listener a connection to local:port came in on, or None."""
        best = None
        for k in ((family, port), (socket.AF_INET6, port)):
            for address, pid in self.by_port.get(k, (0, ()))[1]:
                if pid is None:
                    continue
                if address == local:
                    return pid
                if is_wildcard(address):
                    best = pid
        return best

    def accepting(self, family, local, port, now):
        """A SYN came in: make sure the listener's owner is known before the connection
        can come and go between two dumps."""
        if self.owner(family, local, port) is not None:
            return
        if self.lookups.due(("listen", family, port), now):
            self.dump(now, quick=True)
