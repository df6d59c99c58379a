"""The collector's messages: short lines on standard output."""

import sys

PROG = "ferrow_monitor"


def say(text):
    """One short line on standard output; the daemon relays it into its diagnostics."""
    try:
        sys.stdout.write("%s: %s\n" % (PROG, text))
        sys.stdout.flush()
    except (OSError, ValueError):
        pass
