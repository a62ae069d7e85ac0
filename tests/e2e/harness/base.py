"""Waiting with a time limit, ending processes by pid, /proc facts of a process, local UDP ports and the
machine lock: what every other part of the harness builds on."""

import contextlib
import fcntl
import os
import signal
import socket
import subprocess
import sys
import time

REPO = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", ".."))
TOOLS = os.path.join(REPO, "tools")

MACHINE_LOCK_PATH = "/var/tmp/telva4-e2e.lock"
MACHINE_LOCK_SECONDS = 1200.0
TRAP_PORT = 162


class HarnessError(AssertionError):
    """A wait ran out or a helper process misbehaved; raised as a test failure."""


def wait_until(predicate, timeout, interval=0.05, what="condition"):
    """Polls predicate until it returns a true value (returned) or the time limit passes (HarnessError)."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise HarnessError("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def end_process(process, grace=10.0, sig=signal.SIGTERM):
    """Ends a child started with subprocess.Popen, by its pid: the signal, then SIGKILL after the grace.
    Returns its exit status (None when there was no process)."""
    if process is None or process.poll() is not None:
        return process.returncode if process is not None else None
    try:
        os.kill(process.pid, sig)
    except ProcessLookupError:
        pass
    try:
        return process.wait(timeout=grace)
    except subprocess.TimeoutExpired:
        os.kill(process.pid, signal.SIGKILL)
        return process.wait(timeout=10)


def _proc_status_field(pid, name):
    with open("/proc/%d/status" % pid) as handle:
        for line in handle:
            if line.startswith(name + ":"):
                return line.split()[1]
    return None


def peak_rss_kb(pid):
    """VmHWM of a running process in KiB (the highest resident set size it has had)."""
    value = _proc_status_field(pid, "VmHWM")
    if value is None:
        raise HarnessError("no VmHWM for pid %d" % pid)
    return int(value)


def signal_blocked(pid, number):
    """True once the process blocks the signal (SigBlk in /proc/PID/status)."""
    try:
        value = _proc_status_field(pid, "SigBlk")
    except OSError:
        return False
    return value is not None and bool(int(value, 16) & (1 << (number - 1)))


def signal_pending(pid, number):
    """True while the signal is pending for the process (ShdPnd in /proc/PID/status): sent, not yet taken.
    Signals of one kind pending together merge into one, so a second one is sent only after this is False."""
    try:
        value = _proc_status_field(pid, "ShdPnd")
    except OSError:
        return False
    return value is not None and bool(int(value, 16) & (1 << (number - 1)))


@contextlib.contextmanager
def hold_udp_port(port, address="0.0.0.0"):
    """Keeps a local UDP port bound for the duration of the block."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        sock.bind((address, port))
        yield sock
    finally:
        sock.close()


def udp_port_free(port, address="0.0.0.0"):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        try:
            probe.bind((address, port))
            return True
        except OSError:
            return False


def wait_udp_port_free(port, timeout, address="0.0.0.0"):
    """Waits until a local UDP port can be bound (the service holds the trap port while it reads)."""
    return wait_until(lambda: udp_port_free(port, address), timeout, interval=0.1,
                      what="local UDP port %d to be free" % port)


def try_flock(handle):
    """Takes an exclusive flock on an open file without waiting; False when another holder has it."""
    try:
        fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return True
    except BlockingIOError:
        return False


class MachineLock:
    """An exclusive lock on the machine's shared resources (UDP 161 on 127.0.0.x, local UDP 162, the daily
    log directory), held while a scene lives. CTest's resource locks cover one ctest run only; this one also
    keeps apart scenes of test runs started side by side (two presets, two checkouts, native and Wine). The
    kernel releases it when the holder dies, so a crashed run never blocks the next. Within one process it
    nests: a scene that lives for a whole test class holds it while the scenes of its tests come and go."""

    _held = {}  # path -> [open handle, holders] of this process

    def __init__(self, timeout=MACHINE_LOCK_SECONDS, path=MACHINE_LOCK_PATH):
        self.path = path
        self.released = False
        held = MachineLock._held.get(path)
        if held:
            held[1] += 1
            return
        handle = open(path, "a")
        started = time.monotonic()
        try:
            wait_until(lambda: try_flock(handle), timeout, interval=0.2, what="the machine lock " + path)
        except BaseException:
            handle.close()
            raise
        waited = time.monotonic() - started
        if waited >= 1:  # another run on this machine held it: time not spent by this test
            sys.stderr.write("waited %.1f s for the machine lock %s\n" % (waited, path))
        MachineLock._held[path] = [handle, 1]

    def release(self):
        if self.released:
            return
        self.released = True
        held = MachineLock._held[self.path]
        held[1] -= 1
        if held[1] == 0:
            del MachineLock._held[self.path]
            fcntl.flock(held[0], fcntl.LOCK_UN)
            held[0].close()


def end_on_signals():
    """SIGTERM and SIGINT end a test script through SystemExit, so that its cleanups still run when CTest
    or a user stops it."""
    def stop(number, frame):
        raise SystemExit("stopped by signal %d" % number)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
