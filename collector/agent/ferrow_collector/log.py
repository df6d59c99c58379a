"""The collector's messages: short lines on standard output."""

import sys

PROG = "ferrow_monitor"

# Lines kept back by hold() until release().
_held = None


def hold():
    """Keeps the lines said from now on, for release() to return."""
    global _held
    _held = []


def release():
    """Ends hold(): the lines said meanwhile, which were not printed."""
    global _held
    lines, _held = _held or [], None
    return lines


def say(text):
    """One short line on standard output; the daemon relays it into its diagnostics."""
    if _held is not None:
        _held.append(text)
        return
    try:
        sys.stdout.write("%s: %s\n" % (PROG, text))
        sys.stdout.flush()
    except (OSError, ValueError):
        pass
