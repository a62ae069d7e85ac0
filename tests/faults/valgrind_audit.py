"""One full audit run of the real (unsanitized) program under valgrind memcheck: a small fleet of snmpd
agents, a printer that refuses, one whose name does not resolve, the contract-server simulator, then
SIGTERM. Passes when the run uploads every printer, the program stops with status 0 and memcheck reports
no invalid access and no definite or indirect leak (--error-exitcode=99 turns either into status 99).

Skipped for a sanitized build (TELVA_SANITIZE=ON: the sanitizers and valgrind do not mix) and where
valgrind is not installed.
"""

import shutil
import unittest

import faults_common as fc
from faults_common import harness

VALGRIND = shutil.which("valgrind")
# Everything runs many times slower under memcheck.
SLOWDOWN = 10


class ValgrindAudit(fc.FaultCase):
    def setUp(self):
        if fc.SANITIZED:
            self.skipTest("the program is built with sanitizers")
        if VALGRIND is None:
            self.skipTest("valgrind is not installed")
        super().setUp()

    def test_one_audit_run_is_clean(self):
        fleet = self.scene.start_fleet(2, first_address="127.0.0.40")
        printers = harness.PrinterList()
        for printer in fleet.printers:
            printers.add_agent(fleet, printer)
        printers.add_silent()
        printers.add_unresolvable()
        server = self.scene.start_server(printers)

        report = self.scene.path("memcheck.txt")
        wrapper = [VALGRIND, "--tool=memcheck", "--leak-check=full", "--errors-for-leak-kinds=definite,indirect",
                   "--show-leak-kinds=definite,indirect", "--error-exitcode=99", "--track-origins=yes",
                   "--log-file=" + report]
        service = self.start_service(wrapper=wrapper)
        service.wait_for_log("Logout TELVA ok", timeout=60 * SLOWDOWN)
        upload = server.uploads()[-1]
        self.assertTrue(upload["layout_ok"], upload["layout_problem"])
        self.assertEqual(upload["printers"], printers.expected_upload())

        service.control("stop")
        try:
            status = service.wait(timeout=120)
        except harness.HarnessError:
            self.fail("no end within 120 s of SIGTERM")
        with open(report, errors="replace") as handle:
            memcheck = handle.read()
        keys = ("SUMMARY", "lost:", "in use at exit", "All heap blocks")
        print("\n".join(line for line in memcheck.splitlines() if any(key in line for key in keys)))
        self.assertEqual(status, 0, memcheck[-6000:])
        self.assertIn("ERROR SUMMARY: 0 errors", memcheck)
        self.assertIn("HEAP SUMMARY", memcheck)
        self.assertNotRegex(memcheck, r"(definitely|indirectly) lost: [1-9]")
        self.assertIn("Service stopped, IP ", service.log.text())


if __name__ == "__main__":
    unittest.main()
