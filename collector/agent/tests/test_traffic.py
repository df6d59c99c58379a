"""The collector measures real transfers between two network namespaces exactly and
attributes them to the process that made them."""

import os
import unittest

import netfixture
from netfixture import Collector, FrameClient, NetnsPair


def needs_root(cls):
    return unittest.skipUnless(os.geteuid() == 0, "needs root for network namespaces")(cls)


class NamespaceTestCase(unittest.TestCase):
    """One namespace pair and a collector for the whole class."""

    collector_extra = ()
    # Seconds a collector may take to start serving (raised for emulated machines).
    ready_timeout = 10.0

    @classmethod
    def setUpClass(cls):
        cls.net = NetnsPair()
        cls.net.create()
        cls.collector = None
        try:
            cls.collector = cls.start_collector(cls.collector_extra)
        except BaseException:
            cls.net.destroy()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.collector is not None:
            cls.collector.stop()
        cls.net.destroy()

    @classmethod
    def start_collector(cls, extra=(), **kwargs):
        netns = cls.net.local if netfixture.IN_NETNS else None
        wait = kwargs.pop("wait_ready", True)
        collector = Collector(netns=netns, extra=extra, wait_ready=False, **kwargs)
        if wait:
            collector.wait_ready(cls.ready_timeout)
        return collector

    def client(self, collector=None):
        c = FrameClient((collector or self.collector).path)
        self.addCleanup(c.close)
        return c

    def assertExact(self, client, expected, comm="python3"):
        """Every pid in `expected` ({pid: (tx, rx)}) got exactly those bytes, under its name."""
        reached = client.wait_for(expected)
        for pid, (tx, rx) in expected.items():
            got_comm, got_tx, got_rx = client.get(pid)
            with self.subTest(pid=pid):
                self.assertEqual((got_tx, got_rx), (tx, rx),
                                 "pid %d: measured (tx, rx) differs from the truth" % pid)
                self.assertEqual(got_comm, comm)
        self.assertTrue(reached)


@needs_root
class TransferTest(NamespaceTestCase):

    def test_bulk_tcp_over_ipv4_is_counted_exactly_for_both_directions(self):
        client = self.client()
        result = self.net.run("tcp", self.net.remote_v4, "--send", str(20 << 20), "--reply", str(3 << 20))
        self.assertEqual(result["tx"], (20 << 20) + 8)
        self.assertExact(client, {result["pid"]: (result["tx"], result["rx"])})

    def test_bulk_tcp_over_ipv6_is_counted_exactly(self):
        client = self.client()
        result = self.net.run("tcp", self.net.remote_v6, "--send", str(8 << 20), "--reply", str(1 << 20))
        self.assertExact(client, {result["pid"]: (result["tx"], result["rx"])})

    def test_bulk_tcp_from_a_second_thread_is_the_process_s(self):
        client = self.client()
        expected = {}
        for host in (self.net.remote_v4, self.net.remote_v6):
            result = self.net.run("tcp", host, "--thread", "--send", str(4 << 20), "--reply", str(1 << 20))
            self.assertEqual((result["tx"], result["rx"]), ((4 << 20) + 8, 1 << 20))
            expected[result["pid"]] = (result["tx"], result["rx"])
        self.assertExact(client, expected)

    def test_sendfile_is_counted_exactly(self):
        client = self.client()
        expected = {}
        for host in (self.net.remote_v4, self.net.remote_v6):
            result = self.net.run("sendfile", host, "--send", str(6 << 20), "--reply", "3000")
            self.assertEqual(result["tx"], (6 << 20) + 8)
            expected[result["pid"]] = (result["tx"], result["rx"])
        self.assertExact(client, expected)

    def test_udp_datagrams_are_counted_connected_and_unconnected(self):
        client = self.client()
        expected = {}
        for host, extra in ((self.net.remote_v4, ["--connected"]), (self.net.remote_v4, []),
                            (self.net.remote_v6, [])):
            result = self.net.run("udp", host, "--count", "1500", "--size", "1200",
                                  "--rate", str(20 << 20), *extra)
            self.assertEqual(result["tx"], 1500 * 1200)
            self.assertGreater(result["rx"], 0)
            expected[result["pid"]] = (result["tx"], result["rx"])
        self.assertExact(client, expected)

    def test_burst_of_200_short_connections_goes_to_the_one_process(self):
        client = self.client()
        result = self.net.run("burst", self.net.remote_v4, "--connections", "200",
                              "--send", "102400", "--reply", "2000")
        self.assertEqual(result["tx"], 200 * (102400 + 8))
        self.assertEqual(result["rx"], 200 * 2000)
        self.assertExact(client, {result["pid"]: (result["tx"], result["rx"])})

    def test_twenty_processes_living_100_ms_each_are_each_counted(self):
        client = self.client()
        result = self.net.run("spawn", self.net.remote_v4, "--processes", "20",
                              "--send", "500000", "--reply", "1000", "--life", "0.1")
        children = result["children"]
        self.assertEqual(len(children), 20)
        self.assertEqual(len({c["pid"] for c in children}), 20)
        expected = {c["pid"]: (500008, 1000) for c in children}
        self.assertExact(client, expected)
        # The parent moved nothing itself.
        self.assertEqual(client.get(result["pid"])[1:], (0, 0))

    def test_speeds_are_kib_per_second_of_the_last_interval(self):
        client = self.client()
        proc = self.net.start("tcp", self.net.remote_v4, "--send", str(2 << 20), "--rate", str(1 << 20))
        speeds = []
        while proc.poll() is None:
            doc = client.read_document()
            speeds += [p["tx_speed"] for p in doc["processes"] if p["pid"] == proc.pid]
        self.net.finish(proc)
        # Paced at 1024 KiB/s: the middle reports show about that rate.
        steady = sorted(speeds)[len(speeds) // 2] if speeds else 0
        self.assertGreater(steady, 600)
        self.assertLess(steady, 1600)


@needs_root
class LocalTrafficTest(NamespaceTestCase):

    def run_local(self, collector):
        client = self.client(collector)
        result = self.net.run("local", self.net.remote_v4, "--send", "500000",
                              "--own", self.net.local_v4, "--own", self.net.local_v6,
                              "--remote", "300000", "--reply", "7000", "--overflow")
        self.assertEqual(result["local_tx"], 4 * 500000)
        # Some of the loopback datagrams to the small receive buffer were dropped.
        self.assertLess(result["overflow_read"], result["overflow_sent"])
        client.wait_for({result["pid"]: (result["tx"], result["rx"])})
        return client, result

    def test_loopback_and_own_addresses_are_not_counted(self):
        client, result = self.run_local(self.collector)
        self.assertEqual(result["unconnected_udp"], 40000)
        self.assertGreater(result["unconnected_udp_unnamed"], 0)
        # Only the exchange with the remote namespace counts: not the unconnected UDP
        # sockets' datagrams to 127.0.0.1 and ::1 either, whether their reader asks for
        # the sender (recvfrom()) or not (recv() on a wildcard-bound socket).
        self.assertEqual(client.get(result["pid"])[1:], (result["tx"], result["rx"]))

    def test_loopback_is_counted_when_asked(self):
        collector = self.start_collector(["--loopback", "include"])
        self.addCleanup(collector.stop)
        self.assertTrue(collector.wait_line("loopback counted"), collector.output)
        client, result = self.run_local(collector)
        # Local: the payload both ways (sender and sink are threads of the one process),
        # four 1000-byte answers, ten 1000-byte datagrams over connected loopback UDP and
        # the unconnected datagrams and their echoes; of those to the small receive buffer,
        # what was sent and what was read.
        local = result["local_tx"] + 4 * 1000 + 10 * 1000 + result["unconnected_udp"]
        expected = (result["tx"] + local + result["overflow_sent"], result["rx"] + local + result["overflow_read"])
        client.wait_for({result["pid"]: expected})
        self.assertEqual(client.get(result["pid"])[1:], expected)


if __name__ == "__main__":
    unittest.main()
