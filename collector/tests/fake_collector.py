#!/usr/bin/python3
"""Stand-in collector for tests of the collector link and of the whole daemon.

The daemon launches its collector as "<interpreter> <script>" with no further
argument, so this script is steered by environment variables, which the child
inherits from the test. Every variable is optional except FAKE_COLLECTOR_SOCKET.

  FAKE_COLLECTOR_SOCKET      path of the local stream socket to create and serve
  FAKE_COLLECTOR_READY_MS    delay before the socket is created, in ms (default 0);
                             "never": no socket file is ever created
  FAKE_COLLECTOR_REFUSE      "1": create the socket file, then stop listening at
                             once, so every connection is refused
  FAKE_COLLECTOR_EXIT_MS     exit this many ms after start (default: run until stopped)
  FAKE_COLLECTOR_EXIT_CODE   exit code used with FAKE_COLLECTOR_EXIT_MS (default 0)
  FAKE_COLLECTOR_IGNORE_TERM "1": ignore SIGTERM, so only SIGKILL ends it
                             (otherwise SIGTERM ends it by the signal, as an
                             unprepared script would)
  FAKE_COLLECTOR_INTERVAL_MS pause between documents on a connection (default 200)
  FAKE_COLLECTOR_DOCUMENTS   documents sent on each connection before it falls
                             silent (connection kept open); default unlimited
  FAKE_COLLECTOR_SILENT_MS   with FAKE_COLLECTOR_DOCUMENTS: resume sending after
                             this many ms of silence (default: silent for good)
  FAKE_COLLECTOR_IDLE_DOCUMENT with FAKE_COLLECTOR_DOCUMENTS: JSON text sent at the
                             same pace once a connection's documents are spent,
                             instead of falling silent; each SIGUSR1 then allows
                             FAKE_COLLECTOR_DOCUMENTS more documents on every
                             connection (logged as "usr1")
  FAKE_COLLECTOR_DROP_PRELOAD "1": run without LD_PRELOAD (re-executed at once),
                             so a library preloaded into the daemon stays its own
  FAKE_COLLECTOR_CLOSE_AFTER close each connection after this many documents and
                             stop listening, keeping the socket file in place
  FAKE_COLLECTOR_DOCUMENT    JSON text of the document sent each time (default: a
                             "network_data" document listing this process)
  FAKE_COLLECTOR_FRAMES_FILE file of raw bytes sent once at the start of every
                             connection, before the documents (crafted frames)
  FAKE_COLLECTOR_STDOUT      text written to standard output at start
  FAKE_COLLECTOR_STDOUT_HEX  bytes, in hexadecimal, written to standard output at start
  FAKE_COLLECTOR_STDERR      text written to standard error at start
  FAKE_COLLECTOR_LOG         file to which one line per event is appended:
                             "start <pid>", "cwd <directory>", "argv <JSON list>",
                             "listen", "accept", "term", "exit <code>"

Documents are sent as frames: a 4-byte big-endian length, then the UTF-8 body.
"""

import json
import os
import signal
import socket
import struct
import sys
import threading
import time

env = os.environ.get


def log(event):
    path = env("FAKE_COLLECTOR_LOG")
    if path:
        with open(path, "a") as f:
            f.write(event + "\n")


def frame(body):
    return struct.pack(">I", len(body)) + body


def default_document():
    return json.dumps({
        "type": "network_data",
        "processes": [{
            "pid": os.getpid(), "comm": "fake_collector",
            "tx_bytes": 100, "rx_bytes": 200, "tx_speed": 1.5, "rx_speed": 2.5,
        }],
    })


# Batches of FAKE_COLLECTOR_DOCUMENTS allowed so far (see FAKE_COLLECTOR_IDLE_DOCUMENT).
batches = [1]


def on_usr1(signum, _frame):
    batches[0] += 1
    log("usr1")


def on_term(signum, _frame):
    log("term")
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    os.kill(os.getpid(), signal.SIGTERM)


def leave(code):
    log("exit %d" % code)
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(code)


def serve(conn, listener_holder):
    interval = int(env("FAKE_COLLECTOR_INTERVAL_MS", "200")) / 1000.0
    limit = env("FAKE_COLLECTOR_DOCUMENTS")
    limit = int(limit) if limit else None
    silent_ms = env("FAKE_COLLECTOR_SILENT_MS")
    close_after = env("FAKE_COLLECTOR_CLOSE_AFTER")
    close_after = int(close_after) if close_after else None
    body = (env("FAKE_COLLECTOR_DOCUMENT") or default_document()).encode("utf-8")
    idle = env("FAKE_COLLECTOR_IDLE_DOCUMENT")
    idle = idle.encode("utf-8") if idle is not None and limit is not None else None
    try:
        raw_path = env("FAKE_COLLECTOR_FRAMES_FILE")
        if raw_path:
            with open(raw_path, "rb") as f:
                conn.sendall(f.read())
        sent = 0
        while True:
            if close_after is not None and sent >= close_after:
                listener = listener_holder.pop() if listener_holder else None
                if listener is not None:
                    # Wakes the accepting main thread; the file stays and new
                    # connections are refused.
                    listener.shutdown(socket.SHUT_RDWR)
                conn.close()
                return
            if idle is not None:
                if sent >= limit * batches[0]:
                    conn.sendall(frame(idle))
                    time.sleep(interval)
                    continue
            elif limit is not None and sent == limit:
                if not silent_ms:
                    while True:
                        time.sleep(3600)
                time.sleep(int(silent_ms) / 1000.0)
            conn.sendall(frame(body))
            sent += 1
            time.sleep(interval)
    except OSError:
        conn.close()


def main():
    if env("FAKE_COLLECTOR_DROP_PRELOAD") == "1" and "LD_PRELOAD" in os.environ:
        clean = dict(os.environ)
        del clean["LD_PRELOAD"]
        os.execve(sys.executable, [sys.executable] + sys.argv, clean)
    # The SIGTERM disposition is in place before "start" is logged.
    if env("FAKE_COLLECTOR_IGNORE_TERM") == "1":
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
    else:
        signal.signal(signal.SIGTERM, on_term)
    signal.signal(signal.SIGUSR1, on_usr1)
    log("start %d" % os.getpid())
    log("cwd %s" % os.getcwd())
    log("argv %s" % json.dumps([sys.executable] + sys.argv))

    if env("FAKE_COLLECTOR_STDOUT"):
        sys.stdout.write(env("FAKE_COLLECTOR_STDOUT"))
        sys.stdout.flush()
    if env("FAKE_COLLECTOR_STDOUT_HEX"):
        sys.stdout.buffer.write(bytes.fromhex(env("FAKE_COLLECTOR_STDOUT_HEX")))
        sys.stdout.flush()
    if env("FAKE_COLLECTOR_STDERR"):
        sys.stderr.write(env("FAKE_COLLECTOR_STDERR"))
        sys.stderr.flush()

    start = time.monotonic()
    exit_ms = env("FAKE_COLLECTOR_EXIT_MS")
    deadline = start + int(exit_ms) / 1000.0 if exit_ms else None
    exit_code = int(env("FAKE_COLLECTOR_EXIT_CODE", "0"))
    if deadline is not None:
        timer = threading.Timer(max(0.0, deadline - time.monotonic()), leave, [exit_code])
        timer.daemon = True
        timer.start()

    ready = env("FAKE_COLLECTOR_READY_MS", "0")
    if ready == "never":
        while True:
            time.sleep(3600)
    time.sleep(int(ready) / 1000.0)

    path = env("FAKE_COLLECTOR_SOCKET")
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(8)
    log("listen")
    if env("FAKE_COLLECTOR_REFUSE") == "1":
        listener.close()
        while True:
            time.sleep(3600)

    holder = [listener]
    while True:
        try:
            conn, _ = listener.accept()
        except OSError:
            # Listening was stopped on purpose: keep running, socket file in place.
            listener.close()
            while True:
                time.sleep(3600)
        log("accept")
        threading.Thread(target=serve, args=(conn, holder), daemon=True).start()


if __name__ == "__main__":
    main()
