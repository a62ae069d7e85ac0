#!/usr/bin/env python3
"""Audit runs of the Windows build end to end, installed as a service under Wine.

  tests/wine/audit_e2e.py TELVA4_AUDIT_EXE PREFIX_DIR

The program is copied with a config.ini beside it into the scene's directory, installed silently in a Wine
prefix of its own (PREFIX_DIR, created once) and started through the service manager; its start makes one
audit run against the contract-server simulator and a fleet of net-snmp agents on 127.0.0.40..42: three
printers, the upload matching the agents' values field by field, in field order, the log in C:\windows\temp
framed by the start and stop lines. The run's faults are tested in-process under Wine as well (tests/run/).

The case ends with `net stop` and the stop line. Everything started here is stopped by pid (simulator),
by its own tool (fleet) or for this prefix only (wineserver -k), also when a check fails.
"""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

import harness  # noqa: E402
from harness import PrinterList  # noqa: E402

EXE = PREFIX = None
FIRST_ADDRESS = "127.0.0.40"  # printers on .40, .41, .42: away from the other suites' agents
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
        self.assertEqual(messages[1], harness.SCHEDULE_NOTE)
        self.assertEqual(messages[2:-1], expected_run, "the run's log lines")

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
                             ["Update()", "Audit summary: 3 printers, 3 read, 0 partial, 0 no answer, 0 failed; upload accepted",
                              "Logout TELVA ok"])
        self.assert_requests(CLEAN_REQUESTS)
        self.assert_upload(printers)
        readings = self.fleet.readings(self.agents[1])
        self.assertTrue(readings[4] == "" and readings[1] == "SN-42 mono",
                        "fleet does not hold the values this test relies on: %r" % readings)


if __name__ == "__main__":
    harness.run_wine_script(__doc__, globals())
