"""Field: a contract of 1,000 printers as a site has them at night (tools/site-fleet): 800 answering, 100
refusing and 100 silent, spread through the list, read with the service's own 10 s query wait. Whole-run wall
time at paralelo 1 (on a 100-printer slice of the same mix, scaled to the whole list) and at 16, 64 and 256,
each beside the limit ceil(100 / N) x 60 s that the silent printers set; peak RSS; every upload complete, and
the uploads of all the runs over the whole list identical but for their boundary."""

import json
import math
import os
import re
import select
import subprocess
import time

from .common import MIB, ROOT, audit_repeat, harness, ratio

SECTION = "Field"
ANSWERING, REFUSING, SILENT = 800, 100, 100
TOTAL = ANSWERING + REFUSING + SILENT
PARALLEL = (16, 64, 256)
SILENT_COST_S = 60.0  # six queries of 10 s
FIRST_ADDRESS = "127.1.0.2"  # apart from the fleets (127.0.0.x) and the scale section's 127.0.1.2..
TARGET_AT = 64
TARGET_OF_LIMIT = 1.2
TARGET_SPEEDUP = 40.0
RSS_TARGET_AT = 256
RSS_TARGET_MIB = 32
SITE_TOOL = os.path.join(ROOT, "tools", "site-fleet")
BOUNDARY = re.compile(r"--------\d{15}")


def start_site(scene):
    directory = scene.path("site")
    process = subprocess.Popen([SITE_TOOL, "--dir", directory, "--answering", str(ANSWERING), "--silent",
                                str(SILENT), "--refusing", str(REFUSING), "--first-address", FIRST_ADDRESS,
                                "--lifetime", "7200"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    scene.on_close(lambda: harness.end_process(process, grace=5))
    ready, _, _ = select.select([process.stdout], [], [], 60)
    if not ready or process.stdout.readline().strip() != "ready":
        harness.end_process(process, grace=5)
        raise RuntimeError("site-fleet did not start: %s" % process.stderr.read().strip()[-500:])
    with open(os.path.join(directory, "fleet.json"), encoding="utf-8") as handle:
        return process, json.load(handle)


def items_text(printers, oids):
    members = []
    for i, printer in enumerate(printers):
        entry = '"p%d":{"id":"%s","ip":"%s","serial":"SITE-%d"' % (i, printer["id"], printer["address"], i)
        for name in harness.COUNTERS:
            entry += ',"%s":"%s"' % (name, oids[name])
        members.append(entry + "}")
    return "{" + ",".join(members) + "}"


def expected_upload(printers):
    expected = []
    for i, printer in enumerate(printers):
        entry = {"position": i, "cid": printer["id"]}
        entry.update(zip(harness.SUFFIXES, printer["readings"]))
        expected.append(entry)
    return expected


def one_run(scene, build_dir, name, printers, oids, parallel):
    """One whole audit over `printers`: (figures, upload body with its boundary masked) or raises."""
    text = items_text(printers, oids)
    path = scene.path(name + ".json")
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(text)
    server = harness.ContractServer(scene.path(name), path)
    scene.on_close(server.stop)
    extra = {"paralelo": str(parallel)} if parallel > 1 else None
    config = harness.write_config(scene.path(name + ".ini"), server.address, extra=extra)
    silent = sum(1 for p in printers if p["kind"] == "silent")
    budget = math.ceil(silent / parallel) * SILENT_COST_S * 2 + 300
    binary = os.path.join(build_dir, "tests", "soak", "audit_repeat")
    started = time.monotonic()
    run = audit_repeat(binary, config, 1, scene.path(name + "-log"), timeout=budget)[0]
    print("  %s: %.1f s" % (name, time.monotonic() - started), flush=True)
    uploads = server.uploads()
    body = next((r.get("body", "") for r in server.requests() if r["endpoint"] == "update"), "")
    server.stop()
    complete = (len(uploads) == 1 and uploads[0]["accepted"] and uploads[0]["layout_ok"] and
                uploads[0]["printers"] == expected_upload(printers))
    return run, complete, BOUNDARY.sub("--------BOUNDARY", body)


def measure(table, scene, build_dir, slice_size=100):
    print("Field: starting %d answering, %d refusing and %d silent printers from %s" %
          (ANSWERING, REFUSING, SILENT, FIRST_ADDRESS), flush=True)
    _, site = start_site(scene)
    oids = site["counter_oids"]
    printers = site["printers"]
    part = printers[:slice_size]
    part_silent = sum(1 for p in part if p["kind"] == "silent")
    print("Field: paralelo 1 over the first %d printers (%d silent): about %d s" %
          (slice_size, part_silent, part_silent * SILENT_COST_S), flush=True)
    run, complete, _ = one_run(scene, build_dir, "field-1", part, oids, 1)
    table.check(SECTION, complete, "paralelo 1: the upload of the slice is not every printer's reading")
    scale = TOTAL / float(slice_size)
    sequential_ms = run["ms"] * scale
    table.add(SECTION, "paralelo 1: whole run, %d-printer slice" % slice_size, "%.0f s" % (run["ms"] / 1000.0))
    table.add(SECTION, "paralelo 1: scaled to %d printers (limit %.0f s)" % (TOTAL, SILENT * SILENT_COST_S),
              "%.0f s" % (sequential_ms / 1000.0))
    table.add(SECTION, "paralelo 1: peak RSS (VmHWM)", "%.1f MiB" % (run["hwm_kb"] / MIB))

    bodies = {}
    for parallel in PARALLEL:
        limit_s = math.ceil(SILENT / float(parallel)) * SILENT_COST_S
        print("Field: paralelo %d over %d printers: limit %.0f s" % (parallel, TOTAL, limit_s), flush=True)
        run, complete, body = one_run(scene, build_dir, "field-%d" % parallel, printers, oids, parallel)
        table.check(SECTION, complete, "paralelo %d: the upload is not every printer's reading" % parallel)
        bodies[parallel] = body
        seconds = run["ms"] / 1000.0
        of_limit = seconds / limit_s
        if parallel == TARGET_AT:
            table.add(SECTION, "paralelo %d: whole run (limit %.0f s)" % (parallel, limit_s), "%.1f s" % seconds)
            table.add(SECTION, "paralelo %d: run / limit" % parallel, ratio(of_limit), "<= %.1f" % TARGET_OF_LIMIT,
                      of_limit <= TARGET_OF_LIMIT)
            speedup = sequential_ms / run["ms"]
            table.add(SECTION, "paralelo 1 (scaled) / paralelo %d" % parallel, ratio(speedup),
                      ">= %.0f" % TARGET_SPEEDUP, speedup >= TARGET_SPEEDUP)
        else:
            table.add(SECTION, "paralelo %d: whole run (limit %.0f s)" % (parallel, limit_s), "%.1f s" % seconds)
            table.add(SECTION, "paralelo %d: run / limit" % parallel, ratio(of_limit))
        hwm_mib = run["hwm_kb"] / MIB
        if parallel == RSS_TARGET_AT:
            table.add(SECTION, "paralelo %d: peak RSS (VmHWM)" % parallel, "%.1f MiB" % hwm_mib,
                      "< %d MiB" % RSS_TARGET_MIB, hwm_mib < RSS_TARGET_MIB)
        else:
            table.add(SECTION, "paralelo %d: peak RSS (VmHWM)" % parallel, "%.1f MiB" % hwm_mib)
    same = len(set(bodies.values())) == 1 and all(bodies.values())
    table.check(SECTION, same, "the uploads at paralelo %s differ beyond their boundary" %
                ", ".join(str(p) for p in PARALLEL))
    table.add(SECTION, "uploads complete and identical (%s)" % ", ".join(str(p) for p in PARALLEL),
              "yes" if same else "NO")

