"""The eBPF program's per-process counters as the collector reads them: the layout
comes from the type information (BTF) compiled into the program file."""

import struct
import unittest

import netfixture  # first: it puts the collector's package on the path
from ferrow_collector.ebpf.btf import LayoutError, ValueLayout
from ferrow_collector.ebpf.libbpf import Libbpf


@unittest.skipUnless(netfixture.BPF_OBJECT, "needs the built program (FERROW_COLLECTOR_BPF_OBJECT)")
class ValueLayoutTest(unittest.TestCase):

    def setUp(self):
        self.bpf = Libbpf()
        self.obj = self.bpf.bpf_object__open_file(netfixture.BPF_OBJECT.encode(), None)
        self.assertTrue(self.obj, self.bpf.last_message())
        self.addCleanup(self.bpf.bpf_object__close, self.obj)
        self.btf = self.bpf.bpf_object__btf(self.obj)
        self.assertTrue(self.btf)
        # struct traffic as ferrow_monitor.bpf.c declares it: u64 tx, u64 rx, char comm[16].
        self.raw = struct.pack("=QQ16s", 5, 7, b"curl")

    def value_type(self, map_name):
        bpf_map = self.bpf.bpf_object__find_map_by_name(self.obj, map_name)
        self.assertTrue(bpf_map)
        return self.bpf.bpf_map__btf_value_type_id(bpf_map)

    def layout(self, names, map_name=b"traffic"):
        return ValueLayout(self.bpf, self.btf, self.value_type(map_name), names)

    def test_process_counters_unpack_as_compiled(self):
        layout = self.layout(("tx", "rx", "comm"))
        self.assertEqual(layout.size, len(self.raw))
        self.assertEqual(layout.unpack(self.raw), (5, 7, b"curl" + bytes(12)))
        self.assertEqual(list(layout.iter_unpack(self.raw * 2)), [(5, 7, b"curl" + bytes(12))] * 2)

    def test_both_maps_hold_the_same_counters(self):
        self.assertEqual(self.value_type(b"traffic"), self.value_type(b"unowned"))

    def test_fields_come_in_the_order_asked_for(self):
        layout = self.layout(("comm", "tx"))
        self.assertEqual(layout.unpack(self.raw), (b"curl" + bytes(12), 5))
        self.assertEqual(list(layout.iter_unpack(self.raw)), [(b"curl" + bytes(12), 5)])

    def test_a_field_the_program_lacks_is_refused(self):
        with self.assertRaisesRegex(LayoutError, "lacks pid"):
            self.layout(("tx", "pid"))

    def test_a_value_that_is_not_a_struct_is_refused(self):
        with self.assertRaisesRegex(LayoutError, "not a struct"):
            self.layout(("tx",), b"settings")


if __name__ == "__main__":
    unittest.main()
