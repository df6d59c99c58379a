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
        # Frames not completely written, oldest first: [length prefix, body, counts].
        # The bodies are written from where they lie, never copied into a buffer.
        self.out = []
        # Bytes of the first frame already written.
        self.written = 0
        self.unread_since = None
        # {pid: program} of the last report queued: its programs need not be sent again.
        self.programs_known = {}

    def fileno(self):
        return self.sock.fileno()

    def queue(self, documents):
        for body, members in documents:
            self.out.append((struct.pack(">I", len(body)), body, members))

    def flush(self):
        """Writes what the socket takes. Raises OSError when the connection is gone."""
        while self.out:
            prefix, body, _members = self.out[0]
            done = self.written
            if done < len(prefix):
                pieces = [memoryview(prefix)[done:], body]
            else:
                pieces = [memoryview(body)[done - len(prefix):]]
            try:
                sent = self.sock.sendmsg(pieces, (), socket.MSG_NOSIGNAL | socket.MSG_DONTWAIT)
            except (BlockingIOError, InterruptedError):
                return
            done += sent
            if done < len(prefix) + len(body):
                self.written = done
                continue
            del self.out[0]
            self.written = 0

    def unsent(self):
        """Counts of the documents not completely written: the daemon never saw them."""
        merged = {}
        for _prefix, _body, members in self.out:
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
