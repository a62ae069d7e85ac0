"""Check: the technician's dry run (`telva4_audit -check -json`) over a contract of 200 printers of which 20 are
silent, with the service's 10 s query wait and the check's default concurrency; wall time beside the 30 s
target, and the verdict it gives (180 read, 20 no answer, no upload request)."""

import json
import os
import shutil
import subprocess
import time

from . import field_phase
from .common import harness

SECTION = "Check"
ANSWERING, SILENT = 180, 20
FIRST_ADDRESS = "127.2.0.2"  # apart from the fleets, the scale and the field sections
TARGET_S = 30.0


def start_site(scene):
    directory = scene.path("check-site")
    process = subprocess.Popen([field_phase.SITE_TOOL, "--dir", directory, "--answering", str(ANSWERING),
                                "--silent", str(SILENT), "--refusing", "0", "--first-address", FIRST_ADDRESS,
                                "--lifetime", "600"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    scene.on_close(lambda: harness.end_process(process, grace=5))
    if process.stdout.readline().strip() != "ready":
        harness.end_process(process, grace=5)
        raise RuntimeError("site-fleet did not start: %s" % process.stderr.read().strip()[-500:])
    with open(os.path.join(directory, "fleet.json"), encoding="utf-8") as handle:
        return json.load(handle)


def measure(table, scene, build_dir):
    print("Check: %d answering and %d silent printers from %s" % (ANSWERING, SILENT, FIRST_ADDRESS), flush=True)
    site = start_site(scene)
    items = scene.path("check-items.json")
    with open(items, "w", encoding="utf-8") as handle:
        handle.write(field_phase.items_text(site["printers"], site["counter_oids"]))
    server = harness.ContractServer(scene.path("check-server"), items)
    scene.on_close(server.stop)
    # The settings file lies beside the program: a copy of it in a directory of its own.
    directory = scene.path("check-program")
    os.makedirs(directory, exist_ok=True)
    program = os.path.join(directory, "telva4_audit")
    shutil.copy2(os.path.join(build_dir, "src", "telva4_audit"), program)
    harness.write_config(os.path.join(directory, "config.ini"), server.address, schedule="03:00")
    started = time.monotonic()
    run = subprocess.run([program, "-check", "-json"], capture_output=True, text=True, timeout=300)
    seconds = time.monotonic() - started
    report = json.loads(run.stdout)
    summary = report["summary"]
    endpoints = [r["endpoint"] for r in server.requests()]
    server.stop()
    table.check(SECTION, run.returncode == 1 and summary["read"] == ANSWERING and summary["no_answer"] == SILENT,
                "the verdict is not %d read and %d no answer with exit status 1: %s, exit %d" %
                (ANSWERING, SILENT, summary, run.returncode))
    table.check(SECTION, "update" not in endpoints, "the check sent an upload request")
    table.add(SECTION, "%d printers, %d silent: whole check (wait 10 s, %d at a time)" %
              (ANSWERING + SILENT, SILENT, report["parallel"]), "%.1f s" % seconds, "< %.0f s" % TARGET_S,
              seconds < TARGET_S)
