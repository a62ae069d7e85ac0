#!/usr/bin/env python3
"""Audit runs of the Windows build end to end, installed as a service under Wine.

  tests/wine/audit_e2e.py TELVA4_AUDIT_EXE PREFIX_DIR

The program is copied with a config.ini beside it into the scene's directory, installed silently in a Wine
prefix of its own (PREFIX_DIR, created once) and started through the service manager once per case; each
start makes one audit run against the contract-server simulator and a fleet of net-snmp agents on
127.0.0.40..42. Cases:

  clean        three printers; the upload matches the agents' values field by field, in field order
  sign-in      the first fetch answers "Sign in required": a second login, the same form posted again
  no-host      a printer named printer..invalid: the two-line socket error, the next printer read normally;
               a name outside ASCII appears in the log in the ANSI code page
  malformed    an unreadable printer value: one line, logout, no upload, the service keeps running

Every case ends with `net stop` and the stop line. Everything started here is stopped by pid (simulator),
by its own tool (fleet) or for this prefix only (wineserver -k), also when a check fails.
"""

import json
import os
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

import harness  # noqa: E402
from harness import CONTRACT, PrinterList  # noqa: E402

EXE = PREFIX = None
FIRST_ADDRESS = "127.0.0.40"  # printers on .40, .41, .42: away from the other suites' agents
UNRESOLVABLE_ACCENTED = "sala-\u00e7\u00e3o..invalid"
HOST_NOT_FOUND = "Error 0 - Socket Error # 11001\r\nHost not found."
# Printer 2 holds a text, a signed integer and lacks one counter (its agent answers noSuchName).
FLEET_VALUES = [
    {},
    {"1.3.6.1.4.1.32473.43.1.1.0": ["octet_str", "SN-42 mono"],
     "1.3.6.1.4.1.32473.43.1.2.0": ["integer", "-7"],
     "1.3.6.1.4.1.32473.43.1.4.0": ["absent"]},
    {},
]
CLEAN_REQUESTS = [("login", "credentials", 200), ("fetch", "session", 200), ("update", "session", 200),
                  ("logout", "session", 200)]


class WineAuditTest(unittest.TestCase):
    """One install for all cases; each case one start, its audit run and the stop."""

    @classmethod
    def setUpClass(cls):
        cls.scene = harness.Scene(prefix="telva_wine_audit_")
        cls.addClassCleanup(cls.scene.close)
        cls.fleet = cls.scene.start_fleet(3, values=FLEET_VALUES, first_address=FIRST_ADDRESS, lifetime=600)
        cls.agents = cls.fleet.printers
        cls.server = cls.scene.start_server({})
        cls.service = cls.scene.install_wine_service(EXE, PREFIX)
        state = cls.service.state()
        if state != harness.STOPPED:
            raise harness.HarnessError("installed service state %r, not STOPPED" % state)

    def run_case(self, name, printers, behaviours=(), until=("Logout TELVA ok", "Erro no login")):
        """Serves printers (a PrinterList or a raw "items" text) with the behaviours, starts the service, waits
        for the run's end, stops it. Leaves the case's log messages, raw log, requests and uploads."""
        print("--- case %s" % name, flush=True)
        self.server.control({"op": "reset"})
        self.server.serve(printers)
        for endpoint, action, parameters in behaviours:
            self.server.set_behaviour(endpoint, action, **parameters)
        self.server.mark()
        self.service.log.mark()
        try:
            harness.wait_udp_port_free(harness.TRAP_PORT, 60)
        except harness.HarnessError:
            self.fail("local UDP port 162 is held by another process; the readings would fail")
        started = time.monotonic()
        try:
            self.service.start()
            self.service.wait_for_log(until, timeout=90)
            # The run is over and the service goes on to its scheduler loop.
            self.assertTrue(self.service.running(), "service not running after the audit run")
            run_seconds = time.monotonic() - started
            self.service.stop()
        except AssertionError:
            print("--- daily log of the case\n%s--- wine stderr (tail)\n%s" % (self.service.log.text(),
                                                                               self.service.wine.errors_tail()))
            raise
        print("    run %.1f s, start to stopped %.1f s" % (run_seconds, time.monotonic() - started), flush=True)
        self.raw_log = self.service.log.raw()
        self.assertEqual(self.service.log.form_problems(), [])
        self.messages = self.service.log.messages()
        self.requests = self.server.requests()
        self.uploads = self.server.uploads()

    def assert_messages(self, expected_run):
        """The whole log of the case: start line, the run's lines, stop line."""
        messages = self.messages
        self.assertTrue(len(messages) >= 2 and messages[0].startswith(harness.START_LINE)
                        and messages[-1].startswith(harness.STOP_LINE),
                        "log is not framed by the start and stop lines: %r" % messages)
        address = messages[0][len(harness.START_LINE):]
        self.assertEqual(messages[-1], harness.STOP_LINE + address, "stop line")
        self.assertEqual(messages[1:-1], expected_run, "the run's log lines")

    def assert_requests(self, expected):
        self.assertEqual([(r["endpoint"], r["mode"], r["status"]) for r in self.requests], expected,
                         "requests (endpoint, mode, HTTP status)")

    def assert_upload(self, printers):
        self.assertEqual(len(self.uploads), 1, "number of uploads")
        upload = self.uploads[0]
        self.assertTrue(upload["accepted"] and upload["layout_ok"],
                        "upload not accepted or badly laid out: %s" % upload.get("layout_problem"))
        self.assertEqual(upload["fields"], printers.expected_fields(), "upload fields in order")
        for request in self.requests:
            self.assertNotIn("SER-", request["body"], "a serial number was sent")

    def clean_list(self):
        """The list in another order than the agents' addresses; member names play no part."""
        printers = PrinterList()
        for name, identifier, agent in (("17", 5, 2), ("4", "A-7", 0), ("9", 12, 1)):
            printers.add_agent(self.fleet, self.agents[agent], name=name, printer_id=identifier,
                               serial="SER-%s" % identifier)
        return printers

    def test_clean(self):
        printers = self.clean_list()
        self.run_case("clean", printers)
        self.assert_messages(["Login TELVA ok", "Printer count 3"] + printers.read_lines() +
                             ["Update()", "Logout TELVA ok"])
        self.assert_requests(CLEAN_REQUESTS)
        self.assert_upload(printers)
        readings = self.fleet.readings(self.agents[1])
        self.assertTrue(readings[4] == "" and readings[1] == "SN-42 mono",
                        "fleet does not hold the values this test relies on: %r" % readings)

    def test_sign_in_required_on_fetch(self):
        # "Sign in required" on the fetch: one re-login, then the same form again.
        printers = self.clean_list()
        self.run_case("sign-in", printers, [("fetch", "expire", {"times": 1})])
        self.assert_messages(["Login TELVA ok", "Login TELVA ok", "Printer count 3"] + printers.read_lines() +
                             ["Update()", "Logout TELVA ok"])
        self.assert_requests([("login", "credentials", 200), ("fetch", "session", 200),
                              ("login", "credentials", 200)] + CLEAN_REQUESTS[1:])
        fetches = [r for r in self.requests if r["endpoint"] == "fetch"]
        logins = [r for r in self.requests if r["endpoint"] == "login"]
        self.assertEqual(fetches[0]["action"], "expire", "the first fetch's answer")
        sessions = [harness.header_value(r, "ZURMO_SESSION_ID") for r in fetches]
        self.assertEqual(sessions, [r["session_given"] for r in logins], "the fetches' sessions")
        self.assertTrue(fetches[1]["session_valid"], "the second fetch's session is not valid")
        self.assertEqual(fetches[1]["body"], fetches[0]["body"], "the re-posted fetch body")
        content_type = [harness.header_value(r, "Content-Type") for r in fetches]
        self.assertEqual(content_type[1], content_type[0], "the re-posted Content-Type (boundary)")
        self.assertEqual(fetches[1]["fields"], [["data[number]", CONTRACT]], "the fetch form")
        self.assert_upload(printers)

    def test_unresolvable_host(self):
        # A host name that does not resolve, between two agents; a second one, last, shows a name outside
        # ASCII written in the ANSI code page.
        printers = PrinterList()
        printers.add_agent(self.fleet, self.agents[0], printer_id=21, serial="SER-21")
        printers.add_unresolvable(printer_id=22, serial="SER-22")
        printers.add_agent(self.fleet, self.agents[1], printer_id=23, serial="SER-23")
        printers.add_unresolvable(UNRESOLVABLE_ACCENTED, printer_id=24, serial="SER-24")
        self.run_case("no-host", printers)
        addresses = [a["address"] for a in self.agents]
        self.assert_messages(["Login TELVA ok", "Printer count 4", "SNMP trying IP " + addresses[0],
                              "SNMP OK IP " + addresses[0], "SNMP trying IP " + harness.UNRESOLVABLE_HOST,
                              HOST_NOT_FOUND, "SNMP trying IP " + addresses[1], "SNMP OK IP " + addresses[1],
                              "SNMP trying IP " + UNRESOLVABLE_ACCENTED, HOST_NOT_FOUND, "Update()",
                              "Logout TELVA ok"])
        self.assertRegex(self.raw_log, rb"\d Error 0 - Socket Error # 11001\r\nHost not found\.\r\n\d",
                         "the error entry is not the two lines closed by CR LF")
        self.assertIn(b" SNMP trying IP sala-\xe7\xe3o..invalid\r\n", self.raw_log,
                      "the accented host name is not written in the ANSI code page")
        self.assert_upload(printers)

    def test_unreadable_printer_value(self):
        # An unreadable printer value: one line, logout, nothing uploaded; the service keeps running.
        printers = PrinterList()
        good = printers.add_agent(self.fleet, self.agents[0], printer_id=31, serial="SER-31")
        bad = printers.add_agent(self.fleet, self.agents[1], printer_id=0, serial="SER-0")
        bad_text = json.dumps(bad).replace('"id": 0', '"id": 12345678901e2')
        self.run_case("malformed", '{"a": %s, "b": %s}' % (json.dumps(good), bad_text))
        self.assert_messages(["Login TELVA ok", "Printer list not usable, nothing uploaded: printer 1 \"id\" cannot "
                              "be read: The number 12345678901e2 cannot be read as text", "Logout TELVA ok"])
        self.assert_requests([("login", "credentials", 200), ("fetch", "session", 200), ("logout", "session", 200)])
        self.assertEqual(len(self.uploads), 0, "uploads")


def _stop_on_signal(number, frame):
    raise SystemExit("stopped by signal %d" % number)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        print(__doc__)
        sys.exit(2)
    EXE, PREFIX = (os.path.abspath(p) for p in sys.argv[1:3])
    # Cleanup runs also when CTest or a user ends the run.
    signal.signal(signal.SIGTERM, _stop_on_signal)
    signal.signal(signal.SIGINT, _stop_on_signal)
    unittest.main(argv=sys.argv[:1], verbosity=2)
