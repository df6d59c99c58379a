"""Run inside a booted Debian 12 guest by run-in-debian12.py (ctest debian12_package):
the package installed with apt runs as a systemd service, counts, writes its
database when stopped, refuses a second daemon and leaves nothing behind when purged.

The guest has no network card: apt finds every dependency installed already, and the
transfer goes over a veth pair between the guest's own network namespace, where the
service's collector measures, and a second one holding the server. The steps run in
order (unittest sorts them by name) and share the installed system.
"""

import glob
import json
import os
import sqlite3
import subprocess
import time
import unittest

PACKAGE = "ferrow-monitor"
UNIT = "ferrow-monitor.service"
DATA_DIR = "/var/lib/ferrow_monitor"
DATABASE = DATA_DIR + "/ferrow.db"
# The daemon writes its database every minute, counted from its start, and at stop.
FLUSH_INTERVAL_S = 60

PEER_NS = "peer"
HOST_ADDR, PEER_ADDR = "10.231.0.1", "10.231.0.2"
PORT = 8080
SERVED = "/tmp/ferrow-served"
# A rate limit keeps each download alive for a few seconds: the collector finds its
# owner while it runs, whatever the speed of the emulated machine.
RATE = "300k"
FIRST_BYTES, SECOND_BYTES = 1000000, 1500000


def run(*argv, check=True, timeout=300):
    done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          timeout=timeout)
    if check and done.returncode != 0:
        raise AssertionError("%s: exit %d\n%s" % (" ".join(argv), done.returncode, done.stdout))
    return done


def unit_property(name):
    return run("systemctl", "show", "-p", name, "--value", UNIT).stdout.strip()


def seconds_since_unit_start():
    """On the monotonic clock systemd uses for ActiveEnterTimestampMonotonic."""
    entered = int(unit_property("ActiveEnterTimestampMonotonic"))
    return time.clock_gettime(time.CLOCK_MONOTONIC) - entered / 1e6


def poll(probe, timeout, what):
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("%s: not within %d s" % (what, timeout))
        time.sleep(0.5)


def wait_for_collector():
    """Until the service's daemon has a collector connected: traffic before that is not seen."""
    invocation = unit_property("InvocationID")
    poll(lambda: "daemon connected" in run("journalctl", "--no-pager", "-o", "cat",
                                           "_SYSTEMD_INVOCATION_ID=" + invocation).stdout,
         120, "the collector connected to the daemon")


def live_apps():
    """Package name -> entry of `ferrowctl top --today --json`, or None while unreadable."""
    done = run("ferrowctl", "top", "--today", "--json", "-n", "1000", check=False)
    if done.returncode != 0:
        return None
    return {a["package"]: a for a in json.loads(done.stdout)["applications"]}


def stored_bytes(package):
    """(received, sent) of a package summed over the database's days, read-only."""
    if not os.path.exists(DATABASE):
        return 0, 0
    db = sqlite3.connect("file:%s?mode=ro" % DATABASE, uri=True, timeout=10)
    try:
        row = db.execute("SELECT COALESCE(SUM(recv), 0), COALESCE(SUM(sent), 0) FROM app_data "
                         "WHERE pkgname = ?", (package,)).fetchone()
    except sqlite3.OperationalError:      # no table before the first write
        return 0, 0
    finally:
        db.close()
    return row


def download(size):
    """curl fetches `size` bytes from the peer; returns the bytes it received in all."""
    name = "blob-%d" % size
    with open(os.path.join(SERVED, name), "wb") as f:
        f.write(os.urandom(size))
    out = run("curl", "-sS", "-o", "/dev/null", "--limit-rate", RATE, "-w",
              "%{size_download} %{size_header}", "http://%s:%d/%s" % (PEER_ADDR, PORT, name)).stdout
    body, header = (int(x) for x in out.split())
    assert body == size, out
    return body + header


class PackageOnBookwormTest(unittest.TestCase):
    failed = False

    @classmethod
    def setUpClass(cls):
        debs = glob.glob("/vmtest/%s_*.deb" % PACKAGE)
        assert len(debs) == 1, "expected one %s .deb in /vmtest, found %s" % (PACKAGE, debs)
        cls.deb = debs[0]
        cls.server = None

    @classmethod
    def tearDownClass(cls):
        if cls.server:
            cls.server.kill()
            cls.server.wait()
        if cls.failed:
            print("\n--- journalctl -u %s" % PACKAGE)
            print(run("journalctl", "--no-pager", "-u", PACKAGE, "-n", "60", check=False).stdout)
            for log in (DATA_DIR + "/ferrow.log",):
                if os.path.exists(log):
                    print("--- tail of %s" % log)
                    with open(log, errors="replace") as f:
                        print("".join(f.readlines()[-40:]))

    def setUp(self):
        if PackageOnBookwormTest.failed:
            self.skipTest("an earlier step failed")

    def run(self, result=None):
        started = time.monotonic()
        result = super().run(result)
        print("(%s: %.1f s)" % (self._testMethodName, time.monotonic() - started), flush=True)
        if result and (result.failures or result.errors):
            PackageOnBookwormTest.failed = True
        return result

    def test_1_apt_installs_enables_and_starts_the_service(self):
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        started = time.monotonic()
        done = subprocess.run(["apt-get", "install", "-y", "-q", self.deb], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, env=env, timeout=600)
        self.assertEqual(done.returncode, 0, done.stdout)
        print("\napt-get install took %.1f s" % (time.monotonic() - started))
        PackageOnBookwormTest.files = run("dpkg", "-L", PACKAGE).stdout.split()
        self.assertIn("/usr/bin/ferrow-monitor", self.files)
        self.assertEqual(run("systemctl", "is-enabled", UNIT, check=False).stdout.strip(), "enabled")
        poll(lambda: run("systemctl", "is-active", UNIT, check=False).stdout.strip() == "active",
             30, "%s active" % UNIT)
        # The metrics timer is shipped, but left for the administrator to enable.
        self.assertEqual(run("systemctl", "is-enabled", "ferrow-metrics.timer", check=False).stdout.strip(),
                         "disabled")
        with open(DATA_DIR + "/setting.conf") as a, open("/usr/share/ferrow-monitor/setting.conf") as b:
            self.assertEqual(a.read(), b.read())
        PackageOnBookwormTest.invocation = unit_property("InvocationID")

    def test_2_unit_exposure_is_at_most_3_5(self):
        out = run("systemd-analyze", "security", "--no-pager", UNIT).stdout
        line = [l for l in out.splitlines() if l.startswith("→ Overall exposure level")][-1]
        print("\n" + line)
        self.assertLessEqual(float(line.split(":")[1].split()[0]), 3.5)

    def test_3_a_transfer_between_namespaces_shows_under_curl(self):
        run("ip", "netns", "add", PEER_NS)
        run("ip", "link", "add", "veth-host", "type", "veth", "peer", "name", "veth-peer")
        run("ip", "link", "set", "veth-peer", "netns", PEER_NS)
        run("ip", "addr", "add", HOST_ADDR + "/24", "dev", "veth-host")
        run("ip", "link", "set", "veth-host", "up")
        run("ip", "-n", PEER_NS, "addr", "add", PEER_ADDR + "/24", "dev", "veth-peer")
        run("ip", "-n", PEER_NS, "link", "set", "veth-peer", "up")
        os.makedirs(SERVED, exist_ok=True)
        PackageOnBookwormTest.server = subprocess.Popen(
            ["ip", "netns", "exec", PEER_NS, "python3", "-m", "http.server", str(PORT),
             "--bind", PEER_ADDR, "--directory", SERVED],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        poll(lambda: ":%d " % PORT in run("ip", "netns", "exec", PEER_NS, "ss", "-Hltn").stdout,
             60, "the server listening")
        wait_for_collector()
        received = download(FIRST_BYTES)
        PackageOnBookwormTest.first = received

        def counted():
            apps = live_apps()
            entry = apps and apps.get("curl")
            return entry if entry and entry["received_bytes"] >= received else None
        entry = poll(counted, 60, "curl's %d bytes in `ferrowctl top --today`" % received)
        print("\ncurl: %d bytes received, ferrowctl shows %s" % (received, entry))
        # Payload only: no headers, and each byte once.
        self.assertLessEqual(entry["received_bytes"], received + 64)
        self.assertGreater(entry["sent_bytes"], 0)

    def test_4_a_second_daemon_is_refused(self):
        done = run("/usr/bin/ferrow-monitor", check=False, timeout=60)
        self.assertEqual(done.returncode, 1, done.stdout)
        self.assertIn("已启动", done.stdout)
        # ... and the service neither noticed nor restarted.
        self.assertEqual(run("systemctl", "is-active", UNIT, check=False).stdout.strip(), "active")
        self.assertEqual(unit_property("InvocationID"), self.invocation)
        self.assertEqual(unit_property("NRestarts"), "0")

    def assertStopWrote(self, before, expected, stop):
        """Stops the daemon with `stop`; its database must hold `expected` more bytes."""
        since = seconds_since_unit_start()
        run("systemctl", stop, UNIT)
        after = stored_bytes("curl")[0]
        # Before the first minute flush only the stop can have written them.
        print("\n%s %.0f s after the start: curl %d -> %d bytes stored" % (stop, since, before, after))
        self.assertGreaterEqual(after - before, expected)
        if since >= FLUSH_INTERVAL_S:
            print("(the minute flush may have written them as well)")

    def test_5_restart_writes_the_database(self):
        self.assertEqual(unit_property("InvocationID"), self.invocation, "the service restarted on its own")
        before = stored_bytes("curl")[0]
        if seconds_since_unit_start() < FLUSH_INTERVAL_S:
            self.assertEqual(before, 0)
        self.assertStopWrote(before, self.first, "restart")
        self.assertEqual(run("systemctl", "is-active", UNIT, check=False).stdout.strip(), "active")

    def test_6_stop_writes_the_database(self):
        wait_for_collector()
        received = download(SECOND_BYTES)

        def counted():
            # The restarted daemon counts from zero; the old document showed less.
            apps = live_apps()
            entry = apps and apps.get("curl")
            return entry and received <= entry["received_bytes"] <= received + 64
        poll(counted, 60, "the restarted daemon's figures for curl")
        self.assertStopWrote(stored_bytes("curl")[0], received, "stop")
        self.assertEqual(run("systemctl", "is-active", UNIT, check=False).stdout.strip(), "inactive")

    def test_7_purge_leaves_nothing(self):
        # The test's own server and namespace go first.
        self.server.kill()
        self.server.wait()
        PackageOnBookwormTest.server = None
        run("ip", "netns", "del", PEER_NS)
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        done = subprocess.run(["apt-get", "purge", "-y", "-q", PACKAGE], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, env=env, timeout=600)
        self.assertEqual(done.returncode, 0, done.stdout)
        left = [p for p in self.files if os.path.lexists(p) and not os.path.isdir(p)]
        self.assertEqual(left, [])
        # Shared directories (/usr/bin, ...) stay where another package owns them;
        # /lib is /usr/lib on this merged-/usr system.
        dirs = sorted({os.path.realpath(p) for p in self.files if os.path.isdir(p)} - {"/"})
        owned = run("dpkg-query", "-S", *dirs, check=False).stdout
        owned = {line.rpartition(": ")[2] for line in owned.splitlines() if ": /" in line}
        self.assertEqual([d for d in dirs if d not in owned], [])
        self.assertFalse(os.path.lexists(DATA_DIR))
        # Nor anything made on the way: unit links, maintainer-script state.
        found = run("find", "/etc", "/usr", "/var", "/run", "-xdev", "-name", "*ferrow*",
                    check=False).stdout.split()
        self.assertEqual(found, [])
        self.assertNotEqual(run("pgrep", "-f", "ferrow", check=False).returncode, 0)


if __name__ == "__main__":
    unittest.main()
