"""The portable backend: opens the sockets it measures with, routes their events, and
runs the steps of each report."""

import errno
import time

from ..backend import UNATTRIBUTED, Backend, BackendUnavailable, Counts
from ..log import say
from .capture import Capture
from .links import LINKS_EVERY, HostLinks
from .listeners import LISTENER_EVERY, Listeners
from .owners import LookupThrottle, Owners
from .proc_events import ProcEvents
from .sock_diag import CloseNotifications, SockDiag
from .tally import Tally
from .tcp import SYN_BUDGET, TcpTraffic
from .udp import UdpTraffic

PRUNE_EVERY = 60.0


class PortableBackend(Backend):
    """TCP from sock_diag, UDP from packet capture, owners from /proc (see __init__.py)."""

    name = "portable sock_diag + UDP capture"

    def __init__(self):
        self.owners = Owners()
        self.tally = Tally()
        self.lookups = LookupThrottle()
        self.diag = self.links = self.closes = self.proc_events = None
        self.listeners = self.tcp = self.udp = None
        self.captures = []
        self.last_complaint = None
        self.last_prune = time.monotonic()

    # -- opening --

    def open(self):
        include_local = (self.options is not None
                         and getattr(self.options, "loopback", "exclude") == "include")
        try:
            self.diag = SockDiag()
            self.links = HostLinks(include_local)
            self.closes = CloseNotifications()
            self.captures = [Capture(True), Capture(False)]
            self.listeners = Listeners(self.diag, self.owners, self.lookups)
            self.tcp = TcpTraffic(self.diag, self.closes, self.owners, self.listeners, self.links,
                                  self.tally, self._complain)
            self.udp = UdpTraffic(self.diag, self.owners, self.links, self.tally, self.lookups,
                                  self.tcp.connecting, self.listeners.accepting)
            now = time.monotonic()
            self._refresh_links(now)
            self.tcp.dump(now)
            self.listeners.dump(now)
        except OSError as e:
            self.close()
            why = e.strerror or str(e)
            if e.errno in (errno.EPERM, errno.EACCES):
                why += " (needs root)"
            raise BackendUnavailable("socket diagnostics or packet capture unavailable: %s" % why)
        self._open_proc_events()

    def _open_proc_events(self):
        self.proc_events = ProcEvents.open()

    def fds(self):
        if self.closes is None:
            return []
        fds = [self.closes.fileno()] + [c.sock.fileno() for c in self.captures]
        if self.proc_events is not None:
            fds.append(self.proc_events.fileno())
        return fds

    def close(self):
        for closable in [self.diag, self.links, self.closes, self.proc_events] + self.captures:
            if closable is not None:
                try:
                    closable.close()
                except OSError:
                    pass
        self.diag = self.links = self.closes = self.proc_events = None
        self.captures = []

    # -- events --

    def handle(self, fd):
        now = time.monotonic()
        try:
            if self.closes is not None and fd == self.closes.fileno():
                self.tcp.read_closes(now)
            elif self.proc_events is not None and fd == self.proc_events.fileno():
                self.proc_events.read(self.owners)
            else:
                for capture in self.captures:
                    if fd == capture.sock.fileno():
                        self.udp.read_packets(capture, now)
        except Exception as e:  # one bad event must not stop the measurement
            self._complain("reading events failed", e)

    # -- reports --

    def collect(self):
        now = time.monotonic()
        interval = getattr(self.options, "interval", 1.0) if self.options is not None else 1.0
        self.tcp.syn_budget = max(1, int(SYN_BUDGET * interval))
        self.lookups.bound()
        steps = [self.tcp.read_closes]
        if now - self.links.last_refresh >= LINKS_EVERY:
            steps.append(self._refresh_links)
        steps.append(self.tcp.dump)
        if now - self.listeners.last_dump >= LISTENER_EVERY:
            steps.append(self.listeners.dump)
        steps += [self.tcp.settle_short, self.udp.settle, self._report_losses]
        if now - self.last_prune >= PRUNE_EVERY:
            steps.append(self._prune)
        for step in steps:
            try:
                step(now)
            except Exception as e:  # the other steps still run and the report goes out
                self._complain("measuring failed this interval", e)
        out = Counts()
        for pid, (tx, rx) in self.tally.take().items():
            out[pid] = (UNATTRIBUTED if pid == 0 else self.owners.name(pid), tx, rx)
            program = self.owners.program_of(pid) if pid else None
            if program is not None:
                out.programs[pid] = program
        return out

    def _refresh_links(self, now):
        ifindexes = self.links.refresh(now)
        for capture in self.captures:
            capture.set_filter(ifindexes)

    def _complain(self, what, error):
        """One line per new kind of failure, not one per event."""
        text = "portable: %s: %s" % (what, getattr(error, "strerror", None) or error)
        if text != self.last_complaint:
            self.last_complaint = text
            say(text)

    def _report_losses(self, _now):
        drops = sum(c.drops() for c in self.captures)
        if drops:
            say("portable: the kernel dropped %d captured packets (UDP counts are short)" % drops)
        if self.closes.lost:
            say("portable: socket close notifications lost %d times (some final bytes missing)"
                % self.closes.lost)
            self.closes.lost = 0

    def _prune(self, now):
        self.last_prune = now
        self.lookups.clear()
        self.tcp.prune(now)
        self.udp.prune(now)
        self.owners.prune(now)
