#!/usr/bin/env python3
"""The technician's command line of the Windows build under Wine.

  tests/wine/command_line.py TELVA4_AUDIT_EXE PREFIX_DIR

The program is copied with a config.ini beside it into the scene's directory and run directly (not as a
service) in the Wine prefix PREFIX_DIR: help on stdout, the version line, an unknown switch and words that
are no switches refused with exit status 2, and /CHECK /JSON /TIMEOUT:1 against the contract-server
simulator, a net-snmp agent on 127.0.0.40 and a responder on 127.0.0.43 that never answers: one JSON
document, status 1, nothing uploaded, nothing in the daily log. Everything started here is stopped by pid (simulator, responder), by its own tool (fleet) or
for this prefix only (wineserver -k), also when a check fails.
"""

import json
import ntpath
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

import harness  # noqa: E402
from harness import CONTRACT, USER, PrinterList, WineService, default_oids  # noqa: E402

EXE = PREFIX = None
AGENT_ADDRESS = "127.0.0.40"
SILENT_ADDRESS = "127.0.0.43"  # a responder that takes every query and never answers
PASSWORD = "pw-Q7x9-kept-secret"
SCHEDULE = "03:00"


def project_version():
    with open(os.path.join(harness.REPO, "CMakeLists.txt")) as handle:
        return re.search(r"project\(\s*telva4_audit\s+VERSION\s+([0-9.]+)", handle.read()).group(1)


class WineCommandLineTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scene = harness.Scene(prefix="telva_wine_cli_")
        cls.addClassCleanup(cls.scene.close)
        cls.fleet = cls.scene.start_fleet(1, first_address=AGENT_ADDRESS, lifetime=600)
        cls.silent = cls.scene.responder(SILENT_ADDRESS, lambda index, community, oid: [])
        cls.printers = PrinterList()
        cls.printers.add_agent(cls.fleet, cls.fleet.printers[0], printer_id="ANS-1")
        cls.printers.add(SILENT_ADDRESS, default_oids(), [""] * 6, printer_id="SIL-2")
        cls.server = cls.scene.start_server(cls.printers, password=PASSWORD)
        # Only the program's directory, config.ini and the prefix: it is run directly, never installed.
        cls.program = WineService(EXE, cls.scene.path("wine"), PREFIX, cls.server.address,
                                  config={"schedule": SCHEDULE, "password": PASSWORD})
        cls.scene.on_close(cls.program.wine.close)

    def run_program(self, *args):
        """(exit status, stdout, stderr) of one run; the output is UTF-8 with the line ends made LF."""
        result = self.program.run_program(*args, timeout=90)

        def text(data):
            return data.encode("latin-1").decode("utf-8").replace("\r\n", "\n")

        return result.status, text(result.out), text(result.err)

    def test_switches(self):
        status, usage, _ = self.run_program("-help")
        self.assertEqual(status, 0, usage)
        for word in ("CHECK", "JSON", "TIMEOUT", "ONCE", "VERSION", "INSTALL"):
            self.assertIn(word.lower(), usage.lower(), "the usage does not mention %s" % word)

        status, out, _ = self.run_program("/version")
        self.assertEqual(status, 0, out)
        self.assertRegex(out, r"\Atelva4-audit %s \([^()\s]+\) Windows x86_64\n\Z" % re.escape(project_version()))

        # An unknown switch, a bare word, a word after an en dash, a word after a switch: refused, nothing run.
        for args, named in ((["-bogus"], "-bogus"), (["check"], "check"), (["\u2013once"], "once"),
                            (["/ONCE", "now"], "now")):
            status, out, err = self.run_program(*args)
            self.assertEqual((status, out), (2, ""), (args, err))
            problem, _, rest = err.partition("\n")
            self.assertIn(named, problem)
            self.assertIn(usage, rest)

    def test_check_json_reads_without_uploading(self):
        self.server.mark()
        self.program.log.mark()
        status, out, err = self.run_program("/CHECK", "/JSON", "/TIMEOUT:1")
        self.assertNotIn(PASSWORD, out + err)
        try:
            document = json.loads(out)
        except ValueError as error:
            self.fail("stdout is not one JSON document (%s): %r; stderr %r" % (error, out, err))
        self.assertEqual((status, document["status"], document["failure"]), (1, 1, None), document)
        settings = document["settings"]
        self.assertEqual(settings["file"], ntpath.join(ntpath.dirname(self.program.windows_path), "config.ini"))
        self.assertEqual((settings["contract"], settings["user"], settings["time_of_day"], settings["problems"]),
                         (CONTRACT, USER, SCHEDULE, []))
        self.assertEqual(document["steps"], {"login": "ok", "printer_list": "ok", "logout": "ok"})
        self.assertEqual(document["per_query_wait_seconds"], 1)

        answering, silent = document["printers"]
        self.assertEqual((answering["id"], answering["address"], answering["outcome"]),
                         ("ANS-1", AGENT_ADDRESS, "read"))
        self.assertEqual([c["value"] for c in answering["counters"]], self.fleet.readings(self.fleet.printers[0]))
        self.assertEqual((silent["id"], silent["address"], silent["outcome"]), ("SIL-2", SILENT_ADDRESS, "no answer"))
        self.assertEqual([c["status"] for c in silent["counters"]], ["no answer"] + ["skipped"] * 5)
        self.assertEqual(len(self.silent.requests), 1, "queries after the unanswered one")
        counts = {key: document["summary"][key] for key in ("printers", "read", "partial", "no_answer", "error")}
        self.assertEqual(counts, {"printers": 2, "read": 1, "partial": 0, "no_answer": 1, "error": 0})

        self.assertEqual(self.server.endpoints(), ["login", "fetch", "logout"])
        self.assertEqual(self.server.uploads(), [])
        self.assertEqual(self.program.log.raw(), b"", "the check wrote to the daily log")


if __name__ == "__main__":
    harness.run_wine_script(__doc__, globals())
