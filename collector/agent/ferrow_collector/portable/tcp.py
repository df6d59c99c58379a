"""TCP payload per process: the counters of the sock_diag dumps and of the close
notifications, attributed to the sockets' owners (or their likeliest owners)."""

import socket

from .sock_diag import EAGER_GAP, TCP_LIVE
from .talkers import Talkers

# A socket missing from dumps this long without a close notification is forgotten.
FORGET_AFTER = 600.0
# New outgoing connections whose owner is looked up at their SYN, per second at most;
# beyond that they are attributed when they show up in a dump or close.
SYN_BUDGET = 1000


class TcpSocket:
    """What is known of one TCP socket between dumps."""
    __slots__ = ("pid", "tx", "rx", "remote", "local", "lport", "seen", "skip", "firm")

    def __init__(self, tx, rx, remote, local, lport, now, skip):
        self.pid = None
        self.tx = tx
        self.rx = rx
        self.remote = remote
        self.local = local
        self.lport = lport
        self.seen = now
        self.skip = skip
        self.firm = False


class TcpTraffic:
    """The TCP sockets known by cookie, counted into `tally` as their counters grow.

    complain(what, error) reports a failure that does not stop the measurement."""

    def __init__(self, diag, closes, owners, listeners, links, tally, complain):
        self.diag = diag
        self.closes = closes
        self.owners = owners
        self.listeners = listeners
        self.links = links
        self.tally = tally
        self.complain = complain
        self.socks = {}  # cookie -> TcpSocket
        self.talkers = Talkers()
        # Closed sockets never seen alive: (family, local, lport, remote, tx, rx, guess, closed at)
        self.short = []
        self.baseline = True
        self.last_dump = -1e9
        self.syn_budget = SYN_BUDGET

    # -- closes --

    def read_closes(self, now):
        unexplained = False
        for row in self.closes.read():
            unexplained |= self._closed(row, now)
        if unexplained and self.syn_budget <= 0 and now - self.last_dump >= EAGER_GAP:
            # Connections of unknown owners while SYN lookups are spent: look at them while they last.
            self.dump(now)

    def _closed(self, row, now):
        """Final counters of a closed socket; True when its owner is not known yet."""
        family, sport, dport, src, dst, cookie, _inode, tx, rx = row
        if tx is None:
            return False
        entry = self.socks.pop(cookie, None)
        if entry is not None:
            if not entry.skip:
                self.tally.count(entry.pid, tx - entry.tx, rx - entry.rx)
                if entry.firm:
                    self.talkers.note((dst, dport), entry.pid, now)
            return False
        if self.links.excluded(dst) or (tx <= 0 and rx <= 0):
            return False
        # Guessed now, while the likely owner is alive; settled at the next report.
        guess = self.listeners.owner(family, src, sport)
        if guess is None:
            guess = self.talkers.only((dst, dport), now)
        self.short.append((family, src, sport, (dst, dport), tx, rx, guess, now))
        return guess is None

    # -- new connections --

    def connecting(self, family, src, sport, dst, dport, now):
        """A SYN just left: find the new socket and its owner while the process holds it."""
        if self.syn_budget <= 0:
            return
        self.syn_budget -= 1
        try:
            rows = self.diag.find_tcp(family, src, sport, dst, dport)
        except OSError:
            return  # already gone: its close notification counts it
        for _family, _sport, _dport, local, remote, cookie, inode, _tx, _rx in rows:
            if cookie in self.socks or not inode:
                continue
            if not self.owners.resolve([inode], now, quick=True):
                self.owners.resolve([inode], now)  # an older process: the socket is open, look everywhere
            pid = self.owners.inode_pid.get(inode)
            if pid is None:
                continue
            # A new socket: everything it moves counts, from zero.
            entry = self.socks[cookie] = TcpSocket(0, 0, (remote, dport), local, sport, now, False)
            entry.pid, entry.firm = pid, True
            self.owners.note_owner(pid)
            self.talkers.note(entry.remote, pid, now)

    # -- dumps --

    def dump(self, now):
        self.last_dump = now
        rows = self.diag.dump(socket.IPPROTO_TCP, TCP_LIVE, with_info=True)
        baseline, self.baseline = self.baseline, False
        socks, live_inodes = self.socks, self.owners.live_inodes
        fresh = []
        for family, sport, dport, src, dst, cookie, inode, tx, rx in rows:
            if tx is None:
                continue
            entry = socks.get(cookie)
            if entry is None:
                # Sockets open before the collector started count from now on; newer ones from 0.
                entry = socks[cookie] = TcpSocket(tx if baseline else 0, rx if baseline else 0,
                                                  (dst, dport), src, sport, now, self.links.excluded(dst))
            entry.seen = now
            if entry.skip:
                continue
            live_inodes.add(inode)
            delta_tx, delta_rx = tx - entry.tx, rx - entry.rx
            entry.tx, entry.rx = tx, rx
            if entry.pid is None:
                fresh.append((entry, family, inode, delta_tx, delta_rx))
            else:
                self.tally.count(entry.pid, delta_tx, delta_rx)
                if entry.firm:
                    self.talkers.note(entry.remote, entry.pid, now)
        if not fresh:
            return
        self.owners.resolve([item[2] for item in fresh], now)
        for entry, family, inode, delta_tx, delta_rx in fresh:
            pid = self.owners.inode_pid.get(inode) if inode else None
            if pid is not None:
                entry.firm = True
                self.owners.note_owner(pid)
                self.talkers.note(entry.remote, pid, now)
            else:
                # Owner gone or unknown: inbound to a listener, else the one process
                # recently talking to the same remote endpoint, else unattributed.
                pid = self.guess_owner(family, entry.local, entry.lport, entry.remote, now)
            entry.pid = pid
            self.tally.count(pid, delta_tx, delta_rx)

    # -- owners nobody was seen holding --

    def settle_short(self, now):
        """Owners of the connections that opened and closed between two dumps."""
        if not self.short:
            return
        short, self.short = self.short, []
        for family, local, lport, remote, tx, rx, guess, closed_at in short:
            if guess is None:
                try:
                    guess = self.guess_owner(family, local, lport, remote, now, closed_at)
                except Exception as e:  # counted all the same, unattributed
                    self.complain("guessing an owner failed", e)
            self.tally.count(guess, tx, rx)

    def guess_owner(self, family, local, lport, remote, now, at=None):
        """Owner of a socket whose process is not known: the listener's owner for an inbound
        connection, else the one process recently talking to the same remote endpoint,
        else 0 (unattributed)."""
        pid = self.listeners.owner(family, local, lport)
        if pid is None:
            pid = self.talkers.only(remote, now, at)
        if pid is None and now - self.listeners.last_dump >= 1.0:
            try:
                self.listeners.dump(now)  # a listener opened since the last look
            except OSError as e:
                self.complain("listing listeners failed", e)
            pid = self.listeners.owner(family, local, lport)
        return pid if pid is not None else 0

    # -- memory --

    def prune(self, now):
        stale = [c for c, e in self.socks.items() if now - e.seen > FORGET_AFTER]
        for cookie in stale:
            del self.socks[cookie]
        self.talkers.prune(now)
