"""The technician's command line of the real program (POSIX build).

SwitchTest: the switches that print and end (help, version) and the command lines refused with exit
status 2; no settings, no peers, no shared resources.

RunTest: CHECK and ONCE against the contract-server simulator, net-snmp agents, a crafted responder that never
answers, an address where nothing listens and a host name that does not resolve. CHECK reads without uploading
and without writing the daily log; ONCE makes the same requests and writes the same daily log lines as one
audit run of the service.

    TELVA4_AUDIT=build/debug/src/telva4_audit python3 -m unittest -v test_command_line_e2e
"""

import json
import os
import platform
import re
import shutil
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
from harness import (CONTRACT, MISSING_OID, SILENT_ADDRESS, SUFFIXES, UNRESOLVABLE_HOST, USER,  # noqa: E402
                     PrinterList, Scene, default_oids, get_response, tlv, write_config)

BINARY = os.path.abspath(os.environ.get("TELVA4_AUDIT", os.path.join(harness.REPO, "build/debug/src/telva4_audit")))

RUN_SECONDS = 60  # every run here ends well within this; the limit only keeps a hung program from hanging the test
# A password that no other output could contain by chance.
PASSWORD = "pw-Q7x9-kept-secret"
SWITCH_WORDS = ["CHECK", "JSON", "TIMEOUT", "ONCE", "HELP", "VERSION", "INSTALL", "UNINSTALL", "SILENT"]
JSON_KEYS = {"version", "settings", "history", "steps", "messages", "per_query_wait_seconds", "parallel", "printers",
             "summary", "status", "failure"}
NOTHING_TRIED = {"login": "not tried", "printer_list": "not tried", "logout": "not tried"}
# What the responder on 127.0.0.10 answers to every query: an octet string, "café" in ISO-8859-1 (not UTF-8).
LATIN1_BYTES = b"caf\xe9"


def project_version():
    """The version the top-level CMakeLists.txt gives the project."""
    with open(os.path.join(harness.REPO, "CMakeLists.txt")) as handle:
        return re.search(r"project\(\s*telva4_audit\s+VERSION\s+([0-9.]+)", handle.read()).group(1)


def run(program, *args, timeout=RUN_SECONDS):
    """Runs the program to its end: (exit status, stdout text, stderr text), both decoded as UTF-8 (strictly:
    the program writes UTF-8)."""
    result = subprocess.run([program, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, timeout=timeout, cwd=os.path.dirname(program))
    return result.returncode, result.stdout.decode("utf-8"), result.stderr.decode("utf-8")


def time_of_day_far_from_now():
    """An "horario" twelve hours away, so that no scheduled run starts during a test."""
    return time.strftime("%H:%M", time.localtime(time.time() + 12 * 3600))


def closed_loopback_port():
    """A TCP port on 127.0.0.1 nothing listens on (bound once, then released)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class SwitchTest(unittest.TestCase):
    """The program in place, with no config.ini beside it: none of these command lines reads one."""

    def switch(self, *args):
        # A program that took these for the service would run on: the short limit ends it (killed by pid).
        return run(BINARY, *args, timeout=10)

    def usage(self):
        status, out, err = self.switch("-help")
        self.assertEqual((status, err), (0, ""))
        return out

    def test_help_in_every_form_prints_the_usage_on_stdout(self):
        usage = self.usage()
        for word in SWITCH_WORDS:
            self.assertIn(word.lower(), usage.lower(), "the usage does not mention %s" % word)
        # Letter case is ignored, "/" and "-" are alike, "--help" is accepted.
        for args in (["/?"], ["--HELP"], ["/Help"], ["-?"]):
            self.assertEqual(self.switch(*args), (0, usage, ""), args)

    def test_version_is_one_line_with_the_project_version_and_the_system(self):
        pattern = re.compile(r"telva4-audit %s \([^()\s]+\) Linux %s\n\Z"
                             % (re.escape(project_version()), re.escape(platform.machine())))
        outputs = set()
        for args in (["-version"], ["--version"], ["/VERSION"], ["--Version"]):
            status, out, err = self.switch(*args)
            self.assertEqual((status, err), (0, ""), args)
            self.assertRegex(out, pattern, args)
            outputs.add(out)
        self.assertEqual(len(outputs), 1, outputs)

    def test_refused_command_lines_exit_2_with_the_problem_and_the_usage_on_stderr(self):
        usage = self.usage()
        # (arguments, a word the problem line names)
        cases = [(["-bogus"], "-bogus"), (["--install"], "--install"), (["-"], None), (["-timeout"], "timeout"),
                 (["-timeout:0"], "timeout"), (["-timeout:x"], "timeout"), (["-timeout:61"], "timeout"),
                 (["-json"], "json"), (["-check", "-timeout:5", "-json", "-once"], "once"),
                 (["-check", "-once"], "once"), (["-help", "-bogus"], "-bogus"), (["-version", "/x"], "/x"),
                 (["-check", "-json", "--check"], "--check"),
                 # Words that are no switches (a bare word, another dash, one after a switch) start nothing.
                 (["check"], "check"), (["once"], "once"), (["run", "now"], "run"), (["\u2013check"], "\u2013check"),
                 (["\u2014once"], "\u2014once"), (["\u2212check"], "\u2212check"), (["-once", "now"], "now"),
                 (["-silent", "x"], "x")]
        for args, named in cases:
            status, out, err = self.switch(*args)
            self.assertEqual((status, out), (2, ""), args)
            problem, _, rest = err.partition("\n")
            self.assertTrue(problem.strip(), "no problem line for %r: %r" % (args, err))
            # A blank line may set the usage apart from the problem.
            self.assertIn(rest, (usage, "\n" + usage), "stderr after the problem line for %r" % args)
            if named:
                self.assertIn(named.lower(), problem.lower(), args)


class RunTest(unittest.TestCase):
    """One fleet, one silent responder and one simulator for the class; each test serves its printer list and
    runs copies of the program, each in a directory of its own with its config.ini."""

    @classmethod
    def setUpClass(cls):
        cls.scene = Scene(prefix="telva_cli_e2e_")
        cls.addClassCleanup(cls.scene.close)
        cls.fleet = cls.scene.start_fleet(3, lifetime=600)
        cls.agents = cls.fleet.printers
        # 127.0.0.9 takes every query and never answers; 127.0.0.254 (SILENT_ADDRESS) has nothing bound.
        cls.silent = cls.scene.responder("127.0.0.9", lambda index, community, oid: [])
        cls.latin1 = cls.scene.responder("127.0.0.10", lambda index, community, oid: [
            (0, get_response(oid, tlv(0x04, LATIN1_BYTES), community, cls.latin1.requests[index]["id"]))])
        cls.server = cls.scene.start_server({}, password=PASSWORD)
        cls.schedule = time_of_day_far_from_now()
        version = run(BINARY, "-version", timeout=10)
        cls.version = version[1].rstrip("\n")

    def setUp(self):
        self.server.control({"op": "reset"})
        self.server.mark()
        self.scene.log.mark()
        self.silent.requests.clear()

    def program(self, name, server_address=None, **config):
        """A copy of the program in DIR/name with its config.ini: (program path, config.ini path)."""
        directory = self.scene.path(name)
        os.makedirs(directory, exist_ok=True)
        program = os.path.join(directory, os.path.basename(BINARY))
        shutil.copy2(BINARY, program)
        config.setdefault("schedule", self.schedule)
        config.setdefault("password", PASSWORD)
        config_path = write_config(os.path.join(directory, "config.ini"), server_address or self.server.address,
                                   **config)
        return program, config_path

    def mixed_list(self):
        printers = PrinterList()
        printers.add_agent(self.fleet, self.agents[0], printer_id="ANS-7")
        printers.add_silent(printer_id="REF-8")
        printers.add("127.0.0.9", default_oids(), [""] * 6, printer_id="SIL-9")
        printers.add_agent_missing_oid(self.fleet, self.agents[1], counter="lifecountcolor", printer_id="MIS-10")
        printers.add_unresolvable(printer_id="UNR-11")
        printers.add("127.0.0.10", default_oids(), [""] * 6, printer_id="TXT-12")
        self.server.serve(printers)
        return printers

    def assert_nothing_uploaded_or_logged(self):
        self.assertEqual(self.server.endpoints(), ["login", "fetch", "logout"])
        self.assertEqual(self.server.uploads(), [])
        self.assertEqual(self.scene.log.raw(), b"", "the check wrote to the daily log")

    def check_json(self, program, *args):
        status, out, err = run(program, "-check", "-json", "-timeout:1", *args)
        self.assertNotIn(PASSWORD, out + err)
        try:
            document = json.loads(out)  # exactly one document: anything after it is an error
        except ValueError as error:
            self.fail("stdout is not one JSON document (%s): %r; stderr %r" % (error, out, err))
        self.assertEqual(set(document), JSON_KEYS)
        self.assertEqual(document["status"], status, "the document's status and the exit status")
        return status, document

    def test_check_json_reads_every_kind_of_printer_and_uploads_nothing(self):
        self.mixed_list()
        program, config_path = self.program("check-json")
        status, document = self.check_json(program)
        self.assertEqual(status, 1, document)
        self.assertIsNone(document["failure"])
        self.assertEqual(document["version"], self.version)
        settings = dict(document["settings"])
        self.assertTrue(settings.pop("server_url").startswith("http://%s/" % self.server.address), document["settings"])
        self.assertEqual(settings, {"file": config_path, "contract": CONTRACT, "time_of_day": self.schedule,
                                    "user": USER, "parallel": 1, "proxy": "none", "problems": []})
        self.assertEqual(document["steps"], {"login": "ok", "printer_list": "ok", "logout": "ok"})
        self.assertEqual((document["per_query_wait_seconds"], document["parallel"]), (1, 32))

        printers = document["printers"]
        self.assertEqual([(p["position"], p["id"], p["address"]) for p in printers],
                         [(0, "ANS-7", self.agents[0]["address"]), (1, "REF-8", SILENT_ADDRESS),
                          (2, "SIL-9", "127.0.0.9"), (3, "MIS-10", self.agents[1]["address"]),
                          (4, "UNR-11", UNRESOLVABLE_HOST), (5, "TXT-12", "127.0.0.10")])
        for printer in printers:
            self.assertEqual([c["key"] for c in printer["counters"]], SUFFIXES, printer["id"])
        answering, refusing, silent, missing, unresolvable, latin1 = printers

        self.assertEqual((answering["outcome"], answering["error"]), ("read", None))
        self.assertEqual([(c["oid"], c["status"], c["value"], c["error_status"]) for c in answering["counters"]],
                         [(oid, "value", value, 0)
                          for oid, value in zip(default_oids(), self.fleet.readings(self.agents[0]))])

        # An answer with an error status (the agent lacks the identifier) is an answer: the printer is read.
        self.assertEqual((missing["outcome"], missing["error"]), ("read", None))
        oids = default_oids()
        oids[1] = MISSING_OID
        values = self.fleet.readings(self.agents[1])
        expected = [(oid, "value", value, 0) for oid, value in zip(oids, values)]
        expected[1] = (MISSING_OID, "error", None, 2)
        self.assertEqual([(c["oid"], c["status"], c["value"], c["error_status"]) for c in missing["counters"]],
                         expected)

        # The first unanswered query ends the printer's queries: the other five are skipped. A refusal at
        # once (nothing listens on the port) is told apart from silence.
        for printer, word in ((refusing, "refused"), (silent, "no answer")):
            self.assertEqual((printer["outcome"], printer["error"]), (word, None), printer["id"])
            self.assertEqual([(c["status"], c["value"]) for c in printer["counters"]],
                             [(word, None)] + [("skipped", None)] * 5, printer["id"])
        self.assertEqual([r["oid"] for r in self.silent.requests], default_oids()[:1])
        # It waited the one second it was given, not the service's ten.
        self.assertGreaterEqual(silent["seconds"], 0.9)
        self.assertLess(silent["seconds"], 5)

        self.assertEqual(unresolvable["outcome"], "error")
        self.assertIn("11001", unresolvable["error"])
        self.assertNotIn("value", [c["status"] for c in unresolvable["counters"]])

        # A printer's octet string is read as ISO-8859-1 text, and stdout stays UTF-8 (run() decodes strictly).
        self.assertEqual(latin1["outcome"], "read")
        self.assertEqual([c["value"] for c in latin1["counters"]], ["caf\u00e9"] * 6)

        self.assertEqual(counts(document), {"printers": 6, "read": 3, "partial": 0, "no_answer": 2, "error": 1})
        self.assertGreaterEqual(document["summary"]["seconds"], silent["seconds"])
        self.assert_nothing_uploaded_or_logged()

    def test_check_table_shows_a_row_per_printer_and_the_closing_line(self):
        self.mixed_list()
        program, _ = self.program("check-table")
        status, out, err = run(program, "-CHECK", "/timeout:1")
        self.assertNotIn(PASSWORD, out + err)
        self.assertEqual(status, 1, out + err)
        lines = out.splitlines()
        # The responder of TXT-12 answers "café" to every identifier, its serial number's too.
        self.assertIn("6 printers: 3 read, 0 partial, 2 no answer (1 refused), 1 failed, 1 serial differs; "
                      "nothing uploaded", [line.strip() for line in lines])

        def row(printer_id):
            rows = [line for line in lines if printer_id in line.split()]
            self.assertEqual(len(rows), 1, "rows for %s in:\n%s" % (printer_id, out))
            return rows[0]

        answering = row("ANS-7").split()
        for value in self.fleet.readings(self.agents[0]):
            self.assertIn(value, answering)
        self.assertIn("read", answering)
        missing = row("MIS-10").split()
        self.assertIn("noSuchName", missing)
        self.assertIn("read", missing)
        for value in self.fleet.readings(self.agents[1])[2:]:
            self.assertIn(value, missing)
        for printer_id, address, word in (("REF-8", SILENT_ADDRESS, "refused"), ("SIL-9", "127.0.0.9", "no answer")):
            text = row(printer_id)
            self.assertIn(address, text.split())
            self.assertIn(word, text)
            self.assertNotIn("read", text.split())
        unresolvable = row("UNR-11")
        self.assertIn(UNRESOLVABLE_HOST, unresolvable.split())
        self.assertNotIn("read", unresolvable.split())
        self.assertNotIn("no answer", unresolvable)
        self.assert_nothing_uploaded_or_logged()

    def test_check_exits_0_when_every_printer_answers(self):
        printers = PrinterList()
        for agent in self.agents:
            printers.add_agent(self.fleet, agent)
        self.server.serve(printers)
        program, _ = self.program("check-all-read")
        status, out, err = run(program, "/check", "/TIMEOUT:1")
        self.assertEqual(status, 0, out + err)
        self.assertIn("3 printers: 3 read, 0 partial, 0 no answer, 0 failed; nothing uploaded",
                      [line.strip() for line in out.splitlines()])
        self.assert_nothing_uploaded_or_logged()

    def test_check_exits_2_when_settings_server_or_login_fail(self):
        wrong_password = "pw-not-the-servers"
        program, _ = self.program("check-login-refused", password=wrong_password)
        status, document = self.check_json(program)
        self.assertNotIn(wrong_password, json.dumps(document))
        self.assertEqual(status, 2, document)
        self.assertIsInstance(document["failure"], str)
        self.assertEqual(document["steps"], {"login": "failed", "printer_list": "not tried", "logout": "not tried"})
        self.assertEqual(document["printers"], [])
        self.assertIn("Invalid username or password.", said(document))
        self.assertEqual(self.server.endpoints(), ["login"])

        self.server.mark()
        address = "127.0.0.1:%d" % closed_loopback_port()
        program, _ = self.program("check-unreachable", server_address=address)
        status, document = self.check_json(program)
        self.assertEqual(status, 2, document)
        self.assertIsInstance(document["failure"], str)
        self.assertEqual(document["steps"], {"login": "failed", "printer_list": "not tried", "logout": "not tried"})
        self.assertEqual(document["printers"], [])
        self.assertIn("http://%s/" % address, said(document))

        # Settings bytes that are not UTF-8 reach the document as U+FFFD.
        self.server.mark()
        program, _ = self.program("check-latin1-user", user="vr\u00e9l", encoding="latin-1")
        status, document = self.check_json(program)
        self.assertEqual((status, document["settings"]["user"], document["steps"]["login"]), (2, "vr\ufffdl", "failed"))

        # Without a contract there is nothing to ask the server: nothing is tried.
        self.server.mark()
        program, _ = self.program("check-no-contract", contract="")
        status, document = self.check_json(program)
        self.assertEqual(status, 2, document)
        self.assertIsInstance(document["failure"], str)
        self.assertEqual(document["steps"], NOTHING_TRIED)
        self.assertTrue([p for p in document["settings"]["problems"] if "contrato" in p], document["settings"])
        self.assertEqual(self.server.requests(), [])
        self.assertEqual(self.scene.log.raw(), b"", "a failed check wrote to the daily log")

    def test_an_invalid_time_of_day_fails_the_check_but_not_once(self):
        printers = PrinterList()
        printers.add_agent(self.fleet, self.agents[0])
        self.server.serve(printers)
        # The check reports the problem with exit status 2, and still shows what the server and printers say.
        program, _ = self.program("bad-time", schedule="25:61")
        status, document = self.check_json(program)
        self.assertEqual(status, 2, document)
        self.assertIsInstance(document["failure"], str)
        self.assertTrue([p for p in document["settings"]["problems"] if "horario" in p], document["settings"])
        self.assertEqual(counts(document), {"printers": 1, "read": 1, "partial": 0, "no_answer": 0, "error": 0})
        self.assert_nothing_uploaded_or_logged()

        # The time of day matters only to the service's schedule: ONCE makes its run.
        self.server.mark()
        status, out, err = run(program, "-once")
        self.assertEqual(status, 0, out + err)
        self.assertEqual(self.server.endpoints(), ["login", "fetch", "update", "logout"])
        # Without a contract there is no run to make: refused before any request.
        self.server.mark()
        program, _ = self.program("once-no-contract", contract="")
        status, out, err = run(program, "-once")
        self.assertEqual(status, 2, out + err)
        self.assertEqual(self.server.requests(), [])

    def test_once_creates_a_missing_log_directory_or_refuses_before_any_request(self):
        if os.geteuid() != 0 or not shutil.which("unshare"):
            self.skipTest("needs root and unshare (a mount namespace of the program's own)")
        printers = PrinterList()
        printers.add_agent(self.fleet, self.agents[0])
        self.server.serve(printers)
        program, _ = self.program("once-log-directory")
        log_directory = "/var/log/telva4-audit/"
        fresh = "mount -t tmpfs tmpfs /var/log"
        # (how /var/log is made, exit status, what stderr names, whether requests went out)
        cases = [(fresh, 0, None, True),
                 ("mount -t tmpfs -o ro tmpfs /var/log", 2, log_directory, False),
                 (fresh + " && mkdir /var/log/telva4-audit && mount -o remount,ro /var/log", 2,
                  log_directory + "log_", False)]
        for setup, expected_status, named, requested in cases:
            self.server.mark()
            # /var/log over a tmpfs in a mount namespace of the program's own, so that its log directory is
            # missing there (or cannot be made or written) whatever the machine has.
            script = (setup + ' && { "$0" -once >"$1" 2>"$2"; echo "status $?"; '
                      'stat -c "mode %a" /var/log/telva4-audit; cat /var/log/telva4-audit/log_*.txt; } 2>/dev/null')
            out_path, err_path = self.scene.path("once.out"), self.scene.path("once.err")
            report = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c", script, program,
                                     out_path, err_path], stdout=subprocess.PIPE, timeout=RUN_SECONDS,
                                    cwd=os.path.dirname(program)).stdout.decode("utf-8")
            with open(err_path, encoding="utf-8") as handle:
                err = handle.read()
            self.assertIn("status %d\n" % expected_status, report, setup + "\n" + err)
            self.assertEqual(bool(self.server.requests()), requested, setup)
            if named:
                self.assertIn(named, err, setup)
            else:
                # Made as the service's unit makes it, and the run's lines are in it.
                self.assertIn("mode 750\n", report, setup)
                self.assertIn(" Update()\r\n", report, setup)
                self.assertIn(" Logout TELVA ok\r\n", report, setup)

    def test_once_makes_the_requests_and_log_lines_of_a_service_run(self):
        printers = PrinterList()
        printers.add_agent(self.fleet, self.agents[2], printer_id=4711)
        printers.add_agent(self.fleet, self.agents[0], printer_id="A-12")
        printers.add_agent_missing_oid(self.fleet, self.agents[1], counter="lifecount")
        self.server.serve(printers)

        service = self.scene.start_service(BINARY, config={"schedule": self.schedule, "password": PASSWORD})
        service.wait_for_log("Logout TELVA ok", timeout=RUN_SECONDS)
        service.kill()  # the run is over; how the service stops is not what this test is about
        service_requests = [normalised(r) for r in self.server.requests()]
        service_lines = self.scene.log.messages()
        self.assertTrue(service_lines[0].startswith(harness.START_LINE), service_lines)
        run_lines = service_lines[1:]

        self.server.mark()
        self.scene.log.mark()
        program, _ = self.program("once")
        status, out, err = run(program, "-once")
        self.assertEqual(status, 0, out + err)
        self.assertEqual([normalised(r) for r in self.server.requests()], service_requests)
        self.assertEqual(self.server.endpoints(), ["login", "fetch", "update", "logout"])
        upload = self.server.uploads()[-1]
        self.assertTrue(upload["accepted"])
        self.assertEqual(upload["fields"], printers.expected_fields())

        once_lines = self.scene.log.messages()
        self.assertEqual(once_lines, run_lines)
        self.assertEqual(self.scene.log.form_problems(), [])
        # Each log line is echoed on stdout too, in order.
        echoed = iter(out.splitlines())
        for line in once_lines:
            self.assertTrue(any(shown.endswith(line) for shown in echoed), "%r not echoed in order:\n%s" % (line, out))


def counts(document):
    """The printer counts of a CHECK document's summary."""
    return {key: document["summary"][key] for key in ("printers", "read", "partial", "no_answer", "error")}


def said(document):
    """The failure and the messages of a CHECK document as one text."""
    return "\n".join([document["failure"] or ""] + document["messages"])


# Headers whose values differ from one login to the next.
SESSION_HEADERS = {"zurmo_session_id", "zurmo_token"}


def normalised(record):
    """What a request record says, without what differs between two runs: the session's id and token, and the
    multipart boundary (made from the time of the upload)."""
    boundary = re.search(r'boundary="?([^";]+)', harness.header_value(record, "Content-Type") or "")

    def plain(text):
        return text.replace(boundary.group(1), "<boundary>") if boundary else text
    headers = [(name, "<session>" if name.lower() in SESSION_HEADERS else plain(value))
               for name, value in record["headers"]]
    return {"request_line": record["request_line"], "headers": headers, "fields": record["fields"],
            "body_length": record["body_length"], "status": record["status"]}


if __name__ == "__main__":
    unittest.main(verbosity=2)
