"""The real daemon with its real collector: bytes of processes living a few
milliseconds must land under their package in "app_info" and, after SIGTERM, in
"app_data" of ferrow.db.

One test world per backend: the daemon runs in the "local" network namespace of
a veth pair, inside private mount and IPC namespaces (in_namespace.sh), and
starts the collector forced to one backend. The workloads run in "local":
30 curl and 20 wget downloads from a web server in "remote", and a short-lived
package-owned Python script (http/server.py of the standard library) that
serves a few files and is ended about half a second after it started.

Arguments: the daemon binary, in_namespace.sh, the collector script and the
compiled eBPF program (environment FERROW_DAEMON, FERROW_IN_NAMESPACE,
FERROW_COLLECTOR_SCRIPT, FERROW_COLLECTOR_BPF_OBJECT).
"""

import json
import os
import select
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, os.pardir, "collector", "agent", "tests"))
import netfixture  # noqa: E402
from netfixture import PYTHON, NetnsPair  # noqa: E402

DAEMON = os.environ.get("FERROW_DAEMON", "")
IN_NAMESPACE = os.environ.get("FERROW_IN_NAMESPACE", os.path.join(HERE, "in_namespace.sh"))
SCRIPT = netfixture.SCRIPT
BPF_OBJECT = netfixture.BPF_OBJECT
CURL, WGET = shutil.which("curl"), shutil.which("wget")
STDLIB_SERVER = "/usr/lib/python3.11/http/server.py"
HTTP_PORT, SCRIPT_PORT = 8090, 8091
CURL_FILE, WGET_FILE, SCRIPT_FILE = 1 << 20, 512 << 10, 2 << 20

# Fetches the script server's file as soon as it answers; prints the bytes read.
FETCH = """
import sys, time, urllib.request
url, count = sys.argv[1], int(sys.argv[2])
deadline = time.monotonic() + 20
while True:
    try:
        total = 0
        for _ in range(count):
            total += len(urllib.request.urlopen(url, timeout=5).read())
        break
    except OSError:
        if time.monotonic() > deadline:
            raise
        time.sleep(0.01)
print(total)
"""


def owner(path):
    out = subprocess.run(["dpkg-query", "-S", os.path.realpath(path)], stdout=subprocess.PIPE,
                         text=True, check=True).stdout
    return out.split(": ", 1)[0]


def read_json(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def needs_world():
    if os.geteuid() != 0:
        return "needs root"
    if not os.access(DAEMON, os.X_OK):
        return "no daemon binary"
    if not (CURL and WGET):
        return "needs curl and wget"
    if not os.path.exists(STDLIB_SERVER):
        return "needs Python 3.11's http/server.py"
    return None


@unittest.skipIf(needs_world(), needs_world())
class ShortLivedWorld:
    backend = None
    # The least share of each workload's bytes that must be under its package.
    least_share = {"curl": 0.99, "wget": 0.99, "script": 0.99}

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="fa-world-")
        cls.data = os.path.join(cls.work, "data")
        os.mkdir(cls.data)
        with open(os.path.join(cls.data, "setting.conf"), "w") as f:
            f.write("[RivletMonitor]\nFERROW_COUNT_STATUS=1\nFERROW_LOG_LEVEL=1\n")
        cls.files = os.path.join(cls.work, "www")
        os.mkdir(cls.files)
        for name, size in (("c", CURL_FILE), ("w", WGET_FILE), ("s", SCRIPT_FILE)):
            with open(os.path.join(cls.files, name), "wb") as f:
                f.write(os.urandom(size))
        # The daemon runs /usr/bin/ferrow_monitor.py: here a script that starts a copy of
        # the collector under test with the backend forced. The copy lives in the work
        # directory, which stays visible under the test world's fresh /tmp wherever the
        # tree under test is.
        agent = os.path.join(cls.work, "agent")
        shutil.copytree(os.path.dirname(os.path.realpath(SCRIPT)), agent,
                        ignore=shutil.ignore_patterns("tests", "__pycache__", "*.c"))
        extra = ["--backend", cls.backend]
        if BPF_OBJECT:
            extra += ["--bpf-object", shutil.copy(BPF_OBJECT, agent)]
        cls.wrapper = os.path.join(cls.work, "collector.py")
        with open(cls.wrapper, "w") as f:
            f.write("import os, sys\nos.execv(%r, [%r, %r] + %r + sys.argv[1:])\n"
                    % (PYTHON, PYTHON, os.path.join(agent, os.path.basename(SCRIPT)), extra))
        cls.net = NetnsPair()
        cls.net.create()
        cls.web = subprocess.Popen(NetnsPair.exec_args(cls.net.remote, [
            "busybox", "httpd", "-f", "-p", "%s:%d" % (cls.net.remote_v4, HTTP_PORT), "-h", cls.files]))
        cls.stderr = open(os.path.join(cls.work, "daemon.err"), "w+")
        cls.daemon = subprocess.Popen(NetnsPair.exec_args(cls.net.local, [
            IN_NAMESPACE, cls.work, cls.data, cls.wrapper, os.path.dirname(DAEMON), DAEMON]),
            stdout=cls.stderr, stderr=subprocess.STDOUT)
        try:
            cls.wait_for_log("ferrow_monitor: daemon connected", 60)
            cls.truth = cls.run_workloads()
            cls.wait_for_counts()
            cls.app_info, cls.process_info = cls.documents()
            cls.daemon.send_signal(signal.SIGTERM)
            cls.exit_code = cls.daemon.wait(60)
            with sqlite3.connect(os.path.join(cls.data, "ferrow.db")) as db:
                cls.app_data = dict(db.execute("SELECT pkgname, SUM(total) FROM app_data GROUP BY pkgname"))
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.daemon.poll() is None:
            cls.daemon.kill()
            cls.daemon.wait()
        cls.web.kill()
        cls.web.wait()
        cls.net.destroy()
        cls.stderr.close()
        shutil.rmtree(cls.work, ignore_errors=True)

    @classmethod
    def log(cls):
        cls.stderr.flush()
        with open(cls.stderr.name, errors="replace") as f:
            return f.read()

    @classmethod
    def wait_for_log(cls, text, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in cls.log():
                return
            if cls.daemon.poll() is not None:
                break
            time.sleep(0.05)
        raise RuntimeError("no %r from the daemon:\n%s" % (text, cls.log()[-3000:]))

    @classmethod
    def run_workloads(cls):
        """Runs every workload; returns {workload: (its package, bytes it moved at least)}."""
        url = "http://%s:%d/" % (cls.net.remote_v4, HTTP_PORT)
        curl_bytes = 0
        for _ in range(30):
            done = subprocess.run(NetnsPair.exec_args(cls.net.local, [
                CURL, "-s", "-o", "/dev/null", "-w", "%{size_download} %{size_header} %{size_request}",
                url + "c"]), stdout=subprocess.PIPE, text=True, check=True, timeout=20)
            curl_bytes += sum(int(n) for n in done.stdout.split())
        for _ in range(20):
            subprocess.run(NetnsPair.exec_args(cls.net.local, [WGET, "-q", "-O", "/dev/null", url + "w"]),
                           check=True, timeout=20)
        script_bytes = 0
        for _ in range(3):
            server = subprocess.Popen(NetnsPair.exec_args(cls.net.local, [
                PYTHON, STDLIB_SERVER, str(SCRIPT_PORT), "--bind", cls.net.local_v4,
                "--directory", cls.files]), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            fetched = subprocess.run(NetnsPair.exec_args(cls.net.remote, [
                PYTHON, "-c", FETCH, "http://%s:%d/s" % (cls.net.local_v4, SCRIPT_PORT), "2"]),
                stdout=subprocess.PIPE, text=True, timeout=30)
            server.terminate()
            server.wait(10)
            script_bytes += int(fetched.stdout)
        return {"curl": (owner(CURL), curl_bytes), "wget": (owner(WGET), 20 * WGET_FILE),
                "script": (owner(STDLIB_SERVER), script_bytes)}

    @classmethod
    def documents(cls):
        """Both documents of one refresh: the application document, read before and
        after the process document, has not changed in between."""
        path = os.path.join(cls.data, "app_info")
        while True:
            before = read_json(path)
            processes = read_json(os.path.join(cls.data, "process_info"))
            if before is not None and processes is not None and read_json(path) == before:
                return {a["pkg"]: a["sum_total"] for a in before}, processes

    @classmethod
    def wait_for_counts(cls, timeout=30):
        """Waits until every workload's bytes are in the application document (or the timeout)."""
        path = os.path.join(cls.data, "app_info")
        deadline = time.monotonic() + timeout
        while True:
            apps = {a["pkg"]: a["sum_total"] for a in read_json(path) or []}
            if all(apps.get(p, 0) >= n * cls.least_share[w] for w, (p, n) in cls.truth.items()):
                return
            if time.monotonic() > deadline:
                return
            time.sleep(0.2)

    def figures(self):
        return "truth %s\napp_info %s\napp_data %s" % (self.truth, self.app_info, self.app_data)

    def test_short_lived_bytes_are_under_their_package(self):
        print("\n[%s] %s" % (self.backend, self.figures()))
        for workload, (package, moved) in self.truth.items():
            with self.subTest(workload=workload):
                least = moved * self.least_share[workload]
                self.assertGreaterEqual(self.app_info.get(package, 0), least, self.figures())
                self.assertGreaterEqual(self.app_data.get(package, 0), least, self.figures())

    def test_the_process_document_holds_every_byte_of_the_application_document(self):
        self.assertIsNotNone(self.process_info)
        per_process = sum(p["sum_total"] for p in self.process_info)
        self.assertEqual(per_process, sum(self.app_info.values()), self.figures())

    def test_sigterm_ends_the_daemon_cleanly(self):
        self.assertEqual(self.exit_code, 0, self.log()[-3000:])


class EbpfWorld(ShortLivedWorld, unittest.TestCase):
    backend = "ebpf"


class PortableWorld(ShortLivedWorld, unittest.TestCase):
    """Without process events in a network namespace of its own, the portable backend
    learns owners from its socket scans alone: a download tool is found by the scan its
    new connection starts, a server's accepted connections may end before a scan."""
    backend = "portable"
    least_share = {"curl": 0.9, "wget": 0.9, "script": 0.0}


if __name__ == "__main__":
    unittest.main()
