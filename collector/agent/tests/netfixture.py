"""Shared pieces of the collector tests and benchmark: a pair of network namespaces
joined by a veth pair, the collector as a child process, and a client reading its
frames the way the daemon does.

Environment (all optional):
  FERROW_COLLECTOR_SCRIPT      the collector script (default: ../ferrow_monitor.py); the
                               tests import the package that script runs
  FERROW_COLLECTOR_BPF_OBJECT  the compiled eBPF program (passed as --bpf-object)
  FERROW_COLLECTOR_BACKEND     backend to test: ebpf (default), ebpf-tracepoints, ebpf-fexit
                               or portable
  FERROW_COLLECTOR_IN_NETNS    1: run the collector inside the measured namespace
                               (default 1 for the portable backend, 0 otherwise)
"""

import json
import os
import random
import select
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"
SCRIPT = os.environ.get("FERROW_COLLECTOR_SCRIPT") or os.path.join(HERE, os.pardir, "ferrow_monitor.py")


def _package_home(script):
    """Where the script finds its package: <prefix>/lib/ferrow-monitor/ or beside it."""
    here = os.path.dirname(os.path.realpath(script))
    for home in (os.path.join(here, os.pardir, "lib", "ferrow-monitor"), here):
        if os.path.isfile(os.path.join(home, "ferrow_collector", "__init__.py")):
            return os.path.normpath(home)
    return here


PACKAGE_HOME = _package_home(SCRIPT)
PACKAGE = os.path.join(PACKAGE_HOME, "ferrow_collector")
if PACKAGE_HOME not in sys.path:
    sys.path.insert(0, PACKAGE_HOME)
WORKLOAD = os.path.join(HERE, "workload.py")
BPF_OBJECT = os.environ.get("FERROW_COLLECTOR_BPF_OBJECT") or None
BACKEND = os.environ.get("FERROW_COLLECTOR_BACKEND", "ebpf")
IN_NETNS = os.environ.get("FERROW_COLLECTOR_IN_NETNS", "1" if BACKEND == "portable" else "0") == "1"
MAX_FRAME_BODY = 1048576
SERVER_PORT = 5001


def sh(*args, check=True, timeout=10):
    return subprocess.run(list(args), check=check, timeout=timeout,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


class NetnsPair:
    """Two namespaces, "local" (the measured side) and "remote", joined by a veth pair.

    Private addresses 10.77.N.1/.2 and fd77:N::1/::2 exist only inside them and there
    is no route out. destroy() removes everything, also after a partial create().
    """

    def __init__(self):
        tag = "%04x%d" % (random.getrandbits(16), os.getpid() % 100000)
        self.local = "fal" + tag
        self.remote = "far" + tag
        n = random.randint(1, 250)
        self.local_v4, self.remote_v4 = "10.77.%d.1" % n, "10.77.%d.2" % n
        self.local_v6, self.remote_v6 = "fd77:%x::1" % n, "fd77:%x::2" % n
        self.server = None

    def create(self):
        try:
            sh("ip", "netns", "add", self.local)
            sh("ip", "netns", "add", self.remote)
            sh("ip", "link", "add", "fa0", "netns", self.local, "type", "veth",
               "peer", "name", "fa1", "netns", self.remote)
            for ns, dev, v4, v6 in ((self.local, "fa0", self.local_v4, self.local_v6),
                                    (self.remote, "fa1", self.remote_v4, self.remote_v6)):
                self.ip(ns, "link", "set", "lo", "up")
                self.ip(ns, "addr", "add", v4 + "/24", "dev", dev)
                self.ip(ns, "-6", "addr", "add", v6 + "/64", "dev", dev, "nodad")
                self.ip(ns, "link", "set", dev, "up")
            self.start_server()
        except BaseException:
            self.destroy()
            raise

    def ip(self, ns, *args):
        return sh("ip", "-n", ns, *args)

    def start_server(self):
        self.server = subprocess.Popen(self.exec_args(self.remote, [PYTHON, WORKLOAD, "serve",
                                                                    "--port", str(SERVER_PORT)]),
                                       stdout=subprocess.PIPE, text=True)
        ready, _, _ = select.select([self.server.stdout], [], [], 10)
        if not ready or self.server.stdout.readline().strip() != "ready":
            raise RuntimeError("workload server did not start")
        # The remote address must answer before the first workload runs.
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            if sh("ip", "netns", "exec", self.local, "ping", "-c1", "-W1", self.remote_v4,
                  check=False).returncode == 0:
                return
        raise RuntimeError("veth pair does not pass traffic")

    @staticmethod
    def exec_args(ns, argv):
        return ["ip", "netns", "exec", ns] + list(argv)

    def destroy(self):
        if self.server is not None:
            self.server.kill()
            self.server.wait()
            self.server.stdout.close()
            self.server = None
        for ns in (self.local, self.remote):
            sh("ip", "netns", "del", ns, check=False)

    def run(self, mode, host, *args, timeout=60):
        """Runs a workload client in the local namespace; returns its JSON result."""
        argv = self.exec_args(self.local, [PYTHON, WORKLOAD, mode, host, str(SERVER_PORT)] + list(args))
        done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              timeout=timeout)
        if done.returncode != 0:
            raise RuntimeError("workload %s failed: %s" % (mode, done.stderr.strip()[-500:]))
        return json.loads(done.stdout.strip().splitlines()[-1])

    def start(self, mode, host, *args):
        """Starts a workload client in the background; finish() gives its result."""
        argv = self.exec_args(self.local, [PYTHON, WORKLOAD, mode, host, str(SERVER_PORT)] + list(args))
        return subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    @staticmethod
    def finish(proc, timeout=60):
        out, err = proc.communicate(timeout=timeout)
        if proc.returncode != 0:
            raise RuntimeError("workload failed: %s" % err.strip()[-500:])
        return json.loads(out.strip().splitlines()[-1])


_socket_counter = [0]


def socket_path():
    _socket_counter[0] += 1
    return "/tmp/fa-%d-%d.sock" % (os.getpid(), _socket_counter[0])


class Collector:
    """The collector as a child process; its output lines are kept in `lines`."""

    def __init__(self, netns=None, interval=0.2, extra=(), backend=BACKEND, path=None,
                 wait_ready=True, user=None, wrap=()):
        self.path = path or socket_path()
        argv = [PYTHON, SCRIPT, "--socket", self.path, "--interval", str(interval),
                "--backend", backend]
        if BPF_OBJECT:
            argv += ["--bpf-object", BPF_OBJECT]
        argv += list(extra)
        if user is not None:
            argv = ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups"] + argv
        if netns is not None:
            argv = NetnsPair.exec_args(netns, argv)
        argv = list(wrap) + argv
        self.lines = []
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.reader = threading.Thread(target=self._read_output, daemon=True)
        self.reader.start()
        if wait_ready:
            self.wait_ready()

    def _read_output(self):
        for line in self.proc.stdout:
            self.lines.append(line.rstrip("\n"))

    @property
    def output(self):
        return "\n".join(self.lines)

    def wait_ready(self, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if os.path.exists(self.path):
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.02)
        self.stop()
        raise RuntimeError("collector did not start: %s" % self.output)

    def wait_line(self, text, timeout=5):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if any(text in line for line in self.lines):
                return True
            time.sleep(0.02)
        return False

    def terminate(self, timeout=5):
        """SIGTERM; returns (exit code, seconds until the process ended)."""
        start = time.monotonic()
        self.proc.send_signal(signal.SIGTERM)
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            code = self.proc.wait()
        elapsed = time.monotonic() - start
        self.reader.join(2)
        return code, elapsed

    def stop(self):
        if self.proc.poll() is None:
            self.terminate()
        else:
            self.reader.join(2)
        self.proc.stdout.close()
        try:
            os.unlink(self.path)
        except OSError:
            pass

    def cpu_seconds(self):
        """CPU time the collector has used so far, from the scheduler's nanosecond counter."""
        pid = self.measured_pid()
        with open("/proc/%d/schedstat" % pid) as f:
            return int(f.read().split()[0]) / 1e9

    def measured_pid(self):
        """The collector's own pid (under ip netns exec the child replaces the wrapper)."""
        return self.proc.pid


class ProtocolError(AssertionError):
    pass


class FrameClient:
    """Reads the collector's frames as the daemon does and adds the reports up."""

    def __init__(self, path, timeout=5.0):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        self.sock.connect(path)
        self.totals = {}          # pid -> [comm, tx, rx]
        self.documents = 0
        self.frame_sizes = []

    def close(self):
        self.sock.close()

    def _exact(self, n):
        data = bytearray()
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise ProtocolError("collector closed the connection")
            data += chunk
        return bytes(data)

    def read_document(self):
        (length,) = struct.unpack(">I", self._exact(4))
        if length > MAX_FRAME_BODY:
            raise ProtocolError("frame of %d bytes exceeds the limit" % length)
        body = self._exact(length)
        self.frame_sizes.append(length)
        doc = json.loads(body.decode("utf-8"))
        if doc.get("type") != "network_data" or not isinstance(doc.get("processes"), list):
            raise ProtocolError("not a data document: %r" % body[:200])
        pids = [p["pid"] for p in doc["processes"]]
        if len(pids) != len(set(pids)):
            raise ProtocolError("a pid appears twice in one document")
        for p in doc["processes"]:
            for key, kind in (("pid", int), ("comm", str), ("tx_bytes", int), ("rx_bytes", int),
                              ("tx_speed", (int, float)), ("rx_speed", (int, float))):
                if not isinstance(p.get(key), kind):
                    raise ProtocolError("bad %s in %r" % (key, p))
            entry = self.totals.setdefault(p["pid"], [p["comm"], 0, 0])
            entry[0] = p["comm"]
            entry[1] += p["tx_bytes"]
            entry[2] += p["rx_bytes"]
        self.documents += 1
        return doc

    def read_for(self, seconds):
        deadline = time.monotonic() + seconds
        docs = []
        while time.monotonic() < deadline:
            docs.append(self.read_document())
        return docs

    def get(self, pid):
        comm, tx, rx = self.totals.get(pid, ["", 0, 0])
        return comm, tx, rx

    def wait_for(self, expected, timeout=5.0, settle=0.5):
        """Reads until every pid in `expected` ({pid: (tx, rx)}) has reached its bytes,
        then a little longer so that any excess shows up too. Returns True when reached."""
        deadline = time.monotonic() + timeout

        def reached():
            return all(self.get(pid)[1] >= tx and self.get(pid)[2] >= rx
                       for pid, (tx, rx) in expected.items())

        while not reached() and time.monotonic() < deadline:
            self.read_document()
        ok = reached()
        self.read_for(settle)
        return ok
