"""The harness's own pieces that need no processes or ports: log reading (appended bytes only, a new day's
file, entries whose message holds a line break, the line form check, the ANSI code page of a Wine log), the
settings text, and the machine lock's nesting within one process."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
from harness import DailyLog, line_form_problems, log_entries  # noqa: E402


class DailyLogTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="telva_harness_")
        self.addCleanup(shutil.rmtree, self.directory, True)

    def append(self, name, data):
        with open(os.path.join(self.directory, name), "ab") as handle:
            handle.write(data)

    def test_only_bytes_after_the_start_are_read_also_across_midnight(self):
        self.append("log_20261209.txt", b"09/12/2026 23:59:58 old line\r\n")
        log = DailyLog(self.directory)
        self.assertEqual(log.text(), "")
        self.append("log_20261209.txt", b"09/12/2026 23:59:59 Login TELVA ok\r\n")
        self.append("log_20261210.txt", b"10/12/2026 00:00:01 Update()\r\n")
        self.append("other.txt", b"not a daily log\r\n")
        self.assertEqual(log.messages(), ["Login TELVA ok", "Update()"])
        self.assertEqual(log.count("old line"), 0)

    def test_a_line_without_time_stamp_continues_its_entry(self):
        text = ("09/12/2026 07:25:21 Error 0 - Socket Error # 11001\r\nHost not found.\r\n"
                "09/12/2026 07:25:21 \r\n09/12/2026 07:25:22 Update()\r\n")
        self.assertEqual(log_entries(text),
                         [("09/12/2026 07:25:21", "Error 0 - Socket Error # 11001\r\nHost not found."),
                          ("09/12/2026 07:25:21", ""), ("09/12/2026 07:25:22", "Update()")])

    def test_wait_for_times_out_with_the_log_so_far(self):
        log = DailyLog(self.directory)
        self.append("log_20261209.txt", b"09/12/2026 07:00:00 Login TELVA ok\r\n")
        with self.assertRaises(AssertionError) as raised:
            log.wait_for("Update()", timeout=0.3)
        self.assertIn("Login TELVA ok", str(raised.exception))

    def test_line_form_problems_are_found(self):
        good = b"09/12/2026 07:25:21 Error 0\r\nHost not found.\r\n09/12/2026 07:25:22 Update()\r\n"
        self.assertEqual(line_form_problems(good), [])
        self.assertEqual(line_form_problems(good[:-2]), ["the log does not end with CR LF"])
        self.assertEqual(line_form_problems(good.replace(b"\r\nHost", b"\nHost")), ["a bare CR or LF in the log"])
        self.assertEqual(len(line_form_problems(b"Update()\r\n")), 1)
        # Under Windows the stamp's separators are the regional ones.
        self.assertEqual(line_form_problems(b"09.12.2026 07.25.21 x\r\n", harness.WINE_STAMP), [])
        self.assertEqual(len(line_form_problems(b"09.12.2026 07.25.21 x\r\n")), 1)

    def test_a_wine_log_is_read_in_the_ansi_code_page_from_the_mark_on(self):
        prefix = os.path.join(self.directory, "prefix")
        os.makedirs(harness.wine_log_dir(prefix))
        log = DailyLog.wine(prefix)
        path = os.path.join(harness.wine_log_dir(prefix), "log_20261209.txt")
        with open(path, "ab") as handle:
            handle.write(b"09/12/2026 07:00:00 first\r\n")
        log.mark()
        with open(path, "ab") as handle:
            handle.write(b"09/12/2026 07:00:01 SNMP trying IP sala-\xe7\xe3o..invalid\r\n")
        self.assertEqual(log.messages(), ["SNMP trying IP sala-\u00e7\u00e3o..invalid"])


class MachineLockTest(unittest.TestCase):
    def other_process_takes(self, path):
        taking = "import fcntl, sys; fcntl.flock(open(sys.argv[1], 'a'), fcntl.LOCK_EX | fcntl.LOCK_NB)"
        return subprocess.run([sys.executable, "-c", taking, path], capture_output=True, timeout=30).returncode == 0

    def test_the_lock_nests_within_a_process_and_excludes_others_until_the_outer_release(self):
        directory = tempfile.mkdtemp(prefix="telva_harness_")
        self.addCleanup(shutil.rmtree, directory, True)
        path = os.path.join(directory, "lock")
        outer = harness.MachineLock(path=path)
        harness.MachineLock(timeout=1, path=path).release()
        self.assertFalse(self.other_process_takes(path), "another process took the lock the outer holder has")
        outer.release()
        self.assertTrue(self.other_process_takes(path))


if __name__ == "__main__":
    unittest.main(verbosity=2)
