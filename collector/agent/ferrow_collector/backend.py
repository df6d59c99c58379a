"""What every measurement backend offers the main loop."""

# Traffic no process could be found for is reported as pid 0 under this name.
UNATTRIBUTED = "unattributed"


class Counts(dict):
    """What collect() returns: {pid: (comm, tx_bytes, rx_bytes)}, and in `programs` the
    program of every pid it knows: {pid: (exe, args)} (see programs.py)."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.programs = {}


class BackendUnavailable(Exception):
    """The backend cannot run on this machine; the message says why."""


class Backend:
    """A source of per-process traffic counts.

    open() raises BackendUnavailable when the backend cannot run here. fds() lists
    file descriptors the main loop polls for reading and hands to handle().
    collect() returns {pid: (comm, tx_bytes, rx_bytes)} accumulated since the
    previous collect(); a process appears at most once. It may be a Counts, which also
    carries the programs of the processes.
    """

    name = "none"
    # Options of the command line, set by the main loop before open().
    options = None

    def open(self):
        raise BackendUnavailable("not implemented")

    def fds(self):
        return []

    def handle(self, fd):
        pass

    def collect(self):
        return {}

    def close(self):
        pass


class NullBackend(Backend):
    """Measures nothing: keeps the daemon's link healthy with empty reports."""

    name = "none"

    def open(self):
        pass
