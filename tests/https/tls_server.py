#!/usr/bin/env python3
"""The TLS peers of the https client tests (python3 standard library and the `openssl` command).

    tls_server.py start --dir DIR     makes the certificates, starts the server in the background, waits
                                      until it listens; its pid goes to DIR/pid
    tls_server.py stop --dir DIR      ends that server by its pid
    tls_server.py run --dir DIR       the server itself, in the foreground

At start a test CA and three server certificates are made with `openssl` in DIR: ca.pem (the CA, to be
named by "certificado"); for the name "localhost", good.pem (valid for two days) and expired.pem (its
validity ended before it began); address.pem for the address 127.0.0.1 alone. Two chains for "localhost"
that must not be trusted with ca.pem: forged.pem, issued by a CA of the same name and serial number as
ca.pem but with a key of its own (sent along), and notca.pem, issued by a certificate that ca.pem issued
without the right to issue certificates (sent along). The server listens on 127.0.0.1 only, at free ports
written to DIR/ports.json:

    plain     HTTP, the scripted server of tests/http (it answers a TLS hello with 400, as web servers do)
    good      TLS with good.pem, the same scripted answers and records
    expired   TLS with expired.pem
    address   TLS with address.pem
    forged    TLS with forged.pem
    notca     TLS with notca.pem
    optional  TLS with good.pem, asking for a client certificate that it does not require
    silent    accepts connections (the kernel does) and never says a word

Requests over TLS are recorded like plain ones (DIR/<scenario>/N.raw, the decrypted bytes). The server name
each TLS client sent (SNI) is appended to DIR/sni.txt, one line per handshake ("-" for none).
"""

import argparse
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "http"))

import scripted_server  # noqa: E402
from pid_files import end_by_pid  # noqa: E402


def openssl(*arguments, cwd):
    subprocess.run(["openssl"] + list(arguments), cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def make_certificates(directory):
    with open(os.path.join(directory, "server.ext"), "w") as handle:
        handle.write("basicConstraints=critical,CA:FALSE\n"
                     "keyUsage=critical,digitalSignature,keyEncipherment\n"
                     "extendedKeyUsage=serverAuth\n"
                     "subjectAltName=DNS:localhost\n")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-keyout", "ca.key", "-out", "ca.pem",
            "-days", "2", "-subj", "/CN=TELVA Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=directory)
    openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-sha256", "-keyout", "server.key", "-out",
            "server.csr", "-subj", "/CN=localhost", cwd=directory)
    with open(os.path.join(directory, "address.ext"), "w") as handle:
        handle.write("basicConstraints=critical,CA:FALSE\n"
                     "keyUsage=critical,digitalSignature,keyEncipherment\n"
                     "extendedKeyUsage=serverAuth\n"
                     "subjectAltName=IP:127.0.0.1\n")
    # The address certificate's subject names no host, so that only its address can match.
    openssl("req", "-new", "-key", "server.key", "-out", "address.csr", "-subj", "/CN=TELVA test server",
            cwd=directory)
    for name, days, request in (("good", "2", "server"), ("expired", "-1", "server"), ("address", "2", "address")):
        openssl("x509", "-req", "-in", request + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                "-sha256", "-days", days, "-extfile", request + ".ext", "-out", name + ".pem", cwd=directory)
    make_untrusted_chains(directory)


def make_untrusted_chains(directory):
    """forged.pem and notca.pem: a certificate for "localhost" (the server's key) and its issuer, each chain
    one that a client trusting ca.pem must refuse."""
    serial = subprocess.run(["openssl", "x509", "-in", "ca.pem", "-noout", "-serial"], cwd=directory, check=True,
                            capture_output=True, text=True).stdout.strip().split("=", 1)[1]
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-keyout", "forged-ca.key", "-out",
            "forged-ca.pem", "-days", "2", "-subj", "/CN=TELVA Test CA", "-set_serial", "0x" + serial, "-addext",
            "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=directory)
    with open(os.path.join(directory, "notca.ext"), "w") as handle:
        handle.write("basicConstraints=critical,CA:FALSE\n"
                     "keyUsage=critical,digitalSignature,keyCertSign\n")
    openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-sha256", "-keyout", "notca.key", "-out", "notca.csr",
            "-subj", "/CN=TELVA test server without CA rights", cwd=directory)
    openssl("x509", "-req", "-in", "notca.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial", "-sha256",
            "-days", "2", "-extfile", "notca.ext", "-out", "notca-issuer.pem", cwd=directory)
    with open(os.path.join(directory, "constrained.ext"), "w") as handle:
        handle.write("basicConstraints=critical,CA:TRUE\n"
                     "keyUsage=critical,keyCertSign,cRLSign\n"
                     "nameConstraints=critical,permitted;DNS:elsewhere.invalid\n")
    openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-sha256", "-keyout", "constrained-ca.key", "-out",
            "constrained.csr", "-subj", "/CN=TELVA Test CA for other names", cwd=directory)
    openssl("x509", "-req", "-in", "constrained.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
            "-sha256", "-days", "2", "-extfile", "constrained.ext", "-out", "constrained-ca.pem", cwd=directory)
    for name, issuer in (("forged", "forged-ca"), ("notca", "notca-issuer"), ("constrained", "constrained-ca")):
        openssl("x509", "-req", "-in", "server.csr", "-CA", issuer + ".pem", "-CAkey",
                ("notca" if name == "notca" else issuer) + ".key", "-CAcreateserial", "-sha256", "-days", "2",
                "-extfile", "server.ext", "-out", name + "-leaf.pem", cwd=directory)
        with open(os.path.join(directory, name + ".pem"), "w") as chain:
            for part in (name + "-leaf.pem", issuer + ".pem"):
                with open(os.path.join(directory, part)) as handle:
                    chain.write(handle.read())


class TlsServer(scripted_server.Server):
    """The scripted server behind TLS: the handshake runs on the connection's own thread."""

    def __init__(self, address, handler, context, directory):
        super().__init__(address, handler)
        self.context = context
        self.directory = directory

    def finish_request(self, request, client_address):
        request.settimeout(30)
        try:
            secure = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return  # the client refused the certificate, or spoke no TLS
        self.RequestHandlerClass(secure, client_address, self)


def tls_context(directory, certificate, sni_lock, ask_client_certificate=False):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(os.path.join(directory, certificate), os.path.join(directory, "server.key"))
    if ask_client_certificate:
        context.load_verify_locations(os.path.join(directory, "ca.pem"))
        context.verify_mode = ssl.CERT_OPTIONAL

    def note_name(connection, name, context_in_use):
        with sni_lock, open(os.path.join(directory, "sni.txt"), "a") as handle:
            handle.write((name or "-") + "\n")

    context.sni_callback = note_name
    return context


def run(directory):
    make_certificates(directory)
    sni_lock = threading.Lock()
    servers = {"plain": scripted_server.Server(("127.0.0.1", 0), scripted_server.Handler)}
    for name in ("good", "expired", "address", "forged", "notca", "constrained"):
        servers[name] = TlsServer(("127.0.0.1", 0), scripted_server.Handler,
                                  tls_context(directory, name + ".pem", sni_lock), directory)
    servers["optional"] = TlsServer(("127.0.0.1", 0), scripted_server.Handler,
                                    tls_context(directory, "good.pem", sni_lock, ask_client_certificate=True),
                                    directory)
    silent = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    silent.bind(("127.0.0.1", 0))
    silent.listen(16)
    ports = {name: server.server_address[1] for name, server in servers.items()}
    ports["silent"] = silent.getsockname()[1]
    for server in servers.values():
        server.directory = directory
        threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()
    stopping = threading.Event()
    signal.signal(signal.SIGTERM, lambda number, frame: stopping.set())
    with open(os.path.join(directory, "ports.json.tmp"), "w") as handle:
        json.dump(ports, handle)
    os.replace(os.path.join(directory, "ports.json.tmp"), os.path.join(directory, "ports.json"))
    while not stopping.wait(0.5):
        pass
    for server in servers.values():
        server.shutdown()
    silent.close()
    return 0


def start(directory):
    stop(directory)
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    log = open(os.path.join(directory, "server.log"), "wb")
    process = subprocess.Popen([sys.executable, os.path.abspath(__file__), "run", "--dir", directory],
                               stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
    with open(os.path.join(directory, "pid"), "w") as handle:
        handle.write("%d\n" % process.pid)
    deadline = time.monotonic() + 60
    while not os.path.exists(os.path.join(directory, "ports.json")):
        if process.poll() is not None or time.monotonic() > deadline:
            sys.stderr.write("tls_server: did not start\n")
            stop(directory)
            return 1
        time.sleep(0.05)
    return 0


def stop(directory):
    try:
        with open(os.path.join(directory, "pid")) as handle:
            pid = int(handle.read())
    except (OSError, ValueError):
        return 0
    end_by_pid(pid, grace_seconds=5)
    os.remove(os.path.join(directory, "pid"))
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("command", choices=("start", "stop", "run"))
    parser.add_argument("--dir", required=True)
    options = parser.parse_args()
    directory = os.path.abspath(options.dir)
    return {"start": start, "stop": stop, "run": run}[options.command](directory)


if __name__ == "__main__":
    sys.exit(main())
