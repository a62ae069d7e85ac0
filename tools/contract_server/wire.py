"""HTTP on the wire: reading one request byte-exactly, and writing answers, well-formed or deliberately broken.

The simulator parses requests itself instead of using http.server so that every header line is kept exactly as
it arrived (order, duplicates, trailing spaces) and so that answers can be cut, dripped or reset at will.
"""

import select
import socket
import ssl
import struct
import time
from dataclasses import dataclass, field

MAX_LINE = 65536
MAX_HEADERS = 200
MAX_BODY = 64 * 1024 * 1024


class BadRequest(Exception):
    """The bytes received are not an HTTP request the simulator accepts."""


@dataclass
class Request:
    method: str
    target: str
    version: str
    request_line: str
    headers: list  # [name, value] pairs in arrival order, latin-1 text
    head_raw: bytes
    body: bytes = b""

    def header(self, name):
        """First header of that name (names compared without regard to case), or None."""
        wanted = name.lower()
        for key, value in self.headers:
            if key.lower() == wanted:
                return value
        return None


def _read_line(rfile):
    line = rfile.readline(MAX_LINE + 1)
    if len(line) > MAX_LINE:
        raise BadRequest("line too long")
    return line


def wait_first_byte(sock):
    """Blocks until the peer has sent a byte (or closed), without taking it, and returns time.monotonic()
    of that moment: when the request began to arrive, before the rest of its head and body. Over TLS, where
    bytes cannot be peeked at, the first record is read into the socket's own buffer instead."""
    if isinstance(sock, ssl.SSLSocket):
        if not sock.pending():
            select.select([sock], [], [], sock.gettimeout())
        return time.monotonic()
    sock.recv(1, socket.MSG_PEEK)
    return time.monotonic()


def read_request(rfile):
    """Reads one request; None when the peer closed the connection before sending a byte."""
    first = _read_line(rfile)
    if not first:
        return None
    head = bytearray(first)
    if not first.endswith(b"\n"):
        raise BadRequest("connection closed inside the request line")
    request_line = first.rstrip(b"\r\n").decode("latin-1")
    pieces = request_line.split(" ")
    if len(pieces) != 3 or not pieces[2].startswith("HTTP/"):
        raise BadRequest("malformed request line: %r" % request_line)
    method, target, version = pieces

    headers = []
    while True:
        line = _read_line(rfile)
        head += line
        if not line.endswith(b"\n"):
            raise BadRequest("connection closed inside the header block")
        if line in (b"\r\n", b"\n"):
            break
        if len(headers) >= MAX_HEADERS:
            raise BadRequest("too many header lines")
        text = line.rstrip(b"\r\n").decode("latin-1")
        if text[:1] in (" ", "\t") and headers:
            headers[-1][1] += " " + text.strip()
            continue
        name, colon, value = text.partition(":")
        if not colon or not name or name != name.strip():
            raise BadRequest("malformed header line: %r" % text)
        headers.append([name, value.lstrip(" \t")])

    request = Request(method, target, version, request_line, headers, bytes(head))
    length_text = request.header("Content-Length")
    if length_text is None:
        if method == "POST":
            raise BadRequest("POST without Content-Length")
        return request
    if not length_text.isdigit():
        raise BadRequest("invalid Content-Length: %r" % length_text)
    length = int(length_text)
    if length > MAX_BODY:
        raise BadRequest("body of %d bytes is over the limit" % length)
    body = rfile.read(length)
    if len(body) != length:
        raise BadRequest("connection closed after %d of %d body bytes" % (len(body), length))
    request.body = body
    return request


@dataclass
class Answer:
    status: int
    reason: str
    body: bytes = b""
    headers: list = field(default_factory=list)  # extra [name, value] pairs
    content_length: bool = True

    def head(self, chunked=False):
        lines = ["HTTP/1.1 %d %s" % (self.status, self.reason)]
        names = {name.lower() for name, _ in self.headers}
        if "content-type" not in names:
            lines.append("Content-Type: application/json; charset=utf-8")
        lines.extend("%s: %s" % (name, value) for name, value in self.headers)
        if chunked:
            lines.append("Transfer-Encoding: chunked")
        elif self.content_length and "content-length" not in names:
            lines.append("Content-Length: %d" % len(self.body))
        lines.append("Connection: close")
        return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")

    def encoded(self):
        return self.head() + self.body


def send_all(sock, data):
    sock.sendall(data)


def send_chunked(sock, answer, chunk_size):
    """The answer with Transfer-Encoding: chunked, in chunks of chunk_size bytes."""
    out = bytearray(answer.head(chunked=True))
    body = answer.body
    for start in range(0, len(body), chunk_size):
        piece = body[start : start + chunk_size]
        out += b"%x\r\n" % len(piece) + piece + b"\r\n"
    out += b"0\r\n\r\n"
    sock.sendall(bytes(out))


def send_endless_chunked(sock, answer, chunk_size, stop):
    """The answer's body as the first chunk, then chunks of spaces (white space after JSON is still
    valid JSON) for ever: no last chunk. Ends when stop is set or the peer goes away (OSError)."""
    sock.sendall(answer.head(chunked=True) + b"%x\r\n" % len(answer.body) + answer.body + b"\r\n")
    piece = b"%x\r\n" % max(1, chunk_size) + b" " * max(1, chunk_size) + b"\r\n"
    block = piece * max(1, 65536 // len(piece))
    while not stop.is_set():
        sock.sendall(block)


def send_drip(sock, data, interval, stop, limit):
    """One byte every interval seconds; gives up when stop is set or limit seconds have passed.
    Returns whether every byte was sent."""
    deadline = time.monotonic() + limit
    for index in range(len(data)):
        sock.sendall(data[index : index + 1])
        if index + 1 < len(data) and (stop.wait(interval) or time.monotonic() >= deadline):
            return False
    return True


def send_huge(sock, size, with_length, stop):
    """A SUCCESS envelope of exactly size bytes (at least 64), its data a long string, streamed. Returns
    whether it was sent whole (a stop cuts it short)."""
    prefix = b'{"status":"SUCCESS","data":{"pad":"'
    suffix = b'"},"errors":null}'
    pad = max(0, size - len(prefix) - len(suffix))
    head = Answer(200, "OK", content_length=False).head()
    if with_length:
        head = head[:-2] + b"Content-Length: %d\r\n\r\n" % (len(prefix) + pad + len(suffix))
    sock.sendall(head + prefix)
    block = b"x" * 65536
    while pad > 0 and not stop.is_set():
        piece = block[: min(pad, len(block))]
        sock.sendall(piece)
        pad -= len(piece)
    sock.sendall(suffix)
    return pad == 0


def reset(sock):
    """Closes the connection with a TCP reset instead of an orderly close."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()
