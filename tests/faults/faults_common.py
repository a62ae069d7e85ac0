"""Shared pieces of the fault matrix: the binary under test, the checks every case ends with, a service
started with any settings text, peak memory, and a misbehaving SNMP responder on 127.0.0.x:161.

python3 standard library only; the scene, fleet, simulator and log come from tests/e2e/harness.py.
Environment:
  TELVA_AUDIT_BINARY   the program to run (CTest passes $<TARGET_FILE:telva4_audit>)
  TELVA_SANITIZE       ON when that program is built with ASan+UBSan (memory bounds are then looser)
  TELVA_SLOW_FAULTS=1  also run the cases that take minutes (a server that never answers: 60 s idle
                       limit; one byte every 30 s: 300 s total limit)
"""

import os
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

import harness  # noqa: E402

BINARY = os.environ.get("TELVA_AUDIT_BINARY") or os.path.join(harness.REPO, "build", "debug", "src",
                                                              "telva4_audit")
SANITIZED = os.environ.get("TELVA_SANITIZE", "").upper() in ("ON", "1", "TRUE", "YES")
SLOW = os.environ.get("TELVA_SLOW_FAULTS") == "1"

# The service's own limits (fixed in the product): SNMP wait per query, HTTP idle and total limits.
SNMP_WAIT_S = 10
HTTP_IDLE_S = 60
HTTP_TOTAL_S = 300

# Peak resident memory allowed while the service swallows a 100 MB or an endless answer. The answer
# limit is 64 MiB; a sanitized build keeps freed memory in quarantine and shadow memory beside it.
PEAK_RSS_LIMIT_KB = (300 if SANITIZED else 200) * 1024

PREFIX = "/app/index.php/"
LOGIN = "zurmo/api/login"
LOGOUT = "zurmo/api/logout"
FETCH = "contractItems/contractItem/api/fetchItemData/"
UPDATE = "contractItems/contractItem/api/updateItemData/"


def require_binary(test_case):
    if not os.access(BINARY, os.X_OK):
        test_case.skipTest("no program at %s" % BINARY)


def peak_rss_kb(pid):
    """VmHWM of a running process in KiB (the highest resident set size it has had)."""
    with open("/proc/%d/status" % pid) as handle:
        for line in handle:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise harness.HarnessError("no VmHWM for pid %d" % pid)


def signals_blocked(pid, number):
    """True once the process blocks the signal (SigBlk in /proc/PID/status)."""
    try:
        with open("/proc/%d/status" % pid) as handle:
            for line in handle:
                if line.startswith("SigBlk:"):
                    return bool(int(line.split()[1], 16) & (1 << (number - 1)))
    except OSError:
        return False
    return False


class RawService(harness.Service):
    """harness.Service with the settings file given as text (None: no config.ini at all)."""

    def __init__(self, binary, directory, config_text, log, env_extra=None):
        os.makedirs(directory, exist_ok=True)
        self.directory = directory
        self.program = os.path.join(directory, os.path.basename(binary))
        harness.shutil.copy2(binary, self.program)
        self.config_path = os.path.join(directory, "config.ini")
        if config_text is not None:
            with open(self.config_path, "w", newline="") as handle:
                handle.write(config_text)
        self.log = log
        self.stderr_path = os.path.join(directory, "service.stderr")
        env = dict(os.environ)
        env.pop("NOTIFY_SOCKET", None)
        env.update(env_extra or {})
        with open(self.stderr_path, "wb") as stderr:
            self.process = subprocess.Popen([self.program], cwd=directory, stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=stderr, env=env)
        self.started_at = time.monotonic()


def settings_text(server_address, contract=harness.CONTRACT, user=harness.USER, password=harness.PASSWORD):
    """config.ini text in section [SERVIDOR]; schedule 99:99 means only the run at start happens."""
    return "\n".join(["[SERVIDOR]", "contrato=" + contract, "endereco=" + server_address, "horario=99:99",
                      "user=" + user, "pass=" + password]) + "\n"


def start_raw_service(scene, config_text, env_extra=None):
    service = RawService(BINARY, scene.path("service"), config_text, scene.log, env_extra)
    scene.service = service
    scene.on_close(service.kill)
    return service


class FaultCase(unittest.TestCase):
    """Base of every fault test: a fresh scene per test and the closing checks."""

    def setUp(self):
        require_binary(self)
        self.scene = harness.Scene(prefix="telva_faults_")
        self.addCleanup(self.scene.close)

    def stderr_text(self, service):
        with open(service.stderr_path, errors="replace") as handle:
            return handle.read()

    def assert_ready_and_stop(self, service):
        """The service is alive and answers SIGTERM with the stop line and exit status 0; a sanitized
        build has reported nothing on stderr."""
        self.assertTrue(service.running(), "the service ended early; log:\n" + service.log.text())
        service.stop()
        if SANITIZED:
            text = self.stderr_text(service)
            self.assertNotIn("ERROR: AddressSanitizer", text)
            self.assertNotIn("runtime error:", text)

    def assert_logout_follows_every_login(self, server):
        """Every session handed out is logged out: the last successful login is followed by a logout."""
        requests = server.requests()
        logins = [r for r in requests if r["endpoint"] == "login" and r["status"] == 200]
        if logins:
            last_login = logins[-1]["seq"]
            self.assertTrue([r for r in requests if r["endpoint"] == "logout" and r["seq"] > last_login],
                            "no logout after the session was obtained: %r" % server.endpoints())

    def assert_failure_lines(self, log_text, path, answer_text=""):
        """A failed call's two lines: the answer text, then BaseUrl and the path."""
        messages = [m for _, m in harness.log_entries(log_text)]
        url_line = [i for i, m in enumerate(messages) if m.endswith(PREFIX + path)]
        self.assertTrue(url_line, "no failure line for %s in:\n%s" % (path, log_text))
        self.assertEqual(messages[url_line[0] - 1], answer_text)


# --- SNMP answers crafted by hand -----------------------------------------------------------------------

def ber_length(size):
    if size < 0x80:
        return bytes([size])
    body = size.to_bytes((size.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(body)]) + body


def tlv(tag, content):
    return bytes([tag]) + ber_length(len(content)) + content


def ber_integer(value):
    length = max(1, (value.bit_length() + 8) // 8)
    return tlv(0x02, value.to_bytes(length, "big", signed=True))


def ber_oid(text):
    arcs = [int(a) for a in text.split(".")]
    out = bytearray([arcs[0] * 40 + arcs[1]])
    for arc in arcs[2:]:
        piece = [arc & 0x7F]
        arc >>= 7
        while arc:
            piece.insert(0, 0x80 | (arc & 0x7F))
            arc >>= 7
        out += bytes(piece)
    return tlv(0x06, bytes(out))


def unsigned_value(tag, value):
    content = value.to_bytes(max(1, (value.bit_length() + 8) // 8), "big")
    return tlv(tag, content)


def counter32(value):
    return unsigned_value(0x41, value)


def counter64(value):
    return unsigned_value(0x46, value)


def get_response(oid, value_tlv, community="quarno", request_id=0, error_status=0):
    binding = tlv(0x30, ber_oid(oid) + value_tlv)
    pdu = tlv(0xA2, ber_integer(request_id) + ber_integer(error_status) + ber_integer(0) + tlv(0x30, binding))
    return tlv(0x30, ber_integer(0) + tlv(0x04, community.encode("latin-1")) + pdu)


def read_tlv(data, pos):
    tag = data[pos]
    size = data[pos + 1]
    pos += 2
    if size & 0x80:
        count = size & 0x7F
        size = int.from_bytes(data[pos : pos + count], "big")
        pos += count
    return tag, pos, size


def parse_get_request(data):
    """(community, request id, oid text) of a GetRequest datagram."""
    _, pos, _ = read_tlv(data, 0)  # message
    _, pos, size = read_tlv(data, pos)  # version
    pos += size
    _, pos, size = read_tlv(data, pos)
    community = data[pos : pos + size].decode("latin-1")
    pos += size
    _, pos, _ = read_tlv(data, pos)  # PDU
    _, pos, size = read_tlv(data, pos)
    request_id = int.from_bytes(data[pos : pos + size], "big", signed=True)
    pos += size
    for _ in range(2):  # error status, error index
        _, pos, size = read_tlv(data, pos)
        pos += size
    _, pos, _ = read_tlv(data, pos)  # bindings
    _, pos, _ = read_tlv(data, pos)  # one binding
    _, pos, size = read_tlv(data, pos)
    content = data[pos : pos + size]
    arcs = [content[0] // 40, content[0] % 40]
    value = 0
    for byte in content[1:]:
        value = (value << 7) | (byte & 0x7F)
        if not byte & 0x80:
            arcs.append(value)
            value = 0
    return community, request_id, ".".join(str(a) for a in arcs)


class SnmpResponder:
    """A python agent on ADDRESS:161 that answers each GetRequest as `answer(index, community, oid)` says:
    a list of (delay seconds, datagram bytes). Answers leave in arrival order, each not before its delay,
    so a late answer holds back the ones after it. Every request received is kept in `requests`."""

    def __init__(self, address, answer):
        self.address = address
        self.answer = answer
        self.requests = []
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((address, 161))
        self.sock.settimeout(0.2)
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        pending = []  # (send at, datagram, to), in sending order
        last_send = 0.0
        while not self.stopping.is_set():
            now = time.monotonic()
            while pending and pending[0][0] <= now:
                _, datagram, to = pending.pop(0)
                self.sock.sendto(datagram, to)
            self.sock.settimeout(max(0.01, min(0.2, pending[0][0] - now)) if pending else 0.2)
            try:
                data, sender = self.sock.recvfrom(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            community, request_id, oid = parse_get_request(data)
            index = len(self.requests)
            self.requests.append({"time": time.monotonic(), "community": community, "id": request_id, "oid": oid})
            for delay, datagram in self.answer(index, community, oid):
                last_send = max(time.monotonic() + delay, last_send)
                pending.append((last_send, datagram, sender))

    def close(self):
        self.stopping.set()
        self.thread.join(timeout=5)
        self.sock.close()


def send_signal(service, number):
    os.kill(service.process.pid, number)


class NotifySocket:
    """A datagram socket standing in for the init system's notification socket: collects the service's
    status reports ("STATUS=csRunning" ...) in a thread."""

    def __init__(self, directory):
        self.path = os.path.join(directory, "notify")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        self.sock.settimeout(0.1)
        self.states = []
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._collect, daemon=True)
        self.thread.start()

    def _collect(self):
        while not self.stopping.is_set():
            try:
                text = self.sock.recv(4096).decode()
            except socket.timeout:
                continue
            except OSError:
                return
            for line in text.split("\n"):
                if line.startswith("STATUS="):
                    self.states.append((time.monotonic(), line[len("STATUS="):]))

    def names(self):
        return [name for _, name in self.states]

    def wait_for(self, name, count=1, timeout=30):
        return harness.wait_until(lambda: self.names().count(name) >= count, timeout, interval=0.02,
                                  what="status %s x%d (seen %r)" % (name, count, self.names()))

    def close(self):
        self.stopping.set()
        self.thread.join(timeout=5)
        self.sock.close()


SIGPWR = getattr(signal, "SIGPWR", 30)
