"""The daemon's connection: length-prefixed frames written without blocking."""

import fcntl
import socket
import struct

# A frame body may be at most 1 MiB; the daemon drops the connection otherwise.
MAX_FRAME_BODY = 1048576
SIOCOUTQ = 0x5411


class DaemonLink:
    """One connected daemon: a non-blocking socket and the frames not yet written."""

    def __init__(self, sock):
        self.sock = sock
        self.sock.setblocking(False)
        self.out = bytearray()
        # (offset just past the document's frame in self.out, its counts)
        self.in_flight = []
        self.unread_since = None
        # {pid: program} of the last report queued: its programs need not be sent again.
        self.programs_known = {}

    def fileno(self):
        return self.sock.fileno()

    def queue(self, documents):
        for body, members in documents:
            # Straight into the buffer: no third copy of a body of up to 1 MiB.
            self.out += struct.pack(">I", len(body))
            self.out += body
            self.in_flight.append((len(self.out), members))

    def flush(self):
        """Writes what the socket takes. Raises OSError when the connection is gone."""
        while self.out:
            try:
                sent = self.sock.send(self.out, socket.MSG_NOSIGNAL | socket.MSG_DONTWAIT)
            except (BlockingIOError, InterruptedError):
                return
            del self.out[:sent]
            self.in_flight = [(end - sent, m) for end, m in self.in_flight if end - sent > 0]

    def unsent(self):
        """Counts of the documents not completely written: the daemon never saw them."""
        merged = {}
        for _end, members in self.in_flight:
            for pid, entry in members.items():
                merged[pid] = entry
        return merged

    def unread_bytes(self):
        try:
            buf = fcntl.ioctl(self.sock.fileno(), SIOCOUTQ, b"\0\0\0\0")
            return struct.unpack("i", buf)[0]
        except OSError:
            return 0

    def drain_input(self):
        """The daemon never writes; returns False at end of stream."""
        try:
            data = self.sock.recv(4096)
        except (BlockingIOError, InterruptedError):
            return True
        except OSError:  # reset: the daemon closed with our data unread
            return False
        return bool(data)

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass
