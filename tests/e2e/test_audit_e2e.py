"""The audit run end to end: the real program (POSIX build, in the foreground) against the contract-server
simulator and net-snmp agents on loopback. Every test runs the service once (the run at start), stops it with
SIGTERM and checks the daily log lines, the requests the server received and the upload field by field.

    TELVA4_AUDIT=build/debug/src/telva4_audit python3 -m unittest -v test_audit_e2e
"""

import os
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
from harness import COUNTERS, CONTRACT, PrinterList, Scene, upload_field_names  # noqa: E402

BINARY = os.path.abspath(os.environ.get("TELVA4_AUDIT", os.path.join(harness.REPO, "build/debug/src/telva4_audit")))

# Identifiers the clean run asks of its second agent, each of another SNMP type.
TYPED_OIDS = ["1.3.6.1.4.1.32473.44.%d.0" % k for k in range(1, 7)]
TYPED_VALUES = [["octet_str", "Sala 2 - caf\u00e9"], ["integer", "-7"], ["uinteger", "4294967295"],
                ["counter", "0"], ["counter", "4294967295"], ["integer", "-2147483648"]]

RUN_SECONDS = 60  # an audit over refusing or fast printers ends well within this
HOST_NOT_FOUND = "Error 0 - Socket Error # 11001\r\nHost not found."
BIND_ERROR = "Error 0 - Could not bind socket. Address and port are already in use."


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

    def run_service(self, printers, behaviours=(), until="Logout TELVA ok", timeout=RUN_SECONDS):
        """Starts the simulator (with behaviours installed before the service starts) and the service, and
        waits for the line that ends the run."""
        server = self.scene.start_server(printers)
        for behaviour in behaviours:
            server.control(dict({"op": "set"}, **behaviour))
        service = self.scene.start_service(BINARY)
        service.wait_for_log(until, timeout=timeout)
        return server, service

    def stop(self, service):
        service.stop()
        self.assertEqual(self.scene.log.messages()[-1][: len(harness.STOP_LINE)], harness.STOP_LINE)
        self.assertEqual(self.scene.log.form_problems(), [])

    def run_messages(self):
        """The log messages of the run: everything after "Service started, IP ", without the stop line."""
        messages = self.scene.log.messages()
        self.assertTrue(messages[0].startswith(harness.START_LINE), messages)
        return [m for m in messages[1:] if not m.startswith(harness.STOP_LINE)]

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
                         ["Update()", "Logout TELVA ok"])
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

    def test_empty_items_uploads_count_zero(self):
        server, service = self.run_service(PrinterList())
        self.stop(service)
        self.assertEqual(server.endpoints(), ["login", "fetch", "update", "logout"])
        self.assertEqual(self.run_messages(), ["Login TELVA ok", "Printer count 0", "Update()", "Logout TELVA ok"])
        upload = server.uploads()[0]
        self.assertEqual(upload["fields"], [["data[count]", "0"], ["data[number]", CONTRACT]])
        self.assertTrue(upload["layout_ok"])

    def test_130_printers_are_all_read_and_sent(self):
        # Three agents behind 130 entries, every fifth entry at an address that refuses at once.
        agents = self.agents()
        printers = PrinterList()
        for position in range(130):
            if position % 5 == 4:
                printers.add_silent(address="127.0.0.%d" % (240 + position % 7))
            else:
                printers.add_agent(self.fleet, agents[position % 3])
        server, service = self.run_service(printers, timeout=120)
        self.stop(service)
        self.assertEqual(server.endpoints(), ["login", "fetch", "update", "logout"])
        self.assertEqual(self.run_messages(),
                         ["Login TELVA ok", "Printer count 130"] + printers.read_lines() +
                         ["Update()", "Logout TELVA ok"])
        upload = self.assert_upload(server, printers)
        self.assertEqual(upload["count"], "130")
        self.assertEqual(upload["printers"][129]["cid"], printers.expected[129]["cid"])
        self.assertNotEqual(upload["printers"][128]["lco"], "")


class ServerRefusalTest(AuditTest):
    fleet_size = 2

    def clean_list(self):
        printers = PrinterList()
        for agent in self.agents():
            printers.add_agent(self.fleet, agent)
        return printers

    def test_login_refused_sends_nothing_else(self):
        server, service = self.run_service(self.clean_list(), [{"endpoint": "login", "action": "refuse"}],
                                           until="Erro no login")
        self.stop(service)
        self.assertEqual(server.endpoints(), ["login"])
        messages = self.run_messages()
        self.assertEqual(messages[-1], "Erro no login")
        self.assertNotIn("Printer count", "\n".join(messages))
        self.assertNotIn("Logout", "\n".join(messages))

    def test_fetch_refused_logs_out_without_update(self):
        server, service = self.run_service(self.clean_list(), [{"endpoint": "fetch", "action": "refuse"}])
        self.stop(service)
        self.assertEqual(server.endpoints(), ["login", "fetch", "logout"])
        messages = self.run_messages()
        self.assertEqual(messages[0], "Login TELVA ok")
        self.assertEqual(messages[-1], "Logout TELVA ok")
        self.assertFalse([m for m in messages if m.startswith(("Printer count", "SNMP", "Update()"))], messages)
        self.assertEqual(server.uploads(), [])

    def test_sign_in_required_on_fetch_logs_in_again_and_reposts(self):
        printers = self.clean_list()
        server, service = self.run_service(printers, [{"endpoint": "fetch", "action": "expire", "times": 1}])
        self.stop(service)
        self.assertEqual(server.endpoints(), ["login", "fetch", "login", "fetch", "update", "logout"])
        requests = server.requests()
        self.assertEqual(requests[2]["mode"], "credentials")
        self.assertEqual(requests[1]["body"], requests[3]["body"])
        self.assertTrue(requests[3]["session_valid"])
        self.assert_upload(server, printers)

    def test_sign_in_required_on_upload_logs_in_again_and_reposts_the_same_form(self):
        printers = self.clean_list()
        server, service = self.run_service(printers, [{"endpoint": "update", "action": "expire", "times": 1}])
        self.stop(service)
        self.assertEqual(server.endpoints(), ["login", "fetch", "update", "login", "update", "logout"])
        requests = server.requests()
        self.assertEqual(requests[3]["mode"], "credentials")
        self.assertEqual(requests[2]["body"], requests[4]["body"])  # byte-identical, boundary included
        self.assertNotEqual(dict(requests[2]["headers"])["ZURMO_SESSION_ID"],
                            dict(requests[4]["headers"])["ZURMO_SESSION_ID"])
        uploads = server.uploads()
        self.assertEqual([u["accepted"] for u in uploads], [False, True])
        self.assert_upload(server, printers, uploads_expected=2)
        self.assertEqual(self.run_messages()[-2:], ["Update()", "Logout TELVA ok"])

    def test_upload_refused_still_logs_update_and_logs_out(self):
        printers = self.clean_list()
        server, service = self.run_service(printers, [{"endpoint": "update", "action": "refuse"}])
        self.stop(service)
        self.assertEqual(server.endpoints(), ["login", "fetch", "update", "logout"])
        self.assert_upload(server, printers, accepted=False)
        messages = self.run_messages()
        self.assertEqual(messages[-1], "Logout TELVA ok")
        self.assertIn("Update()", messages)
        self.assertLess(messages.index("SNMP OK IP " + self.agents()[1]["address"]), messages.index("Update()"))

    def test_unreadable_printer_value_uploads_nothing_and_the_service_goes_on(self):
        agent = self.agents()[0]
        oids = ", ".join('"%s": "%s"' % (c, o) for c, o in zip(COUNTERS, harness.default_oids()))
        # A number literal of 12 characters with an exponent has no text of its own.
        items_raw = ('{"a": {"id": 1, "ip": "%s", "serial": "S", %s}, "b": {"id": 123456789e10, "ip": "%s", '
                     '"serial": "S", %s}}' % (agent["address"], oids, agent["address"], oids))
        server = self.scene.start_server(self.clean_list())
        server.control({"op": "printers", "items_raw": items_raw})
        service = self.scene.start_service(BINARY)
        service.wait_for_log("Logout TELVA ok", timeout=RUN_SECONDS)
        # Still running after the run; stop() below sees it handle SIGTERM some 15 s later.
        self.assertTrue(service.running())
        self.stop(service)
        self.assertEqual(server.endpoints(), ["login", "fetch", "logout"])
        self.assertEqual(server.uploads(), [])
        messages = self.run_messages()
        self.assertEqual(messages, ["Login TELVA ok",
                                    "Printer list not usable, nothing uploaded: printer 1 \"id\" cannot be read: "
                                    "The number 123456789e10 cannot be read as text",
                                    "Logout TELVA ok"])


class PrinterFaultTest(AuditTest):
    fleet_size = 2

    def test_unresolvable_host_name_is_logged_across_two_lines_and_the_next_printer_is_read(self):
        agents = self.agents()
        printers = PrinterList()
        printers.add_agent(self.fleet, agents[0])
        printers.add_unresolvable()
        printers.add_agent(self.fleet, agents[1])
        server, service = self.run_service(printers)
        self.stop(service)
        self.assertIn(b"SNMP trying IP printer..invalid\r\n", self.scene.log.raw())
        self.assertIn(b" " + HOST_NOT_FOUND.encode() + b"\r\n", self.scene.log.raw())
        self.assertEqual(self.run_messages(),
                         ["Login TELVA ok", "Printer count 3",
                          "SNMP trying IP " + agents[0]["address"], "SNMP OK IP " + agents[0]["address"],
                          "SNMP trying IP printer..invalid", HOST_NOT_FOUND,
                          "SNMP trying IP " + agents[1]["address"], "SNMP OK IP " + agents[1]["address"],
                          "Update()", "Logout TELVA ok"])
        self.assert_upload(server, printers)

    def test_busy_trap_port_fails_each_printer_and_its_fields_are_still_sent(self):
        agents = self.agents()
        printers = PrinterList()
        for agent in agents:
            printers.add(agent["address"], harness.default_oids(), [""] * 6)
        with harness.hold_udp_port(162):
            server, service = self.run_service(printers)
        self.stop(service)
        expected = ["Login TELVA ok", "Printer count 2"]
        for agent in agents:
            expected += ["SNMP trying IP " + agent["address"], BIND_ERROR]
        self.assertEqual(self.run_messages(), expected + ["Update()", "Logout TELVA ok"])
        self.assert_upload(server, printers)

    def test_a_silent_printer_costs_the_receive_wait_and_sends_the_community(self):
        # A socket on 127.0.0.253:161 takes the first query and never answers; it closes after that query's
        # wait has begun, so the other five are refused at once and the test stays short.
        agent = self.agents()[0]
        silent = "127.0.0.253"
        printers = PrinterList()
        printers.add_silent(address=silent)
        printers.add_agent(self.fleet, agent)
        sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(sink.close)
        sink.bind((silent, 161))
        sink.settimeout(RUN_SECONDS)
        server = self.scene.start_server(printers)
        service = self.scene.start_service(BINARY)
        datagram, _ = sink.recvfrom(2048)
        first_query_at = time.monotonic()
        sink.settimeout(9.0)
        with self.assertRaises(socket.timeout):  # nothing is repeated while the first query waits
            sink.recvfrom(2048)
        sink.close()
        service.wait_for_log("SNMP OK IP " + silent, timeout=20)
        waited = time.monotonic() - first_query_at
        self.assertGreaterEqual(waited, 9.9)
        self.assertLess(waited, 13.0)
        self.assertIn(b"\x04\x06quarno", datagram)
        service.wait_for_log("Logout TELVA ok", timeout=RUN_SECONDS)
        self.stop(service)
        self.assert_upload(server, printers)


class ServerHangTest(AuditTest):
    fleet_size = 1

    def test_upload_that_is_never_answered_ends_at_the_idle_limit_and_logs_out(self):
        printers = PrinterList()
        printers.add_agent(self.fleet, self.agents()[0])
        server, service = self.run_service(printers, [{"endpoint": "update", "action": "hang"}],
                                           until="Printer count 1")
        started = time.monotonic()
        service.wait_for_log("Update()", timeout=120)
        waited = time.monotonic() - started
        service.wait_for_log("Logout TELVA ok", timeout=30)
        self.stop(service)
        self.assertGreater(waited, 55)
        self.assertLess(waited, 90)
        self.assertEqual(server.endpoints(), ["login", "fetch", "update", "logout"])
        self.assertIsNone(server.requests()[2]["status"])
        self.assert_upload(server, printers)
        messages = self.run_messages()
        failure = messages[messages.index("SNMP OK IP " + self.agents()[0]["address"]) + 1:messages.index("Update()")]
        # A failed exchange leaves two lines: the (empty) answer text and the address.
        self.assertEqual(failure, ["", "http://%s/app/index.php/contractItems/contractItem/api/updateItemData/"
                                   % server.address])


if __name__ == "__main__":
    unittest.main(verbosity=2)
