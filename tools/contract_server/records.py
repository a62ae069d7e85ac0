"""Reading the simulator's record file.

A request record is written before its answer is sent, so that a hanging answer is already on file; the
moment the answer was completely sent follows on a line of its own, {"kind": "answered", "request_seq",
"answered"}. Readers fold that line into its request record here."""

import json


def fold_answered(records):
    """The records in file order with every "answered" line folded into its request record ("answered"
    stays None for a request whose answer was not, or not yet, completely sent)."""
    answered = {r["request_seq"]: r["answered"] for r in records if r.get("kind") == "answered"}
    folded = []
    for record in records:
        if record.get("kind") == "answered":
            continue
        if record.get("kind") == "request":
            record["answered"] = answered.get(record["seq"], record.get("answered"))
        folded.append(record)
    return folded


def read_records(path, offset=0):
    """The records of a record file from a byte offset on, with the answered lines folded in."""
    with open(path, encoding="utf-8") as handle:
        handle.seek(offset)
        return fold_answered([json.loads(line) for line in handle if line.strip()])
