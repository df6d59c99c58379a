"""The collector keeps the daemon's contract: its socket, its pace, its connections,
its stop, and a clear line instead of a traceback when something is wrong."""

import os
import platform
import shutil
import signal
import socket
import stat
import subprocess
import sysconfig
import tempfile
import threading
import time
import unittest

import netfixture
from netfixture import Collector, FrameClient
from test_traffic import NamespaceTestCase, needs_root

NOBODY = 65534


@needs_root
class ConnectionTest(NamespaceTestCase):
    """Socket, pace and connections; one namespace pair for traffic."""

    def fresh_collector(self, extra=(), **kwargs):
        collector = self.start_collector(extra, **kwargs)
        self.addCleanup(collector.stop)
        return collector

    def test_socket_replaces_a_stale_file_and_is_owner_only(self):
        path = netfixture.socket_path()
        with open(path, "w") as f:
            f.write("stale")
        collector = self.fresh_collector(path=path, wait_ready=False)
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and not stat.S_ISSOCK(os.lstat(path).st_mode):
            time.sleep(0.02)
        st = os.lstat(path)
        self.assertTrue(stat.S_ISSOCK(st.st_mode))
        self.assertEqual(stat.S_IMODE(st.st_mode), 0o600)
        self.assertTrue(collector.wait_line("measuring with"), collector.output)

    def test_idle_reports_are_empty_and_come_every_interval(self):
        client = self.client()
        start = time.monotonic()
        docs = [client.read_document() for _ in range(6)]
        elapsed = time.monotonic() - start
        # Six reports at 0.2 s: about a second, never a burst and never a gap.
        self.assertGreater(elapsed, 0.8)
        self.assertLess(elapsed, 2.0)
        # The namespace server is idle, so it never appears; whether other processes of
        # the host show up is not ours to know (the empty report is checked without a
        # measurement below).
        self.assertNotIn(self.net.server.pid, [p["pid"] for d in docs[1:] for p in d["processes"]])

    def test_counts_accumulate_while_no_daemon_is_connected(self):
        collector = self.fresh_collector()
        result = self.net.run("tcp", self.net.remote_v4, "--send", "3000000", "--reply", "5000")
        time.sleep(0.7)  # several reports fall due with nobody listening
        client = self.client(collector)
        self.assertExact(client, {result["pid"]: (result["tx"], result["rx"])})

    def test_reconnecting_daemon_gets_each_byte_once(self):
        collector = self.fresh_collector()
        first = FrameClient(collector.path)
        first.read_for(0.5)
        first.close()
        self.assertTrue(collector.wait_line("daemon disconnected"), collector.output)
        result = self.net.run("tcp", self.net.remote_v6, "--send", "2000000", "--reply", "3000")
        second = self.client(collector)
        self.assertExact(second, {result["pid"]: (result["tx"], result["rx"])})
        self.assertEqual(first.get(result["pid"])[1:], (0, 0))

    def test_daemon_leaving_mid_frame_does_not_stop_the_collector(self):
        collector = self.fresh_collector()
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.settimeout(5)
        s.connect(collector.path)
        self.assertEqual(len(s.recv(2)), 2)  # half of a length prefix
        s.close()
        self.assertTrue(collector.wait_line("daemon disconnected"), collector.output)
        client = self.client(collector)
        self.assertEqual(client.read_document()["type"], "network_data")
        self.assertIsNone(collector.proc.poll())
        self.assertNotIn("Traceback", collector.output)

    def test_daemon_that_never_reads_is_dropped(self):
        collector = self.fresh_collector(["--stall-timeout", "0.6"], interval=0.1)
        silent = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        silent.connect(collector.path)
        self.addCleanup(silent.close)
        self.assertTrue(collector.wait_line("has not read", timeout=5), collector.output)
        # Its connection is closed: what was queued can be read, then the end.
        silent.settimeout(5)
        while silent.recv(65536):
            pass
        # A reading daemon is served again, and nothing moved meanwhile was lost.
        result = self.net.run("tcp", self.net.remote_v4, "--send", "100000")
        client = self.client(collector)
        self.assertExact(client, {result["pid"]: (result["tx"], result["rx"])})

    def test_a_large_report_is_split_and_each_process_sent_once(self):
        collector = self.fresh_collector(["--max-frame", "300"], interval=0.5)
        began = time.monotonic()
        client = self.client(collector)
        result = self.net.run("spawn", self.net.remote_v4, "--processes", "20",
                              "--send", "20000", "--life", "0.02")
        expected = {c["pid"]: (20008, 0) for c in result["children"]}
        self.assertExact(client, expected)
        self.assertLessEqual(max(client.frame_sizes), 300)
        # 20 processes of about 110 bytes each cannot fit in one 300-byte document: the
        # reports came in more documents than there were reports. (That no process is
        # in two documents of one report is checked on the documents themselves.)
        reports = (time.monotonic() - began) / 0.5 + 1
        self.assertGreater(client.documents, reports + 3)

    def test_a_map_read_in_small_batches_misses_nothing(self):
        if not netfixture.BACKEND.startswith("ebpf"):
            self.skipTest("the process map belongs to the eBPF backend")
        collector = self.fresh_collector(["--read-batch", "3"])
        client = self.client(collector)
        result = self.net.run("spawn", self.net.remote_v4, "--processes", "20",
                              "--send", "20000", "--life", "0.5")
        self.assertExact(client, {c["pid"]: (20008, 0) for c in result["children"]})

    def test_full_process_map_reports_the_excess_unattributed(self):
        if not netfixture.BACKEND.startswith("ebpf"):
            self.skipTest("the process map belongs to the eBPF backend")
        collector = self.fresh_collector(["--map-entries", "2"])
        client = self.client(collector)
        result = self.net.run("spawn", self.net.remote_v4, "--processes", "20",
                              "--send", "100000", "--life", "0.01")
        truth = sum(c["tx"] for c in result["children"])
        client.read_for(1.5)
        self.assertTrue(collector.wait_line("process map full"), collector.output)
        owned = [client.get(c["pid"])[1] for c in result["children"]]
        # No process gets more than it sent; what has no owner is in the visible bucket.
        self.assertTrue(all(tx <= c["tx"] for tx, c in zip(owned, result["children"])), owned)
        self.assertLess(sum(owned), truth)
        self.assertEqual(client.get(0)[0], "unattributed")
        self.assertGreaterEqual(sum(owned) + client.get(0)[1], truth)
        self.assertIsNone(collector.proc.poll())

    def test_sigterm_ends_the_collector_quickly_and_removes_the_socket(self):
        collector = self.fresh_collector()
        client = self.client(collector)
        client.read_document()
        code, elapsed = collector.terminate()
        self.assertEqual(code, 0)
        self.assertLess(elapsed, 1.0)
        self.assertFalse(os.path.exists(collector.path))
        self.assertIn("stopped", collector.output)
        self.assertNotIn("Traceback", collector.output)


def build_program(test, *defines):
    """The collector's program built with other hook names; skips the test without clang."""
    clang = shutil.which("clang")
    source = os.path.join(os.path.dirname(netfixture.SCRIPT), "ferrow_monitor.bpf.c")
    if clang is None or not os.path.exists(source):
        test.skipTest("needs clang and the program source")
    tmp = tempfile.mkdtemp(prefix="fa-bpf-")
    test.addCleanup(shutil.rmtree, tmp)
    obj = os.path.join(tmp, "variant.bpf.o")
    subprocess.run([clang, "-O2", "-g", "-target", "bpf",
                    "-I/usr/include/%s" % sysconfig.get_config_var("MULTIARCH"), *defines,
                    "-c", source, "-o", obj], check=True, timeout=60)
    return obj


@needs_root
class BadConditionTest(unittest.TestCase):

    def collector(self, **kwargs):
        c = Collector(wait_ready=False, **kwargs)
        self.addCleanup(c.stop)
        return c

    def assertExitsClearly(self, collector, code, text):
        self.assertEqual(collector.proc.wait(10), code)
        collector.reader.join(2)
        self.assertIn(text, collector.output)
        self.assertNotIn("Traceback", collector.output)
        self.assertFalse(os.path.exists(collector.path))

    def test_ebpf_without_root_exits_with_a_clear_line(self):
        self.assertExitsClearly(self.collector(backend="ebpf", user=NOBODY), 2, "needs root")

    def test_missing_program_file_exits_with_a_clear_line(self):
        c = self.collector(backend="ebpf", extra=["--bpf-object", "/nonexistent/ferrow_monitor.bpf.o"])
        self.assertExitsClearly(c, 2, "not found")

    def test_without_any_measurement_empty_reports_keep_the_link_alive(self):
        c = Collector(backend="auto", user=NOBODY, extra=["--bpf-object", "/nonexistent/x.bpf.o"])
        self.addCleanup(c.stop)
        client = FrameClient(c.path)
        self.addCleanup(client.close)
        docs = [client.read_document() for _ in range(3)]
        self.assertEqual([d["processes"] for d in docs], [[], [], []])
        self.assertTrue(c.wait_line("no measurement available: serving empty reports"), c.output)
        self.assertIn("eBPF unusable: needs root", c.lines[0])
        self.assertNotIn("Traceback", c.output)

    def test_kernel_without_the_tracepoints_is_detected(self):
        # A program built for tracepoints this kernel does not have stands in for a
        # kernel older than 6.3.
        obj = build_program(self, '-DFERROW_SEND_TRACEPOINT="raw_tp/ferrow_no_such_tracepoint"',
                            '-DFERROW_RECV_TRACEPOINT="raw_tp/ferrow_no_such_tracepoint"')
        explicit = self.collector(backend="ebpf", extra=["--bpf-object", obj])
        self.assertExitsClearly(explicit, 2, "kernel lacks the sock_send_length/sock_recv_length tracepoints")
        auto = Collector(backend="auto", extra=["--bpf-object", obj])
        self.addCleanup(auto.stop)
        self.assertTrue(auto.wait_line("serving "), auto.output)
        self.assertIn("eBPF tracepoints unusable: kernel lacks", auto.lines[0])
        self.assertNotIn("measuring with eBPF tracepoints", auto.output)
        client = FrameClient(auto.path)
        self.addCleanup(client.close)
        self.assertEqual(client.read_document()["type"], "network_data")

    def test_installed_layout_finds_its_program_without_options(self):
        if not netfixture.BPF_OBJECT:
            self.skipTest("needs the built program (FERROW_COLLECTOR_BPF_OBJECT)")
        prefix = tempfile.mkdtemp(prefix="fa-prefix-")
        self.addCleanup(shutil.rmtree, prefix)
        os.makedirs(os.path.join(prefix, "bin"))
        os.makedirs(os.path.join(prefix, "lib", "ferrow-monitor"))
        script = os.path.join(prefix, "bin", "ferrow_monitor.py")
        shutil.copy(netfixture.SCRIPT, script)
        shutil.copytree(netfixture.PACKAGE, os.path.join(prefix, "lib", "ferrow-monitor", "ferrow_collector"),
                        ignore=shutil.ignore_patterns("__pycache__"))
        shutil.copy(netfixture.BPF_OBJECT, os.path.join(prefix, "lib", "ferrow-monitor"))
        path = netfixture.socket_path()
        proc = subprocess.Popen([netfixture.PYTHON, script, "--socket", path], cwd=os.path.join(prefix, "bin"),
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        try:
            deadline = time.monotonic() + 10
            while not os.path.exists(path) and time.monotonic() < deadline and proc.poll() is None:
                time.sleep(0.02)
            self.assertTrue(os.path.exists(path))
        finally:
            proc.terminate()
            out = proc.communicate(10)[0]
        self.assertEqual(proc.returncode, 0, out)
        if netfixture.BACKEND.startswith("ebpf"):
            self.assertIn("measuring with eBPF", out)

    def test_bad_options_are_refused_before_anything_starts(self):
        c = self.collector(extra=["--interval", "0"])
        self.assertEqual(c.proc.wait(10), 2)
        self.assertFalse(os.path.exists(c.path))


def kernel_has_sock_tracepoints():
    """Linux 6.3 and later have sock:sock_send_length and sock:sock_recv_length."""
    major, minor = (int(part) for part in platform.release().split("-")[0].split(".")[:2])
    return (major, minor) >= (6, 3)


@needs_root
class AttachmentChoiceTest(unittest.TestCase):
    """Which eBPF attachment runs, and the first line naming it."""

    def setUp(self):
        if not netfixture.BPF_OBJECT:
            self.skipTest("needs the built program (FERROW_COLLECTOR_BPF_OBJECT)")

    def start(self, backend, timeout=90):
        """A collector; returns it once it serves or has exited."""
        c = Collector(backend=backend, wait_ready=False)
        self.addCleanup(c.stop)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and c.proc.poll() is None and not os.path.exists(c.path):
            time.sleep(0.05)
        c.reader.join(0.5) if c.proc.poll() is not None else time.sleep(0.1)
        return c

    def test_auto_takes_the_tracepoints_where_the_kernel_has_them(self):
        if not kernel_has_sock_tracepoints():
            self.skipTest("kernel before 6.3: the Debian 12 guest test checks the choice there")
        c = self.start("auto")
        self.assertEqual(c.lines[0], "ferrow_monitor: measuring with eBPF tracepoints "
                                     "sock_send_length/sock_recv_length (payload bytes, loopback excluded)")

    def test_each_attachment_can_be_forced_or_says_why_not(self):
        for backend, label in (("ebpf-tracepoints", "eBPF tracepoints"), ("ebpf-fexit", "eBPF fexit")):
            with self.subTest(backend=backend):
                c = self.start(backend)
                self.assertTrue(c.lines, "no output from --backend %s" % backend)
                if c.proc.poll() is None:
                    self.assertTrue(c.lines[0].startswith("ferrow_monitor: measuring with %s " % label),
                                    c.lines[0])
                else:
                    self.assertEqual(c.proc.returncode, 2)
                    self.assertTrue(c.lines[0].startswith(
                        "ferrow_monitor: exiting: the requested %s measurement cannot run here: "
                        "%s unusable: " % (backend, label)), c.lines[0])
                    self.assertFalse(os.path.exists(c.path))
                self.assertNotIn("Traceback", c.output)
        if kernel_has_sock_tracepoints():
            # The better attachment is there: "ebpf" takes it.
            self.assertIn("measuring with eBPF tracepoints", self.start("ebpf").lines[0])

    def test_without_cgroup_v2_unconnected_loopback_datagrams_are_counted_as_the_first_line_says(self):
        if not kernel_has_sock_tracepoints():
            self.skipTest("the cgroup hooks belong to the tracepoint attachment")
        # A private mount namespace without the cgroup v2 mount.
        wrap = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                'for m in $(findmnt -n -t cgroup2 -o TARGET); do umount -l "$m" || exit 1; done; exec "$@"',
                "sh"]
        c = Collector(backend="ebpf-tracepoints", wrap=wrap)
        self.addCleanup(c.stop)
        self.assertTrue(c.wait_line("serving "), c.output)
        self.assertEqual(c.lines[0], "ferrow_monitor: measuring with eBPF tracepoints "
                                     "sock_send_length/sock_recv_length (payload bytes, loopback excluded; "
                                     "loopback datagrams of unconnected UDP sockets counted: "
                                     "no cgroup v2 mounted)")
        client = FrameClient(c.path)
        self.addCleanup(client.close)
        exchange = ("import os, socket\n"
                    "a = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                    "a.bind(('0.0.0.0', 0))\n"
                    "for _ in range(3):\n"
                    "    a.sendto(b'x' * 1000, ('127.0.0.1', a.getsockname()[1]))\n"
                    "    a.recv(2000)\n"
                    "print(os.getpid())\n")
        pid = int(subprocess.run([netfixture.PYTHON, "-c", exchange], stdout=subprocess.PIPE, text=True,
                                 check=True, timeout=30).stdout)
        client.wait_for({pid: (3000, 3000)})
        self.assertEqual(client.get(pid)[1:], (3000, 3000))

    def test_without_the_drop_tracepoint_the_first_line_says_what_may_be_missed(self):
        if not kernel_has_sock_tracepoints():
            self.skipTest("the drop tracepoint belongs to the tracepoint attachment")
        obj = build_program(self, '-DFERROW_DROP_TRACEPOINT="raw_tp/ferrow_no_such_tracepoint"')
        c = Collector(backend="ebpf-tracepoints", extra=["--bpf-object", obj])
        self.addCleanup(c.stop)
        self.assertTrue(c.wait_line("serving "), c.output)
        self.assertTrue(c.lines[0].startswith(
            "ferrow_monitor: measuring with eBPF tracepoints sock_send_length/sock_recv_length "
            "(payload bytes, loopback excluded; tracepoint udp_fail_queue_rcv_skb unusable ("), c.lines[0])
        self.assertTrue(c.lines[0].endswith(
            "): a loopback datagram dropped for a full receive buffer may leave a later one of its size "
            "uncounted)"), c.lines[0])


def as_nobody(*argv):
    """Runs argv as the unprivileged user; returns its exit status."""
    return subprocess.run(["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups"]
                          + list(argv), timeout=10).returncode


def collector_argv(path):
    argv = [netfixture.PYTHON, netfixture.SCRIPT, "--socket", path, "--interval", "0.2",
            "--backend", netfixture.BACKEND]
    if netfixture.BPF_OBJECT:
        argv += ["--bpf-object", netfixture.BPF_OBJECT]
    return argv


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


@needs_root
class SquattedPathTest(unittest.TestCase):
    """Another user's entry at the socket path, or at any name the collector uses
    beside it, does not keep the collector from serving there."""

    def setUp(self):
        # A directory anybody may write, sticky as /tmp.
        self.dir = tempfile.mkdtemp(prefix="fa-squat-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        os.chmod(self.dir, 0o1777)
        self.path = os.path.join(self.dir, "network_monitor.sock")

    def assertServes(self, collector, leftovers=()):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and collector.proc.poll() is None:
            st = os.lstat(self.path) if os.path.lexists(self.path) else None
            if st is not None and stat.S_ISSOCK(st.st_mode) and st.st_uid == 0:
                break
            time.sleep(0.02)
        self.assertIsNone(collector.proc.poll(), collector.output)
        st = os.lstat(self.path)
        self.assertTrue(stat.S_ISSOCK(st.st_mode))
        self.assertEqual((st.st_uid, stat.S_IMODE(st.st_mode)), (0, 0o600))
        client = FrameClient(self.path)
        self.addCleanup(client.close)
        self.assertEqual(client.read_document()["type"], "network_data")
        peer = client.sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, 12)
        self.assertEqual(int.from_bytes(peer[4:8], "little"), 0)
        # Nothing of the collector's is left beside the socket.
        self.assertEqual(sorted(os.listdir(self.dir)), sorted(["network_monitor.sock"] + list(leftovers)))
        self.assertNotIn("Traceback", collector.output)

    def start(self):
        collector = Collector(path=self.path, wait_ready=False)
        self.addCleanup(collector.stop)
        return collector

    def test_directory_at_the_path(self):
        self.assertEqual(as_nobody("mkdir", self.path), 0)
        self.assertEqual(as_nobody("touch", os.path.join(self.path, "inside")), 0)
        collector = self.start()
        self.assertServes(collector)
        self.assertTrue(collector.wait_line("out of the way"), collector.output)
        # The private directory went, with the tree moved into it.
        parent = os.path.dirname(self.path)
        self.assertEqual([n for n in os.listdir(parent) if n.startswith(".")], [])

    def test_file_at_the_path(self):
        self.assertEqual(as_nobody("sh", "-c", 'echo squat > "$1"', "sh", self.path), 0)
        self.assertServes(self.start())

    def test_symlink_at_the_path_is_replaced_not_followed(self):
        victim = os.path.join(self.dir, "victim")
        with open(victim, "w") as f:
            f.write("root's")
        self.assertEqual(as_nobody("ln", "-s", victim, self.path), 0)
        self.assertServes(self.start(), leftovers=["victim"])
        with open(victim) as f:
            self.assertEqual(f.read(), "root's")

    def test_listening_socket_of_another_user_at_the_path(self):
        squatter = subprocess.Popen(
            ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups",
             netfixture.PYTHON, "-c",
             "import socket, sys, time\n"
             "s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)\n"
             "s.bind(sys.argv[1]); s.listen(8); print('ready', flush=True)\n"
             "time.sleep(60)\n", self.path], stdout=subprocess.PIPE, text=True)
        self.addCleanup(squatter.wait)
        self.addCleanup(squatter.kill)
        self.assertEqual(squatter.stdout.readline().strip(), "ready")
        squatter.stdout.close()
        self.assertServes(self.start())

    def test_directory_at_the_name_a_pid_based_scheme_would_use(self):
        # The shell's pid becomes the collector's: it makes the name as the
        # squatter, then replaces itself with the collector.
        name = ".network_monitor.sock.%d"
        wrapper = ('setpriv --reuid=%d --regid=%d --clear-groups mkdir "$0/.network_monitor.sock.$$" '
                   '&& exec "$@"' % (NOBODY, NOBODY))
        collector = WrappedCollector(self.path, ["sh", "-c", wrapper, self.dir] + collector_argv(self.path))
        self.addCleanup(collector.stop)
        squatted = name % collector.proc.pid
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and not os.path.isdir(os.path.join(self.dir, squatted)):
            time.sleep(0.01)
        self.assertServes(collector, leftovers=[squatted])


class WrappedCollector(Collector):
    """The collector started through a wrapper that replaces itself with it."""

    def __init__(self, path, argv):
        self.path = path
        self.lines = []
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.reader = threading.Thread(target=self._read_output, daemon=True)
        self.reader.start()


@needs_root
class ParentTest(unittest.TestCase):

    def test_collector_ends_when_the_process_that_started_it_dies(self):
        path = netfixture.socket_path()
        self.addCleanup(lambda: os.path.lexists(path) and os.unlink(path))
        # A stand-in daemon that starts the collector and is then killed outright.
        parent = subprocess.Popen(["sh", "-c", '"$@" >/dev/null 2>&1 & echo $!; wait', "sh"]
                                  + collector_argv(path), stdout=subprocess.PIPE, text=True)
        pid = int(parent.stdout.readline())
        parent.stdout.close()
        self.addCleanup(lambda: alive(pid) and os.kill(pid, signal.SIGKILL))
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and not os.path.exists(path):
            time.sleep(0.02)
        self.assertTrue(os.path.exists(path))
        parent.kill()
        parent.wait()
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and alive(pid):
            time.sleep(0.05)
        self.assertFalse(alive(pid))
        self.assertFalse(os.path.exists(path))


def children(pid):
    """The pids of a process's children, zombies included."""
    with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
        return [int(p) for p in f.read().split()]


def state(pid):
    """The scheduler state letter of a process (R, S, T, Z...), or None once it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return None


def kernel_objects(pid):
    """[(kind, fdinfo fields)] of the anonymous-inode descriptors of a process (eBPF maps,
    programs, links, BTF)."""
    found = []
    for name in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, name))
            if not target.startswith("anon_inode:"):
                continue
            with open("/proc/%d/fdinfo/%s" % (pid, name)) as f:
                fields = dict(line.rstrip("\n").split(":\t", 1) for line in f if ":\t" in line)
        except OSError:
            continue  # closed meanwhile
        found.append((target[len("anon_inode:"):], fields))
    return found


# Opens the backend the tests use, as the collector does, then closes it on request.
OPEN_AND_CLOSE = """
import sys
sys.path.insert(0, sys.argv[1])
from ferrow_collector import cli
backend = cli.BACKENDS[sys.argv[2]]()
backend.options = cli.parse_args(sys.argv[3:])
backend.open()
print("opened", flush=True)
sys.stdin.readline()
backend.close()
print("closed", flush=True)
sys.stdin.readline()
"""


@needs_root
class LoaderTest(unittest.TestCase):
    """The program is loaded by a short-lived child; the collector keeps only the
    descriptors of its maps and links, and never outlives nor is outlived by it."""

    def setUp(self):
        if not netfixture.BACKEND.startswith("ebpf"):
            self.skipTest("the loader belongs to the eBPF backend")
        if not netfixture.BPF_OBJECT:
            self.skipTest("needs the built program (FERROW_COLLECTOR_BPF_OBJECT)")

    def gone_from_kernel(self, ids, deadline):
        """The (kind, id) pairs still known to the kernel once the deadline passed or none is."""
        from ferrow_collector.ebpf.libbpf import Libbpf
        lib = Libbpf().lib
        by_id = {"link": lib.bpf_link_get_fd_by_id, "prog": lib.bpf_prog_get_fd_by_id,
                 "map": lib.bpf_map_get_fd_by_id}
        while True:
            left = []
            for kind, number in ids:
                fd = by_id[kind](number)
                if fd >= 0:
                    os.close(fd)
                    left.append((kind, number))
            if not left or time.monotonic() > deadline:
                return left
            time.sleep(0.05)

    def test_open_hands_over_only_maps_and_links_and_close_detaches_them(self):
        proc = subprocess.Popen([netfixture.PYTHON, "-c", OPEN_AND_CLOSE, netfixture.PACKAGE_HOME,
                                 netfixture.BACKEND, "--bpf-object", netfixture.BPF_OBJECT],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                text=True)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        self.assertEqual(proc.stdout.readline(), "opened\n")
        # The loader has been reaped (a zombie would still be listed).
        self.assertEqual(children(proc.pid), [])
        objects = kernel_objects(proc.pid)
        kinds = sorted({kind for kind, _fields in objects})
        # No program, BTF or object of libbpf's: the maps read and the links keeping the
        # programs attached (tracepoints, trampolines and the cgroup hooks alike).
        self.assertEqual(kinds, ["bpf-map", "bpf_link"])
        maps = [f for kind, f in objects if kind == "bpf-map"]
        links = [f for kind, f in objects if kind == "bpf_link"]
        self.assertEqual(len(maps), 4)  # traffic, unowned, programs, forks
        self.assertGreaterEqual(len(links), 5)  # the counters and the exec, fork and exit tracers
        self.assertTrue({f["link_type"] for f in links} <= {"raw_tracepoint", "tracing", "cgroup"},
                        links)
        ids = ([("link", int(f["link_id"])) for f in links] + [("prog", int(f["prog_id"])) for f in links]
               + [("map", int(f["map_id"])) for f in maps])
        proc.stdin.write("\n")
        proc.stdin.flush()
        self.assertEqual(proc.stdout.readline(), "closed\n")
        # close() alone, the process still running, detaches and frees every one of them.
        self.assertEqual(kernel_objects(proc.pid), [])
        self.assertEqual(self.gone_from_kernel(ids, time.monotonic() + 5), [])
        proc.stdin.close()
        self.assertEqual(proc.wait(10), 0)
        proc.stdout.close()

    @staticmethod
    def working_loader(collector, deadline):
        """The collector's loader once it holds a map (past its start, so its parent-death
        signal is set), or None when it was not seen at work."""
        while time.monotonic() < deadline and collector.proc.poll() is None and not collector.lines:
            try:
                for loader in children(collector.proc.pid):
                    if any(kind == "bpf-map" for kind, _fields in kernel_objects(loader)):
                        return loader
            except FileNotFoundError:
                pass  # one of them ended meanwhile
            time.sleep(0.001)
        return None

    def loading_collector(self):
        """A collector whose loader was caught and stopped while it works on the program."""
        for _attempt in range(3):
            c = Collector(wait_ready=False)
            self.addCleanup(c.stop)
            loader = self.working_loader(c, time.monotonic() + 60)
            if loader is not None:
                os.kill(loader, signal.SIGSTOP)
                self.addCleanup(lambda pid=loader: alive(pid) and os.kill(pid, signal.SIGKILL))
                while state(loader) not in ("T", "Z", None):
                    time.sleep(0.001)
                if state(loader) == "T":
                    return c, loader
            c.stop()
        self.fail("the loader was never caught at work")

    def test_sigterm_while_the_program_loads_ends_the_collector_cleanly(self):
        c, loader = self.loading_collector()
        c.proc.send_signal(signal.SIGTERM)
        os.kill(loader, signal.SIGCONT)
        self.assertEqual(c.proc.wait(30), 0)
        c.reader.join(2)
        self.assertIn("stopped", c.output)
        self.assertNotIn("serving", c.output)
        self.assertNotIn("Traceback", c.output)
        self.assertFalse(os.path.exists(c.path))
        self.assertFalse(alive(loader))

    def test_the_loader_dies_with_the_collector(self):
        c, loader = self.loading_collector()
        c.proc.kill()
        c.proc.wait(10)
        # Still stopped, so only the parent-death signal can end it.
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and alive(loader):
            time.sleep(0.02)
        self.assertFalse(alive(loader))


if __name__ == "__main__":
    unittest.main()
