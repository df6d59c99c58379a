"""The few libbpf 1.x calls the collector needs, through ctypes."""

import ctypes

from ..backend import BackendUnavailable

_LIBBPF_PRINT = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p)


class Libbpf:
    """libbpf with the signatures of the calls used declared; its warnings are kept
    for the one line printed on failure instead of going to standard error."""

    def __init__(self):
        self.lib = None
        try:
            self.lib = ctypes.CDLL("libbpf.so.1", use_errno=True)
        except OSError:
            # Only then ask the linker cache: ctypes.util runs ldconfig and brings in
            # a dozen modules the collector would keep for its whole life.
            from ctypes import util
            name = util.find_library("bpf")
            try:
                self.lib = ctypes.CDLL(name, use_errno=True) if name else None
            except OSError:
                pass
        if self.lib is None:
            raise BackendUnavailable("libbpf1 is not installed")
        self.messages = []
        libc = ctypes.CDLL(None)
        self._vsnprintf = libc.vsnprintf
        self._vsnprintf.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_void_p]
        # Keep libbpf's warnings for the one line printed on failure instead of its stderr chatter.
        self._printer = _LIBBPF_PRINT(self._print)
        L = self.lib
        vp, cp, i, u32 = ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_uint32
        u32p = ctypes.POINTER(ctypes.c_uint32)
        self._sig(L.libbpf_set_print, vp, [_LIBBPF_PRINT])
        self._sig(L.bpf_object__open_file, vp, [cp, vp])
        self._sig(L.bpf_object__load, i, [vp])
        self._sig(L.bpf_object__close, None, [vp])
        self._sig(L.bpf_object__btf, vp, [vp])
        self._sig(L.bpf_object__find_program_by_name, vp, [vp, cp])
        self._sig(L.bpf_object__find_map_fd_by_name, i, [vp, cp])
        self._sig(L.bpf_object__find_map_by_name, vp, [vp, cp])
        self._sig(L.bpf_map__set_max_entries, i, [vp, u32])
        self._sig(L.bpf_map__value_size, u32, [vp])
        self._sig(L.bpf_map__btf_value_type_id, u32, [vp])
        self._sig(L.bpf_program__attach, vp, [vp])
        self._sig(L.bpf_program__attach_cgroup, vp, [vp, i])
        self._sig(L.bpf_program__set_autoload, i, [vp, ctypes.c_bool])
        self._sig(L.bpf_program__autoload, ctypes.c_bool, [vp])
        self._sig(L.btf__parse, vp, [cp, vp])
        self._sig(L.btf__free, None, [vp])
        self._sig(L.btf__find_by_name_kind, i, [vp, cp, u32])
        self._sig(L.bpf_link__destroy, i, [vp])
        self._sig(L.bpf_link__fd, i, [vp])
        self._sig(L.bpf_map_update_elem, i, [i, vp, vp, ctypes.c_uint64])
        self._sig(L.bpf_map_lookup_elem, i, [i, vp, vp])
        self._sig(L.bpf_map_delete_elem, i, [i, vp])
        self._sig(L.bpf_map_lookup_and_delete_elem, i, [i, vp, vp])
        self._sig(L.bpf_map_lookup_batch, i, [i, vp, vp, vp, vp, u32p, vp])
        self._sig(L.btf__type_by_id, vp, [vp, u32])
        self._sig(L.btf__name_by_offset, cp, [vp, u32])
        self._sig(L.btf__resolve_type, i, [vp, u32])
        self._sig(L.btf__resolve_size, ctypes.c_int64, [vp, u32])
        L.libbpf_set_print(self._printer)

    @staticmethod
    def _sig(fn, restype, argtypes):
        fn.restype = restype
        fn.argtypes = argtypes

    def _print(self, level, fmt, args):
        if level > 0:  # info and debug
            return 0
        buf = ctypes.create_string_buffer(512)
        self._vsnprintf(buf, len(buf), fmt, args)
        text = buf.value.decode("utf-8", "replace").strip()
        if text:
            self.messages = (self.messages + [text])[-20:]
        return 0

    def last_message(self):
        return self.messages[-1] if self.messages else ""

    def __getattr__(self, name):
        if name == "lib":
            raise AttributeError(name)
        return getattr(self.lib, name)
