#!/usr/bin/env python3
"""End-to-end lifecycle of the POSIX build: control requests as signals, status reports as sd_notify
datagrams, start and stop lines in the daily log, exit status 0.

The probe (service_probe.cpp) is the real service shell with a stand-in audit run and its daily log in a
directory of the test's; the last three cases run the program itself (the last two against the
contract-server simulator holding the upload's answer: as the service, and as -ONCE).

    service_e2e.py SERVICE_PROBE TELVA4_AUDIT
"""
import os
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

import harness  # noqa: E402

PROBE = PROGRAM = None


class LifecycleTest(unittest.TestCase):
    def setUp(self):
        self.scene = harness.Scene(prefix="telva_service_e2e_")
        self.addCleanup(self.scene.close)
        self.log_dir = self.scene.path("log") + os.sep
        os.makedirs(self.log_dir)

    def probe(self, audit_ms, pause_ms, schedule="99:99", fixed=None, env=None):
        settings = harness.write_config(self.scene.path("config.ini"), "127.0.0.1:9", contract="1",
                                        schedule=schedule)
        args = [self.log_dir, settings, audit_ms, pause_ms] + ([fixed] if fixed else [])
        return self.scene.start_service(PROBE, settings=None, args=args, env=env,
                                        log=harness.DailyLog(self.log_dir))

    def test_two_stops_during_a_slow_audit_are_handled_after_it(self):
        service = self.probe(audit_ms=2000, pause_ms=200)
        service.wait_for_log("Probe audit begins", timeout=30)
        service.control("stop")
        harness.wait_until(lambda: not harness.signal_pending(service.pid, signal.SIGTERM), 10, interval=0.01,
                           what="the first SIGTERM taken")
        service.control("stop")
        self.assertEqual(service.wait(timeout=40), 0)
        log = service.log.text()
        self.assertEqual(log.count("Service started, IP "), 1)
        self.assertEqual(log.count("Service stopped, IP "), 2)
        self.assertEqual(log.count("Probe audit begins"), 1)
        # Both stops wait for the run to end.
        self.assertLess(log.index("Probe audit ends"), log.index("Service stopped, IP "))

    def test_shutdown_ends_without_the_stop_handler(self):
        service = self.probe(audit_ms=0, pause_ms=100)
        service.wait_for_log("Probe audit ends", timeout=30)
        started = time.monotonic()
        service.control("shutdown")
        self.assertEqual(service.wait(timeout=10), 0)
        self.assertLess(time.monotonic() - started, 4.5)  # no 5-second stop wait
        self.assertNotIn("Service stopped", service.log.text())

    def test_pause_freezes_the_schedule_and_continue_resumes_it(self):
        notify = self.scene.notify_socket()
        service = self.probe(audit_ms=0, pause_ms=50, schedule="03:00", fixed="03:00",
                             env={"NOTIFY_SOCKET": notify.path})
        notify.wait_for_message("READY=1")
        service.wait_for_log("Probe audit ends", count=3, timeout=30)
        service.control("pause")
        notify.wait_for_message("STATUS=csPaused")
        frozen = service.log.count("Probe audit begins")
        time.sleep(0.6)
        self.assertEqual(service.log.count("Probe audit begins"), frozen)
        service.control("continue")
        notify.wait_for_message("STATUS=csContinuePending")
        notify.wait_for_message("READY=1\nSTATUS=csRunning", count=2)
        service.wait_for_log("Probe audit begins", count=frozen + 3, timeout=10)
        service.control("shutdown")
        self.assertEqual(service.wait(timeout=10), 0)

    def test_program_reports_to_the_init_system_and_stops_on_sigterm(self):
        notify = self.scene.notify_socket()
        # The program itself, config.ini beside it, its daily log in /var/log/telva4-audit/.
        service = self.scene.start_service(PROGRAM, server_address="127.0.0.1:9", env={"NOTIFY_SOCKET": notify.path})
        notify.wait_for_message("READY=1\nSTATUS=csRunning")
        service.wait_for_log("Service started, IP ", timeout=30)
        service.control("stop")
        self.assertEqual(service.wait(timeout=40), 0)
        self.assertIn("Service stopped, IP ", service.log.text())
        notify.drain()
        self.assertEqual(notify.messages(),
                         ["STATUS=csStartPending", "STATUS=csStartPending", "READY=1\nSTATUS=csRunning",
                          "STOPPING=1\nSTATUS=csStopPending", "STOPPING=1\nSTATUS=csStopped"])

    def test_a_stop_during_a_held_upload_is_done_within_25_s(self):
        # The server holds the upload's answer far longer than a stop may take: the upload gets 20 s from the
        # stop's arrival, fails, and the stop handler's wait fits what is left of the 25 s.
        server = self.scene.start_server(harness.PrinterList())  # no printers: the upload follows at once
        server.set_behaviour("update", "hang", seconds=300)
        service = self.scene.start_service(PROGRAM)
        harness.wait_until(lambda: "update" in server.endpoints(), 30, what="the upload under way")
        stopped_at = time.monotonic()
        service.control("stop")
        self.assertEqual(service.wait(timeout=60), 0)
        took = time.monotonic() - stopped_at
        self.assertLess(took, 29, "25 s and slack for a loaded machine")
        self.assertGreater(took, 20, "the upload was not held until the cut-off")
        messages = service.log.messages()
        summaries = [m for m in messages if m.startswith("Audit summary: ")]
        self.assertEqual(len(summaries), 1, messages)
        self.assertTrue(summaries[0].endswith("; upload failed"), summaries)
        self.assertTrue(messages[-1].startswith("Service stopped, IP "), messages)

    def test_an_interrupted_one_off_run_ends_its_held_upload_within_the_stop_budget(self):
        # -ONCE takes Ctrl+C (here SIGINT) as the service takes a stop: the held upload gets 20 s from it.
        server = self.scene.start_server(harness.PrinterList())
        server.set_behaviour("update", "hang", seconds=300)
        once = self.scene.start_service(PROGRAM, args=["-ONCE"])
        harness.wait_until(lambda: "update" in server.endpoints(), 30, what="the upload under way")
        interrupted_at = time.monotonic()
        os.kill(once.process.pid, signal.SIGINT)
        self.assertEqual(once.wait(timeout=60), 2, "the upload failed")
        took = time.monotonic() - interrupted_at
        self.assertLess(took, 24, "20 s and slack for a loaded machine")
        self.assertGreater(took, 18, "the upload was not held until the cut-off")


if __name__ == "__main__":
    PROBE, PROGRAM = (os.path.abspath(p) for p in sys.argv[1:3])
    unittest.main(argv=sys.argv[:1], verbosity=2)
