"""Which processes recently talked to each remote endpoint: the likely owner of a
connection nobody was seen holding."""

import os

from . import procfs

# How long a process counts as "recently talking" to a remote endpoint, in seconds.
TALKER_WINDOW = 60.0


class Talkers:
    """Which processes recently talked to each remote endpoint."""

    def __init__(self):
        self.by_endpoint = {}

    def note(self, endpoint, pid, now):
        pids = self.by_endpoint.get(endpoint)
        if pids is None:
            pids = self.by_endpoint[endpoint] = {}
        times = pids.get(pid)
        if times is None:
            started = procfs.started(pid)
            pids[pid] = [now if started is None else min(started, now), now]
        else:
            times[1] = now

    def only(self, endpoint, now, at=None):
        """The one process that talked to the endpoint within the window around time `at`
        (default now) and was alive then, else None. A process started later cannot have
        made an earlier connection; one that has exited makes no more."""
        pids = self.by_endpoint.get(endpoint)
        if not pids:
            return None
        at = now if at is None else at
        found = None
        for pid, (started, last) in pids.items():
            if started > at or abs(at - last) > TALKER_WINDOW:
                continue
            if last < at and not os.path.exists("/proc/%d" % pid):
                continue
            if found is not None:
                return None
            found = pid
        return found

    def prune(self, now):
        for endpoint in list(self.by_endpoint):
            pids = {p: t for p, t in self.by_endpoint[endpoint].items() if now - t[1] <= TALKER_WINDOW}
            if pids:
                self.by_endpoint[endpoint] = pids
            else:
                del self.by_endpoint[endpoint]
