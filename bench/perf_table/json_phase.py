"""JSON reading: our parser's throughput on the generated 2000-printer list, and the peers' on the same
bytes in the same run (json_peers_bench, when it was built)."""

import os

from .common import ratio, run_benchmarks

SECTION = "JSON"
OURS = "BM_ParsePrinterList/2000"
PEERS = [("nlohmann", "BM_NlohmannParsePrinterList/2000", 3.0), ("rapidjson", "BM_RapidJsonParsePrinterList/2000",
                                                                   None)]


def throughput(entry):
    return entry.get("bytes_per_second", 0.0) / 1e6  # MB/s


def measure(table, build_dir):
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
