"""Fault matrix, lifecycle: shutdown (SIGPWR) and pause (SIGUSR1) during an audit run of the real program,
and control requests sent before the service thread has its queue. The same requests during the loop's pause
are tested on the real service shell by tests/service/service_e2e.py (service_probe, short pauses).

Status reports are collected from a notification socket (NOTIFY_SOCKET), so a pause is seen, not guessed.
A pause waits until the loop next handles requests, after its pause: never during a run. A shutdown during a
run cuts the run short (what was read is uploaded, then the logout) and is handled at once after it; stops
and shutdowns during a run are also tested in-process (tests/run/field_test.cpp).
"""

import signal
import time
import unittest

import faults_common as fc
from faults_common import harness

PAUSE_S = 10  # the scheduler loop's pause between checks
STOP_WAIT_S = 5  # the stop handler's wait


class LifecycleFaults(fc.FaultCase):
    def start(self, fetch_delay=None):
        printers = harness.PrinterList()
        printers.add_silent()
        self.server = self.scene.start_server(printers)
        if fetch_delay:
            self.server.set_behaviour("fetch", "delay", seconds=fetch_delay)
        self.notify = self.scene.notify_socket()
        self.service = self.start_service(env={"NOTIFY_SOCKET": self.notify.path})
        return self.service

    def control(self, request):
        self.service.control(request)

    def wait_run_over(self):
        self.service.wait_for_log("Logout TELVA ok", timeout=60)
        self.assertEqual(self.server.endpoints(), ["login", "fetch", "update", "logout"])
        return time.monotonic()

    def assert_shutdown_ends_without_stop_handler(self, run_over):
        status = self.service.process.wait(timeout=PAUSE_S + 20)
        ended = time.monotonic() - run_over
        self.assertEqual(status, 0)
        # The loop ends after its pause, without the stop handler's 5 s wait and without its line.
        self.assertLess(ended, PAUSE_S + 3)
        text = self.service.log.text()
        self.assertNotIn("Service stopped, IP ", text[text.index("Logout TELVA ok"):])
        self.notify.drain()
        self.assertEqual(self.notify.names()[-2:], ["csStopPending", "csStopped"])

    def test_shutdown_during_audit(self):
        self.start(fetch_delay=3)
        self.service.wait_for_log("Login TELVA ok", timeout=30)
        self.control("shutdown")
        run_over = self.wait_run_over()
        self.assertIn("Run cut short by a shutdown: 0 of 1 printers read", self.service.log.text())
        self.assert_shutdown_ends_without_stop_handler(run_over)

    def pause_then_continue_and_stop(self, run_over):
        self.notify.wait_for("csPaused", timeout=PAUSE_S + 10)
        paused_at = [t for t, name in self.notify.states if name == "csPaused"][0]
        self.assertGreater(paused_at - run_over, PAUSE_S - 2, "paused before the loop's pause was over")
        time.sleep(2)
        self.assertEqual(self.notify.names()[-1], "csPaused")
        self.assertTrue(self.service.running())
        self.control("continue")
        self.notify.wait_for("csRunning", count=2, timeout=10)
        self.assert_ready_and_stop(self.service)
        self.notify.drain()
        self.assertEqual(self.notify.names()[-2:], ["csStopPending", "csStopped"])

    def test_pause_during_audit(self):
        self.start(fetch_delay=3)
        self.service.wait_for_log("Login TELVA ok", timeout=30)
        self.control("pause")
        self.pause_then_continue_and_stop(self.wait_run_over())

    def test_control_requests_before_the_queue_exists(self):
        # Interrogate and continue sent the moment the process blocks its control signals, before (or
        # about when) the service thread creates its queue: dropped or handled, they do no harm.
        self.start()
        harness.wait_until(lambda: harness.signal_blocked(self.service.pid, signal.SIGHUP), 10,
                           interval=0.001, what="the control signals blocked")
        self.control("interrogate")
        self.control("continue")
        self.wait_run_over()
        self.assertIn("Service started, IP ", self.service.log.text())
        self.assert_ready_and_stop(self.service)
        self.assertNotIn("Service failed", self.service.stderr())


if __name__ == "__main__":
    unittest.main()
