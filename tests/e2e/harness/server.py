"""The contract-server simulator (tools/contract-server) on 127.0.0.1 with a free port, and its records."""

import http.client
import json
import os
import subprocess
import sys

from .base import TOOLS, HarnessError, end_process, wait_until
from .printers import CONTRACT

sys.path.insert(0, TOOLS)

from contract_server.records import read_records  # noqa: E402

SERVER_TOOL = os.path.join(TOOLS, "contract-server")
USER = "vrel"
PASSWORD = "24680"


class ContractServer:
    """tools/contract-server on 127.0.0.1 with a free port, recording into DIRECTORY/requests.jsonl.

    mark() starts a new stretch: records() and the helpers built on it then return only what arrived
    after it (one service start among several against the same simulator)."""

    def __init__(self, directory, printers_path, contract=CONTRACT, user=USER, password=PASSWORD,
                 behaviour_path=None, record_bodies=True):
        self.directory = directory
        os.makedirs(directory, exist_ok=True)
        self.record_path = os.path.join(directory, "requests.jsonl")
        self.record_offset = 0
        port_file = os.path.join(directory, "port.txt")
        for path in (self.record_path, port_file):  # left by an earlier run in the same directory
            if os.path.exists(path):
                os.remove(path)
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
                                            stderr=stderr, env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))

        def port_known():
            if self.process.poll() is not None:
                raise HarnessError("contract-server ended at start: " + self.stderr())
            if os.path.exists(port_file):
                with open(port_file) as handle:
                    return int(handle.read().strip())
            return None

        try:
            self.port = wait_until(port_known, 20, what="the contract-server port file")
        except BaseException:
            self.stop()
            raise
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

    def serve(self, printers):
        """Serves a PrinterList, a dict (as "items") or a text (verbatim as "items") from now on."""
        if isinstance(printers, str):
            return self.control({"op": "printers", "items_raw": printers})
        items = printers if isinstance(printers, dict) else printers.items()
        return self.control({"op": "printers", "items": items})

    def mark(self):
        self.record_offset = os.path.getsize(self.record_path) if os.path.exists(self.record_path) else 0

    def records(self, kind=None):
        """The records since the mark, request records with their "answered" time folded in."""
        if not os.path.exists(self.record_path):
            return []
        records = read_records(self.record_path, self.record_offset)
        return [r for r in records if kind is None or r["kind"] == kind]

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


def header_value(request, name):
    """The value of a header a request record carries once (a list of the values otherwise)."""
    values = [v for n, v in request["headers"] if n.lower() == name.lower()]
    return values[0] if len(values) == 1 else values
