"""Fault matrix, local side: the daily log file locked by another process (only the real service's own log
file on disk shows it).

A missing log directory is not run end to end: a test cannot take the program's fixed log directory away
from the machine. tests/unit/daily_log_test.cpp (DailyLogFile.MissingDirectoryLosesTheLineUntilItExists)
covers it: the line is lost, the write returns, and the next line after the directory appears is written.
Port 162 held and missing, empty or overlong settings are tested in-process (tests/run/).
"""

import fcntl
import os
import time
import unittest

import faults_common as fc
from faults_common import harness


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


if __name__ == "__main__":
    unittest.main()
