#!/usr/bin/env python3
"""End-to-end lifecycle of the POSIX build: control requests as signals, status reports as sd_notify
datagrams, start and stop lines in the daily log, exit status 0.

    service_e2e.py SERVICE_PROBE TELVA4_AUDIT
"""
import glob
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

PROBE = os.path.abspath(sys.argv[1])
PROGRAM = os.path.abspath(sys.argv[2])
SYSTEM_LOG_DIR = "/var/tmp/"


def read_logs(directory, offsets=None):
    """The text of every daily log file in the directory, after the given byte offsets."""
    text = ""
    for path in sorted(glob.glob(os.path.join(directory, "log_*.txt"))):
        with open(path, "rb") as handle:
            handle.seek((offsets or {}).get(path, 0))
            text += handle.read().decode("utf-8", "replace")
    return text


class NotifySocket:
    """A datagram socket standing in for the init system's notification socket."""

    def __init__(self, directory):
        self.path = os.path.join(directory, "notify")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        self.sock.settimeout(0.1)
        self.messages = []

    def collect(self):
        while True:
            try:
                self.messages.append(self.sock.recv(4096).decode())
            except socket.timeout:
                return

    def wait_for(self, text, count=1, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.collect()
            if sum(text in m for m in self.messages) >= count:
                return True
        return False

    def close(self):
        self.sock.close()


class ServiceProcess:
    """One service process, ended by pid at the latest when the test is over."""

    def __init__(self, argv, log_dir, env_extra, offsets=None):
        self.log_dir = log_dir
        self.offsets = offsets
        self.stderr_path = tempfile.mktemp(prefix="telva_service_stderr_")
        env = dict(os.environ)
        env.pop("NOTIFY_SOCKET", None)
        env.update(env_extra)
        with open(self.stderr_path, "wb") as stderr:
            self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                            stderr=stderr, env=env)

    def log(self):
        return read_logs(self.log_dir, self.offsets)

    def wait_for_log(self, text, count=1, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.log().count(text) >= count:
                return True
            if self.process.poll() is not None:
                return self.log().count(text) >= count
            time.sleep(0.02)
        return False

    def signal(self, number):
        self.process.send_signal(number)

    def finish(self, timeout):
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError("the service did not end within %s s" % timeout)

    def kill(self):
        if self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGKILL)
            self.process.wait()
        if os.path.exists(self.stderr_path):
            os.unlink(self.stderr_path)


class LifecycleTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="telva_service_e2e_")
        self.log_dir = self.directory + "/"
        self.processes = []

    def tearDown(self):
        for process in self.processes:
            process.kill()
        shutil.rmtree(self.directory, ignore_errors=True)

    def settings(self, schedule):
        path = os.path.join(self.directory, "config.ini")
        with open(path, "w") as handle:
            handle.write("[SERVIDOR]\ncontrato=1\nendereco=127.0.0.1:9\nhorario=%s\n" % schedule)
        return path

    def probe(self, audit_ms, pause_ms, schedule="99:99", fixed=None, env=None):
        argv = [PROBE, self.log_dir, self.settings(schedule), str(audit_ms), str(pause_ms)]
        if fixed:
            argv.append(fixed)
        process = ServiceProcess(argv, self.directory, env or {})
        self.processes.append(process)
        return process

    def test_two_stops_during_a_slow_audit_are_handled_after_it(self):
        service = self.probe(audit_ms=2000, pause_ms=200)
        self.assertTrue(service.wait_for_log("Probe audit begins"))
        service.signal(signal.SIGTERM)
        time.sleep(0.1)
        service.signal(signal.SIGTERM)
        self.assertEqual(service.finish(timeout=40), 0)
        log = service.log()
        self.assertEqual(log.count("Service started, IP "), 1)
        self.assertEqual(log.count("Service stopped, IP "), 2)
        self.assertEqual(log.count("Probe audit begins"), 1)
        # Both stops wait for the run to end.
        self.assertLess(log.index("Probe audit ends"), log.index("Service stopped, IP "))

    def test_shutdown_ends_without_the_stop_handler(self):
        service = self.probe(audit_ms=0, pause_ms=100)
        self.assertTrue(service.wait_for_log("Probe audit ends"))
        started = time.monotonic()
        service.signal(signal.SIGPWR)
        self.assertEqual(service.finish(timeout=10), 0)
        self.assertLess(time.monotonic() - started, 4.5)  # no 5-second stop wait
        self.assertNotIn("Service stopped", service.log())

    def test_pause_freezes_the_schedule_and_continue_resumes_it(self):
        notify = NotifySocket(self.directory)
        try:
            service = self.probe(audit_ms=0, pause_ms=50, schedule="03:00", fixed="03:00",
                                 env={"NOTIFY_SOCKET": notify.path})
            self.assertTrue(notify.wait_for("READY=1"))
            self.assertTrue(service.wait_for_log("Probe audit ends", count=3))
            service.signal(signal.SIGUSR1)
            self.assertTrue(notify.wait_for("STATUS=csPaused"))
            frozen = service.log().count("Probe audit begins")
            time.sleep(0.6)
            self.assertEqual(service.log().count("Probe audit begins"), frozen)
            service.signal(signal.SIGUSR2)
            self.assertTrue(notify.wait_for("STATUS=csContinuePending"))
            self.assertTrue(notify.wait_for("READY=1\nSTATUS=csRunning", count=2))
            self.assertTrue(service.wait_for_log("Probe audit begins", count=frozen + 3, timeout=10))
            service.signal(signal.SIGPWR)
            self.assertEqual(service.finish(timeout=10), 0)
        finally:
            notify.close()

    def test_program_reports_to_the_init_system_and_stops_on_sigterm(self):
        program = os.path.join(self.directory, "telva4_audit")
        shutil.copy(PROGRAM, program)
        self.settings("99:99")  # beside the executable
        offsets = {p: os.path.getsize(p) for p in glob.glob(SYSTEM_LOG_DIR + "log_*.txt")}
        notify = NotifySocket(self.directory)
        try:
            service = ServiceProcess([program], SYSTEM_LOG_DIR, {"NOTIFY_SOCKET": notify.path}, offsets)
            self.processes.append(service)
            self.assertTrue(notify.wait_for("READY=1\nSTATUS=csRunning"))
            self.assertTrue(service.wait_for_log("Service started, IP "))
            service.signal(signal.SIGTERM)
            self.assertEqual(service.finish(timeout=40), 0)
            self.assertIn("Service stopped, IP ", service.log())
            notify.collect()
            self.assertEqual(notify.messages,
                             ["STATUS=csStartPending", "STATUS=csStartPending", "READY=1\nSTATUS=csRunning",
                              "STOPPING=1\nSTATUS=csStopPending", "STOPPING=1\nSTATUS=csStopped"])
        finally:
            notify.close()


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
