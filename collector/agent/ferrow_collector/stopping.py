"""Stop requests: SIGTERM and SIGINT end the main loop cleanly at any moment."""

import signal

STOP_REQUESTED = False


def request_stop(_signum=None, _frame=None):
    global STOP_REQUESTED
    STOP_REQUESTED = True


def install():
    signal.signal(signal.SIGTERM, request_stop)
    signal.signal(signal.SIGINT, request_stop)
