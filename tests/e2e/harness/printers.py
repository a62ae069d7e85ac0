"""Printers: the fleet of net-snmp agents (tools/printer-fleet), the printer list the simulator serves with
what each entry should read, and python responders on 127.0.0.x:161 for answers snmpd cannot send."""

import json
import os
import socket
import subprocess
import sys
import threading
import time
import types

from .base import TOOLS, HarnessError

FLEET_TOOL = os.path.join(TOOLS, "printer-fleet")

CONTRACT = "77"
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


def _load_fleet_tool():
    """The fleet tool as a module, so its counter identifiers are taken from it rather than repeated."""
    module = types.ModuleType("printer_fleet_tool")
    module.__file__ = FLEET_TOOL
    with open(FLEET_TOOL) as handle:
        exec(compile(handle.read(), FLEET_TOOL, "exec"), module.__dict__)
    return module


FLEET_COUNTER_OIDS = dict(_load_fleet_tool().COUNTER_OIDS)


def default_oids():
    """The fleet's six counter identifiers in record order."""
    return [FLEET_COUNTER_OIDS[c] for c in COUNTERS]


def stop_fleet_dir(directory):
    """tools/printer-fleet stop: ends the agents and the watchdog of DIRECTORY by their checked pids."""
    subprocess.run([sys.executable, FLEET_TOOL, "stop", "--dir", directory], stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


class Fleet:
    """A fleet of net-snmp agents started by tools/printer-fleet in a directory of its own; `printers` holds
    fleet.json's entries. A watchdog of the tool stops the agents after `lifetime` seconds at the latest."""

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
        result = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True, timeout=30 + 16 * count)
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

    def readings(self, printer, oids=None):
        """The six texts a service reads from this agent for oids (default: the six counters)."""
        oids = oids or [self.counter_oids[c] for c in COUNTERS]
        values = {oid: entry["value"] for oid, entry in printer["values"].items()} if printer["running"] else {}
        return [values.get(oid, "") for oid in oids]

    def stop(self):
        if self.started:
            self.started = False
            stop_fleet_dir(self.directory)


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
        return self.add(printer["address"], oids, fleet.readings(printer, oids), **kwargs)

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

    def expected_fields(self, contract=CONTRACT):
        """The upload's form fields [name, value] in the order the service must send them."""
        fields = []
        for position, readings in enumerate(self.expected):
            fields += [["data[items][%d][%s]" % (position, s), readings[s]] for s in SUFFIXES + ["cid"]]
        return fields + [["data[count]", str(len(self.expected))], ["data[number]", contract]]

    def read_lines(self):
        """The log lines of a run in which every printer of the list answers."""
        lines = []
        for _, printer in self.entries:
            lines += ["SNMP trying IP " + printer["ip"], "SNMP OK IP " + printer["ip"]]
        return lines

    def write(self, path):
        with open(path, "w") as handle:
            json.dump(self.items(), handle, indent=1)
        return path


def upload_field_names(count):
    """The field names of an upload of COUNT printers, in order."""
    names = []
    for position in range(count):
        names += ["data[items][%d][%s]" % (position, suffix) for suffix in SUFFIXES + ["cid"]]
    return names + ["data[count]", "data[number]"]


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


def get_response(oid, value_tlv, community=COMMUNITY, request_id=0, error_status=0):
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
