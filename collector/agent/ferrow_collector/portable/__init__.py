"""The portable backend: measurement without the sock tracepoints (kernels before 6.3).

- TCP (tcp.py): a sock_diag dump every report gives each socket's payload counters
  (tcp_info), keyed by the socket cookie; the sock_diag close notifications give the
  final counters of every socket that goes away, including those that lived between
  two dumps (sock_diag.py).
- UDP (udp.py): packet capture on the non-loopback interfaces (capture.py), filtered in
  the kernel so that only UDP headers (and TCP SYNs) reach Python; the payload is the
  UDP length field minus 8.
- Owners (owners.py): socket inode -> pid from /proc/<pid>/fd, scanned only for unknown
  inodes, newest processes first (fork/exec events of the proc connector say which,
  proc_events.py). A new connection's owner is looked up at its SYN, while the process
  surely holds the socket.
- Connections nobody was seen holding: the listener's owner for inbound ones
  (listeners.py), the one process talking to the same remote endpoint at the time for
  outbound ones (talkers.py), else pid 0 "unattributed", so that totals add up.
"""
