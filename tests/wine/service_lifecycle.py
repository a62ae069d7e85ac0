#!/usr/bin/env python3
"""End-to-end service lifecycle of the Windows build under Wine, in a prefix of its own.

  tests/wine/service_lifecycle.py TELVA4_AUDIT_EXE PREFIX_DIR

Install silently, the registration as the service manager keeps it, start through the service manager,
the start line in the daily log, stop, the stop line, uninstall; a second install fails with 1073 (seen
through a relay trace of MessageBoxW, since a message box under headless Wine returns at once); run
directly, the program says it is a service, exits 1 and writes the service-controller error under the
application event source; a stop while the contract-server simulator holds the upload's answer is done
within 25 s.
"""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

import harness  # noqa: E402

EXE = PREFIX = None
REGISTRY_KEY = "HKLM\\System\\CurrentControlSet\\Services\\TELVA4Audit"


class WineLifecycleTest(unittest.TestCase):
    """The cases are numbered to run in this order: started directly right after the service manager has
    run and stopped the service, the program learns at once that no service manager started it; in a
    prefix whose service manager has not run it yet, Wine's dispatcher was seen to take 10 to 18 s."""

    @classmethod
    def setUpClass(cls):
        cls.scene = harness.Scene(prefix="telva_wine_lifecycle_")
        cls.addClassCleanup(cls.scene.close)
        # No config.ini: the run at start fails its login at once, which this test does not look at.
        cls.service = cls.scene.install_wine_service(EXE, PREFIX, settings=None, install=False)
        cls.wine = cls.service.wine
        cls.service.uninstall()  # a registration an interrupted run left would make the first install fail
        # Message boxes are seen through a relay trace of MessageBoxW.
        cls.wine.wine("reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude", "/t", "REG_SZ", "/d",
                      "user32.MessageBoxW", "/f")

    def boxes(self, *args):
        """The MessageBoxW calls the program makes with these arguments."""
        trace = self.service.run_program(*args, env={"WINEDEBUG": "+relay"}).err
        return [line for line in trace.splitlines() if "Call user32.MessageBoxW" in line]

    def test_1_install_start_stop_uninstall(self):
        self.assertEqual(self.boxes("/INSTALL", "/SILENT"), [], "silent install showed a message")
        self.assertEqual(self.service.state(), harness.STOPPED, "installed service is not stopped")
        registration = self.wine.wine("reg", "query", REGISTRY_KEY).out.replace("\r", "")
        for expected in ("DisplayName    REG_SZ    TELVA Audit Life Count Manager", "Start    REG_DWORD    0x2",
                         "Type    REG_DWORD    0x10", "ErrorControl    REG_DWORD    0x1",
                         "ObjectName    REG_SZ    LocalSystem", "ImagePath    REG_SZ    " + self.service.windows_path):
            self.assertIn(expected, registration, "the registration lacks it")

        self.service.log.mark()
        self.service.start()
        self.service.wait_for_log(harness.START_LINE, timeout=30)
        self.service.stop()  # STOPPED and the stop line

        self.assertEqual(self.boxes("/UNINSTALL", "/SILENT"), [], "silent uninstall showed a message")
        self.assertEqual(self.service.state(), "", "service still registered after uninstall")

    def test_2_second_install_reports_1073_and_fails(self):
        self.assertEqual(self.service.run_program("/INSTALL", "/SILENT").status, 0, "first install")
        shown = self.boxes("/INSTALL", "/SILENT")
        self.assertTrue([line for line in shown
                         if 'failed to install with error: \\"System Error.  Code: 1073.\\r\\n' in line],
                        "second install did not report 1073: %r" % shown)
        # A failure is no success for a script either: both builds exit 1 after a failed install or removal.
        self.assertEqual(self.service.run_program("/INSTALL", "/SILENT").status, 1, "second install")
        self.assertEqual(self.service.run_program("/UNINSTALL", "/SILENT").status, 0, "uninstall")
        self.assertEqual(self.service.run_program("/UNINSTALL", "/SILENT").status, 1, "second uninstall")

    def test_3_direct_run_says_it_is_a_service_and_reports_the_connect_failure(self):
        # Started by hand, the dispatcher cannot connect (1063): the program says so with the usage on the
        # console, exits 1 and writes the system's text under the executable's name.
        result = self.service.run_program(timeout=60, env={"WINEDEBUG": "err+eventlog,fixme+advapi"})
        tail = "\n".join(result.err.splitlines()[-5:])
        self.assertEqual(result.status, 1, "direct run ended with %r" % result.status)
        self.assertIn("This program runs as a Windows service; use /CHECK, /ONCE or /INSTALL", result.err, tail)
        self.assertIn("Usage: telva4_audit", result.err, tail)
        self.assertIn('RegisterEventSourceW ((null),L"telva4_audit.exe")', result.err,
                      "no application event source: " + tail)
        self.assertIn('ReportEventW L"Service controller connect failed"', result.err,
                      "no 1063 text in the event log: " + tail)

    def test_4_a_stop_during_a_held_upload_is_done_within_25_s(self):
        # The server holds the upload's answer: the upload gets 20 s from the stop, the stop's wait the rest.
        server = self.scene.start_server(harness.PrinterList())  # no printers: the upload follows at once
        server.set_behaviour("update", "hang", seconds=300)
        harness.write_settings(self.service.config_path, harness.settings_text(server.address, line_end="\r\n"),
                               "cp1252")
        self.assertEqual(self.service.install(), harness.STOPPED)
        self.service.log.mark()
        self.service.start()
        harness.wait_until(lambda: "update" in server.endpoints(), 60, what="the upload under way")
        stopped_at = time.monotonic()
        self.wine.wine("net", "stop", self.service.NAME)
        self.assertTrue(self.service.wait_state(harness.STOPPED, 60))
        took = time.monotonic() - stopped_at
        self.assertLess(took, 29, "25 s and slack for a loaded machine and Wine's tools")
        self.assertGreater(took, 20, "the upload was not held until the cut-off")
        messages = self.service.log.messages()
        self.assertTrue([m for m in messages if m.startswith("Audit summary: ") and m.endswith("; upload failed")],
                        messages)
        self.assertTrue(messages[-1].startswith("Service stopped, IP "), messages)

if __name__ == "__main__":
    harness.run_wine_script(__doc__, globals())
