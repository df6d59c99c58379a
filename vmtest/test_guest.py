"""Run inside the guest by run-in-vm.py (ctest collector_agent_debian12): the guest is
really on Debian 12's kernel, and there the collector measures with its fexit attachment
(the kernel lacks the sock tracepoints). Imported next to the collector's own tests
(collector/agent/tests on the path)."""

import os
import platform
import time
import unittest

import netfixture
from netfixture import Collector, FrameClient
# Modules, not their classes: the loader would run every test of a class seen here.
import test_contract
import test_traffic

# The traffic tests read reports only after their workloads; under emulation three UDP
# workloads take longer than the collector's 10 s limit for a daemon that does not read.
SLOW_MACHINE = ("--stall-timeout", "300")
# Loading the eBPF program takes several seconds under emulation.
SLOW_START = 90.0


class GuestKernelTest(unittest.TestCase):

    def test_guest_runs_the_6_1_kernel(self):
        release = platform.release()
        self.assertTrue(release.startswith("6.1.") and release.endswith("-amd64"),
                        "guest kernel is %s, not Debian 12's 6.1" % release)


@unittest.skipUnless(os.geteuid() == 0, "needs root to load the eBPF program")
class MeasurementChoiceTest(unittest.TestCase):

    def test_without_the_sock_tracepoints_the_fexit_attachment_is_chosen(self):
        # The real program, no --backend: what a daemon on Debian 12 gets.
        if not netfixture.BPF_OBJECT:
            self.skipTest("needs the built program (FERROW_COLLECTOR_BPF_OBJECT)")
        collector = Collector(backend="auto", wait_ready=False)
        self.addCleanup(collector.stop)
        collector.wait_ready(timeout=SLOW_START)
        self.assertEqual(collector.lines[0],
                         "ferrow_monitor: measuring with eBPF fexit on inet_sendmsg/inet_recvmsg "
                         "(payload bytes, loopback excluded); eBPF tracepoints unusable: kernel lacks "
                         "the sock_send_length/sock_recv_length tracepoints (Linux 6.3 or later)")
        client = FrameClient(collector.path, timeout=20)
        self.addCleanup(client.close)
        self.assertEqual(client.read_document()["type"], "network_data")
        self.assertNotIn("Traceback", collector.output)


@test_traffic.needs_root
class GuestTransferTest(test_traffic.TransferTest):
    """The collector's transfer tests, unchanged but for the limits of a slow machine."""
    collector_extra = SLOW_MACHINE
    ready_timeout = SLOW_START

    def test_twenty_processes_living_100_ms_each_are_each_counted(self):
        # Emulation stretches a 100 ms process to seconds, so only what cannot depend on
        # timing is asked: every byte of every child counted, none of them under another
        # process (the kernel counts each under the process that moved it).
        client = self.client()
        result = self.net.run("spawn", self.net.remote_v4, "--processes", "8",
                              "--send", "200000", "--reply", "1000", "--life", "0.1", timeout=300)
        children = {c["pid"]: (c["tx"], c["rx"]) for c in result["children"]}
        self.assertEqual(len(children), 8)
        truth = (8 * 200008, 8 * 1000)

        def counted():
            got = [client.get(pid)[1:] for pid in list(children) + [0]]
            return sum(g[0] for g in got), sum(g[1] for g in got)

        deadline = time.monotonic() + 60
        while counted() != truth and time.monotonic() < deadline:
            client.read_document()
        self.assertEqual(counted(), truth)
        for pid, (tx, rx) in children.items():
            _comm, got_tx, got_rx = client.get(pid)
            self.assertLessEqual(got_tx, tx)
            self.assertLessEqual(got_rx, rx)
        self.assertEqual(client.get(result["pid"])[1:], (0, 0))


@test_traffic.needs_root
class GuestLocalTrafficTest(test_traffic.LocalTrafficTest):
    """The collector's loopback tests, unchanged but for the limits of a slow machine."""
    collector_extra = SLOW_MACHINE
    ready_timeout = SLOW_START


@test_traffic.needs_root
class GuestConnectionTest(test_contract.ConnectionTest):
    """The collector's contract tests, unchanged but for the limits of a slow machine."""
    ready_timeout = SLOW_START


if __name__ == "__main__":
    unittest.main()
