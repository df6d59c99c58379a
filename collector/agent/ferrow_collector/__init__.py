"""ferrow-monitor collector: measures every process's network traffic and serves it
to the daemon on a local stream socket.

Each frame is a 4-byte big-endian length followed by a UTF-8 JSON document
{"type": "network_data", "processes": [{"pid", "comm", "tx_bytes", "rx_bytes",
"tx_speed", "rx_speed"}, ...]}. One report goes out every interval (1 s); the byte
counts are the payload bytes since the previous report that was handed to the
daemon, the speeds are KiB/s over the last interval.

The measurement itself is done by a backend (ebpf: eBPF tracepoints; portable: for
kernels without them); the main loop serving the daemon is in collector.py, the
command line in cli.py.

Python standard library only; run with /usr/bin/python3 as root. This module imports
nothing, so that the entry script can install its signal handlers before the rest loads.
"""
