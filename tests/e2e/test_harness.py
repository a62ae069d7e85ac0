"""The harness's own log reading, without processes or ports: appended bytes only, a new day's file, entries
whose message holds a line break."""

import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import DailyLog, log_entries  # noqa: E402


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


if __name__ == "__main__":
    unittest.main(verbosity=2)
