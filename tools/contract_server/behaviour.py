"""The misbehaviour table: per endpoint, at most one behaviour that changes how the next requests are answered.

A behaviour is a JSON object {"action": NAME, ...parameters, "skip": K, "times": N, "delay": S}: the first K
matching requests pass untouched, the next N (all, when "times" is absent or null) get the action, each
after an extra wait of S seconds. Set through the control endpoint or a behaviour file (see the script)."""

import json
import os
import sys
import threading

ENDPOINTS = ("login", "logout", "fetch", "update", "other", "*")

MAX_WAIT = 3600.0

# action name -> {parameter: default}; numeric defaults are checked as non-negative numbers.
ACTIONS = {
    "normal": {},
    "delay": {"seconds": 1.0},
    "hang": {"seconds": MAX_WAIT},
    "error500": {},
    "redirect": {"location": "http://127.0.0.1:9/elsewhere"},
    "malformed": {"body": '{"status":"SUCCESS","data":{'},
    "refuse": {"message": "Refused by the contract-server simulator"},
    "expire": {},
    "close_mid": {"bytes": 10, "reset": False},
    "drip": {"interval": 1.0},
    "huge": {"bytes": 64 * 1024 * 1024, "length": True},
    "chunked": {"chunk": 7, "endless": False},
    "crlf_session": {"where": "session"},
    "reset": {},
    "answer": {"status": 200, "reason": "OK", "headers": [], "body": "", "body_latin1": None, "length": True},
}

_COMMON = ("action", "skip", "times", "delay")


class BehaviourError(ValueError):
    pass


def validate(rule):
    """Returns a complete behaviour (defaults filled in) or raises BehaviourError."""
    if not isinstance(rule, dict):
        raise BehaviourError("a behaviour must be a JSON object")
    action = rule.get("action")
    if action not in ACTIONS:
        raise BehaviourError("unknown action %r; known: %s" % (action, ", ".join(sorted(ACTIONS))))
    defaults = ACTIONS[action]
    unknown = set(rule) - set(defaults) - set(_COMMON)
    if unknown:
        raise BehaviourError("unknown parameter(s) for %s: %s" % (action, ", ".join(sorted(unknown))))
    result = dict(defaults)
    result.update(rule)
    for key in ("skip", "times", "delay"):
        result.setdefault(key, None if key == "times" else 0)
    for key, value in result.items():
        numeric = isinstance(defaults.get(key), (int, float)) and not isinstance(defaults.get(key), bool)
        if key in ("skip", "delay") or numeric or (key == "times" and value is not None):
            if isinstance(value, bool) or not isinstance(value, (int, float)) or value < 0:
                raise BehaviourError("%s must be a non-negative number" % key)
    for key in ("seconds", "delay", "interval"):
        if key in result:
            result[key] = min(float(result[key]), MAX_WAIT)
    if action == "crlf_session" and result["where"] not in ("session", "token", "both"):
        raise BehaviourError('crlf_session "where" must be session, token or both')
    if action == "chunked" and result["chunk"] < 1:
        raise BehaviourError("chunk must be at least 1")
    if action == "answer" and result["body_latin1"] is not None:
        result["body_latin1"].encode("latin-1")
    return result


class Behaviours:
    """Thread-safe table endpoint -> behaviour with its counters; optionally mirrored from a file."""

    def __init__(self, path=None):
        self._lock = threading.Lock()
        self._table = {}
        self._path = path
        self._stamp = None

    def set(self, endpoint, rule):
        if endpoint not in ENDPOINTS:
            raise BehaviourError("unknown endpoint %r; known: %s" % (endpoint, ", ".join(ENDPOINTS)))
        entry = validate(rule)
        entry["seen"] = 0
        entry["used"] = 0
        with self._lock:
            self._table[endpoint] = entry

    def clear(self, endpoint=None):
        with self._lock:
            if endpoint is None:
                self._table.clear()
            else:
                self._table.pop(endpoint, None)

    def snapshot(self):
        with self._lock:
            return json.loads(json.dumps(self._table))

    def take(self, endpoint):
        """The behaviour that applies to this request of endpoint (counting it), or None."""
        self._reload()
        with self._lock:
            for key in (endpoint, "*"):
                entry = self._table.get(key)
                if entry is None:
                    continue
                entry["seen"] += 1
                if entry["seen"] <= entry["skip"]:
                    return None
                if entry["times"] is not None and entry["used"] >= entry["times"]:
                    return None
                entry["used"] += 1
                return dict(entry)
        return None

    def load_file(self):
        """Replaces the table with the file's content; raises on an unreadable or invalid file."""
        with open(self._path, "rb") as handle:
            document = json.loads(handle.read().decode("utf-8") or "{}")
        if not isinstance(document, dict):
            raise BehaviourError("the behaviour file must hold a JSON object")
        table = {}
        for endpoint, rule in document.items():
            if endpoint not in ENDPOINTS:
                raise BehaviourError("unknown endpoint %r in the behaviour file" % endpoint)
            table[endpoint] = validate(rule)
            table[endpoint].update(seen=0, used=0)
        with self._lock:
            self._table = table

    def _reload(self):
        """Re-reads the behaviour file when its size or modification time changed since the last read."""
        if self._path is None:
            return
        try:
            info = os.stat(self._path)
            stamp = (info.st_mtime_ns, info.st_size)
        except OSError:
            stamp = None
        if stamp == self._stamp:
            return
        self._stamp = stamp
        if stamp is None:
            self.clear()
            return
        try:
            self.load_file()
        except (OSError, ValueError) as error:
            # Half-written file: keep the old table and read it again on the next request.
            sys.stderr.write("contract-server: behaviour file ignored: %s\n" % error)
            self._stamp = ("unreadable",)
