"""The eBPF backend: per-process counters kept by a program on the sock_send_length and
sock_recv_length tracepoints (Linux 6.3 and later) or, without them, on fexit programs of
the inet_* send and receive functions, read through libbpf."""
