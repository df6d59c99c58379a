#!/usr/bin/python3
"""Accuracy and cost of the collector's portable backend, printed (not a test).

Same workloads as bench_collector.py, plus the 200-connection burst on a 20 Mbit/s
link. For each: the true payload bytes of the measured processes, the bytes the
collector counted at all (under any pid, "unattributed" included) and the bytes it
attributed to the right processes, and the collector's CPU time per second of wall time
during the workload. Then its CPU while idle with 1,000 extra sleeping processes.

Run as root:  /usr/bin/python3 bench/agent/portable_bench.py [--backend portable|ebpf]
              [--bpf-object PATH] [--idle-seconds 30] [--scale 1.0]
The collector runs inside the measured namespace with its production interval of 1 s.
"""

import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, os.pardir, os.pardir, "collector", "agent", "tests"))

import bench_collector as bc  # noqa: E402
import netfixture  # noqa: E402
from netfixture import Collector, NetnsPair  # noqa: E402

SLEEPERS = 1000


def workloads(net, scale):
    listed = bc.workloads(net, scale)
    burst = [w for w in listed if w[1] == "burst"][0]
    at = listed.index(burst) + 1
    listed.insert(at, ("200 x 100 KB, one process, 20 Mbit/s", "burst", burst[2], burst[3], "20mbit"))
    return [w if len(w) == 5 else w + (None,) for w in listed]


def snapshot(reader, server_pid):
    """Totals per pid, without the peer's server (the eBPF backend sees every namespace)."""
    return {pid: (tx, rx) for pid, (_c, tx, rx) in list(reader.client.totals.items()) if pid != server_pid}


def shaped(net, rate):
    """Limits the measured side's sending rate on its veth end (None: unlimited)."""
    if rate:
        netfixture.sh("ip", "netns", "exec", net.local, "tc", "qdisc", "replace", "dev", "fa0", "root",
                      "tbf", "rate", rate, "burst", "32kbit", "latency", "400ms")
    else:
        netfixture.sh("ip", "netns", "exec", net.local, "tc", "qdisc", "del", "dev", "fa0", "root",
                      check=False)


def measure(net, collector, reader, label, mode, host, extra, rate):
    shaped(net, rate)
    try:
        before = snapshot(reader, net.server.pid)
        cpu0, wall0 = collector.cpu_seconds(), time.monotonic()
        result = net.run(mode, host, *extra, timeout=120)
        cpu1, wall1 = collector.cpu_seconds(), time.monotonic()
        expected = bc.measured_processes(result)
        truth = sum(tx + rx for tx, rx in expected.values())
        deadline = time.monotonic() + 8
        while time.monotonic() < deadline:
            after = snapshot(reader, net.server.pid)
            counted = sum(tx + rx for tx, rx in after.values()) - sum(tx + rx for tx, rx in before.values())
            if counted >= truth:
                break
            time.sleep(0.05)
        time.sleep(2.2)
        after = snapshot(reader, net.server.pid)
    finally:
        shaped(net, None)
    counted = sum(tx + rx for tx, rx in after.values()) - sum(tx + rx for tx, rx in before.values())
    attributed = sum(min(reader.get(p)[1], tx) + min(reader.get(p)[2], rx) for p, (tx, rx) in expected.items())
    unattributed = sum(after.get(0, (0, 0))) - sum(before.get(0, (0, 0)))
    return truth, counted, attributed, unattributed, (cpu1 - cpu0) / (wall1 - wall0), wall1 - wall0


def idle_cpu(collector, seconds):
    sleepers = [subprocess.Popen(["sleep", str(int(seconds) + 60)]) for _ in range(SLEEPERS)]
    try:
        time.sleep(2.0)
        cpu0, wall0 = collector.cpu_seconds(), time.monotonic()
        time.sleep(seconds)
        cpu1, wall1 = collector.cpu_seconds(), time.monotonic()
    finally:
        for p in sleepers:
            p.kill()
        for p in sleepers:
            p.wait()
    return (cpu1 - cpu0) / (wall1 - wall0), cpu1 - cpu0, wall1 - wall0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--backend", default="portable")
    parser.add_argument("--bpf-object", default=netfixture.BPF_OBJECT)
    parser.add_argument("--idle-seconds", type=float, default=30.0)
    parser.add_argument("--scale", type=float, default=1.0, help="scale the transfer sizes")
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("portable_bench: needs root (network namespaces)")
    netfixture.BPF_OBJECT = args.bpf_object
    net = NetnsPair()
    net.create()
    collector = None
    reader = None
    try:
        collector = Collector(netns=net.local, interval=1.0, backend=args.backend)
        reader = bc.Reader(collector.path)
        reader.start()
        time.sleep(1.5)
        print(next((line for line in collector.lines if "measuring with" in line), ""))
        print("%-40s %12s %9s %9s %9s %8s" % ("workload", "true bytes", "counted", "right pid", "unattr.",
                                            "CPU"))
        cpu_transfer = None
        for label, mode, host, extra, rate in workloads(net, args.scale):
            truth, counted, attributed, unattributed, cpu, wall = measure(
                net, collector, reader, label, mode, host, extra, rate)
            if "1 Gbit/s" in label:
                cpu_transfer = (cpu, wall)
            pct = lambda n: 100.0 * n / truth if truth else 100.0  # noqa: E731
            print("%-40s %12d %8.3f%% %8.3f%% %8.3f%% %7.2f%%" % (label, truth, pct(counted), pct(attributed),
                                                                 pct(unattributed), 100 * cpu), flush=True)
        idle, used, wall = idle_cpu(collector, args.idle_seconds)
        print()
        print("collector CPU while idle, %d extra sleeping processes: %.3f%% of one core "
              "(%.1f ms over %.0f s)" % (SLEEPERS, 100 * idle, 1000 * used, wall))
        if cpu_transfer:
            print("collector CPU during the 1 Gbit/s TCP transfer: %.3f%% of one core (over %.1f s)"
                  % (100 * cpu_transfer[0], cpu_transfer[1]))
        drops = [line for line in collector.lines if "dropped" in line or "lost" in line]
        print("kernel drops or lost notifications reported: %s" % ("; ".join(drops) if drops else "none"))
        if reader.error:
            print("reader stopped early: %s" % reader.error)
    finally:
        if reader is not None:
            reader.stopping = True
        if collector is not None:
            collector.stop()
        net.destroy()


if __name__ == "__main__":
    main()
