"""Reading the service's multipart/form-data bodies with python's own MIME parser, independently of the
service's encoder: the email package splits the parts and decodes each quoted-printable body on its own.
A strict RFC 2045 check of every encoded body is recorded beside the decoded value."""

import binascii
import email.parser
import email.policy
import re

SUFFIXES = ("lco", "lcc", "lcm", "lccb", "lcmb", "sco", "cid")
_HEX = "0123456789ABCDEF"


def parse_form(content_type, body):
    """Returns {"fields": [[name, value]], "parts": [...], "defects": [...], "error": text or None}.

    Values are the decoded bytes read as ISO-8859-1, which is how the service sends field text."""
    result = {"fields": [], "parts": [], "defects": [], "error": None}
    if not body:
        return result
    if not content_type or not content_type.lower().startswith("multipart/form-data"):
        result["error"] = "body sent with Content-Type %r" % content_type
        return result
    raw = b"MIME-Version: 1.0\r\nContent-Type: " + content_type.encode("latin-1") + b"\r\n\r\n" + body
    message = email.parser.BytesParser(policy=email.policy.compat32).parsebytes(raw)
    result["defects"] = [type(defect).__name__ for defect in message.defects]
    if not message.is_multipart():
        result["error"] = "the MIME parser found no parts"
        return result
    for part in message.get_payload():
        name = part.get_param("name", header="content-disposition")
        encoding = (part.get("Content-Transfer-Encoding") or "").strip().lower()
        encoded = part.get_payload(decode=False)
        if isinstance(encoded, list):
            result["parts"].append({"name": name, "error": "nested multipart"})
            continue
        value = part.get_payload(decode=True).decode("latin-1")
        result["fields"].append([name, value])
        result["parts"].append(
            {
                "name": name,
                "headers": [[key, str(text)] for key, text in part.items()],
                "encoded": encoded,
                "qp_problems": qp_problems(encoded) if encoding == "quoted-printable" else [],
                "defects": [type(defect).__name__ for defect in part.defects],
            }
        )
    return result


_BOUNDARY = re.compile(r'boundary=(?:"([^"]+)"|([^;\s]+))', re.IGNORECASE)
_NAME = re.compile(rb'^content-disposition:[^\r\n]*?\bname="([^"]*)"', re.IGNORECASE | re.MULTILINE)
_QP = re.compile(rb"^content-transfer-encoding:[ \t]*quoted-printable[ \t]*$", re.IGNORECASE | re.MULTILINE)


def split_form(content_type, body):
    """The fields of a multipart/form-data body split by its boundary and decoded part by part (binascii's
    quoted-printable decoder), without the email package: the same "fields" as parse_form for a well-formed
    form, in a small fraction of the time, but without its checks ("parts" stays empty). For uploads of
    tens of thousands of printers, where the full parse would take minutes."""
    result = {"fields": [], "parts": [], "defects": [], "error": None}
    if not body:
        return result
    match = _BOUNDARY.search(content_type or "")
    if not (content_type or "").lower().startswith("multipart/form-data") or not match:
        result["error"] = "body sent with Content-Type %r" % content_type
        return result
    delimiter = b"\r\n--" + (match.group(1) or match.group(2)).encode("latin-1")
    pieces = (b"\r\n" + body).split(delimiter)
    if len(pieces) < 3 or not pieces[-1].startswith(b"--"):
        result["error"] = "no closing delimiter"
        return result
    for piece in pieces[1:-1]:
        head, separator, payload = piece.partition(b"\r\n\r\n")
        name = _NAME.search(head)
        if not separator or not name:
            result["error"] = "a part without a name or without a blank line after its headers"
            return result
        value = binascii.a2b_qp(payload) if _QP.search(head) else payload
        result["fields"].append([name.group(1).decode("latin-1"), value.decode("latin-1")])
    return result


def qp_problems(encoded):
    """Violations of RFC 2045 section 6.7 in one encoded part body (without the CR LF before the delimiter)."""
    problems = []
    if re.search(r"\r(?!\n)|(?<!\r)\n", encoded):
        problems.append("bare CR or LF")
    for number, line in enumerate(encoded.split("\r\n"), 1):
        where = "line %d" % number
        if len(line) > 76:
            problems.append("%s: %d characters, over 76" % (where, len(line)))
        if line[-1:] in (" ", "\t"):
            problems.append("%s: ends in unencoded white space" % where)
        index = 0
        while index < len(line):
            char = line[index]
            if char == "=":
                if index == len(line) - 1:
                    break
                pair = line[index + 1 : index + 3]
                if len(pair) < 2 or any(c not in _HEX for c in pair):
                    problems.append("%s: invalid escape %r" % (where, line[index : index + 3]))
                index += 3
                continue
            if not (char in " \t" or 33 <= ord(char) <= 126):
                problems.append("%s: unencoded character %r" % (where, char))
            index += 1
    return problems


def summarise_upload(fields):
    """Groups an upload's fields by printer and checks their layout: seven fields per position in order
    lco, lcc, lcm, lccb, lcmb, sco, cid for positions 0 .. count-1, then data[count], then data[number]."""
    values = dict()
    for name, value in fields:
        values.setdefault(name, value)
    count_text = values.get("data[count]")
    count = int(count_text) if count_text is not None and count_text.isdigit() else None
    names = [name for name, _ in fields]
    summary = {
        "count": count_text,
        "number": values.get("data[number]"),
        "layout_ok": False,
        "layout_problem": None,
        "printers": [],
    }
    if count is None:
        summary["layout_problem"] = "data[count] missing or not a decimal number: %r" % count_text
    else:
        expected = ["data[items][%d][%s]" % (i, s) for i in range(count) for s in SUFFIXES]
        expected += ["data[count]", "data[number]"]
        if names == expected:
            summary["layout_ok"] = True
        else:
            at = next((i for i, (a, b) in enumerate(zip(names, expected)) if a != b), min(len(names), len(expected)))
            summary["layout_problem"] = "field %d is %r, expected %r" % (
                at,
                names[at] if at < len(names) else None,
                expected[at] if at < len(expected) else None,
            )
    pattern = re.compile(r"data\[items\]\[(0|[1-9][0-9]*)\]\[([a-z]+)\]$")
    printers = {}
    for name, value in fields:
        match = pattern.match(name)
        if match and match.group(2) in SUFFIXES:
            position = int(match.group(1))
            printers.setdefault(position, {"position": position}).setdefault(match.group(2), value)
    summary["printers"] = [printers[p] for p in sorted(printers)]
    return summary
