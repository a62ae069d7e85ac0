#!/usr/bin/env python3
"""A scripted HTTP server for the client tests (python3 standard library only).

Listens on 127.0.0.1 at a free port, which it writes to DIR/port. The first path segment of every request
names a scenario; the answers of scenario S are read from DIR/S.json, {"answers": [...]}, one per request
in arrival order (the last one repeats); a request with an absolute URI (as to a proxy) is taken
the same way. Every request is recorded as DIR/S/N.raw (the bytes as received)
and DIR/S/N.json (request line, header lines, and the form fields decoded by python's email package).

An answer is an object with these optional members:
  status, reason        final status (200, "OK")
  headers               list of [name, value] (default: Content-Type application/json)
  body, encoding        body text and the codec that makes it bytes ("utf-8")
  framing               "length" (Content-Length), "chunked", or "close" (body ends with the connection)
  interim               list of 1xx statuses sent before the final answer
  keep_open             seconds to keep the connection open after answering
  action                "hang": never answer; "reset": half the body, then a connection reset; "early":
                        answer after the request's head, then close without reading its body
"""

import argparse
import email
import email.policy
import json
import os
import socket
import socketserver
import struct
import sys
import threading
import time

counters = {}
counters_lock = threading.Lock()


def decode_form(content_type, body):
    """Decodes a multipart/form-data body with the email package: [[name, value], ...] and the defects."""
    if not body:
        return [], []
    message = email.message_from_bytes(
        b"MIME-Version: 1.0\r\nContent-Type: " + content_type + b"\r\n\r\n" + body,
        policy=email.policy.compat32)
    defects = [type(d).__name__ for d in message.defects]
    fields = []
    if message.is_multipart():
        for part in message.get_payload():
            defects += [type(d).__name__ for d in part.defects]
            name = part.get_param("name", header="content-disposition")
            value = part.get_payload(decode=True) or b""
            fields.append([name, value.decode("latin-1")])
    return fields, defects


class Handler(socketserver.BaseRequestHandler):
    def read_head(self):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = self.request.recv(65536)
            if not chunk:
                return None
            data += chunk
            if data.startswith(b"\x16\x03"):
                # A TLS hello on this plain port: answered as web servers do, then closed.
                self.request.sendall(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n")
                return None
            if len(data) > 4 * 1024 * 1024:
                return None
        head, _, rest = data.partition(b"\r\n\r\n")
        lines = head.split(b"\r\n")
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(b":")
            headers.setdefault(name.strip().lower(), value.strip())
        return head + b"\r\n\r\n", lines, headers, rest

    def read_body(self, headers, rest):
        length = int(headers.get(b"content-length", b"0"))
        while len(rest) < length:
            chunk = self.request.recv(65536)
            if not chunk:
                break
            rest += chunk
        return rest[:length]

    def handle(self):
        request = self.read_head()
        if request is None:
            return
        raw_head, lines, headers, rest = request
        target = lines[0].split(b" ")[1].decode("latin-1") if len(lines[0].split(b" ")) > 1 else "/"
        # A request for a proxy names the whole URL: its scenario follows the scheme and the host.
        path = "/" + target.split("://", 1)[1].partition("/")[2] if "://" in target else target
        scenario = path.lstrip("/").split("/")[0] or "default"
        with counters_lock:
            number = counters.get(scenario, 0) + 1
            counters[scenario] = number
        try:
            with open(os.path.join(self.server.directory, scenario + ".json")) as f:
                answers = json.load(f)["answers"]
        except (OSError, ValueError, KeyError):
            answers = [{"status": 404, "reason": "No Scenario", "body": ""}]
        script = answers[min(number, len(answers)) - 1]
        body = b"" if script.get("action") == "early" else self.read_body(headers, rest)
        folder = os.path.join(self.server.directory, scenario)
        os.makedirs(folder, exist_ok=True)
        fields, defects = decode_form(headers.get(b"content-type", b"text/plain"), body)
        record = {
            "target": target,
            "lines": [line.decode("latin-1") for line in lines],
            "fields": fields,
            "defects": defects,
        }
        with open(os.path.join(folder, "%d.raw" % number), "wb") as f:
            f.write(raw_head + body)
        with open(os.path.join(folder, "%d.json.tmp" % number), "w") as f:
            json.dump(record, f)
        os.replace(os.path.join(folder, "%d.json.tmp" % number), os.path.join(folder, "%d.json" % number))
        self.answer(script)

    def answer(self, script):
        sock = self.request
        action = script.get("action")
        if action == "hang":
            sock.settimeout(60)
            try:
                while sock.recv(65536):
                    pass
            except OSError:
                pass
            return
        for status in script.get("interim", []):
            sock.sendall(b"HTTP/1.1 %d Continue\r\n\r\n" % status)
        body = script.get("body", "").encode(script.get("encoding", "utf-8"))
        framing = script.get("framing", "length")
        head = "HTTP/1.1 %d %s\r\n" % (script.get("status", 200), script.get("reason", "OK"))
        for name, value in script.get("headers", [["Content-Type", "application/json"]]):
            head += "%s: %s\r\n" % (name, value)
        if action == "reset":
            head += "Content-Length: %d\r\n\r\n" % (len(body) + 1000)
            sock.sendall(head.encode("latin-1") + body[: len(body) // 2])
            time.sleep(0.2)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return
        if framing == "length":
            head += "Content-Length: %d\r\n" % len(body)
        elif framing == "chunked":
            head += "Transfer-Encoding: chunked\r\n"
            pieces = [body[i:i + 7] for i in range(0, len(body), 7)]
            body = b"".join(b"%x\r\n%s\r\n" % (len(p), p) for p in pieces) + b"0\r\n\r\n"
        sock.sendall(head.encode("latin-1") + b"\r\n" + body)
        if script.get("keep_open"):
            time.sleep(script["keep_open"])


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    options = parser.parse_args()
    server = Server(("127.0.0.1", 0), Handler)
    server.directory = options.dir
    port_file = os.path.join(options.dir, "port")
    with open(port_file + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(port_file + ".tmp", port_file)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
