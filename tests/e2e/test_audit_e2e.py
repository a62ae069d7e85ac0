"""The audit run end to end: the real program (POSIX build, in the foreground, its config.ini beside it)
against the contract-server simulator and net-snmp agents on loopback. It runs the service once (the run at
start), stops it with SIGTERM and checks the daily log file at its place, the requests the server received and
the upload field by field. The audit run's faults are tested in-process (tests/run/); this is the proof that
the real program does the whole job.

    TELVA4_AUDIT=build/debug/src/telva4_audit python3 -m unittest -v test_audit_e2e
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
from harness import COUNTERS, CONTRACT, SUFFIXES, PrinterList, Scene, upload_field_names  # noqa: E402

BINARY = os.path.abspath(os.environ.get("TELVA4_AUDIT", os.path.join(harness.REPO, "build/debug/src/telva4_audit")))

# Identifiers the clean run asks of its second agent, each of another SNMP type.
TYPED_OIDS = ["1.3.6.1.4.1.32473.44.%d.0" % k for k in range(1, 7)]
TYPED_VALUES = [["octet_str", "Sala 2 - caf\u00e9"], ["integer", "-7"], ["uinteger", "4294967295"],
                ["counter", "0"], ["counter", "4294967295"], ["integer", "-2147483648"]]

RUN_SECONDS = 60  # an audit over refusing or fast printers ends well within this
STATE_DIR = "/var/lib/telva4-audit/"  # the POSIX program's state directory (the reading history)


class AuditTest(unittest.TestCase):
    """One scene per test, the fleet's agents shared by the tests of a class (they only answer reads); the
    service's run at start is the audit under test."""

    fleet_size = 3
    fleet_values = None

    @classmethod
    def setUpClass(cls):
        cls.fleet = None
        if cls.fleet_size:
            cls.fleet_scene = Scene(prefix="telva_e2e_fleet_")
            cls.addClassCleanup(cls.fleet_scene.close)
            cls.fleet = cls.fleet_scene.start_fleet(cls.fleet_size, values=cls.fleet_values)

    def setUp(self):
        self.scene = Scene()
        self.addCleanup(self.scene.close)

    def agents(self):
        return self.fleet.printers

    def run_service(self, printers, behaviours=(), until="Logout TELVA ok", timeout=RUN_SECONDS, config=None):
        """Starts the simulator (with behaviours installed before the service starts) and the service, and
        waits for the line that ends the run."""
        server = self.scene.start_server(printers)
        for behaviour in behaviours:
            server.control(dict({"op": "set"}, **behaviour))
        service = self.scene.start_service(BINARY, config=config)
        service.wait_for_log(until, timeout=timeout)
        return server, service

    def stop(self, service):
        service.stop()
        self.assertEqual(self.scene.log.messages()[-1][: len(harness.STOP_LINE)], harness.STOP_LINE)
        self.assertEqual(self.scene.log.form_problems(), [])

    def run_messages(self):
        """The log messages of the run: everything after the start lines, without the stop line."""
        messages = self.scene.log.messages()
        self.assertTrue(messages[0].startswith(harness.START_LINE), messages)
        self.assertEqual(messages[1], harness.SCHEDULE_NOTE)
        return [m for m in messages[2:] if not m.startswith(harness.STOP_LINE)]

    def assert_upload(self, server, printers, accepted=True, uploads_expected=1):
        """The last upload the server received carries exactly the readings printers expects."""
        uploads = server.uploads()
        self.assertEqual(len(uploads), uploads_expected)
        upload = uploads[-1]
        self.assertEqual(upload["accepted"], accepted)
        self.assertTrue(upload["layout_ok"], upload["layout_problem"])
        self.assertEqual(upload["fields"], printers.expected_fields())
        self.assertEqual(upload["printers"], printers.expected_upload())
        self.assertEqual(upload["count"], str(len(printers.expected)))
        self.assertEqual(upload["number"], CONTRACT)
        return upload


class CleanRunTest(AuditTest):
    fleet_values = [{}, dict(zip(TYPED_OIDS, TYPED_VALUES))]

    def test_every_reading_reaches_the_server_in_field_order(self):
        agents = self.agents()
        printers = PrinterList()
        # Member names play no part: "17" comes first and is position 0, "4" is position 1.
        printers.add_agent(self.fleet, agents[2], name="17", printer_id=4711)
        printers.add_agent(self.fleet, agents[0], name="4", printer_id="A-12")
        typed = printers.add_agent(self.fleet, agents[1], oids=TYPED_OIDS, name="x")
        printers.add_agent(self.fleet, agents[1], name="y", serial="SERIAL-NEVER-SENT")
        # The first identifier is one the agent lacks: noSuchName, an empty reading, no error line.
        printers.add_agent_missing_oid(self.fleet, agents[0], counter="lifecount", name="z")
        # An octet string goes over as its bytes; the simulator reads the form as ISO-8859-1.
        printers.expected[2]["lco"] = TYPED_VALUES[0][1].encode("utf-8").decode("latin-1")
        server, service = self.run_service(printers)
        self.stop(service)

        self.assertEqual(server.endpoints(), ["login", "fetch", "update", "logout"])
        self.assertEqual(self.run_messages(),
                         ["Login TELVA ok", "Printer count 5"] + printers.read_lines() +
                         ["Update()", "Audit summary: 5 printers, 5 read, 0 partial, 0 no answer, 0 failed; upload accepted",
                          "Logout TELVA ok"])
        upload = self.assert_upload(server, printers)
        self.assertEqual([name for name, _ in upload["fields"]], upload_field_names(5))
        # The values the agents hold, independently of the list builder: agent 3 is 127.0.0.4.
        self.assertEqual(upload["printers"][0]["lco"], "301003")
        self.assertEqual(upload["printers"][0]["sco"], "306003")
        self.assertEqual(upload["printers"][0]["cid"], "4711")
        self.assertEqual(upload["printers"][2]["lcc"], "-7")
        self.assertEqual(upload["printers"][2]["lccb"], "0")
        self.assertEqual(typed["lifecount"], TYPED_OIDS[0])
        self.assertEqual(upload["printers"][4]["lco"], "")
        self.assertEqual(upload["printers"][4]["lcc"], "102001")
        for request in server.requests():
            self.assertNotIn("SN-", request["body"])
            self.assertNotIn("SERIAL-NEVER-SENT", request["body"])
        self.assertEqual([p["qp_problems"] for p in server.requests()[2]["parts"]], [[]] * len(upload["fields"]))


class HistoryTest(AuditTest):
    """The reading history across a restart of the real program: the file the first process leaves in the
    state directory, and the counter that went back which the next process names."""

    fleet_size = 2

    def test_a_counter_lower_than_before_the_restart_is_named(self):
        if not os.path.ismount(STATE_DIR):
            self.skipTest("needs a private state directory (tests/e2e/run-isolated)")
        lower, higher = self.agents()
        config = {"extra": {"conferir": "1"}}
        before = PrinterList()
        before.add_agent(self.fleet, higher, printer_id="P-7")
        server, service = self.run_service(before, config=config)
        self.stop(service)
        history = os.path.join(STATE_DIR, "reading_history.txt")
        self.assertEqual(os.stat(history).st_mode & 0o777, 0o640)

        # The printer was swapped: another machine answers for P-7.
        after = PrinterList()
        after.add_agent(self.fleet, lower, printer_id="P-7")
        server.serve(after)
        self.scene.log.mark()
        service = self.scene.start_service(BINARY, config=config)
        service.wait_for_log("Logout TELVA ok", timeout=RUN_SECONDS)
        self.stop(service)
        went_back = ", ".join("%s %s -> %s" % (suffix, self.fleet.value(higher, counter), self.fleet.value(lower, counter))
                              for suffix, counter in zip(SUFFIXES, COUNTERS))
        self.assertEqual(self.run_messages(),
                         ["Login TELVA ok", "Printer count 1"] + after.read_lines() +
                         ["Counters lower than last run: printer P-7 at %s: %s" % (lower["address"], went_back),
                          "Update()",
                          "Audit summary: 1 printers, 1 read, 0 partial, 0 no answer, 0 failed, 1 with lower counters; "
                          "upload accepted",
                          "Logout TELVA ok"])
        self.assert_upload(server, after, uploads_expected=2)


if __name__ == "__main__":
    unittest.main(verbosity=2)
