"""Reports without the kernel: documents, splitting at the 1 MiB limit, and the
counts of reports that never reached the daemon."""

import json
import os
import socket
import struct
import unittest

import netfixture  # first: it puts the collector's package on the path
from ferrow_collector.cli import parse_args
from ferrow_collector.collector import Collector
from ferrow_collector.daemon_link import MAX_FRAME_BODY, DaemonLink
from ferrow_collector.ebpf.backend import default_bpf_object
from ferrow_collector.ledger import Ledger, build_documents


def entries(count, comm="p"):
    return {pid: [comm, pid * 10, pid * 7] for pid in range(1, count + 1)}


class DocumentTest(unittest.TestCase):

    def test_nothing_moved_gives_one_document_with_an_empty_array(self):
        docs = build_documents({}, {})
        self.assertEqual(len(docs), 1)
        self.assertEqual(json.loads(docs[0][0]), {"type": "network_data", "processes": []})

    def test_entry_carries_every_key_with_speeds_in_kib_per_second(self):
        body, members = build_documents({42: ["curl", 2048, 100]}, {42: (2.0, 0.09765625)})[0]
        doc = json.loads(body)
        self.assertEqual(doc["processes"], [{"pid": 42, "comm": "curl", "tx_bytes": 2048, "rx_bytes": 100,
                                             "tx_speed": 2.0, "rx_speed": 0.1}])
        self.assertEqual(members, {42: ["curl", 2048, 100]})

    def test_names_that_are_not_ascii_stay_valid_utf8(self):
        body, _ = build_documents({7: ["网络\ufffd", 1, 1]}, {})[0]
        self.assertEqual(json.loads(body.decode("utf-8"))["processes"][0]["comm"], "网络\ufffd")

    def test_each_process_is_written_as_the_json_encoder_writes_it(self):
        program = ("/usr/bin/cu\"rl网", ("curl", "-s", "a\\b\n"))
        entries = {1: ['a"b\\c\u2028网', 1 << 62, 0], 2: ["\x00\x1f\x7f", 5, 7], 3: ["x", True, 1],
                   4: ["y", 1, 2, program], 5: ["z", 3, 4, program], 6: ["", 0, 0], 7: ["w", 1, 1],
                   0: ["unattributed", 9, 9, program], 8: ["v", 1, 1, ("/bin/v", ())],
                   9: ["u", 1, 1, program]}
        speeds = {1: (1 / 3, 1e-7), 2: (1e300, 123456.785), 4: (0.004999, 2), 5: (-0.0, 0.5),
                  6: (float("nan"), float("inf")), 7: (-float("inf"), 2), 9: (float("nan"), 1)}
        body, _ = build_documents(entries, speeds, known={5: program})[0]
        expected = []
        for pid in sorted(entries):
            comm, tx, rx = entries[pid][:3]
            tx_speed, rx_speed = speeds.get(pid, (0.0, 0.0))
            process = {"pid": pid, "comm": comm, "tx_bytes": tx, "rx_bytes": rx,
                       "tx_speed": round(tx_speed, 2), "rx_speed": round(rx_speed, 2)}
            if pid in (4, 8, 9):
                process.update({"exe": entries[pid][3][0], "cmdline": list(entries[pid][3][1])})
            expected.append(json.dumps(process, ensure_ascii=False, separators=(",", ":")))
        self.assertEqual(body.decode("utf-8"), '{"type":"network_data","processes":[%s]}' % ",".join(expected))

    def split_case(self, count, limit):
        table = entries(count, comm="x" * 15)
        docs = build_documents(table, {pid: (123456.78, 0.5) for pid in table}, limit)
        seen = []
        for body, members in docs:
            self.assertLessEqual(len(body), limit)
            doc = json.loads(body)
            self.assertEqual(doc["type"], "network_data")
            pids = [p["pid"] for p in doc["processes"]]
            self.assertEqual(sorted(pids), sorted(members))
            seen += pids
        self.assertEqual(sorted(seen), sorted(table))  # each process exactly once
        return docs

    def test_a_report_over_one_mebibyte_is_split_at_the_real_limit(self):
        docs = self.split_case(12000, MAX_FRAME_BODY)
        self.assertGreater(len(docs), 1)
        # Parts are filled: all but the last are close to the limit.
        self.assertGreater(len(docs[0][0]), MAX_FRAME_BODY - 200)

    def test_a_report_just_under_the_limit_stays_whole(self):
        single = build_documents(entries(5000, comm="x" * 15), {})
        size = len(single[0][0])
        self.assertEqual(len(single), 1)
        self.assertEqual(len(build_documents(entries(5000, comm="x" * 15), {}, size)), 1)
        self.assertEqual(len(build_documents(entries(5000, comm="x" * 15), {}, size - 1)), 2)

    def test_a_tiny_limit_puts_one_process_per_document(self):
        docs = self.split_case(5, 160)
        self.assertEqual(len(docs), 5)


class OptionsTest(unittest.TestCase):

    def test_without_options_the_contract_holds(self):
        o = parse_args([])
        self.assertEqual((o.socket, o.interval, o.loopback, o.backend, o.bpf_object, o.max_frame),
                         ("/tmp/network_monitor.sock", 1.0, "exclude", "auto", None, 1048576))
        # Taken without a parser, they are the parser's own.
        self.assertEqual(vars(o), vars(parse_args(["--backend", "auto"])))

    def test_the_program_file_is_looked_up_beside_the_installed_script(self):
        expected = os.path.normpath(os.path.join(os.path.dirname(os.path.realpath(netfixture.SCRIPT)),
                                                 os.pardir, "lib", "ferrow-monitor", "ferrow_monitor.bpf.o"))
        self.assertEqual(default_bpf_object(), expected)


class LedgerTest(unittest.TestCase):

    def test_counts_add_up_until_taken_and_restored_counts_add_again(self):
        ledger = Ledger()
        ledger.add({1: ("a", 10, 1)})
        ledger.add({1: ("a2", 5, 2), 2: ("b", 0, 9)})
        taken = ledger.take()
        self.assertEqual(taken, {1: ("a2", 15, 3), 2: ("b", 0, 9)})
        self.assertEqual(ledger.take(), {})
        ledger.add({1: ("a2", 1, 1)})
        ledger.restore(taken)
        self.assertEqual(ledger.pending, {1: ("a2", 16, 4), 2: ("b", 0, 9)})


    def test_past_the_limit_exited_processes_are_folded_into_pid_0(self):
        alive = {1, 3}
        ledger = Ledger(limit=3, alive=lambda pid: pid in alive)
        ledger.add({1: ("a", 1, 1), 2: ("b", 10, 20), 3: ("c", 3, 3)})
        self.assertEqual(len(ledger.pending), 3)
        ledger.add({4: ("d", 100, 200)})
        # 2 and 4 have exited: their bytes stay in the totals, under pid 0.
        self.assertEqual(ledger.pending, {1: ("a", 1, 1), 3: ("c", 3, 3), 0: ("unattributed", 110, 220)})
        ledger.add({0: ("unattributed", 5, 5)})
        self.assertEqual(ledger.pending[0], ("unattributed", 115, 225))


class DaemonLinkTest(unittest.TestCase):
    """A real socket pair whose reader stops reading: what was not written is known."""

    def test_documents_not_completely_written_are_returned_for_the_next_daemon(self):
        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
        self.addCleanup(theirs.close)
        ours.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)
        link = DaemonLink(ours)
        self.addCleanup(link.close)
        table = entries(3000, comm="y" * 15)
        docs = build_documents(table, {}, 20000)
        link.queue(docs)
        link.flush()
        self.assertTrue(link.out, "the small buffer must leave data unwritten")
        self.assertGreater(link.unread_bytes(), 0)
        # Read what was written: whole frames plus possibly the start of one.
        theirs.setblocking(False)
        received = bytearray()
        while True:
            try:
                chunk = theirs.recv(1 << 20)
            except BlockingIOError:
                break
            received += chunk
        delivered = set()
        while len(received) >= 4:
            (n,) = struct.unpack(">I", received[:4])
            if len(received) < 4 + n:
                break
            delivered |= {p["pid"] for p in json.loads(received[4:4 + n])["processes"]}
            del received[:4 + n]
        unsent = link.unsent()
        # Every process is either delivered in a whole frame or handed back, never both.
        self.assertEqual(delivered | set(unsent), set(table))
        self.assertEqual(delivered & set(unsent), set())
        self.assertTrue(unsent)
        # A reader that goes on reading gets the rest of the stream, frame after frame
        # from where the first write stopped, and then nothing is left to hand back.
        for _attempt in range(10000):
            if not link.out:
                break
            link.flush()
            try:
                received += theirs.recv(1 << 20)
            except BlockingIOError:
                pass
        while True:
            try:
                received += theirs.recv(1 << 20)
            except BlockingIOError:
                break
        bodies = []
        while received:
            (n,) = struct.unpack(">I", received[:4])
            bodies.append(json.loads(received[4:4 + n]))
            del received[:4 + n]
        self.assertEqual(sorted(p["pid"] for body in bodies for p in body["processes"]),
                         sorted(set(table) - delivered))
        self.assertEqual(link.unsent(), {})

    def test_a_peer_that_is_gone_raises_on_flush(self):
        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
        theirs.close()
        link = DaemonLink(ours)
        self.addCleanup(link.close)
        link.queue(build_documents({}, {}))
        with self.assertRaises(OSError):
            link.flush()
        self.assertEqual(set(link.unsent()), set())


if __name__ == "__main__":
    unittest.main()


class ListenTest(unittest.TestCase):
    """The daemon connects the moment the socket file exists, so the file must
    not appear before the socket listens."""

    def test_socket_file_appears_only_once_the_socket_listens(self):
        path = netfixture.socket_path()
        seen_at_listen = []
        real_listen = socket.socket.listen

        def listen(sock, *args):
            seen_at_listen.append(os.path.exists(path))
            return real_listen(sock, *args)

        options = type("Options", (), {"socket": path})()
        collector = Collector(options, backend=None)
        socket.socket.listen = listen
        try:
            collector.listen()
        finally:
            socket.socket.listen = real_listen
        self.addCleanup(collector.listener.close)
        self.addCleanup(collector.remove_socket_file)
        self.assertEqual(seen_at_listen, [False])
        probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.addCleanup(probe.close)
        probe.connect(path)
        self.assertEqual(oct(os.stat(path).st_mode & 0o777), oct(0o600))
        leftovers = [n for n in os.listdir(os.path.dirname(path))
                     if n.startswith("." + os.path.basename(path))]
        self.assertEqual(leftovers, [])
