"""Map value layouts read from the type information (BTF) the compiler writes into the
program file: the C declaration in ferrow_monitor.bpf.c is the only one, and a program
whose value lacks a field the collector reads is refused instead of misread."""

import ctypes
import struct

BTF_KIND_INT = 1
BTF_KIND_ARRAY = 3
BTF_KIND_STRUCT = 4
BTF_INT_SIGNED = 1
_INT_CODES = {1: "B", 2: "H", 4: "I", 8: "Q"}


class BtfType(ctypes.Structure):
    """struct btf_type; what follows it in memory depends on its kind."""
    _fields_ = [("name_off", ctypes.c_uint32), ("info", ctypes.c_uint32), ("size", ctypes.c_uint32)]

    @property
    def kind(self):
        return (self.info >> 24) & 0x1F

    @property
    def vlen(self):
        return self.info & 0xFFFF

    @property
    def kflag(self):
        return self.info >> 31


class BtfMember(ctypes.Structure):
    _fields_ = [("name_off", ctypes.c_uint32), ("type", ctypes.c_uint32), ("offset", ctypes.c_uint32)]


class BtfArray(ctypes.Structure):
    _fields_ = [("type", ctypes.c_uint32), ("index_type", ctypes.c_uint32), ("nelems", ctypes.c_uint32)]


class LayoutError(Exception):
    """The value type is not what the collector can read; the message says why."""


def _type(bpf, btf, type_id):
    """(address, BtfType) of a type, its typedefs and qualifiers stripped."""
    resolved = bpf.btf__resolve_type(btf, type_id)
    address = bpf.btf__type_by_id(btf, resolved) if resolved >= 0 else None
    if not address:
        raise LayoutError("type %d is not described" % type_id)
    return address, BtfType.from_address(address)


def _field_code(bpf, btf, name, type_id):
    """The struct module code of a field: an integer, or an array of bytes (char[N])."""
    address, kind = _type(bpf, btf, type_id)
    extra = address + ctypes.sizeof(BtfType)
    if kind.kind == BTF_KIND_INT and kind.size in _INT_CODES:
        encoding = ctypes.c_uint32.from_address(extra).value
        if (encoding & 0xFF) == kind.size * 8 and not (encoding >> 16) & 0xFF:
            code = _INT_CODES[kind.size]
            return code.lower() if (encoding >> 24) & BTF_INT_SIGNED else code
    elif kind.kind == BTF_KIND_ARRAY:
        array = BtfArray.from_address(extra)
        if bpf.btf__resolve_size(btf, array.type) == 1:
            return "%ds" % array.nelems
    raise LayoutError("field %s is neither an integer nor a byte array" % name)


class ValueLayout:
    """The named fields of a map's value (a struct), unpacked in the order asked for.

    size is the whole value's; unpack() and iter_unpack() work like struct.Struct's.
    """

    def __init__(self, bpf, btf, type_id, names):
        address, value = _type(bpf, btf, type_id)
        if value.kind != BTF_KIND_STRUCT:
            raise LayoutError("the value is not a struct")
        members = (BtfMember * value.vlen).from_address(address + ctypes.sizeof(BtfType))
        found = {}
        for member in members:
            name = (bpf.btf__name_by_offset(btf, member.name_off) or b"").decode("utf-8", "replace")
            if name not in names:
                continue
            bits = member.offset & 0xFFFFFF if value.kflag else member.offset
            if bits % 8 or (value.kflag and member.offset >> 24):
                raise LayoutError("field %s is a bit field" % name)
            found[name] = (bits // 8, _field_code(bpf, btf, name, member.type))
        missing = [n for n in names if n not in found]
        if missing:
            raise LayoutError("the value lacks %s" % ", ".join(missing))
        in_memory = sorted(names, key=lambda n: found[n][0])
        fmt, at = "=", 0
        for name in in_memory:
            offset, code = found[name]
            if offset < at:
                raise LayoutError("field %s overlaps another" % name)
            fmt += ("%dx" % (offset - at) if offset > at else "") + code
            at = offset + struct.calcsize("=" + code)
        if value.size < at:
            raise LayoutError("the value's size is smaller than its fields")
        fmt += "%dx" % (value.size - at) if value.size > at else ""
        self._set(names, value.size, fmt, in_memory)

    def _set(self, names, size, fmt, in_memory):
        self.names = tuple(names)
        self.size = size
        self.struct = struct.Struct(fmt)
        self.in_memory = tuple(in_memory)
        if self.struct.size != size or sorted(self.in_memory) != sorted(self.names):
            raise LayoutError("the layout does not describe its value")
        if self.in_memory == self.names:
            self.unpack = self.struct.unpack
            self.iter_unpack = self.struct.iter_unpack
        else:
            order = [self.in_memory.index(n) for n in self.names]
            self.unpack = lambda raw: tuple(self.struct.unpack(raw)[i] for i in order)
            self.iter_unpack = lambda raw: (tuple(v[i] for i in order) for v in self.struct.iter_unpack(raw))

    def describe(self):
        """The layout as plain data (for JSON), for from_description() to rebuild it."""
        return {"names": list(self.names), "size": self.size, "format": self.struct.format,
                "in_memory": list(self.in_memory)}

    @classmethod
    def from_description(cls, description):
        """The layout describe() gave, without the type information it was read from."""
        layout = cls.__new__(cls)
        try:
            layout._set(description["names"], description["size"], description["format"],
                        description["in_memory"])
        except (KeyError, TypeError, struct.error) as e:
            raise LayoutError("unreadable layout description (%s)" % e)
        return layout
