#!/usr/bin/python3
"""Runs the real daemon with its real collector and nethogs side by side in one session,
alternated, under the same loads, and prints the medians of each monitor's CPU share and
memory (resident at the end of the load, highest resident sample, peak VmHWM):

  idle        nothing but the machine's own traffic, --idle-seconds (60)
  bulk        one process sending --bulk-mib MiB (1024) at full speed
  connected   --processes (5000) processes, each with its own connection, sending a
              little every second, for --connected-seconds (30) once all are ready and
              --settle-seconds (5) have passed
  churn       --churn-rate (50) new processes a second, each connecting and sending
              1 KiB once, for --churn-seconds (30)

The traffic flows between two network namespaces over a veth pair (no route out). The
daemon runs in private mount and IPC namespaces (core/tests/in_namespace.sh) with a
directory on a tmpfs of the benchmark's own as its data directory, so it never touches
/var/lib/ferrow_monitor. Its collector is the source tree's (or --collector-dir's), copied
and byte-compiled as the Debian package installs it, with the eBPF program of the build
directory beside it: it runs without arguments, as the daemon starts it.
nethogs (installed by scripts/install-deps.sh) watches the client namespace's veth.

CPU is the monitor's own processes' time (the daemon with its collector and any child it
reaped during the load), as a share of one core over the load's duration; for bulk also
as milliseconds per GiB. On a machine shared with other work the CPU figures are noisy;
the memory figures much less so.

Usage (root): bench/lean/bench_side_by_side.py [--build build-rel] [--runs 3]
       [--loads idle,bulk,connected,churn] [--quick]   (--quick: small sizes, to try it)
       [--daemon PATH --collector-dir DIR]             (another daemon and collector)
       [--baseline-daemon PATH --baseline-collector-dir DIR]   (a third monitor: an
                                                        earlier daemon and collector)
"""

import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, os.pardir, os.pardir))
SERVER_NS, CLIENT_NS = "ferrow-lean-srv", "ferrow-lean-cli"
SERVER_IF, CLIENT_IF = "flb-srv", "flb-cli"
SERVER_ADDR, CLIENT_ADDR = "10.231.7.1", "10.231.7.2"
PORT = 5001
TICKS = os.sysconf("SC_CLK_TCK")
PAGE_KB = os.sysconf("SC_PAGE_SIZE") // 1024


def say(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def run(*cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


# ------------------------------------------------------------------ process figures

def proc_times(pid, children=True):
    """utime + stime (+ cutime + cstime of reaped children) in seconds, or None."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    ticks = int(fields[11]) + int(fields[12])
    if children:
        ticks += int(fields[13]) + int(fields[14])
    return ticks / TICKS


def proc_status(pid):
    """The memory lines of /proc/PID/status in KiB: {"VmRSS": ..., "RssAnon": ...}."""
    values = {}
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(("Vm", "Rss")):
                    key, value = line.split(":", 1)
                    values[key] = int(value.split()[0])
    except OSError:
        pass
    return values


def proc_memory(pid):
    """(VmRSS, VmHWM) in KiB, or (0, 0) once gone."""
    values = proc_status(pid)
    return values.get("VmRSS", 0), values.get("VmHWM", 0)


def children_of(pid):
    found = []
    try:
        for task in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/children" % (pid, task)) as f:
                found += [int(p) for p in f.read().split()]
    except OSError:
        pass
    return found


def descendants(pid):
    result, todo = [], [pid]
    while todo:
        p = todo.pop()
        kids = children_of(p)
        result += kids
        todo += kids
    return result


def process_name(pid):
    try:
        with open("/proc/%d/comm" % pid) as f:
            return f.read().strip()
    except OSError:
        return "?"


# ------------------------------------------------------------------ the monitors

class Ferrow:
    def __init__(self, work, daemon, collector_dir, bpf_object, name="ferrow-monitor"):
        self.name = name
        self.work = work
        self.daemon = daemon
        self.wrapper = os.path.join(work, "collector-wrapper-%s.py" % name.replace(" ", "-"))
        # The collector as the package installs it: a copy, byte-compiled as its
        # postinst does, so that it does not compile its sources at start.
        collector_copy = os.path.join(work, "collector-%s" % name.replace(" ", "-"))
        shutil.copytree(collector_dir, collector_copy, ignore=shutil.ignore_patterns("__pycache__", "tests"))
        run("/usr/bin/python3", "-m", "compileall", "-q", collector_copy, stdout=subprocess.DEVNULL)
        # The eBPF program where the collector looks first beside its script, so that it
        # runs without arguments, as the daemon starts it.
        shutil.copy(bpf_object, os.path.join(collector_copy, "ferrow_monitor.bpf.o"))
        # The daemon starts /usr/bin/python3 /usr/bin/ferrow_monitor.py: this file, seen
        # there inside the namespace, becomes the real collector (same pid).
        with open(self.wrapper, "w") as f:
            f.write("import os, sys\nos.execv('/usr/bin/python3', ['/usr/bin/python3', %r] + sys.argv[1:])\n"
                    % os.path.join(collector_copy, "ferrow_monitor.py"))
        self.process = None
        self.data = None

    def start(self):
        # On the work directory's tmpfs.
        self.data = tempfile.mkdtemp(prefix="data-", dir=self.work)
        os.chmod(self.data, 0o755)
        with open(os.path.join(self.data, "setting.conf"), "w") as f:
            f.write("[RivletMonitor]\nLogLevel=1\nFERROW_COUNT_STATUS=1\n")
        self.log = open(os.path.join(self.work, "daemon-output.txt"), "ab")
        self.process = subprocess.Popen(
            [os.path.join(ROOT, "core", "tests", "in_namespace.sh"), self.work, self.data, self.wrapper,
             os.path.dirname(self.daemon), self.daemon], stdout=self.log, stderr=subprocess.STDOUT)
        # Ready once the collector has started under the daemon and had time to attach.
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("the daemon exited (%s); see %s" % (self.process.returncode, self.log.name))
            if self.collector_pids():
                break
            time.sleep(0.2)
        else:
            raise RuntimeError("the collector did not start; see %s" % self.log.name)
        time.sleep(5)

    def collector_pids(self):
        return [p for p in descendants(self.process.pid) if process_name(p).startswith("python")]

    def main_pid(self):
        return self.process.pid

    def parts(self):
        """{label: pid} of the processes whose memory is reported."""
        parts = {"daemon": self.process.pid}
        for i, pid in enumerate(self.collector_pids()):
            parts["collector" if i == 0 else "collector%d" % i] = pid
        return parts

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(15)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.log.close()
        shutil.rmtree(self.data, ignore_errors=True)


class Nethogs:
    name = "nethogs"

    def __init__(self, work):
        self.work = work
        self.process = None

    def start(self):
        # Trace mode, one refresh a second, on the clients' side of the veth pair.
        self.process = subprocess.Popen(["ip", "netns", "exec", CLIENT_NS, "nethogs", "-t", "-d", "1", CLIENT_IF],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(3)
        if self.process.poll() is not None:
            raise RuntimeError("nethogs exited (%s)" % self.process.returncode)

    def main_pid(self):
        return self.process.pid

    def parts(self):
        return {"nethogs": self.process.pid}

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


class Sampler(threading.Thread):
    """Samples the summed resident memory of a monitor's processes every 0.25 s."""

    def __init__(self, monitor):
        super().__init__(daemon=True)
        self.monitor = monitor
        self.highest = 0
        self.done = threading.Event()

    def run(self):
        while not self.done.is_set():
            total = sum(proc_memory(pid)[0] for pid in self.monitor.parts().values())
            self.highest = max(self.highest, total)
            self.done.wait(0.25)


def cpu_seconds(monitor):
    """The monitor's CPU time so far: its main process with its reaped children, plus its
    living descendants."""
    total = proc_times(monitor.main_pid()) or 0.0
    for pid in descendants(monitor.main_pid()):
        total += proc_times(pid, children=False) or 0.0
    return total


# ------------------------------------------------------------------ the loads

def in_client(*cmd, **kw):
    return ["ip", "netns", "exec", CLIENT_NS] + list(cmd)


class Loads:
    def __init__(self, options, loadgen):
        self.options = options
        self.loadgen = loadgen

    def idle(self):
        time.sleep(self.options.idle_seconds)
        return {}

    def bulk(self):
        out = run(*in_client(self.loadgen, "bulk", SERVER_ADDR, str(PORT), str(self.options.bulk_mib << 20)),
                  stdout=subprocess.PIPE, text=True).stdout
        # The collector reports once a second: give it the last second's report.
        time.sleep(1.5)
        return {"seconds": float(out.strip())}

    def connected(self):
        group = subprocess.Popen(in_client(self.loadgen, "connected", SERVER_ADDR, str(PORT),
                                           str(self.options.processes)),
                                 stdout=subprocess.PIPE, text=True, start_new_session=True)
        line = group.stdout.readline()
        if not line.startswith("ready"):
            raise RuntimeError("the connected load did not start: %r" % line)
        return {"_group": group, "ready": int(line.split()[1])}

    def churn(self):
        out = run(*in_client(self.loadgen, "churn", SERVER_ADDR, str(PORT), str(self.options.churn_rate),
                             str(self.options.churn_seconds)), stdout=subprocess.PIPE, text=True).stdout
        return {"started": int(out.strip())}


def end_group(group):
    try:
        os.killpg(group.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    group.wait()


def measure(monitor, loads, load):
    """Runs one load under a started monitor: {"cpu_share", "rss", "highest", "hwm", ...}."""
    sampler = Sampler(monitor)
    sampler.start()
    cpu0, t0 = cpu_seconds(monitor), time.monotonic()
    extra = {}
    if load == "connected":
        # Measured while the processes are connected, not while they are made: the
        # monitors first see them all (the first reports after "ready" carry 5,000 new
        # processes), then the window starts.
        started = loads.connected()
        time.sleep(loads.options.settle_seconds)
        cpu0, t0 = cpu_seconds(monitor), time.monotonic()
        time.sleep(loads.options.connected_seconds)
        cpu1, t1 = cpu_seconds(monitor), time.monotonic()
        figures = memory_figures(monitor)
        end_group(started.pop("_group"))
        extra.update(started)
    else:
        extra = getattr(loads, load)()
        cpu1, t1 = cpu_seconds(monitor), time.monotonic()
        figures = memory_figures(monitor)
    sampler.done.set()
    sampler.join()
    result = {"cpu_share": 100.0 * (cpu1 - cpu0) / (t1 - t0), "cpu_seconds": cpu1 - cpu0,
              "highest": sampler.highest, **figures, **extra}
    if load == "bulk":
        result["ms_per_gib"] = 1000.0 * (cpu1 - cpu0) / (loads.options.bulk_mib / 1024.0)
    return result


def memory_figures(monitor):
    figures = {"rss": 0, "hwm": 0}
    for label, pid in monitor.parts().items():
        values = proc_status(pid)
        rss, hwm = values.get("VmRSS", 0), values.get("VmHWM", 0)
        figures["rss"] += rss
        figures["hwm"] += hwm
        figures["rss_" + label] = rss
        figures["hwm_" + label] = hwm
        figures["anon_" + label] = values.get("RssAnon", 0)
    return figures


# ------------------------------------------------------------------ set-up

def setup_network():
    teardown_network()
    run("ip", "netns", "add", SERVER_NS)
    run("ip", "netns", "add", CLIENT_NS)
    run("ip", "link", "add", SERVER_IF, "type", "veth", "peer", "name", CLIENT_IF)
    run("ip", "link", "set", SERVER_IF, "netns", SERVER_NS)
    run("ip", "link", "set", CLIENT_IF, "netns", CLIENT_NS)
    for ns, dev, addr in ((SERVER_NS, SERVER_IF, SERVER_ADDR), (CLIENT_NS, CLIENT_IF, CLIENT_ADDR)):
        run("ip", "-n", ns, "addr", "add", addr + "/24", "dev", dev)
        run("ip", "-n", ns, "link", "set", dev, "up")
        run("ip", "-n", ns, "link", "set", "lo", "up")


def teardown_network():
    for ns in (SERVER_NS, CLIENT_NS):
        subprocess.run(["ip", "netns", "del", ns], stderr=subprocess.DEVNULL, check=False)


def mib(kib):
    return kib / 1024.0


def report(load, monitor_name, results):
    def med(key):
        values = [r[key] for r in results if key in r]
        return statistics.median(values) if values else float("nan")

    line = "  %-15s CPU %6.2f%% of a core" % (monitor_name, med("cpu_share"))
    if load == "bulk":
        line += " (%7.1f ms/GiB)" % med("ms_per_gib")
    line += "   resident %6.1f MB, highest %6.1f MB, peak (VmHWM) %6.1f MB" % (
        mib(med("rss")), mib(med("highest")), mib(med("hwm")))
    say(line)
    labels = sorted({k[4:] for r in results for k in r if k.startswith("rss_")})
    if len(labels) > 1:
        say("  %15s %s" % ("", "; ".join("%s %.1f MB (anonymous %.1f, peak %.1f)" % (
                                              label, mib(med("rss_" + label)), mib(med("anon_" + label)),
                                              mib(med("hwm_" + label)))
                                          for label in labels)))
    details = [k for k in ("seconds", "ready", "started") if k in results[0]]
    if details:
        say("  %15s %s" % ("", ", ".join("%s %s" % (k, med(k)) for k in details)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build-rel"))
    parser.add_argument("--daemon", default=None, help="daemon binary (default: BUILD/core/ferrow-monitor)")
    parser.add_argument("--collector-dir", default=os.path.join(ROOT, "collector", "agent"))
    parser.add_argument("--bpf-object", default=None)
    parser.add_argument("--baseline-daemon", default=None,
                        help="another daemon binary, run as a third monitor in the same alternation")
    parser.add_argument("--baseline-collector-dir", default=None, help="its collector (default: --collector-dir)")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--loads", default="idle,bulk,connected,churn")
    parser.add_argument("--monitors", default="ferrow,nethogs")
    parser.add_argument("--idle-seconds", type=float, default=60)
    parser.add_argument("--bulk-mib", type=int, default=1024)
    parser.add_argument("--processes", type=int, default=5000)
    parser.add_argument("--connected-seconds", type=float, default=30)
    parser.add_argument("--settle-seconds", type=float, default=5,
                        help="wait after the connected processes are ready, before measuring")
    parser.add_argument("--churn-rate", type=int, default=50)
    parser.add_argument("--churn-seconds", type=float, default=30)
    parser.add_argument("--quick", action="store_true", help="small sizes, to see that it works")
    parser.add_argument("--in-private-mounts", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.quick:
        options.idle_seconds, options.bulk_mib, options.processes = 10, 256, 500
        options.connected_seconds, options.churn_seconds = 10, 10
    if os.geteuid() != 0:
        sys.exit("bench_side_by_side: run as root (namespaces, eBPF, nethogs)")
    if shutil.which("nethogs") is None:
        sys.exit("bench_side_by_side: nethogs is missing: run scripts/install-deps.sh")
    if not options.in_private_mounts:
        # Everything the benchmark mounts (its tmpfs, the network namespaces' files)
        # stays in a mount namespace of its own, and goes with it.
        os.execvp("unshare", ["unshare", "--mount", "--propagation", "private", sys.executable,
                              os.path.abspath(__file__), "--in-private-mounts"] + sys.argv[1:])
    unknown = set(options.monitors.split(",")) - {"ferrow", "nethogs"}
    if unknown:
        sys.exit("bench_side_by_side: unknown monitor %s (known: ferrow, nethogs)" % ", ".join(sorted(unknown)))
    daemon = os.path.abspath(options.daemon or os.path.join(options.build, "core", "ferrow-monitor"))
    bpf_object = os.path.abspath(options.bpf_object or
                                 os.path.join(options.build, "collector", "agent", "ferrow_monitor.bpf.o"))
    for path in (daemon, bpf_object, os.path.join(options.collector_dir, "ferrow_monitor.py")):
        if not os.path.exists(path):
            sys.exit("bench_side_by_side: %s is missing (build first)" % path)

    # A tmpfs of its own, outside /tmp (which the daemon's namespace replaces): the
    # daemon's data directory, the collector's wrapper, the load generator, and the
    # layers in_namespace.sh may need for the daemon's fixed paths.
    work = tempfile.mkdtemp(prefix="ferrow-lean-bench-", dir="/var/tmp")
    run("mount", "-t", "tmpfs", "-o", "size=256m,mode=0700", "tmpfs", work)
    loadgen = os.path.join(work, "loadgen")
    run("cc", "-O2", "-o", loadgen, os.path.join(HERE, "loadgen.c"))
    setup_network()
    sink = subprocess.Popen(["ip", "netns", "exec", SERVER_NS, loadgen, "sink", str(PORT)])
    monitors = {"ferrow": Ferrow(work, daemon, os.path.abspath(options.collector_dir), bpf_object),
                "nethogs": Nethogs(work)}
    chosen = [monitors[m] for m in options.monitors.split(",")]
    if options.baseline_daemon:
        chosen.append(Ferrow(work, os.path.abspath(options.baseline_daemon),
                             os.path.abspath(options.baseline_collector_dir or options.collector_dir), bpf_object,
                             name="baseline"))
    loads = Loads(options, loadgen)
    results = {}
    try:
        say("Side by side, %d runs alternated: daemon %s, collector %s" % (options.runs, daemon,
                                                                          options.collector_dir))
        for load in options.loads.split(","):
            for run_index in range(options.runs):
                order = chosen if run_index % 2 == 0 else list(reversed(chosen))
                for monitor in order:
                    monitor.start()
                    try:
                        figures = measure(monitor, loads, load)
                    finally:
                        monitor.stop()
                    results.setdefault((load, monitor.name), []).append(figures)
                    say("  [%s run %d %s: CPU %.2f%%, resident %.1f MB, peak %.1f MB]" % (
                        load, run_index + 1, monitor.name, figures["cpu_share"], mib(figures["rss"]),
                        mib(figures["hwm"])))
        say("\nMedians of %d runs (CPU taken on a machine shared with other work):" % options.runs)
        sizes = {"idle": "%g s" % options.idle_seconds, "bulk": "%d MiB" % options.bulk_mib,
                 "connected": "%d processes, %g s" % (options.processes, options.connected_seconds),
                 "churn": "%d processes/s, %g s" % (options.churn_rate, options.churn_seconds)}
        for load in options.loads.split(","):
            say("%s (%s):" % (load, sizes[load]))
            for monitor in chosen:
                report(load, monitor.name, results[(load, monitor.name)])
    finally:
        sink.terminate()
        sink.wait()
        teardown_network()
        subprocess.run(["umount", work], check=False)
        os.rmdir(work)


if __name__ == "__main__":
    main()
