"""Shared pieces of the fault matrix: the binary under test, the product's fixed limits, and the checks every
case ends with. Everything else (scene, fleet, responders, simulator, log, notification socket) is the
harness in tests/e2e/harness/.

Environment:
  TELVA_AUDIT_BINARY   the program to run (CTest passes $<TARGET_FILE:telva4_audit>)
  TELVA_SANITIZE       ON when that program is built with ASan+UBSan (memory bounds are then looser)
"""

import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

import harness  # noqa: E402

BINARY = os.environ.get("TELVA_AUDIT_BINARY") or os.path.join(harness.REPO, "build", "debug", "src",
                                                              "telva4_audit")
SANITIZED = os.environ.get("TELVA_SANITIZE", "").upper() in ("ON", "1", "TRUE", "YES")

# Peak resident memory allowed while the service swallows a 100 MB or an endless answer. The answer
# limit is 64 MiB; a sanitized build keeps freed memory in quarantine and shadow memory beside it.
PEAK_RSS_LIMIT_KB = (300 if SANITIZED else 200) * 1024

PREFIX = "/app/index.php/"
LOGIN = "zurmo/api/login"
LOGOUT = "zurmo/api/logout"
FETCH = "contractItems/contractItem/api/fetchItemData/"
UPDATE = "contractItems/contractItem/api/updateItemData/"


class FaultCase(unittest.TestCase):
    """Base of every fault test: a fresh scene per test and the closing checks."""

    def setUp(self):
        if not os.access(BINARY, os.X_OK):
            self.skipTest("no program at %s" % BINARY)
        self.scene = harness.Scene(prefix="telva_faults_")
        self.addCleanup(self.scene.close)

    def start_service(self, settings=harness.DEFAULT, **kwargs):
        """The program in the foreground; settings a text (None: no config.ini at all) or, by default,
        config.ini for the scene's simulator."""
        return self.scene.start_service(BINARY, settings=settings, **kwargs)

    def assert_ready_and_stop(self, service):
        """The service is alive and answers SIGTERM with the stop line and exit status 0; a sanitized
        build has reported nothing on stderr."""
        self.assertTrue(service.running(), "the service ended early; log:\n" + service.log.text())
        service.stop()
        if SANITIZED:
            text = service.stderr()
            self.assertNotIn("ERROR: AddressSanitizer", text)
            self.assertNotIn("runtime error:", text)

    def assert_failure_lines(self, log_text, path, answer_text):
        """A failed call's two lines: the answer text (or the failure's words), then BaseUrl and the path."""
        messages = [m for _, m in harness.log_entries(log_text)]
        url_line = [i for i, m in enumerate(messages) if m.endswith(PREFIX + path)]
        self.assertTrue(url_line, "no failure line for %s in:\n%s" % (path, log_text))
        self.assertEqual(messages[url_line[0] - 1], answer_text)
