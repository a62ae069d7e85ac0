"""Per-query cost in a real audit: full audits over a fleet of snmpd printers, against the floor (a bare UDP
request/response loop over the same GetRequests) and against one `snmpget` process per counter."""

import os
import subprocess
import time

from .common import audit_phases, audit_repeat, harness, median, ms, ratio, run_benchmarks

SECTION = "SNMP"


def snmpget_loop(printers, rounds):
    """Median wall time of one `snmpget -v1` process per counter over every printer, and the values the
    first round read ({(address, oid): text})."""
    env = dict(os.environ, MIBS="")
    samples, values = [], {}
    for round_index in range(rounds):
        started = time.perf_counter()
        for address, oids in printers:
            for oid in oids:
                result = subprocess.run(["snmpget", "-v1", "-c", harness.COMMUNITY, "-r0", "-t10", "-Oqv", address,
                                         oid], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                        timeout=30)
                if round_index == 0:
                    values[(address, oid)] = result.stdout.strip() if result.returncode == 0 else None
        samples.append(1000.0 * (time.perf_counter() - started))
    return median(samples), values


def measure(table, scene, build_dir, fleet, runs, snmpget_rounds):
    print("SNMP: %d printers, %d audits, floor and snmpget over the same queries" % (len(fleet.printers), runs))
    printers = harness.PrinterList()
    for printer in fleet.printers:
        printers.add_agent(fleet, printer)
    server = harness.ContractServer(scene.path("snmp-server"), printers.write(scene.path("snmp-printers.json")))
    scene.on_close(server.stop)
    config = harness.write_config(scene.path("snmp-config.ini"), server.address)
    binary = os.path.join(build_dir, "tests", "soak", "audit_repeat")
    bench = os.path.join(build_dir, "bench", "snmp_bench")
    # Audits and the loops alternate, so that load from elsewhere on the machine falls on both alike.
    figures, floors, clients = [], [], []
    for _ in range(runs):
        figures += audit_repeat(binary, config, 1, scene.path("snmp-log"), timeout=90)
        loops = run_benchmarks(bench, "^BM_Fleet(RawUdpFloor|SnmpClient)", env={"TELVA_BENCH_FLEET": fleet.directory},
                               repetitions=1)
        for name, entry in loops.items():
            table.check(SECTION, not entry.get("error_message") and entry.get("failures", 0) == 0,
                        "%s: %s failed queries %s" % (name, entry.get("failures"), entry.get("error_message", "")))
        floors.append(loops["BM_FleetRawUdpFloor"]["real_ms"])
        if "BM_FleetSnmpClient" in loops:
            clients.append(loops["BM_FleetSnmpClient"]["real_ms"])
    phases = audit_phases(server.requests())
    uploads = server.uploads()
    server.stop()

    expected = printers.expected_upload()
    complete = [u for u in uploads if u["accepted"] and u["layout_ok"] and u["printers"] == expected]
    table.check(SECTION, len(complete) == runs == len(uploads),
                "%d of %d audit uploads carried every agent's readings" % (len(complete), runs))
    table.check(SECTION, len(phases) == runs, "%d of %d audits timed by the simulator" % (len(phases), runs))

    queries = [(p["address"], [fleet.counter_oids[c] for c in harness.COUNTERS]) for p in fleet.printers]
    count = sum(len(oids) for _, oids in queries)
    snmpget_ms, values = snmpget_loop(queries, snmpget_rounds)
    agents = {(p["address"], fleet.counter_oids[c]): fleet.value(p, c) for p in fleet.printers
              for c in harness.COUNTERS}
    wrong = [key for key, text in values.items() if text != agents[key]]
    table.check(SECTION, not wrong, "snmpget read %d of %d counters wrong or not at all" % (len(wrong), count))

    phase_ms = median(phases)
    floor_ms = median(floors)
    table.add(SECTION, "printers / GetRequests per audit", "%d / %d" % (len(fleet.printers), count))
    table.add(SECTION, "audit SNMP phase (median of %d)" % runs, ms(phase_ms))
    table.add(SECTION, "audit whole run, RunAudit (median)", ms(median([f["ms"] for f in figures])))
    table.add(SECTION, "floor: raw UDP loop, same GetRequests", ms(floor_ms))
    if clients:
        table.add(SECTION, "SnmpClient loop alone (snmp_bench)", ms(median(clients)))
    table.add(SECTION, "snmpget, one process per counter", ms(snmpget_ms))
    table.add(SECTION, "audit SNMP phase / floor", ratio(phase_ms / floor_ms), "<= 1.20", phase_ms / floor_ms <= 1.2)
    table.add(SECTION, "snmpget / audit SNMP phase", ratio(snmpget_ms / phase_ms), ">= 100",
              snmpget_ms / phase_ms >= 100)
    table.add(SECTION, "uploads with every agent's readings", "%d of %d" % (len(complete), runs))
