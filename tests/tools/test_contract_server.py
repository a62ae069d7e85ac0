"""Tests of tools/contract-server: the real server process, spoken to over loopback with raw sockets."""

import json
import os
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRIPT = os.path.join(ROOT, "tools", "contract-server")
sys.path.insert(0, os.path.join(ROOT, "tools"))

from contract_server import multipart  # noqa: E402
from contract_server.records import read_records  # noqa: E402

PREFIX = "/app/index.php/"
LOGIN = PREFIX + "zurmo/api/login"
LOGOUT = PREFIX + "zurmo/api/logout"
FETCH = PREFIX + "contractItems/contractItem/api/fetchItemData/"
UPDATE = PREFIX + "contractItems/contractItem/api/updateItemData/"
BOUNDARY = "--------030524140709045"

PRINTERS = (
    '{"17": {"id": 5, "ip": "127.0.0.2", "serial": "S1", "lifecount": "1.3.6.1.4.1.9.1", '
    '"lifecountcolor": "1.3.6.1.4.1.9.2", "lifecountmono": "1.3.6.1.4.1.9.3", '
    '"lifecountcolorbig": "1.3.6.1.4.1.9.4", "lifecountmonobig": "1.3.6.1.4.1.9.5", '
    '"scancount": "1.3.6.1.4.1.9.6", "odd": 123456789012e5}, "4": {"id": "x"}}'
)


def qp_encode(value):
    """The service's quoted-printable rules, written out independently for these tests."""
    out, line_len = [], 0
    data = value.encode("latin-1")
    lines = data.replace(b"\r\n", b"\n").replace(b"\r", b"\n").split(b"\n")
    if data.endswith((b"\n", b"\r")):
        lines.pop()
    for line in lines:
        for index, byte in enumerate(line):
            last = index == len(line) - 1
            if byte in (0x20, 0x09) and not last:
                piece = chr(byte)
            elif 0x21 <= byte <= 0x7E and byte != 0x3D and not (byte == 0x2E and line_len == 0):
                piece = chr(byte)
            else:
                piece = "=%02X" % byte
            out.append(piece)
            line_len += len(piece)
            if line_len >= 70:
                out.append("=\r\n")
                line_len = 0
        out.append("\r\n")
        line_len = 0
    return "".join(out)


def encode_form(fields, boundary=BOUNDARY):
    if not fields:
        return b""
    body = ""
    for name, value in fields:
        body += "--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n" % (boundary, name)
        body += "Content-Type: text/plain\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
        body += qp_encode(value) if value else "\r\n"
    body += "--%s--\r\n" % boundary
    return body.encode("latin-1")


def request_bytes(path, mode_headers, body=b"", boundary=BOUNDARY):
    lines = ["POST %s HTTP/1.0" % path, "Connection: keep-alive"]
    lines.append("Content-Type: multipart/form-data; boundary=%s" % boundary)
    lines.append("Content-Length: %d" % len(body))
    lines += ["%s: %s" % pair for pair in mode_headers] + ["ZURMO_API_REQUEST_TYPE: REST"]
    lines += ["Host: 127.0.0.1", "Accept: application/json", "Accept-Encoding: identity"]
    lines.append("User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64)")
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body


def split_answer(raw):
    head, _, body = raw.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    status = int(lines[0].split(" ")[1])
    headers = dict(line.split(": ", 1) for line in lines[1:])
    return status, headers, body


def send_and_read_all(sock, data):
    """Sends `data` and reads until the server closes the connection."""
    sock.sendall(data)
    chunks = []
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)

class ServerTest(unittest.TestCase):
    """Starts one server process per test class; every test starts from a reset server."""

    OPTIONS = []

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        with open(cls.path("printers.json"), "w") as handle:
            handle.write(PRINTERS)
        cls.process = subprocess.Popen(
            [sys.executable, SCRIPT, "--port", "0", "--printers", cls.path("printers.json"), "--contract", "77",
             "--user", "vrel", "--pass", "24680", "--record", cls.path("requests.jsonl"),
             "--port-file", cls.path("port"), "--pid-file", cls.path("pid"), "--behaviour",
             cls.path("behaviour.json"), "--quiet"] + cls.OPTIONS
        )
        deadline = time.monotonic() + 10
        while not os.path.exists(cls.path("port")):
            if time.monotonic() > deadline or cls.process.poll() is not None:
                raise RuntimeError("the contract server did not start")
            time.sleep(0.02)
        with open(cls.path("port")) as handle:
            cls.port = int(handle.read())

    @classmethod
    def path(cls, name):
        return os.path.join(cls.dir.name, name)

    @classmethod
    def tearDownClass(cls):
        if cls.process.poll() is None:
            cls.process.send_signal(signal.SIGTERM)
            cls.process.wait(10)
        cls.dir.cleanup()

    def setUp(self):
        self.control({"op": "reset"})
        self.record_offset = os.path.getsize(self.path("requests.jsonl"))

    def exchange(self, data, timeout=10):
        with socket.create_connection(("127.0.0.1", self.port), timeout=timeout) as sock:
            return send_and_read_all(sock, data)

    def post(self, path, mode_headers, fields=(), **kwargs):
        raw = self.exchange(request_bytes(path, mode_headers, encode_form(list(fields))), **kwargs)
        return split_answer(raw)

    def call(self, path, mode_headers, fields=()):
        status, _, body = self.post(path, mode_headers, fields)
        self.assertEqual(status, 200)
        return json.loads(body)

    def control(self, command):
        body = json.dumps(command).encode()
        raw = self.exchange(b"POST /__control HTTP/1.0\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
        return json.loads(split_answer(raw)[2])

    def login(self):
        answer = self.call(LOGIN, [("ZURMO_AUTH_USERNAME", "vrel"), ("ZURMO_AUTH_PASSWORD", "24680")])
        self.assertEqual(answer["status"], "SUCCESS")
        return [("ZURMO_SESSION_ID", answer["data"]["sessionId"]), ("ZURMO_TOKEN", answer["data"]["token"])]

    def records(self):
        return read_records(self.path("requests.jsonl"), self.record_offset)

    def wait_answered(self, count):
        """The records once the last of `count` request records has its answered time (written just after
        the answer went out, so possibly a moment after the client read it)."""
        deadline = time.monotonic() + 10
        while True:
            requests = [r for r in self.records() if r["kind"] == "request"]
            if len(requests) >= count and requests[count - 1]["answered"] is not None:
                return self.records()
            if time.monotonic() > deadline:
                self.fail("no answered time for request %d: %r" % (count, requests))
            time.sleep(0.02)


class EndpointTest(ServerTest):
    def test_audit_round_trip_is_answered_and_recorded(self):
        session = self.login()
        fetched = self.post(FETCH, session, [("data[number]", "77")])[2]
        self.assertIn(b'"odd": 123456789012e5', fetched, "the printer list is served verbatim")
        items = json.loads(fetched)["data"]["items"]
        self.assertEqual(list(items), ["17", "4"])

        values = {
            "lco": ".5", "lcc": "12 ", "lcm": "S\u00e3o", "lccb": "x" * 75, "lcmb": "y" * 70, "sco": "",
            "cid": "50%=half\ttab",
        }
        fields = [("data[items][0][%s]" % key, value) for key, value in values.items()]
        fields += [("data[count]", "1"), ("data[number]", "77")]
        body = encode_form(fields)
        for piece in (b"=2E5\r\n", b"12=20\r\n", b"S=E3o\r\n", b"x" * 70 + b"=\r\nxxxxx\r\n", b"y" * 70 + b"=\r\n\r\n"):
            self.assertIn(piece, body)
        answer = self.call(UPDATE, session, fields)
        self.assertEqual(answer, {"status": "SUCCESS", "data": {"count": "1"}, "errors": None})
        self.assertEqual(self.call(LOGOUT, session)["status"], "SUCCESS")

        records = self.records()
        self.assertEqual([r["kind"] for r in records], ["request", "request", "request", "upload", "request"])
        update, upload = records[2], records[3]
        self.assertEqual(update["fields"], [list(pair) for pair in fields])
        self.assertEqual(update["body_length"], len(body))
        self.assertEqual([p["qp_problems"] for p in update["parts"]], [[]] * len(fields))
        self.assertEqual(update["mime_defects"], [])
        self.assertEqual(upload["request_seq"], update["seq"])
        self.assertTrue(upload["accepted"] and upload["layout_ok"], upload["layout_problem"])
        self.assertEqual(upload["printers"], [dict(values, position=0)])
        self.assertEqual((upload["count"], upload["number"]), ("1", "77"))

    def test_arrival_and_answer_times_order_the_requests(self):
        session = self.login()
        self.post(FETCH, session, [("data[number]", "77")])
        # The upload's head comes in two pieces with a pause between: its arrival is the first piece's.
        data = request_bytes(UPDATE, session, encode_form([("data[count]", "0"), ("data[number]", "77")]))
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as sock:
            before_first_byte = time.monotonic()
            sock.sendall(data[:20])
            time.sleep(0.3)
            before_rest = time.monotonic()
            sock.sendall(data[20:])
            while sock.recv(65536):
                pass
        self.call(LOGOUT, session)
        requests = [r for r in self.wait_answered(4) if r["kind"] == "request"]
        self.assertEqual([r["endpoint"] for r in requests], ["login", "fetch", "update", "logout"])
        for record in requests:
            self.assertLessEqual(record["arrived"], record["answered"], record["endpoint"])
        # Each request is sent only after the answer before it was read, but the answer's time is taken once
        # the send has returned on the server's side, which may be just after the next request arrived on
        # another connection. So only the arrivals are ordered for certain.
        for earlier, later in zip(requests, requests[1:]):
            self.assertLess(earlier["arrived"], later["arrived"], (earlier["endpoint"], later["endpoint"]))
        update = requests[2]
        self.assertTrue(before_first_byte <= update["arrived"] < before_rest, update["arrived"])
        # The answer's time is taken just after the last byte went out, which may be a moment after the
        # client saw it; so only its lower bound is certain here.
        self.assertLessEqual(before_rest, update["answered"])

    def test_headers_are_recorded_in_order_exactly_as_sent(self):
        data = request_bytes(LOGIN, [("ZURMO_AUTH_USERNAME", "vrel"), ("ZURMO_AUTH_PASSWORD", "")])
        self.exchange(data)
        record = self.records()[0]
        self.assertEqual(record["head_raw"].encode("latin-1"), data)
        self.assertEqual(record["request_line"], "POST %s HTTP/1.0" % LOGIN)
        names = [name for name, _ in record["headers"]]
        self.assertEqual(names[:6], ["Connection", "Content-Type", "Content-Length", "ZURMO_AUTH_USERNAME",
                                     "ZURMO_AUTH_PASSWORD", "ZURMO_API_REQUEST_TYPE"])
        self.assertEqual(record["headers"][4], ["ZURMO_AUTH_PASSWORD", ""])
        self.assertEqual((record["mode"], record["status"]), ("credentials", 200))

    def test_refusals(self):
        wrong = self.call(LOGIN, [("ZURMO_AUTH_USERNAME", "vrel"), ("ZURMO_AUTH_PASSWORD", "2468")])
        self.assertEqual((wrong["status"], wrong["data"]), ("FAILURE", None))
        self.assertIn("errors", wrong)
        session = self.login()
        other = self.call(FETCH, session, [("data[number]", "78")])
        self.assertEqual(other["status"], "FAILURE")
        no_rest = self.exchange(request_bytes(FETCH, session).replace(b"ZURMO_API_REQUEST_TYPE: REST\r\n", b""))
        self.assertEqual(json.loads(split_answer(no_rest)[2])["status"], "FAILURE")
        status, _, body = self.post(PREFIX + "zurmo/api/login/", session)
        self.assertEqual((status, json.loads(body)["status"]), (404, "FAILURE"))
        forged = [session[0], ("ZURMO_TOKEN", "0" * 32)]
        self.assertIn("Sign in required", json.dumps(self.call(FETCH, forged, [("data[number]", "77")])))

    def test_session_ends_at_logout_and_on_expiry(self):
        session = self.login()
        self.call(LOGOUT, session)
        self.assertIn("Sign in required", self.call(FETCH, session, [("data[number]", "77")])["errors"][0])
        session = self.login()
        self.assertEqual(self.control({"op": "expire"})["expired"], 1)
        self.assertIn("Sign in required", self.call(FETCH, session, [("data[number]", "77")])["errors"][0])

    def test_expire_once_on_upload_then_the_same_form_is_accepted_after_relogin(self):
        self.control({"op": "set", "endpoint": "update", "action": "expire", "times": 1})
        fields = [("data[count]", "0"), ("data[number]", "77")]
        first = self.call(UPDATE, self.login(), fields)
        self.assertEqual(first["status"], "FAILURE")
        self.assertIn("Sign in required", first["errors"][0])
        second = self.call(UPDATE, self.login(), fields)
        self.assertEqual(second["status"], "SUCCESS")
        uploads = [r for r in self.records() if r["kind"] == "upload"]
        self.assertEqual([u["accepted"] for u in uploads], [False, True])

    def test_login_repeated_in_session_mode_confirms_the_session(self):
        session = self.login()
        again = self.call(LOGIN, session)
        self.assertEqual(again["data"]["sessionId"], session[0][1])

    def test_printer_override_is_served_verbatim(self):
        self.control({"op": "printers", "items_raw": '{"a": {"id": 1e400}}'})
        session = self.login()
        self.assertIn(b'"items":{"a": {"id": 1e400}}', self.post(FETCH, session, [("data[number]", "77")])[2])
        self.control({"op": "printers"})
        self.assertIn(b'"17"', self.post(FETCH, session, [("data[number]", "77")])[2])

    def test_invalid_control_command_is_refused(self):
        answer = self.control({"op": "set", "endpoint": "fetch", "action": "explode"})
        self.assertFalse(answer["ok"])
        self.assertIn("unknown action", answer["error"])
        self.assertEqual(self.records(), [], "control requests are not recorded")


class FormCheckTest(ServerTest):
    def test_badly_encoded_parts_are_reported(self):
        body = (
            "--b\r\nContent-Disposition: form-data; name=\"data[a]\"\r\n"
            "Content-Transfer-Encoding: quoted-printable\r\n\r\n" + "z" * 77 + "\r\nab =e3 \r\n"
            "--b\r\nContent-Disposition: form-data; name=\"data[b]\"\r\n"
            "Content-Transfer-Encoding: quoted-printable\r\n\r\nok\r\n--b--\r\n"
        ).encode("latin-1")
        self.exchange(request_bytes(UPDATE, self.login(), body, boundary="b"))
        update, upload = self.records()[1:]
        self.assertEqual(update["fields"][1], ["data[b]", "ok"])
        problems = update["parts"][0]["qp_problems"]
        self.assertTrue(any("77 characters" in p for p in problems), problems)
        self.assertTrue(any("invalid escape" in p for p in problems), problems)
        self.assertTrue(any("white space" in p for p in problems), problems)
        self.assertEqual(update["parts"][1]["qp_problems"], [])
        self.assertFalse(upload["layout_ok"])

    def test_fields_out_of_order_break_the_layout(self):
        names = ["lco", "lcc", "lcm", "lccb", "sco", "lcmb", "cid"]
        fields = [("data[items][0][%s]" % n, "1") for n in names] + [("data[count]", "1"), ("data[number]", "77")]
        self.call(UPDATE, self.login(), fields)
        upload = self.records()[-1]
        self.assertFalse(upload["layout_ok"])
        self.assertIn("data[items][0][sco]", upload["layout_problem"])

    def test_garbage_gets_400_and_a_record(self):
        status, _, _ = split_answer(self.exchange(b"HELLO\r\n\r\n"))
        self.assertEqual(status, 400)
        self.assertEqual(self.records()[0]["kind"], "bad_request")

    def test_short_body_is_reported_not_processed(self):
        data = request_bytes(UPDATE, self.login(), b"x" * 100)[:-90]
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as sock:
            sock.sendall(data)
            sock.shutdown(socket.SHUT_WR)
            self.assertTrue(sock.recv(100).startswith(b"HTTP/1.1 400 "))
        record = self.records()[-1]
        self.assertEqual(record["kind"], "bad_request")
        self.assertIn("10 of 100 body bytes", record["error"])


TRICKY_VALUES = {"lco": ".5", "lcc": "12 ", "lcm": "S\u00e3o", "lccb": "x" * 75, "lcmb": "y" * 150 + "=",
                 "sco": "", "cid": "50%=half\ttab \u00ff"}


class NoBodiesTest(ServerTest):
    """--no-bodies: records without the raw body and parts, the form split without the email package."""

    OPTIONS = ["--no-bodies"]

    def test_split_form_reads_what_the_email_package_reads(self):
        fields = [("data[items][%d][%s]" % (i, k), v + str(i)) for i in range(2) for k, v in TRICKY_VALUES.items()]
        fields += [("data[count]", "2"), ("data[number]", "77")]
        content_type = "multipart/form-data; boundary=" + BOUNDARY
        body = encode_form(fields)
        self.assertEqual(multipart.split_form(content_type, body)["fields"], [list(pair) for pair in fields])
        self.assertEqual(multipart.split_form(content_type, body)["fields"],
                         multipart.parse_form(content_type, body)["fields"])
        self.assertIsNotNone(multipart.split_form(content_type, body[:-10])["error"], "no closing delimiter")
        self.assertIsNotNone(multipart.split_form("text/plain", body)["error"])

    def test_upload_is_summarised_without_recording_the_body(self):
        fields = [("data[items][0][%s]" % k, v) for k, v in TRICKY_VALUES.items()]
        fields += [("data[count]", "1"), ("data[number]", "77")]
        self.assertEqual(self.call(UPDATE, self.login(), fields)["status"], "SUCCESS")
        update, upload = self.records()[1:]
        self.assertEqual((update["body"], update["parts"]), (None, None))
        self.assertEqual(update["body_length"], len(encode_form(fields)))
        self.assertEqual(update["fields"], [list(pair) for pair in fields])
        self.assertTrue(upload["accepted"] and upload["layout_ok"], upload["layout_problem"])
        self.assertEqual(upload["printers"], [dict(TRICKY_VALUES, position=0)])


class HttpsTest(ServerTest):
    """--tls-cert/--tls-key: the same endpoints inside TLS, with a certificate made for the test by openssl."""

    @classmethod
    def setUpClass(cls):
        cls.certificates = tempfile.TemporaryDirectory()
        key, certificate = (os.path.join(cls.certificates.name, name) for name in ("key.pem", "cert.pem"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out",
                        certificate, "-days", "1", "-subj", "/CN=127.0.0.1", "-addext",
                        "subjectAltName=IP:127.0.0.1"], check=True, capture_output=True)
        cls.OPTIONS = ["--tls-cert", certificate, "--tls-key", key]
        cls.context = ssl.create_default_context(cafile=certificate)
        super().setUpClass()

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        cls.certificates.cleanup()

    def exchange(self, data, timeout=10):
        with socket.create_connection(("127.0.0.1", self.port), timeout=timeout) as plain:
            with self.context.wrap_socket(plain, server_hostname="127.0.0.1") as sock:
                return send_and_read_all(sock, data)

    def test_audit_round_trip_inside_tls(self):
        session = self.login()
        self.assertEqual(self.call(FETCH, session, [("data[number]", "77")])["status"], "SUCCESS")
        fields = [("data[items][0][%s]" % k, v) for k, v in TRICKY_VALUES.items()]
        fields += [("data[count]", "1"), ("data[number]", "77")]
        self.assertEqual(self.call(UPDATE, session, fields)["status"], "SUCCESS")
        upload = [r for r in self.records() if r["kind"] == "upload"][0]
        self.assertTrue(upload["accepted"] and upload["layout_ok"], upload["layout_problem"])
        self.assertEqual(upload["printers"], [dict(TRICKY_VALUES, position=0)])

    def test_plain_http_and_untrusting_clients_are_recorded_as_tls_failures(self):
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as sock:
            sock.sendall(request_bytes(LOGIN, []))
            try:
                while sock.recv(65536):
                    pass
            except ConnectionResetError:
                pass
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as plain:
            with self.assertRaises(ssl.SSLCertVerificationError):
                ssl.create_default_context().wrap_socket(plain, server_hostname="127.0.0.1")
        deadline = time.monotonic() + 10
        while len(self.records()) < 2 and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertEqual([r["kind"] for r in self.records()], ["tls_failure", "tls_failure"])


class MisbehaviourTest(ServerTest):
    def set(self, endpoint, **behaviour):
        result = self.control(dict(behaviour, op="set", endpoint=endpoint))
        self.assertTrue(result["ok"], result)

    def fetch_raw(self, timeout=10):
        return self.exchange(request_bytes(FETCH, self.login(), encode_form([("data[number]", "77")])), timeout)

    def test_replacing_answers(self):
        self.set("fetch", action="error500", times=1)
        self.set("logout", action="redirect", location="http://127.0.0.1:9/x")
        status, _, body = split_answer(self.fetch_raw())
        self.assertEqual((status, json.loads(body)["status"]), (500, "FAILURE"))
        status, headers, _ = self.post(LOGOUT, [])
        self.assertEqual((status, headers["Location"]), (302, "http://127.0.0.1:9/x"))
        self.set("fetch", action="malformed")
        self.assertEqual(split_answer(self.fetch_raw())[2], b'{"status":"SUCCESS","data":{')
        self.set("fetch", action="refuse", message="no")
        self.assertEqual(json.loads(split_answer(self.fetch_raw())[2])["errors"], ["no"])
        self.set("fetch", action="answer", status=204, reason="No Content", headers=[["X-A", "1"]])
        status, headers, body = split_answer(self.fetch_raw())
        self.assertEqual((status, headers["X-A"], body), (204, "1", b""))

    def test_skip_and_times_count_requests(self):
        self.set("fetch", action="refuse", skip=1, times=1)
        statuses = [json.loads(split_answer(self.fetch_raw())[2])["status"] for _ in range(3)]
        self.assertEqual(statuses, ["SUCCESS", "FAILURE", "SUCCESS"])

    def test_delay_and_hang(self):
        self.set("fetch", action="delay", seconds=0.5)
        started = time.monotonic()
        self.assertEqual(split_answer(self.fetch_raw())[0], 200)
        self.assertGreaterEqual(time.monotonic() - started, 0.4)
        self.set("update", action="hang", seconds=1)
        started = time.monotonic()
        fields = [("data[count]", "0"), ("data[number]", "77")]
        self.assertEqual(self.exchange(request_bytes(UPDATE, self.login(), encode_form(fields))), b"")
        self.assertGreaterEqual(time.monotonic() - started, 0.9)
        update, upload = self.records()[-2:]
        self.assertEqual((update["action"], update["status"], upload["accepted"]), ("hang", None, True))
        self.assertIsNone(update["answered"], "a hanging request was never answered")

    def test_broken_deliveries(self):
        self.set("fetch", action="close_mid", bytes=5, times=1)
        status, headers, body = split_answer(self.fetch_raw())
        self.assertEqual((status, len(body)), (200, 5))
        self.assertGreater(int(headers["Content-Length"]), 5)
        self.set("fetch", action="chunked", chunk=10, times=1)
        status, headers, body = split_answer(self.fetch_raw())
        self.assertEqual(headers["Transfer-Encoding"], "chunked")
        joined, rest = b"", body
        while True:
            size_text, _, rest = rest.partition(b"\r\n")
            size = int(size_text, 16)
            joined, rest = joined + rest[:size], rest[size + 2 :]
            if size == 0:
                break
        self.assertEqual(json.loads(joined)["data"]["items"]["17"]["id"], 5)
        self.set("fetch", action="chunked", chunk=4096, endless=True, times=1)
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as sock:
            sock.sendall(request_bytes(FETCH, self.login(), encode_form([("data[number]", "77")])))
            received = b""
            while len(received) < 1024 * 1024:
                received += sock.recv(65536)
        self.assertIn(b"Transfer-Encoding: chunked", received)
        self.assertNotIn(b"\r\n0\r\n\r\n", received)
        self.assertTrue(received.endswith(b" ") or received.endswith(b"\r\n"))
        self.set("fetch", action="reset", times=1)
        try:
            self.assertEqual(self.fetch_raw(), b"")
        except ConnectionResetError:
            pass

    def test_drip_sends_one_byte_at_a_time(self):
        self.set("logout", action="drip", interval=0.2)
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as sock:
            sock.sendall(request_bytes(LOGOUT, []))
            started, received = time.monotonic(), b""
            while len(received) < 4:
                received += sock.recv(100)
            self.assertEqual(received, b"HTTP")
            self.assertGreaterEqual(time.monotonic() - started, 0.45)

    def test_huge_answer_has_the_declared_size(self):
        self.set("fetch", action="huge", bytes=3_000_000)
        status, headers, body = split_answer(self.fetch_raw())
        self.assertEqual((status, int(headers["Content-Length"]), len(body)), (200, 3_000_000, 3_000_000))
        self.assertEqual(json.loads(body)["status"], "SUCCESS")

    def test_crlf_session_id_is_served_as_a_json_escape(self):
        self.set("login", action="crlf_session", where="both", times=1)
        answer = self.call(LOGIN, [("ZURMO_AUTH_USERNAME", "vrel"), ("ZURMO_AUTH_PASSWORD", "24680")])
        self.assertIn("\r\nX-Injected-Session: 1", answer["data"]["sessionId"])
        self.assertIn("\r\nX-Injected-Token: 1", answer["data"]["token"])
        stripped = [(n, v.replace("\r\n", "")) for n, v in (("ZURMO_SESSION_ID", answer["data"]["sessionId"]),
                                                              ("ZURMO_TOKEN", answer["data"]["token"]))]
        self.assertEqual(self.call(FETCH, stripped, [("data[number]", "77")])["status"], "SUCCESS")

    def test_behaviour_file_is_reread_when_replaced(self):
        target = self.path("behaviour.json")
        for content, expected in (('{"fetch": {"action": "refuse"}}', "FAILURE"), ("{}", "SUCCESS"),
                                  ('{"fetch": {"action": "refuse"}}', "FAILURE"), (None, "SUCCESS")):
            if content is None:
                os.remove(target)
            else:
                with open(target + ".new", "w") as handle:
                    handle.write(content)
                os.replace(target + ".new", target)
            self.assertEqual(json.loads(split_answer(self.fetch_raw())[2])["status"], expected)


class LifecycleTest(unittest.TestCase):
    def test_sigterm_stops_promptly_while_a_request_hangs(self):
        with tempfile.TemporaryDirectory() as directory:
            path = lambda name: os.path.join(directory, name)  # noqa: E731
            with open(path("p.json"), "w") as handle:
                handle.write("{}")
            with open(path("b.json"), "w") as handle:
                handle.write('{"*": {"action": "hang"}}')
            process = subprocess.Popen(
                [sys.executable, SCRIPT, "--printers", path("p.json"), "--contract", "1", "--user", "u",
                 "--pass", "p", "--record", path("r.jsonl"), "--port-file", path("port"), "--pid-file",
                 path("pid"), "--behaviour", path("b.json"), "--quiet"]
            )
            try:
                deadline = time.monotonic() + 10
                while not os.path.exists(path("pid")) or not os.path.exists(path("port")):
                    self.assertLess(time.monotonic(), deadline, "server did not start")
                    time.sleep(0.02)
                with open(path("pid")) as handle:
                    self.assertEqual(int(handle.read()), process.pid)
                with open(path("port")) as handle:
                    port = int(handle.read())
                sock = socket.create_connection(("127.0.0.1", port), timeout=10)
                sock.sendall(request_bytes(LOGIN, []))
                deadline = time.monotonic() + 10
                while not os.path.getsize(path("r.jsonl")):
                    self.assertLess(time.monotonic(), deadline, "request not recorded")
                    time.sleep(0.02)
                process.send_signal(signal.SIGTERM)
                self.assertEqual(process.wait(10), 0)
                self.assertEqual(sock.recv(100), b"")
                sock.close()
                self.assertFalse(os.path.exists(path("pid")) or os.path.exists(path("port")))
            finally:
                if process.poll() is None:
                    process.kill()
                    process.wait()


if __name__ == "__main__":
    unittest.main()
