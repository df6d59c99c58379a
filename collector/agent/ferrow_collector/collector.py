"""The main loop: serves the daemon on a stream socket and sends a report every interval."""

import errno
import os
import select
import signal
import socket
import stat
import time

from . import stopping
from .daemon_link import DaemonLink
from .ledger import Ledger, build_documents, documents_to_send, programs_carried, programs_within
from .log import say

# Times a directory that keeps reappearing at the socket path is moved aside.
PLACE_ATTEMPTS = 20


class TickSpeeds:
    """{pid: (tx, rx)} in KiB/s over the last tick, worked out from the tick's counts as
    a report asks for them instead of kept as a table of their own."""

    __slots__ = ("counts", "elapsed")

    def __init__(self, counts, elapsed):
        self.counts = counts
        self.elapsed = elapsed

    def get(self, pid, default=None):
        counts = self.counts.get(pid)
        if counts is None:
            return default
        return (counts[1] / 1024.0 / self.elapsed, counts[2] / 1024.0 / self.elapsed)


class Collector:
    """The socket the daemon connects to, the link to it, and the report ticks."""

    def __init__(self, options, backend):
        self.options = options
        self.backend = backend
        self.ledger = Ledger()
        self.listener = None
        self.link = None
        self.socket_ino = None
        self.wake_r = self.wake_w = None
        self.last_tick = None
        # The daemon that started us: when it is gone we are reparented.
        self.parent = os.getppid()

    # -- socket server --

    def listen(self):
        path = self.options.socket
        # The daemon connects as soon as the socket file exists, so the file
        # must only appear once it is listening: bind and listen in a fresh
        # directory of our own (mode 0700, a name nobody can predict) beside
        # the path, then rename the socket into place. Nobody else can reach
        # or replace it before it is in place.
        private = self.private_directory(path)
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            temp = os.path.join(private, "socket")
            old_umask = os.umask(0o177)
            try:
                sock.bind(temp)
            finally:
                os.umask(old_umask)
            os.chmod(temp, 0o600)
            sock.listen(4)
            self.place(temp, path, private)
        except OSError:
            sock.close()
            raise
        finally:
            self.remove_private_directory(private)
        sock.setblocking(False)
        self.listener = sock
        self.socket_ino = os.lstat(path).st_ino

    @staticmethod
    def private_directory(path):
        """A new directory beside path, mode 0700, with a name nobody can predict."""
        parent = os.path.dirname(path) or "."
        for _attempt in range(100):
            private = os.path.join(parent, ".%s.%s" % (os.path.basename(path), os.urandom(8).hex()))
            try:
                os.mkdir(private, 0o700)
                return private
            except FileExistsError:
                continue
        raise OSError(errno.EEXIST, "no private directory could be made beside", path)

    @staticmethod
    def remove_private_directory(private):
        """Removes the private directory, and with it whatever was moved out of the way."""
        try:
            os.rmdir(private)
            return
        except FileNotFoundError:
            return
        except OSError:
            pass
        # Something was moved into it: a tree of anybody's making, removed without
        # following its links.
        import shutil
        shutil.rmtree(private, ignore_errors=True)

    @staticmethod
    def place(temp, path, private):
        """Renames the socket temp to path, whatever anybody left there. rename()
        replaces a file, a link or a socket in one step without following links;
        a directory is first moved into our private directory."""
        for attempt in range(PLACE_ATTEMPTS):
            try:
                st = os.lstat(path)
            except FileNotFoundError:
                st = None
            if st is not None and stat.S_ISDIR(st.st_mode):
                os.rename(path, os.path.join(private, "in-the-way-%d" % attempt))
                say("moved a directory (owner uid %d) out of the way of %s" % (st.st_uid, path))
            try:
                os.rename(temp, path)
                return
            except OSError as e:
                # A directory appeared at the path again in the meantime.
                if e.errno not in (errno.EISDIR, errno.ENOTEMPTY, errno.EEXIST):
                    raise
        raise OSError(errno.EISDIR, "keeps being replaced by a directory", path)

    def remove_socket_file(self):
        path = self.options.socket
        try:
            if self.socket_ino is not None and os.lstat(path).st_ino == self.socket_ino:
                os.unlink(path)
        except OSError:
            pass

    def accept(self):
        try:
            sock, _ = self.listener.accept()
        except (BlockingIOError, InterruptedError):
            return
        except OSError as e:
            say("accept failed: %s" % e.strerror)
            return
        if self.link is not None:
            self.drop_link("daemon connected again; previous connection closed")
        self.link = DaemonLink(sock)
        say("daemon connected")
        # Reports wait for the next tick: the counts keep accumulating until then.

    def drop_link(self, why):
        link, self.link = self.link, None
        if link is None:
            return
        self.ledger.restore(link.unsent())
        link.close()
        say(why)

    # -- ticks --

    def tick(self, now):
        counts = self.backend.collect()
        elapsed = max(now - self.last_tick, 1e-3) if self.last_tick is not None else self.options.interval
        self.last_tick = now
        speeds = TickSpeeds(counts, elapsed)
        self.ledger.add(counts)
        link = self.link
        if link is None:
            return
        if link.out:
            # The socket buffer is still full since an earlier tick.
            self.check_stall(link, now, True)
            return
        self.check_stall(link, now, link.unread_bytes() > 0)
        if self.link is None:
            return
        entries, waiting = programs_within(self.ledger.take(), link.programs_known)
        documents, overflow = documents_to_send(
            build_documents(entries, speeds, self.options.max_frame, link.programs_known))
        waiting.update(overflow)
        if waiting:
            self.ledger.restore(waiting)
        link.programs_known = programs_carried(documents)
        link.queue(documents)
        self.write()

    def check_stall(self, link, now, stalled):
        if not stalled:
            link.unread_since = None
            return
        if link.unread_since is None:
            link.unread_since = now
        elif now - link.unread_since >= self.options.stall_timeout:
            self.drop_link("daemon has not read for %.0f s; connection dropped"
                           % (now - link.unread_since))

    def write(self):
        try:
            self.link.flush()
        except OSError as e:
            self.drop_link("daemon connection lost while writing (%s)"
                           % (e.strerror or e.__class__.__name__))

    # -- signals --

    def install_signals(self):
        self.wake_r, self.wake_w = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
        signal.set_wakeup_fd(self.wake_w, warn_on_full_buffer=False)

    # -- loop --

    def run(self):
        self.install_signals()
        if stopping.STOP_REQUESTED:  # SIGTERM while the measurement was being opened
            self.shutdown()
            return
        self.listen()
        say("serving %s every %g s" % (self.options.socket, self.options.interval))
        poller = select.poll()
        interval = self.options.interval
        next_tick = time.monotonic() + interval
        self.last_tick = time.monotonic()
        backend_fds = set()
        poller.register(self.listener.fileno(), select.POLLIN)
        poller.register(self.wake_r, select.POLLIN)
        registered_link, registered_fd = None, None
        while not stopping.STOP_REQUESTED:
            # A backend may replace its descriptors while it runs.
            wanted = set(self.backend.fds())
            if wanted != backend_fds:
                for fd in backend_fds - wanted:
                    try:
                        poller.unregister(fd)
                    except (KeyError, ValueError):
                        pass
                for fd in wanted - backend_fds:
                    poller.register(fd, select.POLLIN)
                backend_fds = wanted
            link = self.link
            if link is not registered_link:
                if registered_fd is not None:
                    try:
                        poller.unregister(registered_fd)
                    except (KeyError, ValueError):
                        pass
                registered_link, registered_fd = link, None
                if link is not None:
                    registered_fd = link.fileno()
                    poller.register(registered_fd, select.POLLIN)
            if link is not None:
                poller.modify(link.fileno(), select.POLLIN | (select.POLLOUT if link.out else 0))
            timeout = max(0.0, next_tick - time.monotonic())
            events = poller.poll(timeout * 1000.0)
            for fd, mask in events:
                if fd == self.wake_r:
                    try:
                        os.read(self.wake_r, 64)
                    except OSError:
                        pass
                elif fd == self.listener.fileno():
                    self.accept()
                elif fd in backend_fds:
                    self.backend.handle(fd)
                elif self.link is not None and fd == registered_fd and self.link is registered_link:
                    if mask & (select.POLLIN | select.POLLHUP | select.POLLERR):
                        if not self.link.drain_input():
                            self.drop_link("daemon disconnected")
                            continue
                    if mask & select.POLLOUT:
                        self.write()
            if stopping.STOP_REQUESTED:
                break
            if os.getppid() != self.parent:
                say("the daemon (pid %d) is gone; stopping" % self.parent)
                break
            now = time.monotonic()
            if now >= next_tick:
                self.tick(now)
                next_tick += interval
                if next_tick <= now:
                    # Ticks were missed (suspend, long stall): restart the rhythm.
                    next_tick = now + interval
        self.shutdown()

    def shutdown(self):
        if self.link is not None:
            self.link.close()
            self.link = None
        if self.listener is not None:
            self.listener.close()
        self.remove_socket_file()
        try:
            self.backend.close()
        except Exception as e:  # the process ends anyway; say why the clean-up failed
            say("closing the measurement failed: %s" % e)
