"""Run inside the guest by run-in-vm.py (ctest collector_agent_debian12): the guest is
really on Debian 12's kernel, and there the collector picks the measurement that kernel
allows. Imported next to the collector's own tests (collector/agent/tests on the path)."""

import os
import platform
import unittest

import netfixture
from netfixture import Collector, FrameClient
# Modules, not their classes: the loader would run every test of a class seen here.
import test_traffic

# The traffic tests read reports only after their workloads; under emulation three UDP
# workloads take longer than the collector's 10 s limit for a daemon that does not read.
SLOW_MACHINE = ("--stall-timeout", "300")


class GuestKernelTest(unittest.TestCase):

    def test_guest_runs_the_6_1_kernel(self):
        release = platform.release()
        self.assertTrue(release.startswith("6.1.") and release.endswith("-amd64"),
                        "guest kernel is %s, not Debian 12's 6.1" % release)


@unittest.skipUnless(os.geteuid() == 0, "needs root to load the eBPF program")
class MeasurementChoiceTest(unittest.TestCase):

    def test_without_the_sock_tracepoints_the_portable_backend_is_chosen(self):
        # The real program, no --backend: what a daemon on Debian 12 gets.
        if not netfixture.BPF_OBJECT:
            self.skipTest("needs the built program (FERROW_COLLECTOR_BPF_OBJECT)")
        collector = Collector(backend="auto", wait_ready=False)
        self.addCleanup(collector.stop)
        # Trying the eBPF program first makes this start several times slower under
        # emulation than the fixture's 10 s allow for.
        collector.wait_ready(timeout=60)
        self.assertTrue(collector.wait_line("measuring with portable", timeout=20), collector.output)
        self.assertIn("ebpf measurement unavailable: kernel lacks the sock_send_length/sock_recv_length "
                      "tracepoints", collector.output)
        client = FrameClient(collector.path, timeout=20)
        self.addCleanup(client.close)
        self.assertEqual(client.read_document()["type"], "network_data")
        self.assertNotIn("Traceback", collector.output)


@test_traffic.needs_root
class GuestTransferTest(test_traffic.TransferTest):
    """The collector's transfer tests, unchanged but for the stall limit."""
    collector_extra = SLOW_MACHINE


@test_traffic.needs_root
class GuestLocalTrafficTest(test_traffic.LocalTrafficTest):
    """The collector's loopback tests, unchanged but for the stall limit."""
    collector_extra = SLOW_MACHINE


if __name__ == "__main__":
    unittest.main()
