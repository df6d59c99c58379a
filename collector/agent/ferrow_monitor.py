#!/usr/bin/python3
"""ferrow-monitor collector: measures every process's network traffic and serves it
to the daemon on a local stream socket (see ferrow_collector/__init__.py).

This script only starts the ferrow_collector package, installed in
<prefix>/lib/ferrow-monitor/ (in the source tree: beside this script).
Python standard library only; run with /usr/bin/python3 as root.
"""

import os
import signal
import sys

PACKAGE = "ferrow_collector"
_stop_requested = []


def _request_stop(signum, _frame):
    _stop_requested.append(signum)


def package_home(script):
    """The directory holding the package: <prefix>/lib/ferrow-monitor/ for a script in
    <prefix>/bin/, else the script's own directory."""
    here = os.path.dirname(os.path.realpath(script))
    for home in (os.path.join(here, os.pardir, "lib", "ferrow-monitor"), here):
        if os.path.isfile(os.path.join(home, PACKAGE, "__init__.py")):
            return os.path.normpath(home)
    return None


def start():
    home = package_home(__file__)
    if home is None:
        sys.stdout.write("ferrow_monitor: fatal error: the %s package is missing\n" % PACKAGE)
        return 1
    sys.path.insert(0, home)
    # Nothing is written beside the installed package (no bytecode caches).
    sys.dont_write_bytecode = True
    try:
        from ferrow_collector import cli, stopping
    except Exception as e:  # a clear line instead of a traceback
        sys.stdout.write("ferrow_monitor: fatal error: %s: %s\n" % (e.__class__.__name__, e))
        return 1
    stopping.install()
    if _stop_requested:  # SIGTERM while the package was loading
        stopping.request_stop()
    return cli.run()


if __name__ == "__main__":
    # SIGTERM must end the collector cleanly at any moment, also while it starts up.
    signal.signal(signal.SIGTERM, _request_stop)
    signal.signal(signal.SIGINT, _request_stop)
    sys.exit(start())
