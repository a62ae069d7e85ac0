#!/usr/bin/env python3
"""One audit run shown end to end (called by scripts/demo after the build).

    scripts/demo-audit.py BINARY [--https]

Starts the contract-server simulator and 12 net-snmp printers on 127.0.0.2 .. 127.0.0.13, serves a list of
15 printers (the 12, one entry at an address where nothing listens, one asking an agent for an identifier it
does not have, one whose host name does not resolve), writes config.ini beside BINARY, runs the service in
the foreground until its first audit has logged out, stops it with SIGTERM, and prints the run's log lines
and, per printer, what the server received beside what the agent holds. Everything it starts is stopped by
pid on the way out, also on Ctrl-C. Exit status 0 when every reading matches.

With --https the simulator serves HTTPS with a certificate for 127.0.0.1 issued by a CA made for the demo
(openssl), the service is given https://127.0.0.1:PORT as "endereco" and that CA as "certificado", and a
first service start without "certificado" shows the refusal it logs.
"""

import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))

import harness  # noqa: E402
from harness import COUNTERS, SUFFIXES, PrinterList, Scene  # noqa: E402

FLEET_SIZE = 12
RUN_SECONDS = 120


def daily_time_far_from_now():
    """A valid "horario" twelve hours away: the demo shows the run at start, and no daily run begins during
    it (an invalid one would put a warning in the log that has nothing to do with the demo)."""
    return time.strftime("%H:%M", time.localtime(time.time() + 12 * 3600))


def on_signal(number, frame):
    raise SystemExit(128 + number)


def build_list(fleet):
    printers = PrinterList()
    agents = fleet.printers
    for position, agent in enumerate(agents):
        printers.add_agent(fleet, agent, serial="DEMO-%02d" % (position + 1))
        if position == 3:
            printers.add_silent(serial="DEMO-NOBODY")
        if position == 7:
            printers.add_agent_missing_oid(fleet, agents[2], serial="DEMO-MISSING-OID")
        if position == 9:
            printers.add_unresolvable(serial="DEMO-NO-NAME")
    return printers


def agent_value(address, oid, known_addresses):
    """What the agent at address answers for oid, asked with net-snmp's own snmpget (None: no agent)."""
    if address not in known_addresses:
        return None
    result = subprocess.run(["snmpget", "-v1", "-c", harness.COMMUNITY, "-t", "2", "-r", "0", "-On", "-Oqv",
                             address, oid], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=10)
    if result.returncode != 0:
        return ""  # the agent holds no such identifier (noSuchName)
    value = result.stdout.strip()
    return value[1:-1] if len(value) >= 2 and value[0] == value[-1] == '"' else value


def print_table(printers, upload, known_addresses):
    received = {p["position"]: p for p in upload["printers"]} if upload else {}
    header = ["pos", "cid", "ip"] + SUFFIXES + ["check"]
    rows = []
    mismatches = 0
    without_readings = 0
    for position, (_, printer) in enumerate(printers.entries):
        got = received.get(position)
        row = [str(position), printer["id"], printer["ip"]]
        bad = []
        for counter, suffix in zip(COUNTERS, SUFFIXES):
            held = agent_value(printer["ip"], printer[counter], known_addresses)
            sent = got[suffix] if got else None
            held_text = "-" if held is None else (held or "(none)")
            sent_text = "(missing)" if sent is None else (sent or "''")
            if sent is None or sent != (held or ""):
                bad.append(suffix)
                row.append("%s != %s" % (sent_text, held_text))
            else:
                row.append(sent_text + (" (none)" if held == "" else ""))
        if got is None or got["cid"] != printer["id"]:
            bad.append("cid")
        # Nothing read at all is no match, even where no agent holds a value to compare with.
        no_reading = not bad and got is not None and all(got[suffix] == "" for suffix in SUFFIXES)
        mismatches += bool(bad)
        without_readings += no_reading
        note = "MISMATCH " + ",".join(bad) if bad else ("no reading" if no_reading else "match")
        if printer["ip"] not in known_addresses:
            note += " (no agent)"
        rows.append(row + [note])
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]
    for row in [header, ["-" * w for w in widths]] + rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
    print("\nEach cell is what the server received; '' is an empty reading, and where it differs from what the "
          "agent holds the cell shows 'received != agent'. (none): the agent holds no such identifier; "
          "-: no agent at that address.")
    return mismatches, without_readings


class HttpsContractServer(harness.ContractServer):
    """The simulator serving HTTPS: tools/contract-server with --tls-cert and --tls-key."""

    def __init__(self, directory, printers_path, certificate, key):
        self.directory = directory
        os.makedirs(directory, exist_ok=True)
        self.record_path = os.path.join(directory, "requests.jsonl")
        port_file = os.path.join(directory, "port.txt")
        argv = [sys.executable, harness.SERVER_TOOL, "--port", "0", "--printers", printers_path, "--contract",
                harness.CONTRACT, "--user", harness.USER, "--pass", harness.PASSWORD, "--record", self.record_path,
                "--port-file", port_file, "--quiet", "--tls-cert", certificate, "--tls-key", key]
        self.stderr_path = os.path.join(directory, "server.stderr")
        with open(self.stderr_path, "wb") as stderr:
            self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                            stderr=stderr)

        def port_known():
            if self.process.poll() is not None:
                raise harness.HarnessError("contract-server ended at start: " + self.stderr())
            if os.path.exists(port_file):
                with open(port_file) as handle:
                    return int(handle.read().strip())
            return None

        self.port = harness.wait_until(port_known, 20, what="the contract-server port file")
        self.address = "https://127.0.0.1:%d" % self.port


def make_certificates(directory):
    """A CA for the demo and a server certificate for 127.0.0.1 signed by it; returns (ca, cert, key)."""
    os.makedirs(directory, exist_ok=True)
    path = lambda name: os.path.join(directory, name)  # noqa: E731

    def openssl(*arguments):
        subprocess.run(["openssl"] + list(arguments), check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    with open(path("server.ext"), "w") as handle:
        handle.write("basicConstraints=critical,CA:FALSE\nextendedKeyUsage=serverAuth\n"
                     "subjectAltName=IP:127.0.0.1\n")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", path("ca.key"), "-out", path("ca.pem"),
            "-days", "1", "-subj", "/CN=TELVA Demo CA", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", path("server.key"), "-out",
            path("server.csr"), "-subj", "/CN=127.0.0.1")
    openssl("x509", "-req", "-in", path("server.csr"), "-CA", path("ca.pem"), "-CAkey", path("ca.key"),
            "-CAcreateserial", "-days", "1", "-extfile", path("server.ext"), "-out", path("server.pem"))
    return path("ca.pem"), path("server.pem"), path("server.key")


def show_refusal_without_ca(scene, binary):
    """One service start against the HTTPS simulator without "certificado": the login is refused on the
    certificate, and nothing reaches the server."""
    print("First a start without \"certificado\": the demo CA is unknown to the system's trust store ...")
    service = scene.start_service(binary, in_place=True, config={"schedule": daily_time_far_from_now()})
    service.wait_for_log("Erro no login", timeout=RUN_SECONDS)
    service.stop()
    lines = [line for line in scene.log.text().replace("\r\n", "\n").splitlines() if "TLS:" in line]
    for line in lines:
        print("  log: " + line)
    print("  requests the server received: %d\n" % len(scene.server.requests()))

SERVICE_LOG_DIR = "/var/log/telva4-audit/"


def main():
    arguments = sys.argv[1:]
    https = "--https" in arguments
    if https:
        arguments.remove("--https")
    if len(arguments) != 1:
        sys.exit(__doc__)
    binary = os.path.abspath(arguments[0])
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, on_signal)
    with Scene(prefix="telva_demo_") as scene:
        # The program's daily log directory; the unit's LogsDirectory= creates it for the installed service,
        # here the demo does (the program runs as root, so its files are root's).
        os.makedirs(SERVICE_LOG_DIR, mode=0o750, exist_ok=True)
        scene.log = harness.DailyLog(SERVICE_LOG_DIR)
        print("Starting %d printers (net-snmp agents) on 127.0.0.2 .. 127.0.0.%d ..." % (FLEET_SIZE, FLEET_SIZE + 1))
        fleet = scene.start_fleet(FLEET_SIZE)
        printers = build_list(fleet)
        config = {"schedule": daily_time_far_from_now()}
        if https:
            ca, certificate, key = make_certificates(scene.path("tls"))
            scene.server = HttpsContractServer(scene.path("server"), printers.write(scene.path("printers.json")),
                                               certificate, key)
            scene.on_close(scene.server.stop)
            server = scene.server
            print("Contract-server simulator on %s (HTTPS, certificate for 127.0.0.1 from the demo CA %s); "
                  "%d printers in the contract." % (server.address, ca, len(printers.entries)))
            show_refusal_without_ca(scene, binary)
            config["extra"] = {"certificado": ca}
            print("Now with certificado=%s ..." % ca)
        else:
            server = scene.start_server(printers)
            print("Contract-server simulator on %s; %d printers in the contract." %
                  (server.address, len(printers.entries)))
        service = scene.start_service(binary, in_place=True, config=config)
        print("Service running in the foreground (pid %d), config: %s" % (service.process.pid, service.config_path))
        service.wait_for_log("Logout TELVA ok", timeout=RUN_SECONDS)
        print("First audit done; sending the stop request (SIGTERM), the service ends after its pause ...")
        service.stop()

        print("\n=== Daily log lines of the run (%s) ===" % SERVICE_LOG_DIR)
        sys.stdout.write(scene.log.text().replace("\r\n", "\n"))
        print("\n=== Requests the server received ===")
        print(" ".join(server.endpoints()))
        uploads = [u for u in server.uploads() if u["accepted"]]
        upload = uploads[-1] if uploads else None
        if upload:
            print("upload: data[count]=%s data[number]=%s, field layout %s" %
                  (upload["count"], upload["number"], "ok" if upload["layout_ok"] else upload["layout_problem"]))
        else:
            print("no upload was accepted")
        print("\n=== Readings per printer: received by the server vs held by the agent ===")
        known = {p["address"] for p in fleet.printers if p["running"]}
        mismatches, without_readings = print_table(printers, upload, known)
        matching = len(printers.entries) - mismatches - without_readings
        print("\n%d of %d printers match the agents, %d without readings." %
              (matching, len(printers.entries), without_readings))
        print("Stopping the printers and the simulator ...")
    return 0 if upload and upload["layout_ok"] and mismatches == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
