#!/usr/bin/env python3
"""Audit runs of the Windows build end to end, installed as a service under Wine.

  tests/wine/audit_e2e.py TELVA4_AUDIT_EXE PREFIX_DIR

The program is copied with a config.ini beside it into PREFIX_DIR.work/bin, installed silently in a Wine
prefix of its own (PREFIX_DIR) and started through the service manager once per case; each start makes one
audit run against the contract-server simulator and a fleet of net-snmp agents on 127.0.0.40..42. Cases:

  clean        three printers; the upload matches the agents' values field by field, in field order
  sign-in      the first fetch answers "Sign in required": a second login, the same form posted again
  no-host      a printer named printer..invalid: the two-line socket error, the next printer read normally;
               a name outside ASCII appears in the log in the ANSI code page
  malformed    an unreadable printer value: one line, logout, no upload, the service keeps running

Every case ends with `net stop` and the stop line. Everything started here is stopped by pid (simulator),
by its own tool (fleet) or for this prefix only (wineserver -k), also when a check fails.
"""

import ctypes
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.request

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
SERVICE = "TELVA4Audit"
CONTRACT = "77"
USER = "vrel"
PASSWORD = "24680"
FIRST_ADDRESS = "127.0.0.40"  # printers on .40, .41, .42: away from the other suites' agents
FLEET_COUNT = 3
UNRESOLVABLE = "printer..invalid"  # an empty label: the resolver refuses it without asking the network
UNRESOLVABLE_ACCENTED = "sala-\u00e7\u00e3o..invalid"
READING_SUFFIXES = ["lco", "lcc", "lcm", "lccb", "lcmb", "sco"]
COUNTER_MEMBERS = ["lifecount", "lifecountcolor", "lifecountmono", "lifecountcolorbig", "lifecountmonobig",
                   "scancount"]
# Printer 2 holds a text, a signed integer and lacks one counter (its agent answers noSuchName).
FLEET_VALUES = {"printers": [
    {},
    {"1.3.6.1.4.1.32473.43.1.1.0": ["octet_str", "SN-42 mono"],
     "1.3.6.1.4.1.32473.43.1.2.0": ["integer", "-7"],
     "1.3.6.1.4.1.32473.43.1.4.0": ["absent"]},
    {},
]}
STAMP = re.compile(r"^\d\d\D\d\d\D\d{4} \d\d\D\d\d\D\d\d (.*)$", re.S)


class Failures:
    def __init__(self):
        self.items = []

    def check(self, condition, text):
        if not condition:
            self.items.append(text)
            print("FAIL: " + text, flush=True)
        return condition

    def equal(self, actual, expected, text):
        return self.check(actual == expected, "%s:\n  expected %r\n  actual   %r" % (text, expected, actual))


def die_with_parent():
    """Run in the child before exec: it gets SIGTERM if this script dies without cleaning up."""
    try:
        ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


class Wine:
    def __init__(self, prefix, errors_path):
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        self.prefix = prefix
        self.errors = open(errors_path, "ab")

    def call(self, program, *args, timeout=120):
        """One Wine tool call: bounded, no stdin, stderr kept aside. Returns (status, stdout text)."""
        try:
            done = subprocess.run([program, *args], env=self.env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=self.errors, timeout=timeout)
        except subprocess.TimeoutExpired:
            return None, ""
        return done.returncode, done.stdout.decode("latin-1")

    def wine(self, *args, timeout=120):
        return self.call("wine", *args, timeout=timeout)

    def prepare(self):
        if not os.path.exists(os.path.join(self.prefix, ".telva-ready")):
            os.makedirs(self.prefix, exist_ok=True)
            self.call("wineboot", "-i", timeout=300)
            self.call("wineserver", "-w", timeout=120)
            open(os.path.join(self.prefix, ".telva-ready"), "w").close()
        self.call("wineserver", "-k", timeout=60)  # a server left by an interrupted run of this test
        # Persistent, so the service outlives the wine tool calls; bounded, so it never outlives a crash.
        self.call("wineserver", "-p900", timeout=30)

    def state(self):
        _, out = self.wine("sc", "query", SERVICE, timeout=60)
        found = re.search(r"STATE\s*:\s*(\d+)", out)
        return found.group(1) if found else ""

    def wait_state(self, wanted, seconds=60):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if self.state() == wanted:
                return True
            time.sleep(1)
        return False

    def close(self):
        self.call("wineserver", "-k", timeout=60)
        self.errors.close()


class Simulator:
    def __init__(self, work):
        self.dir = os.path.join(work, "server")
        os.makedirs(self.dir, exist_ok=True)
        self.printers = os.path.join(self.dir, "printers.json")
        self.record = os.path.join(self.dir, "requests.jsonl")
        port_file = os.path.join(self.dir, "port.txt")
        for path in (self.record, port_file):
            if os.path.exists(path):
                os.remove(path)
        with open(self.printers, "w") as f:
            f.write("{}")
        self.log = open(os.path.join(self.dir, "server.log"), "ab")
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(SOURCE_DIR, "tools", "contract-server"), "--port", "0",
             "--printers", self.printers, "--contract", CONTRACT, "--user", USER, "--pass", PASSWORD,
             "--record", self.record, "--port-file", port_file, "--quiet"],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log, preexec_fn=die_with_parent,
            env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))
        deadline = time.monotonic() + 30
        while not os.path.exists(port_file):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("contract-server did not start")
            time.sleep(0.05)
        with open(port_file) as f:
            self.port = int(f.read())

    def control(self, command):
        request = urllib.request.Request("http://127.0.0.1:%d/__control" % self.port,
                                         data=json.dumps(command).encode(), method="POST")
        with urllib.request.urlopen(request, timeout=10) as answer:
            result = json.load(answer)
        if not result.get("ok"):
            raise RuntimeError("control %r refused: %r" % (command, result))

    def records(self):
        if not os.path.exists(self.record):
            return []
        with open(self.record, encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.strip()]

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(10)
        self.log.close()


class Fleet:
    def __init__(self, work):
        self.dir = os.path.join(work, "fleet")
        self.tool = os.path.join(SOURCE_DIR, "tools", "printer-fleet")
        values = os.path.join(work, "fleet-values.json")
        with open(values, "w") as f:
            json.dump(FLEET_VALUES, f)
        done = subprocess.run(
            [sys.executable, self.tool, "start", "--count", str(FLEET_COUNT), "--first-address",
             FIRST_ADDRESS, "--lifetime", "600", "--values-file", values, "--dir", self.dir],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120)
        if done.returncode != 0:
            raise RuntimeError("printer-fleet start failed: " + done.stderr.decode(errors="replace"))
        with open(os.path.join(self.dir, "fleet.json")) as f:
            self.state = json.load(f)
        self.printers = self.state["printers"]

    def expected_readings(self, printer):
        """The six texts the service should read from this agent, in upload order ("" for a missing OID)."""
        oids = self.state["counter_oids"]
        return [printer["values"].get(oids[member], {}).get("value", "") for member in COUNTER_MEMBERS]

    def stop(self):
        subprocess.run([sys.executable, self.tool, "stop", "--dir", self.dir], stdin=subprocess.DEVNULL,
                       timeout=60)


def printer_object(identifier, address, oids):
    entry = {"id": identifier, "ip": address, "serial": "SER-%s" % identifier}
    entry.update({member: oids[member] for member in COUNTER_MEMBERS})
    return entry


def trap_port_free(seconds):
    """Waits until local UDP port 162, which the service holds while it reads a printer, can be bound."""
    deadline = time.monotonic() + seconds
    while True:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            try:
                probe.bind(("0.0.0.0", 162))
                return True
            except OSError:
                if time.monotonic() > deadline:
                    return False
        time.sleep(0.5)


def header_value(request, name):
    values = [v for n, v in request["headers"] if n.lower() == name.lower()]
    return values[0] if len(values) == 1 else values


def daily_log_files(log_dir):
    names = os.listdir(log_dir) if os.path.isdir(log_dir) else []
    return [os.path.join(log_dir, n) for n in sorted(names) if re.fullmatch(r"log_\d{8}\.txt", n)]


def daily_log_bytes(log_dir):
    data = b""
    for path in daily_log_files(log_dir):
        with open(path, "rb") as f:
            data += f.read()
    return data


def expected_fields(printers):
    """The upload's fields for [(id text, six readings)], in the order the service must send them."""
    fields = []
    for position, (identifier, readings) in enumerate(printers):
        for suffix, value in zip(READING_SUFFIXES, readings):
            fields.append(["data[items][%d][%s]" % (position, suffix), value])
        fields.append(["data[items][%d][cid]" % position, identifier])
    fields.append(["data[count]", str(len(printers))])
    fields.append(["data[number]", CONTRACT])
    return fields


class Case:
    """One service start, its audit run, and the stop; the log and the server's records of it."""

    def __init__(self, name, wine, simulator, log_dir, failures):
        self.name = name
        self.wine = wine
        self.simulator = simulator
        self.log_dir = log_dir
        self.failures = failures

    def log_bytes(self):
        return daily_log_bytes(self.log_dir)

    def wait_log(self, texts, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if any(text.encode("cp1252") in self.log_bytes() for text in texts):
                return True
            time.sleep(0.5)
        return False

    def run(self):
        print("--- case %s" % self.name, flush=True)
        for path in daily_log_files(self.log_dir):
            os.remove(path)
        self.failures.check(trap_port_free(60), "%s: local UDP port 162 is held by another process; the "
                            "readings will fail" % self.name)
        first_record = len(self.simulator.records())
        started = time.monotonic()
        start_status, start_output = self.wine.wine("net", "start", SERVICE)
        if start_status != 0:
            print("    net start: exit %r, %r" % (start_status, start_output.strip()), flush=True)
        check = self.failures.check
        if check(self.wine.wait_state("4"), "%s: service did not reach RUNNING" % self.name):
            ended = self.wait_log(["Logout TELVA ok", "Erro no login"], 90)
            check(ended, "%s: the audit run did not end with a logout" % self.name)
            # The run is over and the service goes on to its scheduler loop.
            check(self.wine.state() == "4", "%s: service not running after the audit run" % self.name)
        run_seconds = time.monotonic() - started
        stop_status, stop_output = self.wine.wine("net", "stop", SERVICE)
        if stop_status != 0:
            # Wine's service manager did not pass the request on (the service never saw it): say why and
            # ask once more. A request it did pass on must stop the service.
            print("    net stop refused: exit %r, %r; asking again" % (stop_status, stop_output.strip()), flush=True)
            time.sleep(2)
            stop_status, stop_output = self.wine.wine("net", "stop", SERVICE)
        if not check(self.wine.wait_state("1"), "%s: service did not reach STOPPED" % self.name):
            print("    net stop: exit %r, %r" % (stop_status, stop_output.strip()), flush=True)
            print("    sc query: %r" % self.wine.wine("sc", "query", SERVICE, timeout=60)[1].strip(), flush=True)
        check(self.wait_log(["Service stopped, IP "], 30), "%s: no stop line" % self.name)
        print("    run %.1f s, start to stopped %.1f s" % (run_seconds, time.monotonic() - started), flush=True)
        self.raw_log = self.log_bytes()
        self.records = self.simulator.records()[first_record:]
        self.requests = [r for r in self.records if r["kind"] == "request"]
        self.uploads = [r for r in self.records if r["kind"] == "upload"]
        self.check_log_form()
        return self

    def check_log_form(self):
        """Every line closed by CR LF; keeps the messages (ANSI code page) without their time stamps."""
        check = self.failures.check
        check(self.raw_log.endswith(b"\r\n"), "%s: log does not end with CR LF" % self.name)
        physical = self.raw_log.split(b"\r\n")[:-1]
        check(all(b"\n" not in line and b"\r" not in line for line in physical),
              "%s: a bare CR or LF in the log" % self.name)
        self.messages = []
        for line in physical:
            text = line.decode("cp1252", errors="replace")
            stamped = STAMP.match(text)
            if stamped:
                self.messages.append(stamped.group(1))
            else:  # the continuation of a message that holds a line break
                check(bool(self.messages), "%s: log starts without a time stamp: %r" % (self.name, text))
                self.messages.append(text)

    def check_messages(self, expected_run):
        """The whole log of the case: start line, the run's lines, stop line."""
        messages = self.messages
        ok = self.failures.check(len(messages) >= 2 and messages[0].startswith("Service started, IP ")
                                 and messages[-1].startswith("Service stopped, IP "),
                                 "%s: log is not framed by the start and stop lines: %r" % (self.name, messages))
        if ok:
            address = messages[0][len("Service started, IP "):]
            self.failures.equal(messages[-1], "Service stopped, IP " + address, "%s: stop line" % self.name)
            self.failures.equal(messages[1:-1], expected_run, "%s: the run's log lines" % self.name)

    def check_requests(self, expected):
        actual = [(r["endpoint"], r["mode"], r["status"]) for r in self.requests]
        self.failures.equal(actual, expected, "%s: requests (endpoint, mode, HTTP status)" % self.name)

    def check_upload(self, expected):
        if not self.failures.equal(len(self.uploads), 1, "%s: number of uploads" % self.name):
            return
        upload = self.uploads[0]
        self.failures.check(upload["accepted"] and upload["layout_ok"],
                            "%s: upload not accepted or badly laid out: %s" % (self.name,
                                                                               upload.get("layout_problem")))
        self.failures.equal(upload["fields"], expected, "%s: upload fields in order" % self.name)
        for request in self.requests:
            self.failures.check("SER-" not in request["body"], "%s: a serial number was sent" % self.name)


def run_cases(wine, simulator, fleet, log_dir, failures):
    oids = fleet.state["counter_oids"]
    agents = fleet.printers
    addresses = [p["address"] for p in agents]
    readings = [fleet.expected_readings(p) for p in agents]

    # Clean run: the list in another order than the agents' addresses; member names play no part.
    items = {"17": printer_object(5, addresses[2], oids), "4": printer_object("A-7", addresses[0], oids),
             "9": printer_object(12, addresses[1], oids)}
    simulator.control({"op": "reset"})
    simulator.control({"op": "printers", "items": items})
    case = Case("clean", wine, simulator, log_dir, failures).run()
    order = [2, 0, 1]
    reading_lines = []
    for i in order:
        reading_lines += ["SNMP trying IP " + addresses[i], "SNMP OK IP " + addresses[i]]
    case.check_messages(["Login TELVA ok", "Printer count 3"] + reading_lines + ["Update()", "Logout TELVA ok"])
    case.check_requests([("login", "credentials", 200), ("fetch", "session", 200), ("update", "session", 200),
                         ("logout", "session", 200)])
    clean_fields = expected_fields([("5", readings[2]), ("A-7", readings[0]), ("12", readings[1])])
    case.check_upload(clean_fields)
    failures.check(readings[1][4] == "" and readings[1][1] == "SN-42 mono",
                   "fleet does not hold the values this test relies on: %r" % readings[1])

    # "Sign in required" on the fetch: one re-login, then the same form again.
    simulator.control({"op": "set", "endpoint": "fetch", "action": "expire", "times": 1})
    case = Case("sign-in", wine, simulator, log_dir, failures).run()
    case.check_messages(["Login TELVA ok", "Login TELVA ok", "Printer count 3"] + reading_lines +
                        ["Update()", "Logout TELVA ok"])
    case.check_requests([("login", "credentials", 200), ("fetch", "session", 200), ("login", "credentials", 200),
                         ("fetch", "session", 200), ("update", "session", 200), ("logout", "session", 200)])
    fetches = [r for r in case.requests if r["endpoint"] == "fetch"]
    logins = [r for r in case.requests if r["endpoint"] == "login"]
    if len(fetches) == 2 and len(logins) == 2:
        failures.equal(fetches[0]["action"], "expire", "sign-in: the first fetch's answer")
        sessions = [header_value(r, "ZURMO_SESSION_ID") for r in fetches]
        failures.equal(sessions, [r["session_given"] for r in logins], "sign-in: the fetches' sessions")
        failures.check(fetches[1]["session_valid"], "sign-in: the second fetch's session is not valid")
        failures.equal(fetches[1]["body"], fetches[0]["body"], "sign-in: the re-posted fetch body")
        content_type = [header_value(r, "Content-Type") for r in fetches]
        failures.equal(content_type[1], content_type[0], "sign-in: the re-posted Content-Type (boundary)")
        failures.equal(fetches[1]["fields"], [["data[number]", CONTRACT]], "sign-in: the fetch form")
    case.check_upload(clean_fields)
    simulator.control({"op": "clear"})

    # A host name that does not resolve, between two agents; a second one, last, shows a name outside
    # ASCII written in the ANSI code page.
    items = {"a": printer_object(21, addresses[0], oids), "b": printer_object(22, UNRESOLVABLE, oids),
             "c": printer_object(23, addresses[1], oids), "d": printer_object(24, UNRESOLVABLE_ACCENTED, oids)}
    simulator.control({"op": "printers", "items": items})
    case = Case("no-host", wine, simulator, log_dir, failures).run()
    not_found = ["Error 0 - Socket Error # 11001", "Host not found."]
    case.check_messages(["Login TELVA ok", "Printer count 4", "SNMP trying IP " + addresses[0],
                         "SNMP OK IP " + addresses[0], "SNMP trying IP " + UNRESOLVABLE] + not_found +
                        ["SNMP trying IP " + addresses[1], "SNMP OK IP " + addresses[1],
                         "SNMP trying IP " + UNRESOLVABLE_ACCENTED] + not_found + ["Update()", "Logout TELVA ok"])
    failures.check(re.search(rb"\d Error 0 - Socket Error # 11001\r\nHost not found\.\r\n\d", case.raw_log),
                   "no-host: the error entry is not the two lines closed by CR LF")
    failures.check(b" SNMP trying IP sala-\xe7\xe3o..invalid\r\n" in case.raw_log,
                   "no-host: the accented host name is not written in the ANSI code page")
    case.check_upload(expected_fields([("21", readings[0]), ("22", [""] * 6), ("23", readings[1]),
                                       ("24", [""] * 6)]))

    # An unreadable printer value: one line, logout, nothing uploaded; the service keeps running.
    good = json.dumps(printer_object(31, addresses[0], oids))
    bad = json.dumps(printer_object(0, addresses[1], oids)).replace('"id": 0', '"id": 12345678901e2')
    simulator.control({"op": "printers", "items_raw": '{"a": %s, "b": %s}' % (good, bad)})
    case = Case("malformed", wine, simulator, log_dir, failures).run()
    case.check_messages(["Login TELVA ok", "Printer list not usable, nothing uploaded: printer 1 \"id\" cannot be "
                         "read: The number 12345678901e2 cannot be read as text", "Logout TELVA ok"])
    case.check_requests([("login", "credentials", 200), ("fetch", "session", 200), ("logout", "session", 200)])
    failures.equal(len(case.uploads), 0, "malformed: uploads")


def main(argv):
    if len(argv) != 3:
        print(__doc__)
        return 2
    exe = os.path.abspath(argv[1])
    prefix = os.path.abspath(argv[2])
    work = prefix + ".work"
    os.makedirs(work, exist_ok=True)
    log_dir = os.path.join(prefix, "drive_c", "windows", "temp")
    failures = Failures()

    def on_signal(number, frame):
        raise SystemExit("stopped by signal %d" % number)

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    wine = Wine(prefix, os.path.join(work, "wine-stderr.txt"))
    simulator = fleet = None
    installed = None
    started = time.monotonic()
    try:
        fleet = Fleet(work)
        simulator = Simulator(work)
        # The program reads config.ini beside itself: a copy of its own, away from the build tree.
        bin_dir = os.path.join(work, "bin")
        os.makedirs(bin_dir, exist_ok=True)
        installed = os.path.join(bin_dir, os.path.basename(exe))
        shutil.copyfile(exe, installed)
        with open(os.path.join(bin_dir, "config.ini"), "w", newline="\r\n") as f:
            f.write("[SERVIDOR]\ncontrato=%s\nendereco=127.0.0.1:%d\nhorario=99:99\nuser=%s\npass=%s\n"
                    % (CONTRACT, simulator.port, USER, PASSWORD))
        wine.prepare()
        wine.wine(installed, "/UNINSTALL", "/SILENT")  # a registration left by an interrupted run
        wine.wine(installed, "/INSTALL", "/SILENT")
        if failures.equal(wine.state(), "1", "installed service state"):
            run_cases(wine, simulator, fleet, log_dir, failures)
    except Exception as error:  # noqa: BLE001 - any setup fault is a failure of this test, reported below
        failures.check(False, "test aborted: %r" % (error,))
    finally:
        if installed:
            if wine.state() not in ("", "1"):
                wine.wine("net", "stop", SERVICE)
            wine.wine(installed, "/UNINSTALL", "/SILENT", timeout=60)
        wine.close()
        if simulator:
            simulator.stop()
        if fleet:
            fleet.stop()
    print("wall time %.1f s" % (time.monotonic() - started))
    if failures.items:
        print("--- daily log of the last case")
        sys.stdout.write(daily_log_bytes(log_dir).decode("cp1252", "replace"))
        print("--- wine stderr (tail)")
        with open(os.path.join(work, "wine-stderr.txt"), "rb") as f:
            sys.stdout.write(b"\n".join(f.read().splitlines()[-30:]).decode("latin-1"))
        print("\n%d check(s) failed" % len(failures.items))
        return 1
    print("audit runs under Wine: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
