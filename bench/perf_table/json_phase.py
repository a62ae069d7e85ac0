"""JSON reading: our parser's throughput on the generated 2000-printer list, and the peers' on the same
bytes in the same run (json_peers_bench, when it was built); and the memory the densest answer takes: a
fetch answer of 48 MiB that is one array of 24 million one-digit numbers, parsed alone (BM_ParseDenseAnswer)
and fetched by a whole run (audit_repeat against the simulator), each process's peak resident memory."""

import os

from .common import MIB, audit_repeat, harness, ratio, run_benchmarks

SECTION = "JSON"
DENSE = "BM_ParseDenseAnswer/48"
DENSE_MIB = 48
PEAK_TARGET_MIB = 512
OURS = "BM_ParsePrinterList/2000"
PEERS = [("nlohmann", "BM_NlohmannParsePrinterList/2000", 3.0), ("rapidjson", "BM_RapidJsonParsePrinterList/2000",
                                                                   None)]


def throughput(entry):
    return entry.get("bytes_per_second", 0.0) / 1e6  # MB/s


def dense_items(mib):
    """A printer list of mib MiB whose one member is an array of one-digit numbers: the answer text with the
    most values per byte (the run finds no printer in it, after reading it whole)."""
    numbers = (mib << 20) // 2
    return '{"pad":[' + "1," * (numbers - 1) + "1]}"


def measure_dense(table, scene, build_dir):
    print("JSON: peak memory of the dense %d MiB answer, parsed alone and fetched by a whole run" % DENSE_MIB)
    entry = run_benchmarks(os.path.join(build_dir, "bench", "json_bench"), "^%s(/|$)" % DENSE,
                           repetitions=1).get(DENSE)
    if table.check(SECTION, entry is not None and not entry.get("error_message") and "peak_rss_mib" in entry,
                   "no result for %s: %s" % (DENSE, (entry or {}).get("error_message", "none"))):
        table.add(SECTION, "dense %d MiB answer, parse alone: peak RSS" % DENSE_MIB,
                  "%.0f MiB" % entry["peak_rss_mib"], "< %d MiB" % PEAK_TARGET_MIB,
                  entry["peak_rss_mib"] < PEAK_TARGET_MIB)
    binary = os.path.join(build_dir, "tests", "soak", "audit_repeat")
    if not os.path.exists(binary):
        table.note("audit_repeat is not built (-DTELVA_TESTS=ON): no whole-run figure for the dense answer")
        return
    items_path = scene.path("dense.json")
    with open(items_path, "w", encoding="utf-8") as handle:
        handle.write("{}")
    server = harness.ContractServer(scene.path("dense"), items_path, record_bodies=False)
    scene.on_close(server.stop)
    server.control({"op": "printers", "items_raw": dense_items(DENSE_MIB)}, timeout=300)
    config = harness.write_config(scene.path("dense.ini"), server.address)
    run = audit_repeat(binary, config, 1, scene.path("dense-log"), timeout=600)[0]
    server.stop()
    fetched = [r for r in server.requests() if r["endpoint"] == "fetch"]
    table.check(SECTION, len(fetched) == 1, "the dense answer's run did not fetch the list once")
    peak = run["hwm_kb"] / MIB
    table.add(SECTION, "dense %d MiB answer, whole run: peak RSS" % DENSE_MIB, "%.0f MiB" % peak,
              "< %d MiB" % PEAK_TARGET_MIB, peak < PEAK_TARGET_MIB)


def measure(table, scene, build_dir):
    measure_dense(table, scene, build_dir)
    print("JSON: parse of the 2000-printer list, ours and peers")
    # json_peers_bench holds our benchmarks too, so one run times all three parsers under the same load.
    peers_program = os.path.join(build_dir, "bench", "json_peers_bench")
    have_peers = os.path.exists(peers_program)
    if have_peers:
        names = [OURS] + [name for _, name, _ in PEERS]
        entries = run_benchmarks(peers_program, "^(%s)(/|$)" % "|".join(names))
    else:
        table.note("json_peers_bench is not built (nlohmann-json3-dev / rapidjson-dev missing?): no peer ratios")
        entries = run_benchmarks(os.path.join(build_dir, "bench", "json_bench"), "^%s(/|$)" % OURS)
    ours = entries.get(OURS)
    if not table.check(SECTION, ours is not None and throughput(ours) > 0, "no result for %s" % OURS):
        return
    ours_mbs = throughput(ours)
    table.add(SECTION, "ours, %s" % OURS, "%.0f MB/s" % ours_mbs, ">= 400 MB/s", ours_mbs >= 400)
    if not have_peers:
        return
    for label, name, target in PEERS:
        entry = entries.get(name)
        if entry is None or throughput(entry) <= 0:
            table.note("json_peers_bench reported no %s" % name)
            continue
        table.add(SECTION, "%s, same text" % label, "%.0f MB/s" % throughput(entry))
        share = ours_mbs / throughput(entry)
        if target is None:
            table.add(SECTION, "ours / %s" % label, ratio(share))
        else:
            table.add(SECTION, "ours / %s" % label, ratio(share), ">= %.0f" % target, share >= target)
