"""Idle: the real service between runs. After its start run has logged out, /proc/<pid> is sampled for a
while: CPU ticks, context switches of all threads (each wake-up from a wait is one), resident memory."""

import json
import os
import time

from .common import MIB, harness, process_sample, realistic_items

SECTION = "Idle"
WAKEUPS_TARGET = 1.0
RSS_TARGET_MIB = 4


def watch(table, scene, binary, name, items, expected, seconds, run_timeout):
    """Starts the service against a simulator serving `items`, waits for its start run, samples the idle
    process, stops it with SIGTERM. Returns the figures or None when the run failed."""
    path = scene.path(name + ".json")
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(items)
    server = harness.ContractServer(scene.path(name), path, record_bodies=False)
    scene.on_close(server.stop)
    service = harness.Service(binary, scene.path(name + "-service"), server.address)
    scene.on_close(service.kill)
    try:
        service.wait_for_log("Logout TELVA ok", timeout=run_timeout)
    except harness.HarnessError as error:
        table.fail(SECTION, "%s: the start run did not log out: %s" % (name, str(error)[:300]))
        service.kill()
        return None
    uploads = server.uploads()
    table.check(SECTION, len(uploads) == 1 and uploads[0]["printers"] == expected,
                "%s: the start run's upload did not carry every printer's readings" % name)
    time.sleep(1.0)  # the run's last steps after the logout line
    first = process_sample(service.process.pid)
    time.sleep(seconds)
    last = process_sample(service.process.pid)
    try:
        service.stop()
    except harness.HarnessError as error:
        table.fail(SECTION, "%s: %s" % (name, str(error)[:300]))
    server.stop()
    ticks_per_second = os.sysconf("SC_CLK_TCK")
    return {"wakeups": 10.0 * (last["switches"] - first["switches"]) / seconds,
            "cpu_ms": 1000.0 * (last["ticks"] - first["ticks"]) / ticks_per_second,
            "rss_mib": last["rss_kb"] / MIB, "threads": last["threads"]}


def report(table, label, figures, seconds):
    table.add(SECTION, "%s: wake-ups per 10 s" % label, "%.2f" % figures["wakeups"], "<= %.0f" % WAKEUPS_TARGET,
              figures["wakeups"] <= WAKEUPS_TARGET)
    table.add(SECTION, "%s: CPU in %d s" % (label, seconds), "%.0f ms" % figures["cpu_ms"])
    table.add(SECTION, "%s: RSS (%d threads)" % (label, figures["threads"]), "%.2f MiB" % figures["rss_mib"],
              "< %d MiB" % RSS_TARGET_MIB, figures["rss_mib"] < RSS_TARGET_MIB)


def measure(table, scene, build_dir, fleet, seconds, large):
    binary = os.path.join(build_dir, "src", "telva4_audit")
    printers = harness.PrinterList()
    for printer in fleet.printers[:3]:
        printers.add_agent(fleet, printer)
    print("Idle: the service after a 3-printer start run, %d s" % seconds)
    small = watch(table, scene, binary, "idle-3", json.dumps(printers.items()), printers.expected_upload(), seconds,
                  run_timeout=60)
    if small:
        report(table, "after 3 printers", small, seconds)
    print("Idle: the service after a %d-printer start run, %d s" % (large, seconds))
    items, expected = realistic_items(large)
    big = watch(table, scene, binary, "idle-%d" % large, items, expected, seconds, run_timeout=120 + large // 50)
    if big:
        report(table, "after %dk printers" % (large // 1000), big, seconds)
