"""End-to-end harness: the real service against the contract-server simulator and a fleet of snmpd printers.

python3 standard library only. Everything a scene starts (printer agents, the simulator, the service) is
stopped by process id when the scene closes, also when a test fails half way. Every wait has a time limit.

Typical use (POSIX build, the binary run in the foreground):

    with Scene() as scene:
        fleet = scene.start_fleet(3)
        printers = PrinterList()
        for printer in fleet.printers:
            printers.add_agent(fleet, printer)
        printers.add_unresolvable()
        server = scene.start_server(printers)
        service = scene.start_service(BINARY)          # runs the audit at once (RunNow)
        service.wait_for_log("Logout TELVA ok", timeout=60)
        service.stop()                                  # SIGTERM, "Service stopped, IP ", exit status 0
        upload = server.uploads()[-1]

Pieces usable on their own (the Wine end-to-end tests use all but `Service`):
  Fleet          tools/printer-fleet start/stop; `printers` holds fleet.json's entries
  PrinterList    the printer objects the simulator serves as "items", built from fleet entries and extras
  ContractServer tools/contract-server on 127.0.0.1 with a free port; control(), records(), uploads()
  DailyLog       the bytes appended to log_YYYYMMDD.txt files after a point in time (midnight-safe)
  write_config   config.ini in section [SERVIDOR]
  Service        a copy of the binary in a temp directory with config.ini beside it, run in the foreground
  hold_udp_port  a bound UDP socket keeping a local port busy
  log_entries    splits log text into (stamp, message) entries; continuation lines join their entry
  MachineLock    a flock on /var/tmp/telva4-e2e.lock; every Scene holds it, so scenes of test runs started
                 side by side (other presets, other checkouts) never share ports or the daily log
"""

import contextlib
import fcntl
import glob
import http.client
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import types

REPO = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(REPO, "tools"))

from contract_server.records import read_records  # noqa: E402

FLEET_TOOL = os.path.join(REPO, "tools", "printer-fleet")
SERVER_TOOL = os.path.join(REPO, "tools", "contract-server")
POSIX_LOG_DIR = "/var/tmp/"

CONTRACT = "77"
USER = "vrel"
PASSWORD = "24680"
COMMUNITY = "quarno"

# The six counters in record order, with the upload suffix of each.
COUNTERS = ["lifecount", "lifecountcolor", "lifecountmono", "lifecountcolorbig", "lifecountmonobig", "scancount"]
SUFFIXES = ["lco", "lcc", "lcm", "lccb", "lcmb", "sco"]

# Addresses where nothing listens on UDP 161 (kept apart from the fleets at 127.0.0.2.. and 127.0.0.200..):
# the kernel answers with a port-unreachable, so every query there ends at once.
SILENT_ADDRESS = "127.0.0.254"
# A host name the resolver rejects without asking the network (an empty label).
UNRESOLVABLE_HOST = "printer..invalid"
# An object identifier no agent of the fleet holds: the agent answers noSuchName, the reading stays empty.
MISSING_OID = "1.3.6.1.4.1.32473.43.9.9.0"

START_STOP_SECONDS = 60.0
SANITIZER_MARKERS = ("runtime error:", "ERROR: AddressSanitizer", "ERROR: LeakSanitizer")
MACHINE_LOCK_PATH = "/var/tmp/telva4-e2e.lock"
MACHINE_LOCK_SECONDS = 1200.0


class HarnessError(AssertionError):
    """A wait ran out or a helper process misbehaved; raised as a test failure."""


def wait_until(predicate, timeout, interval=0.05, what="condition"):
    """Polls predicate until it returns a true value (returned) or the time limit passes (HarnessError)."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise HarnessError("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def end_process(process, grace=10.0, sig=signal.SIGTERM):
    """Ends a child started with subprocess.Popen, by its pid: the signal, then SIGKILL after the grace."""
    if process is None or process.poll() is not None:
        return process.returncode if process is not None else None
    try:
        os.kill(process.pid, sig)
    except ProcessLookupError:
        pass
    try:
        return process.wait(timeout=grace)
    except subprocess.TimeoutExpired:
        os.kill(process.pid, signal.SIGKILL)
        return process.wait(timeout=10)


# --- printers -------------------------------------------------------------------------------------------

class Fleet:
    """A fleet of net-snmp agents started by tools/printer-fleet in a directory of its own."""

    def __init__(self, directory, count, values=None, first_address="127.0.0.2", lifetime=900):
        self.directory = directory
        os.makedirs(directory, exist_ok=True)
        argv = [sys.executable, FLEET_TOOL, "start", "--count", str(count), "--dir", directory,
                "--first-address", first_address, "--lifetime", str(int(lifetime))]
        if values is not None:
            values_path = os.path.join(directory, "values.json")
            with open(values_path, "w") as handle:
                json.dump({"printers": values}, handle)
            argv += ["--values-file", values_path]
        self.started = True
        result = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                timeout=30 + 16 * count)
        if result.returncode != 0:
            self.stop()
            raise HarnessError("printer-fleet start failed: %s" % result.stderr.strip())
        with open(os.path.join(directory, "fleet.json")) as handle:
            self.state = json.load(handle)
        self.printers = self.state["printers"]
        self.counter_oids = self.state["counter_oids"]

    def value(self, printer, counter):
        """The text the agent of this fleet entry holds for a counter name, or "" when it holds none."""
        oid = self.counter_oids[counter]
        entry = printer["values"].get(oid) if printer.get("running", True) else None
        return entry["value"] if entry else ""

    def stop(self):
        if not self.started:
            return
        self.started = False
        subprocess.run([sys.executable, FLEET_TOOL, "stop", "--dir", self.directory],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


class PrinterList:
    """The printer objects the simulator serves as "items", in order, with what each should read."""

    def __init__(self):
        self.entries = []  # (member name, printer object)
        self.expected = []  # per position: {"lco": ..., ..., "cid": ...}

    def add(self, ip, oids, expected_readings, printer_id=None, serial=None, name=None):
        position = len(self.entries)
        printer_id = str(1000 + position) if printer_id is None else printer_id
        printer = {"id": printer_id, "ip": ip, "serial": serial or "SN-%04d" % position}
        for counter, oid in zip(COUNTERS, oids):
            printer[counter] = oid
        self.entries.append((name or "m%d" % position, printer))
        readings = dict(zip(SUFFIXES, expected_readings))
        readings["cid"] = str(printer_id)
        self.expected.append(readings)
        return printer

    def add_agent(self, fleet, printer, oids=None, **kwargs):
        """A printer read from a fleet agent; oids defaults to the fleet's six counter identifiers."""
        oids = oids or [fleet.counter_oids[c] for c in COUNTERS]
        values = {oid: entry["value"] for oid, entry in printer["values"].items()} if printer["running"] else {}
        return self.add(printer["address"], oids, [values.get(oid, "") for oid in oids], **kwargs)

    def add_agent_missing_oid(self, fleet, printer, counter="lifecountcolor", **kwargs):
        """A fleet agent asked, for one counter, an identifier it does not hold (that reading stays empty)."""
        oids = [MISSING_OID if c == counter else fleet.counter_oids[c] for c in COUNTERS]
        return self.add_agent(fleet, printer, oids=oids, **kwargs)

    def add_silent(self, address=SILENT_ADDRESS, oids=None, **kwargs):
        """A printer whose address has no agent: six refused queries, six empty readings."""
        return self.add(address, oids or default_oids(), [""] * 6, **kwargs)

    def add_unresolvable(self, host=UNRESOLVABLE_HOST, oids=None, **kwargs):
        """A printer whose host name does not resolve: an error line, six empty readings."""
        return self.add(host, oids or default_oids(), [""] * 6, **kwargs)

    def items(self):
        return {name: printer for name, printer in self.entries}

    def expected_upload(self):
        """What the simulator's upload record should list under "printers", position by position."""
        return [dict({"position": i}, **readings) for i, readings in enumerate(self.expected)]

    def write(self, path):
        with open(path, "w") as handle:
            json.dump(self.items(), handle, indent=1)
        return path


def default_oids():
    """The fleet's six counter identifiers in record order."""
    return [FLEET_COUNTER_OIDS[c] for c in COUNTERS]


def _load_fleet_tool():
    """The fleet tool as a module, so its counter identifiers are taken from it rather than repeated."""
    module = types.ModuleType("printer_fleet_tool")
    module.__file__ = FLEET_TOOL
    with open(FLEET_TOOL) as handle:
        exec(compile(handle.read(), FLEET_TOOL, "exec"), module.__dict__)
    return module


FLEET_COUNTER_OIDS = dict(_load_fleet_tool().COUNTER_OIDS)


# --- the contract server --------------------------------------------------------------------------------

class ContractServer:
    """tools/contract-server on 127.0.0.1 with a free port, recording into DIRECTORY/requests.jsonl."""

    def __init__(self, directory, printers_path, contract=CONTRACT, user=USER, password=PASSWORD,
                 behaviour_path=None, record_bodies=True):
        self.directory = directory
        os.makedirs(directory, exist_ok=True)
        self.record_path = os.path.join(directory, "requests.jsonl")
        port_file = os.path.join(directory, "port.txt")
        argv = [sys.executable, SERVER_TOOL, "--port", "0", "--printers", printers_path, "--contract", contract,
                "--user", user, "--pass", password, "--record", self.record_path, "--port-file", port_file,
                "--quiet"]
        if behaviour_path:
            argv += ["--behaviour", behaviour_path]
        if not record_bodies:
            argv.append("--no-bodies")
        self.stderr_path = os.path.join(directory, "server.stderr")
        with open(self.stderr_path, "wb") as stderr:
            self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                            stderr=stderr)

        def port_known():
            if self.process.poll() is not None:
                raise HarnessError("contract-server ended at start: " + self.stderr())
            if os.path.exists(port_file):
                with open(port_file) as handle:
                    return int(handle.read().strip())
            return None

        self.port = wait_until(port_known, 20, what="the contract-server port file")
        self.address = "127.0.0.1:%d" % self.port

    def stderr(self):
        with open(self.stderr_path, errors="replace") as handle:
            return handle.read()

    def control(self, command, timeout=10):
        """POST /__control with a JSON command; returns the decoded answer (HarnessError when refused)."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            connection.request("POST", "/__control", body=json.dumps(command),
                               headers={"Content-Type": "application/json"})
            answer = json.loads(connection.getresponse().read().decode())
        finally:
            connection.close()
        if not answer.get("ok"):
            raise HarnessError("control command %r refused: %r" % (command, answer))
        return answer

    def set_behaviour(self, endpoint, action, **parameters):
        return self.control(dict({"op": "set", "endpoint": endpoint, "action": action}, **parameters))

    def records(self, kind=None):
        """The records so far, request records with their "answered" time folded in."""
        if not os.path.exists(self.record_path):
            return []
        return [r for r in read_records(self.record_path) if kind is None or r["kind"] == kind]

    def requests(self):
        return self.records("request")

    def endpoints(self):
        """The endpoint of every request in arrival order, e.g. ["login", "fetch", "update", "logout"]."""
        return [r["endpoint"] for r in self.requests()]

    def uploads(self):
        return self.records("upload")

    def stop(self):
        """SIGTERM; the simulator exits 0 also while answers hang. Returns the exit status."""
        return end_process(self.process, grace=15)


# --- the daily log --------------------------------------------------------------------------------------

STAMP = re.compile(r"^\d\d/\d\d/\d{4} \d\d:\d\d:\d\d ")


class DailyLog:
    """The text appended to the daily log files of a directory since this object was made.

    Every existing log_*.txt is remembered with its size; reading returns what came after, and whole new
    files (a run that passes midnight starts the next day's file) in date order."""

    def __init__(self, directory=POSIX_LOG_DIR, encoding="utf-8"):
        self.directory = directory
        self.encoding = encoding
        self.offsets = {path: os.path.getsize(path) for path in self._files()}

    def _files(self):
        return sorted(glob.glob(os.path.join(self.directory, "log_*.txt")))

    def raw(self):
        data = b""
        for path in self._files():
            with open(path, "rb") as handle:
                handle.seek(self.offsets.get(path, 0))
                data += handle.read()
        return data

    def text(self):
        return self.raw().decode(self.encoding, "replace")

    def messages(self):
        """The messages (time stamps removed) of the entries appended so far."""
        return [message for _, message in log_entries(self.text())]

    def count(self, text):
        return self.text().count(text)

    def wait_for(self, text, count=1, timeout=60, process=None):
        """Waits until text appears count times; a process that ends first fails the wait at once."""

        def seen():
            if self.count(text) >= count:
                return True
            if process is not None and process.poll() is not None:
                if self.count(text) >= count:
                    return True
                raise HarnessError("the service ended (status %s) before %r was logged; log so far:\n%s"
                                   % (process.returncode, text, self.text()))
            return False

        try:
            return wait_until(seen, timeout, what="%r x%d in the daily log" % (text, count))
        except HarnessError as error:
            if "timed out" in str(error):
                raise HarnessError("%s; log so far:\n%s" % (error, self.text())) from None
            raise


def log_entries(text):
    """Splits log text into (stamp, message) pairs. Entries end in CR LF; a line without a time stamp
    continues the entry before it (joined with its CR LF), as a message with a line break is written."""
    entries = []
    for line in text.split("\r\n")[:-1] if text.endswith("\r\n") else text.split("\r\n"):
        match = STAMP.match(line)
        if match or not entries:
            entries.append([match.group(0).strip() if match else "", line[match.end():] if match else line])
        else:
            entries[-1][1] += "\r\n" + line
    return [(stamp, message) for stamp, message in entries]


# --- the service ----------------------------------------------------------------------------------------

def write_config(path, server_address, contract=CONTRACT, schedule="99:99", user=USER, password=PASSWORD,
                 extra=None, line_end="\n"):
    """config.ini with section [SERVIDOR]; schedule 99:99 means only the run at start happens."""
    lines = ["[SERVIDOR]", "contrato=" + contract, "endereco=" + server_address, "horario=" + schedule,
             "user=" + user, "pass=" + password]
    for key, value in (extra or {}).items():
        lines.append("%s=%s" % (key, value))
    with open(path, "w", newline="") as handle:
        handle.write(line_end.join(lines) + line_end)
    return path


class Service:
    """The POSIX program copied into DIRECTORY with config.ini beside it, run in the foreground.

    At start the scheduler runs the audit at once (RunNow); a stop (SIGTERM) is handled after the loop's
    10 s pause and the stop handler's 5 s wait, so stop() allows for both and for a running audit."""

    def __init__(self, binary, directory, server_address, log=None, config=None, stderr_path=None):
        """directory None runs the binary where it is, with config.ini written beside it."""
        if directory is None:
            self.directory = os.path.dirname(os.path.abspath(binary))
            self.program = os.path.abspath(binary)
        else:
            os.makedirs(directory, exist_ok=True)
            self.directory = directory
            self.program = os.path.join(directory, os.path.basename(binary))
            shutil.copy2(binary, self.program)
        directory = self.directory
        self.config_path = os.path.join(directory, "config.ini")
        write_config(self.config_path, server_address, **(config or {}))
        self.log = log or DailyLog()
        self.stderr_path = stderr_path or os.path.join(directory, "service.stderr")
        env = dict(os.environ)
        env.pop("NOTIFY_SOCKET", None)
        with open(self.stderr_path, "wb") as stderr:
            self.process = subprocess.Popen([self.program], cwd=directory, stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=stderr, env=env)
        self.started_at = time.monotonic()

    def wait_for_log(self, text, count=1, timeout=60):
        return self.log.wait_for(text, count=count, timeout=timeout, process=self.process)

    def running(self):
        return self.process.poll() is None

    def stop(self, timeout=START_STOP_SECONDS):
        """SIGTERM, then waits for "Service stopped, IP " and exit status 0 (HarnessError otherwise)."""
        stopped_before = self.log.count("Service stopped, IP ")
        if not self.running():
            raise HarnessError("the service had already ended with status %s" % self.process.returncode)
        os.kill(self.process.pid, signal.SIGTERM)
        try:
            status = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise HarnessError("the service did not end within %.0f s of SIGTERM" % timeout) from None
        if status != 0:
            raise HarnessError("the service ended with status %s; stderr:\n%s" % (status, self.stderr()))
        # Sanitizer builds report there and may still exit 0 (UBSan without halt_on_error).
        for marker in SANITIZER_MARKERS:
            if marker in self.stderr():
                raise HarnessError("sanitizer report on the service's stderr:\n" + self.stderr())
        if self.log.count("Service stopped, IP ") <= stopped_before:
            raise HarnessError("no stop line after SIGTERM; log:\n" + self.log.text())
        return status

    def stderr(self):
        with open(self.stderr_path, errors="replace") as handle:
            return handle.read()

    def kill(self):
        if self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGKILL)
            self.process.wait(timeout=10)


@contextlib.contextmanager
def hold_udp_port(port, address="0.0.0.0"):
    """Keeps a local UDP port bound for the duration of the block."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        sock.bind((address, port))
        yield sock
    finally:
        sock.close()


class MachineLock:
    """An exclusive lock on the machine's shared resources (UDP 161 on 127.0.0.x, local UDP 162, the daily
    log directory), held while a scene lives. CTest's resource locks cover one ctest run only; this one also
    keeps apart scenes of test runs started side by side (two presets, two checkouts). The kernel releases
    it when the holder dies, so a crashed run never blocks the next."""

    def __init__(self, timeout=MACHINE_LOCK_SECONDS, path=MACHINE_LOCK_PATH):
        self.handle = open(path, "a")
        try:
            wait_until(lambda: self._try(), timeout, interval=0.2, what="the machine lock " + path)
        except BaseException:
            self.handle.close()
            raise

    def _try(self):
        try:
            fcntl.flock(self.handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return True
        except BlockingIOError:
            return False

    def release(self):
        if not self.handle.closed:
            fcntl.flock(self.handle, fcntl.LOCK_UN)
            self.handle.close()


# --- a scene: everything one test starts, stopped in reverse order ---------------------------------------

class Scene:
    """A temp directory and every process a test starts in it; closing (also on failure) stops them by pid
    in reverse order and removes the directory (kept when TELVA_E2E_KEEP is set, for inspection)."""

    def __init__(self, prefix="telva_e2e_", lock_timeout=MACHINE_LOCK_SECONDS):
        self._closers = []
        self._lock = MachineLock(lock_timeout)
        self.directory = tempfile.mkdtemp(prefix=prefix)
        self.log = DailyLog()
        self.fleet = None
        self.server = None
        self.service = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def path(self, *names):
        return os.path.join(self.directory, *names)

    def on_close(self, closer):
        self._closers.append(closer)

    def start_fleet(self, count, values=None, first_address="127.0.0.2", name="fleet", lifetime=900):
        fleet_dir = self.path(name)
        os.makedirs(fleet_dir, exist_ok=True)
        # Registered before the start, so agents of a half-finished start are stopped too.
        self.on_close(lambda: _stop_fleet_dir(fleet_dir))
        self.fleet = Fleet(fleet_dir, count, values=values, first_address=first_address, lifetime=lifetime)
        return self.fleet

    def start_server(self, printers, behaviour_path=None, **kwargs):
        """printers: a PrinterList, a dict (served as "items") or a path to a printers.json."""
        if isinstance(printers, PrinterList):
            printers_path = printers.write(self.path("printers.json"))
        elif isinstance(printers, dict):
            printers_path = self.path("printers.json")
            with open(printers_path, "w") as handle:
                json.dump(printers, handle)
        else:
            printers_path = printers
        self.server = ContractServer(self.path("server"), printers_path, behaviour_path=behaviour_path, **kwargs)
        self.on_close(self.server.stop)
        return self.server

    def start_service(self, binary, server_address=None, config=None, in_place=False):
        """Runs a copy of binary in the scene's directory, or (in_place) the binary itself with config.ini
        written beside it."""
        address = server_address or self.server.address
        directory = None if in_place else self.path("service")
        self.service = Service(binary, directory, address, log=self.log, config=config,
                               stderr_path=self.path("service.stderr"))
        self.on_close(self.service.kill)
        return self.service

    def close(self):
        errors = []
        while self._closers:
            closer = self._closers.pop()
            try:
                closer()
            except Exception as error:  # keep stopping the rest
                errors.append(error)
        if not os.environ.get("TELVA_E2E_KEEP"):
            shutil.rmtree(self.directory, ignore_errors=True)
        self._lock.release()
        if errors:
            raise HarnessError("cleanup failed: %r" % errors)


def _stop_fleet_dir(directory):
    subprocess.run([sys.executable, FLEET_TOOL, "stop", "--dir", directory],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
