"""The command line: options, the choice of the backend, and the program's exit status."""

import os
import signal
import sys
import types

from . import log, stopping
from .backend import BackendUnavailable, NullBackend
from .collector import Collector
from .daemon_link import MAX_FRAME_BODY
from .log import say

DEFAULT_SOCKET = "/tmp/network_monitor.sock"
DEFAULT_INTERVAL = 1.0
# The daemon reads every frame as it arrives; unread data this long means it is stuck.
DEFAULT_STALL_TIMEOUT = 10.0
# Every option's value when it is not given.
DEFAULTS = {"socket": DEFAULT_SOCKET, "interval": DEFAULT_INTERVAL, "loopback": "exclude",
            "backend": "auto", "bpf_object": None, "max_frame": MAX_FRAME_BODY,
            "stall_timeout": DEFAULT_STALL_TIMEOUT, "map_entries": 0, "read_batch": 0}


# Each backend's package is imported only when it is tried: the one in use is all
# that is loaded.
def _ebpf_backend(attachments=None):
    from .ebpf.backend import EbpfBackend
    return EbpfBackend() if attachments is None else EbpfBackend(attachments)


def _portable_backend():
    from .portable.backend import PortableBackend
    return PortableBackend()


# "ebpf" is the best eBPF attachment this kernel has; the other two force one of them.
BACKENDS = {
    "ebpf": _ebpf_backend,
    "ebpf-tracepoints": lambda: _ebpf_backend(("tracepoints",)),
    "ebpf-fexit": lambda: _ebpf_backend(("fexit",)),
    "portable": _portable_backend,
}


def _help_formatter(prog):
    """argparse's help formatter with the width shutil would give it. Left to itself,
    the formatter imports shutil for that, and with it the compression modules, which
    the collector would then keep for its whole life (about 1 MB)."""
    try:
        width = int(os.environ.get("COLUMNS", ""))
    except ValueError:
        width = 0
    if width <= 0:
        try:
            width = os.get_terminal_size(sys.__stdout__.fileno()).columns
        except (AttributeError, ValueError, OSError):
            width = 80
    import argparse
    return argparse.HelpFormatter(prog, width=width - 2)


def parse_args(argv):
    if not argv:
        # As the daemon starts us: the defaults, without building a parser. argparse,
        # with the gettext and locale modules it loads, would stay for the collector's
        # whole life (some 0.6 MB).
        return types.SimpleNamespace(**DEFAULTS)
    import argparse
    parser = argparse.ArgumentParser(
        prog="ferrow_monitor.py", formatter_class=_help_formatter,
        description="Per-process traffic collector for the ferrow-monitor daemon. "
                    "Without options it serves %s as the daemon expects." % DEFAULT_SOCKET)
    parser.add_argument("--socket", default=DEFAULTS["socket"], help="socket path (default %(default)s)")
    parser.add_argument("--interval", type=float, default=DEFAULTS["interval"],
                        help="seconds between reports (default %(default)s)")
    parser.add_argument("--loopback", choices=("exclude", "include"), default=DEFAULTS["loopback"],
                        help="count traffic to loopback and the host's own addresses (default %(default)s)")
    parser.add_argument("--backend", choices=("auto",) + tuple(BACKENDS), default=DEFAULTS["backend"],
                        help="measurement: auto picks eBPF on the sock tracepoints (Linux 6.3+), "
                             "else eBPF fexit programs (kernels with BTF), else portable; "
                             "ebpf is the better of the two eBPF attachments")
    parser.add_argument("--bpf-object", default=DEFAULTS["bpf_object"], help="path of ferrow_monitor.bpf.o")
    parser.add_argument("--max-frame", type=int, default=DEFAULTS["max_frame"], help=argparse.SUPPRESS)
    parser.add_argument("--stall-timeout", type=float, default=DEFAULTS["stall_timeout"], help=argparse.SUPPRESS)
    parser.add_argument("--map-entries", type=int, default=DEFAULTS["map_entries"], help=argparse.SUPPRESS)
    parser.add_argument("--read-batch", type=int, default=DEFAULTS["read_batch"], help=argparse.SUPPRESS)
    options = parser.parse_args(argv)
    if not 0.01 <= options.interval <= 10.0:
        parser.error("--interval must be between 0.01 and 10 seconds")
    if not 0 <= options.map_entries <= 1 << 20:
        parser.error("--map-entries must be at most %d" % (1 << 20))
    if not 0 <= options.read_batch <= 1 << 20:
        parser.error("--read-batch must be at most %d" % (1 << 20))
    if not 256 <= options.max_frame <= MAX_FRAME_BODY:
        parser.error("--max-frame must be between 256 and %d" % MAX_FRAME_BODY)
    return options


def open_backend(options):
    """Returns (opened backend, reasons): the reasons why better measurements were passed
    over, one "<measurement> unusable: <why>" each. The backend is None when an explicitly
    chosen one cannot run."""
    names = ["ebpf", "portable"] if options.backend == "auto" else [options.backend]
    reasons = []
    for name in names:
        backend = BACKENDS[name]()
        backend.options = options
        try:
            backend.open()
            return backend, reasons + list(getattr(backend, "passed_over", []))
        except BackendUnavailable as e:
            label = getattr(backend, "label", name)
            reasons += getattr(e, "reasons", None) or ["%s unusable: %s" % (label, e)]
    if options.backend != "auto":
        return None, reasons
    backend = NullBackend()
    backend.open()
    return backend, reasons


def choice_line(backend, options, reasons):
    """The first line printed: the measurement, and why each better one was unusable."""
    if isinstance(backend, NullBackend):
        text = "no measurement available: serving empty reports"
    else:
        loopback = "loopback counted" if options.loopback == "include" else "loopback excluded"
        text = "measuring with %s (payload bytes, %s" % (backend.name, loopback)
        if options.loopback != "include":
            text += "".join("; %s" % c for c in getattr(backend, "caveats", []))
        text += ")"
    return "; ".join([text] + reasons)


def main(argv=None):
    stopping.install()
    signal.signal(signal.SIGPIPE, signal.SIG_IGN)
    signal.signal(signal.SIGHUP, signal.SIG_IGN)
    options = parse_args(sys.argv[1:] if argv is None else argv)
    # What the measurements say while they are tried follows the line naming the choice.
    log.hold()
    try:
        backend, reasons = open_backend(options)
    finally:
        held = log.release()
    if backend is None:
        say("exiting: the requested %s measurement cannot run here: %s"
            % (options.backend, "; ".join(reasons)))
    else:
        say(choice_line(backend, options, reasons))
    for line in held:
        say(line)
    if backend is None:
        return 2
    collector = Collector(options, backend)
    try:
        collector.run()
    except OSError as e:
        say("stopping on error: %s%s" % (e.strerror or e, (" (%s)" % e.filename) if e.filename else ""))
        collector.shutdown()
        return 1
    except Exception as e:  # a clear line instead of a traceback, and the socket file removed
        say("stopping on unexpected error: %s: %s" % (e.__class__.__name__, e))
        collector.shutdown()
        return 1
    say("stopped")
    return 0


def run(argv=None):
    """main() as the program: its exit status, and a clear line instead of a traceback."""
    try:
        return main(argv)
    except KeyboardInterrupt:
        return 130
    except Exception as e:
        say("fatal error: %s: %s" % (e.__class__.__name__, e))
        return 1
