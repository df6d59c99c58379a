"""Reports name the program of each process, also of processes gone within milliseconds
(download tools), of children forked without exec and of processes older than the
collector; both backends."""

import os
import select
import shutil
import subprocess
import tempfile
import time
import unittest

import netfixture  # first: it puts the collector's package on the path
from ferrow_collector import programs
from ferrow_collector.ledger import (Ledger, build_documents, documents_to_send, programs_carried,
                                    programs_within)
from ferrow_collector.programs import from_exec, split_args
from netfixture import PYTHON, WORKLOAD, NetnsPair
from test_portable import PortableCollector
from test_traffic import NamespaceTestCase, needs_root

HTTP_PORT = 5080
FILE_SIZE = 150000
CURL = shutil.which("curl")
WGET = shutil.which("wget")


class ProgramClient(netfixture.FrameClient):
    """Also keeps the program each pid was reported with: {pid: [(exe, cmdline), ...]}."""

    def __init__(self, path):
        super().__init__(path)
        self.programs = {}

    def read_document(self):
        doc = super().read_document()
        for p in doc["processes"]:
            if "exe" in p:
                self.assertion(isinstance(p["exe"], str) and isinstance(p["cmdline"], list), p)
                seen = self.programs.setdefault(p["pid"], [])
                if (p["exe"], p["cmdline"]) not in seen:
                    seen.append((p["exe"], p["cmdline"]))
            else:
                self.programs.setdefault(p["pid"], [])
        return doc

    @staticmethod
    def assertion(ok, what):
        if not ok:
            raise netfixture.ProtocolError("bad program members in %r" % (what,))

    def wait_reported(self, pids, timeout=5.0):
        deadline = time.monotonic() + timeout
        while not all(self.totals.get(p, [0, 0, 0])[2] > 0 for p in pids) \
                and time.monotonic() < deadline:
            self.read_document()
        self.read_for(0.5)


class ProgramsOfReports(unittest.TestCase):
    """Formatting and the pieces that do not need a kernel."""

    def test_a_known_program_travels_as_exe_and_cmdline_and_pid_0_never_has_one(self):
        program = ("/usr/bin/curl", ("curl", "-s", "http://h/x"))
        body, _ = build_documents({0: ["unattributed", 1, 1, program], 5: ["curl", 2, 3, program],
                                   6: ["x", 1, 1]}, {})[0]
        import json
        processes = {p["pid"]: p for p in json.loads(body)["processes"]}
        self.assertEqual(processes[5]["exe"], "/usr/bin/curl")
        self.assertEqual(processes[5]["cmdline"], ["curl", "-s", "http://h/x"])
        self.assertNotIn("exe", processes[0])
        self.assertNotIn("exe", processes[6])

    def test_a_program_goes_again_after_a_gap_a_change_or_a_split_report_past_its_first_document(self):
        import json
        curl, wget = ("/usr/bin/curl", ("curl",)), ("/usr/bin/wget", ("wget",))

        def report(entries, known, limit=1048576):
            docs = build_documents(entries, {}, limit, known)
            carried = {p["pid"]: p.get("exe") for body, _ in docs for p in json.loads(body)["processes"]}
            return carried, programs_carried(docs)

        carried, known = report({5: ["curl", 1, 1, curl], 6: ["x", 1, 1, wget]}, {})
        self.assertEqual(carried, {5: "/usr/bin/curl", 6: "/usr/bin/wget"})
        # 5 again with its program, 6 after exec of another one, 7 new.
        carried, known = report({5: ["curl", 1, 1, curl], 6: ["x", 1, 1, curl], 7: ["w", 1, 1, wget]}, known)
        self.assertEqual(carried, {5: None, 6: "/usr/bin/curl", 7: "/usr/bin/wget"})
        carried, known = report({7: ["w", 1, 1, wget]}, known)
        self.assertEqual(carried, {7: None})
        # 5 was missing from the last report: the daemon may have dropped its record.
        carried, known = report({5: ["curl", 1, 1, curl], 7: ["w", 1, 1, wget]}, known)
        self.assertEqual(carried, {5: "/usr/bin/curl", 7: None})
        # In a report of several documents the daemon sweeps its table between them:
        # only the first document may leave programs out.
        carried, known = report({5: ["curl", 1, 1, curl], 7: ["w", 1, 1, wget]},
                                {5: curl, 7: wget}, 160)
        self.assertEqual(carried, {5: None, 7: "/usr/bin/wget"})
        self.assertEqual(known, {})

    def test_programs_that_overflow_a_document_or_the_budget_wait_for_the_next_reports(self):
        import json
        program = ("/usr/bin/worker", ("worker", "-k"))
        for limit, budget, reports in ((1000, 1 << 20, 3), (1 << 20, 90, 4)):
            known, ledger = {}, Ledger()
            sent, carried, per_report = {}, [], []
            for _tick in range(6):
                ledger.add({pid: ("worker", 10, 1, program) for pid in range(100, 110)})
                entries, waiting = programs_within(ledger.take(), known, budget)
                documents, overflow = documents_to_send(build_documents(entries, {}, limit, known))
                ledger.restore({**waiting, **overflow})
                known = programs_carried(documents)
                per_report.append(0)
                for body, _members in documents:
                    for p in json.loads(body)["processes"]:
                        sent[p["pid"]] = sent.get(p["pid"], 0) + p["tx_bytes"]
                        carried += [p["pid"]] if "exe" in p else []
                        per_report[-1] += "exe" in p
                last = len(documents)
            # Each program went once, in the first reports, the last reports were
            # whole, and no byte was lost.
            self.assertEqual(sorted(carried), list(range(100, 110)))
            self.assertEqual(per_report[reports:], [0] * (6 - reports))
            self.assertTrue(all(per_report[:reports]))
            self.assertEqual((last, len(known)), (1, 10))
            self.assertEqual(sent, {pid: 60 for pid in range(100, 110)})
        # Processes that overflow a document without programs all go at once.
        many = {pid: ["w", 1, 1] for pid in range(100, 120)}
        documents, waiting = documents_to_send(build_documents(many, {}, 1000))
        self.assertGreater(len(documents), 1)
        self.assertEqual(waiting, {})

    def test_a_program_too_large_for_the_frame_limit_is_left_out(self):
        program = ("/usr/bin/" + "x" * 300, ("x",))
        body, _ = build_documents({5: ["x", 2, 3, program]}, {}, 300)[0]
        self.assertLessEqual(len(body), 300)
        self.assertNotIn(b"exe", body)

    def test_arguments_cut_short_lose_their_last_piece(self):
        self.assertEqual(split_args(b"python3\0/opt/s.py\0", False), ("python3", "/opt/s.py"))
        self.assertEqual(split_args(b"python3\0/opt/s.p", True), ("python3",))
        self.assertEqual(split_args(b"", False), ())
        self.assertEqual(split_args(b"retitled", False), ("retitled",))

    def test_exec_paths_that_name_no_single_file_are_refused(self):
        same = lambda p: p  # noqa: E731
        self.assertIsNone(from_exec(b"./curl", b"", False, same))
        self.assertIsNone(from_exec(b"/dev/fd/3", b"", False, same))
        self.assertIsNone(from_exec(b"/proc/self/fd/3", b"", False, same))
        self.assertEqual(from_exec(b"/usr/bin/x\xff", b"x\0", False, same), ("/usr/bin/x\ufffd", ("x",)))

    def test_processes_of_one_program_share_one_record(self):
        same = lambda p: p  # noqa: E731
        first = from_exec(b"/usr/sbin/worker", b"worker\0-k\0", False, same)
        self.assertIs(from_exec(b"/usr/sbin/worker", b"worker\0-k\0", False, same), first)
        self.assertIsNot(from_exec(b"/usr/sbin/worker", b"worker\0-j\0", False, same), first)
        # Past the limit the table starts again, and what it gives stays right.
        for n in range(programs.SHARED_LIMIT + 1):
            from_exec(b"/usr/bin/p%d" % n, b"p\0", False, same)
        self.assertLessEqual(len(programs._shared), programs.SHARED_LIMIT)
        self.assertEqual(from_exec(b"/usr/sbin/worker", b"worker\0-k\0", False, same), first)


class ShortProcesses:
    """Download tools living a few milliseconds, against a web server in the remote
    namespace; every one must be reported with its program."""

    http = None
    expect_all = True

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.root = tempfile.mkdtemp(prefix="fa-http-")
        with open(os.path.join(cls.root, "f"), "wb") as f:
            f.write(os.urandom(FILE_SIZE))
        cls.http = subprocess.Popen(NetnsPair.exec_args(cls.net.remote, [
            PYTHON, "-u", "-m", "http.server", str(HTTP_PORT), "--bind", cls.net.remote_v4,
            "--directory", cls.root]), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        ready, _, _ = select.select([cls.http.stdout], [], [], 10)
        if not ready:
            raise RuntimeError("web server did not start")
        cls.http.stdout.readline()

    @classmethod
    def tearDownClass(cls):
        if cls.http is not None:
            cls.http.kill()
            cls.http.wait()
            cls.http.stdout.close()
        shutil.rmtree(cls.root, ignore_errors=True)
        super().tearDownClass()

    def download(self, tool, count):
        url = "http://%s:%d/f" % (self.net.remote_v4, HTTP_PORT)
        argv = {"curl": [CURL, "-s", "-o", "/dev/null", url],
                "wget": [WGET, "-q", "-O", "/dev/null", url]}[tool]
        pids = []
        for _ in range(count):
            # ip netns exec replaces itself with the tool: the pid is the tool's.
            proc = subprocess.Popen(NetnsPair.exec_args(self.net.local, argv))
            self.assertEqual(proc.wait(10), 0)
            pids.append(proc.pid)
        return pids

    def check_tool(self, tool, count):
        client = ProgramClient(self.collector.path)
        self.addCleanup(client.close)
        pids = self.download(tool, count)
        client.wait_reported(pids if self.expect_all else [])
        exe = os.path.realpath(shutil.which(tool))
        named = 0
        for pid in pids:
            seen = client.programs.get(pid)
            if seen is None:
                continue  # portable: its bytes went to pid 0
            with self.subTest(pid=pid):
                self.assertLessEqual(len(seen), 1, "pid %d reported with two programs" % pid)
                if seen:
                    self.assertEqual(seen[0][0], exe)
                    self.assertEqual(seen[0][1][0], shutil.which(tool))
                    named += 1
        if self.expect_all:
            self.assertEqual(named, count)
        else:
            reported = sum(1 for pid in pids if pid in client.programs)
            self.assertGreaterEqual(named, reported * 0.8, "%d of %d reported" % (named, reported))

    @unittest.skipUnless(CURL, "curl is not installed")
    def test_curl_downloads_are_reported_with_their_program(self):
        self.check_tool("curl", 30)

    @unittest.skipUnless(WGET, "wget is not installed")
    def test_wget_downloads_are_reported_with_their_program(self):
        self.check_tool("wget", 20)

    def test_children_forked_without_exec_carry_the_parent_program(self):
        client = ProgramClient(self.collector.path)
        self.addCleanup(client.close)
        result = self.net.run("spawn", self.net.remote_v4, "--processes", "10",
                              "--send", "200000", "--reply", "1000", "--life", "0.005")
        children = [c["pid"] for c in result["children"]]
        client.wait_reported(children if self.expect_all else [])
        python = os.path.realpath(PYTHON)
        for pid in children:
            for exe, cmdline in client.programs.get(pid, []):
                self.assertEqual((exe, cmdline[1]), (python, WORKLOAD))
        if self.expect_all:
            self.assertTrue(all(client.programs.get(pid) for pid in children), client.programs)

    def test_a_process_older_than_the_collector_is_named(self):
        proc = subprocess.Popen(NetnsPair.exec_args(self.net.local, [
            PYTHON, "-c", "import sys; sys.stdin.readline(); import runpy, sys; "
            "sys.argv = sys.argv[1:]; runpy.run_path(sys.argv[0], run_name='__main__')",
            WORKLOAD, "tcp", self.net.remote_v4, str(netfixture.SERVER_PORT),
            "--send", "300000", "--reply", "1000"]),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(proc.kill)
        python = os.path.realpath(PYTHON)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:  # running python, before the collector starts
            try:
                if os.readlink("/proc/%d/exe" % proc.pid) == python:
                    break
            except OSError:
                pass
            time.sleep(0.01)
        collector = self.start_collector()
        self.addCleanup(collector.stop)
        client = ProgramClient(collector.path)
        self.addCleanup(client.close)
        proc.stdin.write("go\n")
        proc.stdin.flush()
        proc.communicate(timeout=30)
        try:
            client.wait_reported([proc.pid] if self.expect_all else [])
        except netfixture.ProtocolError:
            raise AssertionError(collector.output)
        for exe, _cmdline in client.programs.get(proc.pid, []):
            self.assertEqual(exe, python)
        if self.expect_all:
            self.assertTrue(client.programs.get(proc.pid), collector.output)
        self.assertNotIn("error", collector.output)


@needs_root
class EbpfShortProcessTest(ShortProcesses, NamespaceTestCase):
    pass


@needs_root
class PortableShortProcessTest(PortableCollector, ShortProcesses, NamespaceTestCase):
    # Owners are found by scanning /proc while they hold their sockets: a tool gone
    # before the scan has its bytes under pid 0, and then no program.
    expect_all = False


if __name__ == "__main__":
    unittest.main()
