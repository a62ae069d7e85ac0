"""Scale: contracts of 1,000 to 50,000 printers on loopback addresses that refuse at once. One whole audit
run each (wall time, cost per printer, peak memory, upload size, every printer uploaded), and the fetch,
parse and form-encoding cost from the benchmarks, against the simulator serving the same list."""

import os

from .common import MIB, audit_repeat, harness, ms, ratio, realistic_items, run_benchmarks

SECTION = "Scale"
RSS_TARGET_AT = 10000
RSS_TARGET_MIB = 32
FETCH_ENCODE_TARGET_MS = 100


def serve(scene, name, items_text):
    """The simulator serving these items from memory, without recording upload bodies."""
    path = scene.path(name + ".json")
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(items_text)
    server = harness.ContractServer(scene.path(name), path, record_bodies=False)
    scene.on_close(server.stop)
    server.control({"op": "printers", "items_raw": items_text}, timeout=120)
    return server


def fetch_cost(table, build_dir, server, count):
    """BM_FetchPrinterList against the server: (wall ms, the client's own CPU ms), or None when fetch_bench is
    not built. The wall time includes the simulator preparing and sending the list."""
    program = os.path.join(build_dir, "bench", "fetch_bench")
    if not os.path.exists(program):
        return None
    env = {"TELVA_BENCH_SERVER": "http://%s" % server.address, "TELVA_BENCH_CONTRACT": harness.CONTRACT,
           "TELVA_BENCH_USER": harness.USER, "TELVA_BENCH_PASS": harness.PASSWORD}
    entries = run_benchmarks(program, "^BM_FetchPrinterList", env=env, repetitions=3)
    entry = next(iter(entries.values()), None)
    if not table.check(SECTION, entry is not None and not entry.get("error_message"),
                       "fetch_bench at %d printers: %s" % (count, (entry or {}).get("error_message", "no result"))):
        return None
    if "printers" in entry:
        table.check(SECTION, int(entry["printers"]) == count,
                    "fetch_bench read %s printers of %d" % (entry["printers"], count))
    return entry["real_ms"], entry["cpu_ms"]


def encode_cost(build_dir, count):
    name = "BM_EncodeUploadForm/%d" % count
    entry = run_benchmarks(os.path.join(build_dir, "bench", "form_bench"), "^%s(/|$)" % name, repetitions=3).get(name)
    return entry["real_ms"] if entry else None


def measure(table, scene, build_dir, sizes):
    binary = os.path.join(build_dir, "tests", "soak", "audit_repeat")
    per_printer = {}
    skipped = set()
    for count in sizes:
        print("Scale: %d printers on refusing loopback addresses" % count)
        items_text, expected = realistic_items(count)
        name = "scale-%d" % count
        server = serve(scene, name, items_text)
        config = harness.write_config(scene.path(name + ".ini"), server.address)
        run = audit_repeat(binary, config, 1, scene.path(name + "-log"), timeout=120 + count // 50)[0]
        requests = server.requests()
        uploads = server.uploads()
        upload_bytes = next((r["body_length"] for r in requests if r["endpoint"] == "update"), 0)
        ok = len(uploads) == 1 and uploads[0]["accepted"] and uploads[0]["layout_ok"]
        ok = ok and uploads[0]["printers"] == expected
        table.check(SECTION, ok, "%d printers: the upload did not list every printer with its identifier" % count)
        fetch = fetch_cost(table, build_dir, server, count)
        fetch_ms, fetch_cpu_ms = fetch if fetch else (None, None)
        server.stop()
        encode_ms = encode_cost(build_dir, count)

        label = "%dk" % (count // 1000) if count % 1000 == 0 else str(count)
        per_printer[count] = run["ms"] / count
        hwm_mib = run["hwm_kb"] / MIB
        table.add(SECTION, "%s: whole run (list %.1f MB)" % (label, len(items_text) / 1e6), ms(run["ms"]))
        table.add(SECTION, "%s: per printer" % label, "%.1f us" % (1000.0 * per_printer[count]))
        if count == RSS_TARGET_AT:
            table.add(SECTION, "%s: peak RSS (VmHWM)" % label, "%.1f MiB" % hwm_mib, "< %d MiB" % RSS_TARGET_MIB,
                      hwm_mib < RSS_TARGET_MIB)
        else:
            table.add(SECTION, "%s: peak RSS (VmHWM)" % label, "%.1f MiB" % hwm_mib)
        table.add(SECTION, "%s: upload body" % label, "%.1f MB" % (upload_bytes / 1e6))
        if fetch_ms is None:
            skipped.add("fetch_bench")
        if encode_ms is None:
            skipped.add("form_bench's BM_EncodeUploadForm/N")
        if fetch_ms is not None:
            table.add(SECTION, "%s: fetch+parse (fetch_bench)" % label, ms(fetch_ms))
            table.add(SECTION, "%s: fetch+parse, client CPU only" % label, ms(fetch_cpu_ms))
        if encode_ms is not None:
            table.add(SECTION, "%s: form encoding (form_bench)" % label, ms(encode_ms))
        if fetch_ms is not None and encode_ms is not None:
            total = fetch_ms + encode_ms
            if count == RSS_TARGET_AT:
                table.add(SECTION, "%s: fetch+parse+encode" % label, ms(total), "< %d ms" % FETCH_ENCODE_TARGET_MS,
                          total < FETCH_ENCODE_TARGET_MS)
            else:
                table.add(SECTION, "%s: fetch+parse+encode" % label, ms(total))
    for what in sorted(skipped):
        table.note("%s is not built on this tree: those rows are skipped" % what)
    if len(per_printer) > 1:
        smallest, largest = min(per_printer), max(per_printer)
        growth = per_printer[largest] / per_printer[smallest]
        table.add(SECTION, "per-printer cost %dk / %dk" % (largest // 1000, smallest // 1000), ratio(growth),
                  "<= 2 (linear)", growth <= 2.0)
