"""Fault matrix, printer side: one audit over real snmpd agents and python responders that misbehave.

snmpd cannot send broken answers, so each misbehaving printer is a small responder on its own
127.0.0.x:161 inside the test. The printer list mixes them with two real agents; the one upload must hold
exactly what each printer's answers allow, every reading at its own position, and nothing misattributed.
Two stop requests arrive while the run is reading a silent printer: the run still finishes, uploads and
logs out, then both stops are handled (two stop lines) and the process ends with status 0.
"""

import signal
import time
import unittest

import faults_common as fc
from faults_common import harness
from harness import counter32, counter64, get_response, tlv  # noqa: E402

# Counter values the responders hold: printer p answers base(p) + k for its k-th counter.
def value_of(printer, k):
    return 1000000 * (printer + 1) + 1000 + k


class PrinterFaults(fc.FaultCase):
    def test_misbehaving_printers_in_one_run(self):
        oids = harness.default_oids()
        position = {oid: k for k, oid in enumerate(oids)}
        fleet = self.scene.start_fleet(2, first_address="127.0.0.40")
        printers = harness.PrinterList()
        printers.add_agent(fleet, fleet.printers[0])
        responders = {}
        expected_log = []

        def add(name, address, answer, expected):
            index = len(printers.entries)
            responders[name] = self.scene.responder(address, lambda i, c, oid: answer(index, i, c, oid))
            printers.add(address, oids, expected)

        def full(index, oid, **kwargs):
            return get_response(oid, counter32(value_of(index, position[oid])), **kwargs)

        # Cut inside the value: the binding is unreadable, so no value (never a partial number).
        add("truncated", "127.0.0.20", lambda p, i, c, oid: [(0, full(p, oid)[:-2])], [""] * 6)

        # The outer length claims 100 bytes more than the datagram holds: the binding inside is whole.
        def lying(p, i, c, oid):
            message = full(p, oid)
            assert message[1] < 0x80
            return [(0, bytes([0x30, 0x81, message[1] + 100]) + message[2:])]

        add("lying", "127.0.0.21", lying, [str(value_of(2, k)) for k in range(6)])

        # 9000 bytes do not fit the 8192-byte receive buffer: an error ends this printer's queries.
        add("oversized", "127.0.0.22",
            lambda p, i, c, oid: [(0, get_response(oid, tlv(0x04, b"7" * 8950)))], [""] * 6)
        expected_log.append("Error 0 - Socket Error # 10040\r\nMessage too long.")

        # Another community or request id is still this printer's answer.
        add("community", "127.0.0.23", lambda p, i, c, oid: [(0, full(p, oid, community="public"))],
            [str(value_of(4, k)) for k in range(6)])
        add("request_id", "127.0.0.24", lambda p, i, c, oid: [(0, full(p, oid, request_id=4711))],
            [str(value_of(5, k)) for k in range(6)])

        # An answer for another identifier: the reading stays empty.
        add("other_oid", "127.0.0.25",
            lambda p, i, c, oid: [(0, get_response(oid + ".9", counter32(value_of(p, 0))))], [""] * 6)

        # The first answer comes after the 10 s wait; every later query reads the answer to the query
        # before it, which names another identifier: six empty readings, none shifted to the next field.
        add("late", "127.0.0.26", lambda p, i, c, oid: [(fc.SNMP_WAIT_S + 0.5 if i == 0 else 0, full(p, oid))],
            [""] * 6)

        # Counter64 values, one of them beyond 32 bits.
        add("counter64", "127.0.0.27",
            lambda p, i, c, oid: [(0, get_response(oid, counter64(2**40 + position[oid])))],
            [str(2**40 + k) for k in range(6)])

        printers.add_silent()  # refuses: nothing listens there, the kernel answers port-unreachable
        add("silent", "127.0.0.28", lambda p, i, c, oid: [], [""] * 6)
        printers.add_agent(fleet, fleet.printers[1])

        server = self.scene.start_server(printers)
        started = time.monotonic()
        service = self.start_service()
        service.wait_for_log("SNMP trying IP 127.0.0.28", timeout=120)
        # Two stops during the run: both wait until the run and the loop's pause are over. (Signals of one
        # kind that are pending together merge into one, so the second goes once the first is taken.)
        service.control("stop")
        harness.wait_until(lambda: not harness.signal_pending(service.pid, signal.SIGTERM), 10,
                           interval=0.01, what="the first SIGTERM taken")
        service.control("stop")
        service.wait_for_log("Logout TELVA ok", timeout=120)
        print("audit over %d printers took %.1f s" % (len(printers.entries), time.monotonic() - started))
        status = service.wait(timeout=60)
        self.assertEqual(status, 0)
        text = service.log.text()
        self.assertEqual(text[text.index("Logout TELVA ok"):].count("Service stopped, IP "), 2)

        upload = server.uploads()[-1]
        self.assertTrue(upload["layout_ok"], upload["layout_problem"])
        self.assertEqual(upload["count"], str(len(printers.entries)))
        for got, want in zip(upload["printers"], printers.expected_upload()):
            self.assertEqual(got, want, "printer at position %d" % want["position"])
        self.assertEqual(server.endpoints(), ["login", "fetch", "update", "logout"])

        for line in expected_log:
            self.assertIn(line, text)
        messages = [m for _, m in harness.log_entries(text)]
        for address in ["127.0.0.%d" % n for n in range(20, 29) if n != 22] + [harness.SILENT_ADDRESS]:
            self.assertIn("SNMP OK IP " + address, messages)
        self.assertNotIn("SNMP OK IP 127.0.0.22", messages)
        self.assertEqual(len(responders["oversized"].requests), 1, "queries after the error")

        # Silent: six queries, one per counter, about 10 s apart; nothing sent twice.
        silent = responders["silent"].requests
        self.assertEqual([r["oid"] for r in silent], oids)
        gaps = [b["time"] - a["time"] for a, b in zip(silent, silent[1:])]
        print("silent printer: queries %s s apart" % ", ".join("%.2f" % g for g in gaps))
        for gap in gaps:
            self.assertGreaterEqual(gap, fc.SNMP_WAIT_S - 0.2)
            self.assertLess(gap, fc.SNMP_WAIT_S + 1.5)
        for name in ("truncated", "lying", "community", "request_id", "other_oid", "late", "counter64"):
            self.assertEqual([r["oid"] for r in responders[name].requests], oids, name)
            self.assertEqual({r["community"] for r in responders[name].requests}, {"quarno"})


if __name__ == "__main__":
    unittest.main()
