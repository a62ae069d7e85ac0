"""What the sections of bench/perf-table share: the result table, Google Benchmark runs, audit_repeat runs,
the realistic printer list, and /proc readings."""

import glob
import json
import os
import statistics
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

import harness  # noqa: E402,F401  (re-exported for the sections)

MIB = 1024.0


class Table:
    """Rows of (section, measure, value, target, status). A target is (text, passed); a failed
    correctness check is a row with status FAIL and makes the run fail."""

    def __init__(self):
        self.rows = []
        self.failures = []
        self.notes = []

    def add(self, section, measure, value, target=None, passed=None):
        status = "" if passed is None else ("ok" if passed else "MISSED")
        self.rows.append((section, measure, value, target or "", status))
        print("  %-44s %s%s" % (measure, value, ("   [%s: %s]" % (target, status)) if target else ""), flush=True)

    def fail(self, section, what):
        self.failures.append("%s: %s" % (section, what))
        self.rows.append((section, what, "", "", "FAIL"))
        print("  FAIL: %s" % what, flush=True)

    def check(self, section, condition, what):
        """A correctness check: records a FAIL row when the condition does not hold."""
        if not condition:
            self.fail(section, what)
        return condition

    def note(self, text):
        self.notes.append(text)
        print("  note: " + text, flush=True)

    def missed(self):
        return [row for row in self.rows if row[4] == "MISSED"]

    def text(self):
        widths = [max(len(str(row[i])) for row in self.rows + [self.header()]) for i in range(5)]
        lines = []
        for index, row in enumerate([self.header()] + self.rows):
            lines.append("  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)).rstrip())
            if index == 0:
                lines.append("  ".join("-" * width for width in widths))
        return "\n".join(lines)

    def markdown(self):
        lines = ["| " + " | ".join(self.header()) + " |", "|" + "---|" * 5]
        for row in self.rows:
            lines.append("| " + " | ".join(str(cell).replace("|", "\\|") for cell in row) + " |")
        return "\n".join(lines)

    @staticmethod
    def header():
        return ("Section", "Measure", "Value", "Target", "Status")


def ms(value):
    return "%.2f ms" % value if value < 100 else "%.0f ms" % value


def ratio(value):
    return "%.2fx" % value if value < 100 else "%.0fx" % value


# --- Google Benchmark ---------------------------------------------------------------------------------------

_UNIT_MS = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1000.0}


def plain_name(run_name):
    """A run name without its option parts ("BM_X/2000/min_time:0.500/real_time" -> "BM_X/2000")."""
    return "/".join(p for p in run_name.split("/") if ":" not in p and p not in ("real_time", "process_time"))


def run_benchmarks(program, name_regex, env=None, repetitions=5, timeout=600):
    """Runs the benchmarks of one executable whose names match the regex (give it without "$": names may
    carry option parts); returns {plain name: entry}, entry being Google Benchmark's JSON entry (the median
    of the repetitions) with "real_ms" added; {} when none matched. A benchmark that reported an error is
    returned with "error_message" set."""
    argv = [program, "--benchmark_filter=" + name_regex, "--benchmark_format=json"]
    if repetitions > 1:
        argv += ["--benchmark_repetitions=%d" % repetitions, "--benchmark_report_aggregates_only=true"]
    result = subprocess.run(argv, env=dict(os.environ, **(env or {})), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, timeout=timeout)
    if result.returncode != 0:
        raise RuntimeError("%s ended with status %d: %s" % (os.path.basename(program), result.returncode,
                                                            result.stderr.strip()[-2000:]))
    if not result.stdout.strip():
        return {}  # no benchmark matched
    entries = {}
    for entry in json.loads(result.stdout)["benchmarks"]:
        name = plain_name(entry.get("run_name", entry["name"]))
        if entry.get("run_type") == "aggregate" and entry.get("aggregate_name") != "median":
            continue
        if "real_time" in entry:
            entry["real_ms"] = entry["real_time"] * _UNIT_MS[entry.get("time_unit", "ns")]
            entry["cpu_ms"] = entry["cpu_time"] * _UNIT_MS[entry.get("time_unit", "ns")]
        entries[name] = entry
    return entries


# --- audit_repeat ---------------------------------------------------------------------------------------------

def parse_runs(text):
    """audit_repeat's lines "run I fds N rss_kb K ms T hwm_kb H", as dicts with int/float values."""
    runs = []
    for line in text.splitlines():
        parts = line.split()
        if len(parts) >= 6 and len(parts) % 2 == 0 and parts[0] == "run":
            run = {"run": int(parts[1])}
            for name, value in zip(parts[2::2], parts[3::2]):
                run[name] = float(value) if "." in value else int(value)
            runs.append(run)
    return runs


def audit_repeat(binary, config, runs, log_dir, timeout):
    """Runs audit_repeat; returns its per-run figures (RuntimeError when it fails or reports too few)."""
    os.makedirs(log_dir, exist_ok=True)
    result = subprocess.run([binary, "--config", config, "--runs", str(runs), "--log-dir", log_dir + os.sep],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=timeout)
    figures = parse_runs(result.stdout)
    if result.returncode != 0 or len(figures) != runs:
        raise RuntimeError("audit_repeat: status %d, %d of %d runs reported: %s" %
                           (result.returncode, len(figures), runs, result.stderr.strip()[-2000:]))
    return figures


def audit_phases(requests):
    """Per audit run (a fetch followed by an upload) the SNMP phase in ms: the upload's arrival minus the
    moment the fetch's answer had been sent."""
    phases, last_fetch = [], None
    for record in requests:
        if record["endpoint"] == "fetch":
            last_fetch = record
        elif record["endpoint"] == "update" and last_fetch is not None:
            if last_fetch.get("answered") is not None and record.get("arrived") is not None:
                phases.append(1000.0 * (record["arrived"] - last_fetch["answered"]))
            last_fetch = None
    return phases


def median(values):
    return statistics.median(values) if values else float("nan")


# --- printer lists ----------------------------------------------------------------------------------------------

_OIDS = ["1.3.6.1.2.1.43.10.2.1.4.1.1", "1.3.6.1.4.1.32473.42.3.1.1.1.1.1", "1.3.6.1.4.1.32473.42.3.1.1.1.1.2",
         "1.3.6.1.4.1.32473.42.3.1.2.1.1.1", "1.3.6.1.4.1.32473.42.3.1.2.1.1.2", "1.3.6.1.4.1.32473.46.10.1.1.5.3"]
_MODELS = ["Office Color MFP 4500 PS", "Workgroup Mono Laser 3320dn", "Production Color Press C710",
           "Compact Mono MFP 2210w"]
FIRST_REFUSING = (127 << 24) | (1 << 8) | 2  # 127.0.1.2: above every fleet agent and harness address


def refusing_address(index):
    """Loopback addresses from 127.0.1.2 upward: no agent listens there, the kernel refuses at once."""
    value = FIRST_REFUSING + index
    if value >> 24 != 127:
        raise ValueError("printer %d would be outside 127.0.0.0/8" % index)
    return "%d.%d.%d.%d" % (value >> 24, (value >> 16) & 0xFF, (value >> 8) & 0xFF, value & 0xFF)


def realistic_items(count):
    """The "items" JSON text of `count` printers of about 600 bytes each (identifier, address, serial, model,
    location, community, active flag, last reading, notes with escapes, six counter identifiers), each on a
    refusing loopback address; and the upload each must produce (empty readings, "cid" the identifier)."""
    pieces, expected = [], []
    for i in range(count):
        ident = str(10000 + i)
        printer = (
            '"%s":{"id":"%s","ip":"%s","serial":"SN-%d-XK","model":"%s","location":"Building %d, floor %d, '
            'room 2%d \\u2013 east wing, by the reception","community":"public","active":%s,"lastreading":%d,'
            '"notes":"Toner \\u00e9 replaced\\n(2024-02-0%d), drum at 40%%; contact \\"facilities\\" before moving"'
            % (ident, ident, refusing_address(i), 7300000 + i * 7, _MODELS[i % 4], i % 7 + 1, i % 5, i % 40,
               "false" if i % 13 == 0 else "true", 123456 + i * 13, i % 9 + 1))
        for name, oid in zip(harness.COUNTERS, _OIDS):
            printer += ',"%s":"%s"' % (name, oid)
        pieces.append(printer + "}")
        expected.append({"position": i, "lco": "", "lcc": "", "lcm": "", "lccb": "", "lcmb": "", "sco": "",
                         "cid": ident})
    return "{" + ",".join(pieces) + "}", expected


def udp_161_wildcard_listener():
    """True when something listens on UDP port 161 of every address: the refusing addresses would answer."""
    for path in ("/proc/net/udp", "/proc/net/udp6"):
        try:
            with open(path) as handle:
                next(handle)
                for line in handle:
                    local = line.split()[1]
                    address, port = local.split(":")
                    if int(port, 16) == 161 and int(address, 16) == 0:
                        return True
        except OSError:
            continue
    return False


# --- /proc -------------------------------------------------------------------------------------------------------

def process_sample(pid):
    """CPU ticks (utime + stime), context switches over all threads, VmRSS KiB of a process."""
    with open("/proc/%d/stat" % pid) as handle:
        fields = handle.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])  # utime, stime (fields 14 and 15 of stat)
    switches = 0
    for status in glob.glob("/proc/%d/task/*/status" % pid):
        try:
            with open(status) as handle:
                for line in handle:
                    if line.startswith(("voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:")):
                        switches += int(line.split()[1])
        except OSError:
            continue  # a thread that ended meanwhile
    rss = 0
    with open("/proc/%d/status" % pid) as handle:
        for line in handle:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    return {"ticks": ticks, "switches": switches, "rss_kb": rss, "threads": len(os.listdir("/proc/%d/task" % pid))}
