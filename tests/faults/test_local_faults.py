"""Fault matrix, local side: the daily log locked by another process, port 162 held, settings missing,
empty or with 3000-character values.

A missing log directory is not run end to end: the program's log directory is the fixed /var/tmp/, which
a test cannot take away from the machine. tests/unit/daily_log_test.cpp
(DailyLogFile.MissingDirectoryLosesTheLineUntilItExists) covers it: the line is lost, the write returns, and the
next line after the directory appears is written.
"""

import fcntl
import os
import time
import unittest

import faults_common as fc
from faults_common import LOGIN, harness


class LocalFaults(fc.FaultCase):
    def test_log_file_locked_by_another_process(self):
        printers = harness.PrinterList()
        printers.add_silent()
        server = self.scene.start_server(printers)
        path = os.path.join(harness.POSIX_LOG_DIR, "log_%s.txt" % time.strftime("%Y%m%d"))
        holder = open(path, "ab")
        self.addCleanup(holder.close)
        fcntl.lockf(holder, fcntl.LOCK_EX)
        size_before = os.path.getsize(path)
        service = self.start_service()
        harness.wait_until(lambda: "logout" in server.endpoints() or not service.running(), 60,
                           what="the audit run")
        time.sleep(0.5)  # the line after the logout's answer is written (or not) in this time
        # The run went on without its log: every request made, the upload stored.
        self.assertEqual(server.endpoints(), ["login", "fetch", "update", "logout"])
        self.assertTrue(server.uploads()[-1]["accepted"])
        self.assertEqual(os.path.getsize(path), size_before, "lines written through the lock")
        fcntl.lockf(holder, fcntl.LOCK_UN)
        # Once the lock is gone the next line is written again: the stop line.
        self.assert_ready_and_stop(service)

    def test_trap_port_held(self):
        printers = harness.PrinterList()
        printers.add_silent()
        printers.add_silent(address="127.0.0.253")
        server = self.scene.start_server(printers)
        with harness.hold_udp_port(162):
            service = self.start_service()
            service.wait_for_log("Logout TELVA ok", timeout=60)
        text = service.log.text()
        self.assertEqual(text.count("Error 0 - Could not bind socket. Address and port are already in use."), 2)
        self.assertNotIn("SNMP OK IP", text)
        upload = server.uploads()[-1]
        self.assertTrue(upload["layout_ok"], upload["layout_problem"])
        self.assertEqual(upload["printers"], printers.expected_upload())
        self.assert_ready_and_stop(service)

    def check_without_settings(self, config_text):
        service = self.start_service(settings=config_text)
        service.wait_for_log("Erro no login", timeout=30)
        text = service.log.text()
        self.assertIn("Service started, IP ", text)
        # No server address: the login fails before any connection, and says where it went.
        self.assertIn("http:///app/index.php/" + LOGIN, text)
        self.assert_failure_lines(text, LOGIN)
        self.assert_ready_and_stop(service)

    def test_settings_file_missing(self):
        self.check_without_settings(None)

    def test_settings_file_empty(self):
        self.check_without_settings("")

    def test_settings_values_of_3000_characters(self):
        # Each value is cut to its first 2047 characters; the simulator expects exactly those.
        long_contract, long_user, long_password = "7" * 3000, "u" * 3000, "p" * 3000
        printers = harness.PrinterList()
        printers.add_silent()
        server = self.scene.start_server(printers, contract=long_contract[:2047], user=long_user[:2047],
                                         password=long_password[:2047])
        service = self.start_service(settings=harness.settings_text(server.address, contract=long_contract,
                                                                    user=long_user, password=long_password))
        service.wait_for_log("Logout TELVA ok", timeout=60)
        self.assertEqual(server.endpoints(), ["login", "fetch", "update", "logout"])
        login = server.requests()[0]
        self.assertIn(["ZURMO_AUTH_USERNAME", long_user[:2047]], login["headers"])
        upload = server.uploads()[-1]
        self.assertTrue(upload["accepted"])
        self.assertEqual(upload["number"], long_contract[:2047])
        self.assert_ready_and_stop(service)


if __name__ == "__main__":
    unittest.main()
