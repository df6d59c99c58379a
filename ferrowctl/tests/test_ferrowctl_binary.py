"""The ferrowctl binary: metrics read back by the Prometheus text-format
parser, live through a pseudo-terminal, setters as another user, help and
exit codes. The binary's --test-* options point it at a temporary data
directory and /proc and fix the time."""

import os
import pty
import select
import shutil
import signal
import sqlite3
import subprocess
import tempfile
import time
import unittest

from prometheus_client.parser import text_string_to_metric_families

FERROWCTL = os.environ.get("FERROWCTL", "ferrowctl")
NOW = 1715349600  # 2024-05-10 14:00 UTC
MIB = 1 << 20


def write(path, text):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def app_info(firefox_recv):
    return ('[{"pkg":"-","recv_speed":1,"sent_speed":0.5,"sum_recv":5120,"sum_sent":2560,"sum_total":7680},'
            '{"pkg":"fire\\"fox","recv_speed":120.5,"sent_speed":3.25,"sum_recv":%d,"sum_sent":10485760,'
            '"sum_total":%d}]' % (firefox_recv, firefox_recv + 10485760))


class FerrowctlBinary(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="ferrowctl-")
        os.chmod(self.dir, 0o755)
        self.data = os.path.join(self.dir, "data")
        self.proc = os.path.join(self.dir, "proc")
        os.makedirs(os.path.join(self.proc, "4242"))
        os.makedirs(self.data)
        write(os.path.join(self.proc, "4242", "comm"), "ferrow-monitor\n")
        db = sqlite3.connect(os.path.join(self.data, "ferrow.db"))
        db.executescript(
            "CREATE TABLE app_data (id INTEGER PRIMARY KEY, pkgname TEXT NOT NULL, recv BIGINT NOT NULL,"
            " sent BIGINT NOT NULL, total BIGINT NOT NULL, time DATE NOT NULL, UNIQUE (pkgname, time));"
            "CREATE TABLE hour_data (id INTEGER PRIMARY KEY, time TEXT NOT NULL, mins INTEGER NOT NULL,"
            " recv BIGINT NOT NULL, sent BIGINT NOT NULL, recv_peak INTEGER NOT NULL, sent_peak INTEGER NOT NULL,"
            " total_peak INTEGER NOT NULL, report_status INTEGER NOT NULL DEFAULT 0, UNIQUE (time));")
        db.execute("INSERT INTO hour_data VALUES (1, '2024-05-10 14:00', 30, ?, ?, 10, 2, 12, 0)", (40 * MIB, 4 * MIB))
        db.execute("INSERT INTO hour_data VALUES (2, '2024-05-10 13:00', 60, ?, ?, 10, 2, 12, 0)", (100 * MIB, 0))
        db.execute("INSERT INTO hour_data VALUES (3, '2024-05-10 12:00', 60, ?, ?, 10, 2, 12, 0)", (900 * MIB, 0))
        db.commit()
        db.close()
        self.settings = os.path.join(self.data, "setting.conf")
        write(self.settings, "[RivletMonitor]\nFERROW_COUNT_STATUS=1\nFERROW_INGRESS_ALARM_STATUS=1\n"
                             "FERROW_INGRESS_ALARM_SIZE=1\nFERROW_ALARM_PERIOD=24\n"
                             "FERROW_ALARM_TIMESTAMP=%d\n" % (NOW - 1800))
        write(os.path.join(self.data, "app_info"), app_info(734003200))
        write(os.path.join(self.data, "process_info"),
              '[{"pname":"firefox-esr","recv_speed":120.5,"sent_speed":3.25,"sum_recv":1,"sum_sent":2,"sum_total":3}]')

    def tearDown(self):
        shutil.rmtree(self.dir)

    def command(self, *args):
        return [FERROWCTL, "--test-data-dir", self.data, "--test-proc-dir", self.proc,
                "--test-now", str(NOW)] + list(args)

    def run_ctl(self, *args, env=None, prefix=()):
        return subprocess.run(list(prefix) + self.command(*args), capture_output=True, text=True, timeout=30,
                              env=dict(os.environ, TZ="UTC", **(env or {})))

    def test_metrics_file_parses_as_prometheus_text(self):
        textfile = os.path.join(self.dir, "textfile")
        os.mkdir(textfile)
        r = self.run_ctl("metrics", "--textfile", textfile)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(os.listdir(textfile), ["ferrow.prom"])
        with open(os.path.join(textfile, "ferrow.prom"), encoding="utf-8") as f:
            families = {fam.name: fam for fam in text_string_to_metric_families(f.read())}
        received = families["ferrow_package_received_bytes"]
        self.assertEqual(received.type, "counter")
        values = {s.labels["package"]: s.value for s in received.samples}
        self.assertEqual(values, {"fire\"fox": 734003200, "unattributed": 5120})
        period = {s.labels["direction"]: s.value for s in families["ferrow_audit_period_bytes"].samples}
        # From the hour the period began in (13:30): both rows; the 12:00 row and egress are out.
        self.assertEqual(period["ingress"], 140 * MIB)
        alarm = {s.labels["direction"]: s.value for s in families["ferrow_audit_alarm"].samples}
        self.assertEqual(alarm, {"total": 0, "egress": 0, "ingress": 0})
        self.assertEqual(families["ferrow_audit_threshold_bytes"].samples[2].value, 1 << 30)
        self.assertEqual(families["ferrow_current_hour_transmitted_bytes"].samples[0].value, 4 * MIB)
        self.assertEqual(families["ferrow_build_info"].samples[0].labels["version"], "0.1")

    def test_live_on_a_terminal_redraws_and_quits_on_q(self):
        pid, fd = pty.fork()
        if pid == 0:
            os.environ.pop("NO_COLOR", None)
            os.execv(FERROWCTL, self.command() + ["--test-refresh-ms", "200", "live"])
        output = b""

        def read_until(needle, seconds=10):
            nonlocal output
            deadline = time.monotonic() + seconds
            while needle not in output and time.monotonic() < deadline:
                ready, _, _ = select.select([fd], [], [], 0.2)
                if ready:
                    try:
                        output += os.read(fd, 65536)
                    except OSError:
                        break
            return needle in output

        try:
            self.assertTrue(read_until(b"(q quits)"), output)
            self.assertIn(b"\x1b[?1049h", output)  # the alternate screen
            self.assertIn(b"\x1b[1m", output)  # colour on a terminal
            self.assertIn(b"700 MiB", output)
            # The next redraw shows the rewritten document.
            write(os.path.join(self.data, "app_info"), app_info(2 * 734003200))
            self.assertTrue(read_until(b"1.37 GiB"), output)
            os.write(fd, b"q")
            _, status = os.waitpid(pid, 0)
            pid = 0
            self.assertEqual(os.waitstatus_to_exitcode(status), 0)
            read_until(b"\x1b[?1049l", 2)
            self.assertIn(b"\x1b[?1049l", output)  # the screen given back
        finally:
            if pid:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            os.close(fd)

    def test_live_without_a_terminal_prints_one_snapshot(self):
        r = self.run_ctl("live")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(r.stdout.startswith("ferrowctl live  2024-05-10 14:00:00"), r.stdout)
        self.assertNotIn("\x1b", r.stdout)
        self.assertEqual(r.stdout.count("PACKAGE"), 1)

    def test_no_color_on_a_terminal(self):
        for env, coloured in (({}, True), ({"NO_COLOR": "1"}, False)):
            pid, fd = pty.fork()
            if pid == 0:
                os.environ.pop("NO_COLOR", None)
                os.environ.update(env)
                os.execv(FERROWCTL, self.command("top", "--days", "1"))
            output = b""
            while True:
                try:
                    chunk = os.read(fd, 65536)
                except OSError:
                    break
                if not chunk:
                    break
                output += chunk
            os.waitpid(pid, 0)
            os.close(fd)
            self.assertIn(b"UTC dates", output)
            self.assertEqual(b"\x1b[" in output, coloured, output)

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"), "needs root to run as another user")
    def test_a_setter_run_by_another_user_is_refused(self):
        before = open(self.settings, encoding="utf-8").read()
        r = self.run_ctl("counting", "off", prefix=["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"])
        self.assertEqual(r.returncode, 8, r.stderr)
        self.assertEqual(r.stderr, "ferrowctl: changing settings needs root (try sudo)\n")
        self.assertEqual(open(self.settings, encoding="utf-8").read(), before)
        # Reading needs no root.
        self.assertEqual(self.run_ctl("days", prefix=["setpriv", "--reuid=65534", "--regid=65534",
                                                      "--clear-groups"]).returncode, 0)

    def test_help_documents_the_exit_codes_and_usage_errors_print_the_usage(self):
        r = self.run_ctl("--help")
        self.assertEqual(r.returncode, 0)
        for line in ("  3  the database does not exist", "  8  changing settings needs root"):
            self.assertIn(line, r.stdout)
        for command in ("top", "hours", "days", "live", "report", "counting", "audit", "check", "metrics"):
            r = self.run_ctl(command, "--help")
            self.assertEqual(r.returncode, 0)
            self.assertTrue(r.stdout.startswith("usage: ferrowctl " + command), r.stdout)
        r = self.run_ctl("hours", "--bogus")
        self.assertEqual((r.returncode, r.stdout), (2, ""))
        self.assertEqual(r.stderr, "ferrowctl: unknown option --bogus\nusage: ferrowctl hours [--days N] [--json]\n")
        # check keeps to the plugin convention even for its usage errors.
        self.assertEqual(self.run_ctl("check", "--bogus").returncode, 3)

    def test_report_prints_the_document_bytes_only(self):
        r = subprocess.run(self.command("report"), capture_output=True, timeout=30, env=dict(os.environ, TZ="UTC"))
        self.assertEqual(r.returncode, 0)
        self.assertTrue(r.stdout.startswith(b'{"hour":[{"time":"2024-05-10 12:00"'), r.stdout)
        self.assertTrue(r.stdout.endswith(b"]}}"), r.stdout)

    def test_completion_offers_the_commands(self):
        script = os.environ.get("FERROWCTL_COMPLETION")
        if not script or not shutil.which("bash"):
            self.skipTest("no completion script")
        probe = ('source "%s"; COMP_WORDS=(ferrowctl audit s); COMP_CWORD=2; _ferrowctl; echo "${COMPREPLY[*]}";'
                 'COMP_WORDS=(ferrowctl top --sort ""); COMP_CWORD=3; _ferrowctl; echo "${COMPREPLY[*]}"' % script)
        r = subprocess.run(["bash", "-c", probe], capture_output=True, text=True, timeout=30)
        self.assertEqual(r.stdout.splitlines(), ["show set", "total sent received"], r.stderr)


if __name__ == "__main__":
    unittest.main()
