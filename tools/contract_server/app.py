"""The contract server's four endpoints, its sessions, the request record and the control endpoint."""

import json
import os
import secrets
import socket
import sys
import threading
import time

from . import behaviour, multipart, wire

PREFIX = "/app/index.php/"
ENDPOINT_PATHS = {
    PREFIX + "zurmo/api/login": "login",
    PREFIX + "zurmo/api/logout": "logout",
    PREFIX + "contractItems/contractItem/api/fetchItemData/": "fetch",
    PREFIX + "contractItems/contractItem/api/updateItemData/": "update",
}
CONTROL_PATH = "/__control"
SIGN_IN_REQUIRED = "Sign in required."
READ_TIMEOUT = 60.0

# Actions that replace the endpoint's own answer; the others change only how the normal answer is delivered.
_REPLACING = {"error500", "redirect", "malformed", "refuse", "expire", "huge", "answer"}


def envelope(status, data=None, errors=None, message=None):
    document = {"status": status, "data": data, "errors": errors}
    if message is not None:
        document["message"] = message
    return json.dumps(document).encode("ascii")


def json_answer(body, status=200, reason="OK"):
    return wire.Answer(status, reason, body)


def failure(message, status=200, reason="OK"):
    return json_answer(envelope("FAILURE", None, [message], message), status, reason)


class Recorder:
    """Appends one JSON object per line, flushed at once so readers see it while the server runs."""

    def __init__(self, path):
        self._file = open(path, "a", encoding="utf-8")
        self._lock = threading.Lock()

    def write(self, document):
        line = json.dumps(document, ensure_ascii=True)
        with self._lock:
            if self._file.closed:
                return
            self._file.write(line + "\n")
            self._file.flush()

    def close(self):
        with self._lock:
            self._file.close()


class Simulator:
    def __init__(self, user, password, contract, printers_path, record_path, behaviour_path=None, quiet=False,
                 record_bodies=True):
        self.user = user
        self.password = password
        self.contract = contract
        self.printers_path = printers_path
        self.behaviours = behaviour.Behaviours(behaviour_path)
        if behaviour_path is not None and os.path.exists(behaviour_path):
            self.behaviours.load_file()  # a broken file stops the start with its error
        self.recorder = Recorder(record_path)
        self.quiet = quiet
        self.record_bodies = record_bodies
        self.stop = threading.Event()
        self._lock = threading.Lock()
        self._sessions = {}  # session id -> token
        self._printers_override = None
        self._seq = 0
        self.load_printers()

    # ----- printer list -------------------------------------------------------------------------------

    def load_printers(self):
        """The raw JSON text of "items": the override when set, else the file read afresh. Served verbatim
        so that number literals reach the service exactly as written in the file."""
        with self._lock:
            override = self._printers_override
        if override is not None:
            return override
        with open(self.printers_path, "rb") as handle:
            text = handle.read().decode("utf-8").strip()
        if not isinstance(json.loads(text), dict):
            raise ValueError("the printer list must be a JSON object")
        return text

    # ----- sessions -----------------------------------------------------------------------------------

    def new_session(self, where=None):
        session_id, token = secrets.token_hex(13), secrets.token_hex(16)
        if where in ("session", "both"):
            session_id += "\r\nX-Injected-Session: 1"
        if where in ("token", "both"):
            token += "\r\nX-Injected-Token: 1"
        with self._lock:
            self._sessions[session_id] = token
            # A client that strips the line break instead of refusing the value may use the stripped form.
            stripped = session_id.replace("\r", "").replace("\n", "")
            self._sessions.setdefault(stripped, token.replace("\r", "").replace("\n", ""))
        return session_id, token

    def session_valid(self, session_id, token):
        with self._lock:
            known = self._sessions.get(session_id)
        if known is None:
            return False
        return token in (known, known.replace("\r", "").replace("\n", ""))

    def drop_session(self, session_id):
        with self._lock:
            token = self._sessions.pop(session_id, None)
            if token is not None and ("\r" in session_id or "\n" in session_id):
                self._sessions.pop(session_id.replace("\r", "").replace("\n", ""), None)

    def expire_sessions(self, session_id=None):
        with self._lock:
            if session_id is None:
                count = len(self._sessions)
                self._sessions.clear()
            else:
                count = 1 if self._sessions.pop(session_id, None) is not None else 0
        return count

    # ----- one connection -----------------------------------------------------------------------------

    def handle_connection(self, sock, client):
        sock.settimeout(READ_TIMEOUT)
        rfile = sock.makefile("rb")
        try:
            arrived = wire.wait_first_byte(sock)
            request = wire.read_request(rfile)
        except wire.BadRequest as error:
            self._record({"kind": "bad_request", "client": client, "error": str(error)})
            self._send(sock, failure("Bad request: %s" % error, 400, "Bad Request"))
            return
        except OSError as error:
            # Timed out or reset while the request was still arriving: nothing to answer, but keep a trace.
            self._record({"kind": "bad_request", "client": client, "error": "reading the request: %s" % error})
            return
        if request is None:
            return
        if request.target.split("?")[0] == CONTROL_PATH:
            self._send(sock, self.control(request))
            return

        endpoint = ENDPOINT_PATHS.get(request.target, "other")
        try:
            rule = self.behaviours.take(endpoint)
        except (OSError, ValueError) as error:
            rule = None
            sys.stderr.write("contract-server: behaviour file: %s\n" % error)
        action = rule["action"] if rule else "normal"
        read_form = multipart.parse_form if self.record_bodies else multipart.split_form
        form = read_form(request.header("Content-Type"), request.body)
        record = {
            "kind": "request",
            "time": time.time(),
            "arrived": arrived,
            "answered": None,
            "client": client,
            "method": request.method,
            "target": request.target,
            "version": request.version,
            "request_line": request.request_line,
            "headers": request.headers,
            "head_raw": request.head_raw.decode("latin-1"),
            "body_length": len(request.body),
            "body": request.body.decode("latin-1") if self.record_bodies else None,
            "endpoint": endpoint,
            "fields": form["fields"],
            "parts": form["parts"] if self.record_bodies else None,
            "mime_defects": form["defects"],
            "form_error": form["error"],
            "action": action,
        }
        answer, upload = self.respond(endpoint, request, form, rule, record)
        record["status"] = answer.status if answer is not None and action not in ("hang", "reset") else None
        seq = self._record(record)
        if upload is not None:
            upload.update(kind="upload", request_seq=seq, fields=form["fields"])
            self._record(upload)
        if not self.quiet:
            sys.stderr.write(
                "contract-server: #%d %s %s -> %s (%s)\n"
                % (seq, request.method, request.target, record["status"], action)
            )
        if rule and rule["delay"]:
            self.stop.wait(rule["delay"])
        if self.deliver(sock, answer, rule):
            self._record({"kind": "answered", "request_seq": seq, "answered": time.monotonic()})

    def record_tls_failure(self, client, error):
        """A connection whose TLS handshake failed (the client refused the certificate, or spoke no TLS)."""
        self._record({"kind": "tls_failure", "client": client, "error": str(error)})

    def _record(self, document):
        with self._lock:
            self._seq += 1
            seq = self._seq
        self.recorder.write(dict(document, seq=seq))
        return seq

    # ----- endpoint logic -----------------------------------------------------------------------------

    def respond(self, endpoint, request, form, rule, record):
        """The answer to send and, for an upload, its summary record (or None)."""
        action = rule["action"] if rule else "normal"
        session_id = request.header("ZURMO_SESSION_ID")
        token = request.header("ZURMO_TOKEN")
        if session_id:
            mode = "session"
        else:
            mode = "credentials" if request.header("ZURMO_AUTH_USERNAME") is not None else "none"
        record["mode"] = mode
        record["session_valid"] = mode == "session" and self.session_valid(session_id, token or "")

        upload = None
        if endpoint == "update" and not form["error"]:
            upload = multipart.summarise_upload(form["fields"])
            upload["accepted"] = False

        if action in _REPLACING:
            if action == "expire" and session_id:
                self.drop_session(session_id)
            return self.misbehave(action, rule), upload
        if request.method != "POST":
            return failure("Method not allowed", 405, "Method Not Allowed"), upload
        if endpoint == "other":
            return failure("Unknown API path", 404, "Not Found"), upload
        if request.header("ZURMO_API_REQUEST_TYPE") != "REST":
            return failure("Invalid API request type"), upload
        if form["error"]:
            return failure("Unreadable form: %s" % form["error"]), upload

        if endpoint == "login":
            return self.login(request, mode, record, rule), upload
        if not record["session_valid"]:
            return failure(SIGN_IN_REQUIRED), upload
        if endpoint == "logout":
            self.drop_session(session_id)
            return json_answer(envelope("SUCCESS", None, None)), upload
        number = dict((name, value) for name, value in reversed(form["fields"])).get("data[number]")
        if number != self.contract:
            return failure("Contract not found: %r" % number), upload
        if endpoint == "fetch":
            try:
                items = self.load_printers()
            except (OSError, ValueError) as error:
                return failure("Printer list unreadable: %s" % error, 500, "Internal Server Error"), upload
            body = b'{"status":"SUCCESS","data":{"items":' + items.encode("utf-8") + b'},"errors":null}'
            return json_answer(body), upload
        upload["accepted"] = True
        return json_answer(envelope("SUCCESS", {"count": upload["count"]}, None)), upload

    def login(self, request, mode, record, rule):
        if mode == "session":
            # A login repeated after a re-login arrives with the new session; it confirms that session.
            if not record["session_valid"]:
                return failure(SIGN_IN_REQUIRED)
            session_id, token = request.header("ZURMO_SESSION_ID"), request.header("ZURMO_TOKEN")
        elif (request.header("ZURMO_AUTH_USERNAME"), request.header("ZURMO_AUTH_PASSWORD")) == (
            self.user,
            self.password,
        ):
            where = rule["where"] if rule and rule["action"] == "crlf_session" else None
            session_id, token = self.new_session(where)
        else:
            return failure("Invalid username or password.")
        record["session_given"] = session_id
        return json_answer(envelope("SUCCESS", {"sessionId": session_id, "token": token, "userId": 1}, None))

    def misbehave(self, action, rule):
        if action == "error500":
            return failure("Internal server error", 500, "Internal Server Error")
        if action == "redirect":
            return wire.Answer(302, "Found", envelope("FAILURE", None, ["Moved"]), [["Location", rule["location"]]])
        if action == "malformed":
            return json_answer(rule["body"].encode("utf-8"))
        if action == "refuse":
            return failure(rule["message"])
        if action == "expire":
            return failure(SIGN_IN_REQUIRED)
        if action == "huge":
            return wire.Answer(200, "OK")
        if rule["body_latin1"] is not None:
            body = rule["body_latin1"].encode("latin-1")
        else:
            body = rule["body"].encode("utf-8")
        return wire.Answer(int(rule["status"]), rule["reason"], body, rule["headers"], rule["length"])

    # ----- delivery -----------------------------------------------------------------------------------

    def deliver(self, sock, answer, rule):
        """Sends the answer the way the rule says; returns whether a whole answer was sent."""
        action = rule["action"] if rule else "normal"
        whole = True
        try:
            if action == "hang":
                self.stop.wait(rule["seconds"])
                whole = False
            elif action == "delay":
                self.stop.wait(rule["seconds"])
                sock.sendall(answer.encoded())
            elif action == "reset":
                wire.reset(sock)
                return False
            elif action == "close_mid":
                data = answer.encoded()
                sock.sendall(data[: len(answer.head()) + int(rule["bytes"])])
                if rule["reset"]:
                    wire.reset(sock)
                    return False
                whole = False
            elif action == "drip":
                whole = wire.send_drip(sock, answer.encoded(), rule["interval"], self.stop, behaviour.MAX_WAIT)
            elif action == "chunked" and rule["endless"]:
                wire.send_endless_chunked(sock, answer, int(rule["chunk"]), self.stop)
                whole = False
            elif action == "chunked":
                wire.send_chunked(sock, answer, int(rule["chunk"]))
            elif action == "huge":
                whole = wire.send_huge(sock, int(rule["bytes"]), rule["length"], self.stop)
            else:
                sock.sendall(answer.encoded())
            sock.shutdown(socket.SHUT_WR)
        except OSError:
            return False
        return whole

    def _send(self, sock, answer):
        try:
            sock.sendall(answer.encoded())
            sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    # ----- control endpoint ---------------------------------------------------------------------------

    def control(self, request):
        """POST /__control with a JSON object {"op": ...}; GET /__control gives the state."""
        try:
            command = json.loads(request.body.decode("utf-8") or '{"op":"state"}')
            if not isinstance(command, dict):
                raise behaviour.BehaviourError("the command must be a JSON object")
            result = self.run_command(command)
        except (ValueError, TypeError, KeyError) as error:
            return json_answer(json.dumps({"ok": False, "error": str(error)}).encode("ascii"), 400, "Bad Request")
        result["ok"] = True
        return json_answer(json.dumps(result).encode("ascii"))

    def run_command(self, command):
        op = command.get("op", "state")
        if op == "set":
            rule = {key: value for key, value in command.items() if key not in ("op", "endpoint")}
            self.behaviours.set(command.get("endpoint"), rule)
        elif op == "clear":
            self.behaviours.clear(command.get("endpoint"))
        elif op == "expire":
            return {"expired": self.expire_sessions(command.get("session"))}
        elif op == "printers":
            self.set_printers(command)
        elif op == "reset":
            self.behaviours.clear()
            self.expire_sessions()
            with self._lock:
                self._printers_override = None
        elif op != "state":
            raise behaviour.BehaviourError("unknown op %r" % op)
        with self._lock:
            sessions = [[key, value] for key, value in self._sessions.items()]
            seq = self._seq
        return {"sessions": sessions, "behaviours": self.behaviours.snapshot(), "records": seq}

    def set_printers(self, command):
        if "items_raw" in command:
            text = command["items_raw"]
            if not isinstance(text, str):
                raise behaviour.BehaviourError("items_raw must be a string")
        elif "items" in command:
            if not isinstance(command["items"], dict):
                raise behaviour.BehaviourError("items must be a JSON object")
            text = json.dumps(command["items"])
        else:
            text = None
        with self._lock:
            self._printers_override = text
