"""A Wine prefix of the tests' own: creation once (serialised between callers), its wineserver, and bounded
Wine tool calls. Output goes through files, never pipes: a pipe inherited by a process that outlives the
call (the service, the wineserver) would hold the call open."""

import collections
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest

from .base import end_on_signals, try_flock, wait_until

Result = collections.namedtuple("Result", "status out err")

WINE_ENV = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
TRACE = os.environ.get("TELVA_WINE_TRACE") == "1"  # print every Wine tool call with its duration
SERVER_LINGER_SECONDS = 900  # the wineserver ends by itself this long after its last client


class WinePrefix:
    """One user at a time: from prepare() to close() the object holds PREFIX.inuse, so that two tests given
    the same prefix (each may run in a namespace of its own, without CTest locks) take turns instead of
    ending each other's wineserver."""

    def __init__(self, prefix, errors_path):
        self.prefix = os.path.abspath(prefix)
        self.env = dict(os.environ, WINEPREFIX=self.prefix, **WINE_ENV)
        self.errors_path = errors_path
        self.server_started = False
        self.in_use = None

    def call(self, program, *args, timeout=120, env=None):
        """One Wine tool call: bounded (status None when the limit ran out, the call killed by pid), no
        stdin. Its stderr is also appended to the errors file."""
        started = time.monotonic()
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            try:
                status = subprocess.run([program, *args], env=dict(self.env, **(env or {})),
                                        stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                        timeout=timeout).returncode
            except subprocess.TimeoutExpired:
                status = None
            out.seek(0)
            err.seek(0)
            out_text, err_bytes = out.read().decode("latin-1"), err.read()
        with open(self.errors_path, "ab") as errors:
            errors.write(err_bytes)
        if TRACE:
            print("    [%.2f s] %s %s -> %r" % (time.monotonic() - started, program, " ".join(args), status), flush=True)
        return Result(status, out_text, err_bytes.decode("latin-1"))

    def wine(self, *args, timeout=120, env=None):
        return self.call("wine", *args, timeout=timeout, env=env)

    def prepare(self):
        """Creates the prefix the first time (wineboot), ends a wineserver an interrupted run left, and
        starts a persistent one."""
        os.makedirs(os.path.dirname(self.prefix), exist_ok=True)
        if self.in_use is None:
            in_use = open(self.prefix + ".inuse", "a")
            try:
                wait_until(lambda: try_flock(in_use), 900, interval=0.2, what="the prefix " + in_use.name)
            except BaseException:
                in_use.close()
                raise
            self.in_use = in_use
        with open(self.prefix + ".lock", "a") as lock:
            wait_until(lambda: try_flock(lock), 600, interval=0.2, what="the prefix lock " + lock.name)
            if not os.path.exists(os.path.join(self.prefix, ".telva-ready")):
                os.makedirs(self.prefix, exist_ok=True)
                self.call("wineboot", "-i", timeout=300)
                self.call("wineserver", "-w", timeout=120)
                open(os.path.join(self.prefix, ".telva-ready"), "w").close()
        self.call("wineserver", "-k", timeout=60)
        self.server_started = True
        self.call("wineserver", "-p%d" % SERVER_LINGER_SECONDS, timeout=30)

    def service_state(self, name):
        """The state number `sc query` shows for a service, "" when it is not registered."""
        found = re.search(r"STATE\s*:\s*(\d+)", self.wine("sc", "query", name, timeout=60).out)
        return found.group(1) if found else ""

    def errors_tail(self, lines=30):
        try:
            with open(self.errors_path, "rb") as handle:
                return b"\n".join(handle.read().splitlines()[-lines:]).decode("latin-1")
        except OSError:
            return ""

    def close(self):
        """Ends this prefix's wineserver and with it every Wine process of the prefix; lets the next user in."""
        try:
            if self.server_started:
                self.server_started = False
                self.call("wineserver", "-k", timeout=60)
        finally:
            if self.in_use is not None:
                self.in_use.close()  # releases the flock
                self.in_use = None


def run_wine_script(doc, namespace):
    """The entry of a Wine test script called as `script EXE PREFIX`: sets EXE and PREFIX (absolute) in the
    script's `namespace`, lets SIGTERM and SIGINT run its cleanups, and runs its unittest cases."""
    if len(sys.argv) != 3:
        print(doc)
        sys.exit(2)
    namespace["EXE"], namespace["PREFIX"] = (os.path.abspath(p) for p in sys.argv[1:3])
    end_on_signals()
    unittest.main(module=namespace["__name__"], argv=sys.argv[:1], verbosity=2)
