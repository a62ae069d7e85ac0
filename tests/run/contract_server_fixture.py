#!/usr/bin/env python3
"""A contract-server simulator kept running across CTest tests, for the Windows build of the run tier: a
program under Wine cannot start and stop a POSIX process itself, so CTest runs `start` before the tests and
`stop` after them (the native build's tests start their own simulator).

  contract_server_fixture.py start --dir DIR --contract C --user U --pass P [--lifetime SECONDS]
  contract_server_fixture.py stop --dir DIR

start launches tools/contract-server on 127.0.0.1 with a free port, under `timeout` so that it never outlives
a run whose stop step did not come, waits until DIR/port.txt names the port, and returns. The simulator
records into DIR/requests.jsonl and serves an empty printer list until a test installs its own. stop ends it
by the process id kept in DIR/watchdog.pid, only after checking that the id still belongs to that process, and
waits until it has gone. A start stops what an earlier start in DIR left behind.
"""

import argparse
import os
import signal
import subprocess
import sys
import time

REPO = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
TOOL = os.path.join(REPO, "tools", "contract-server")
START_SECONDS = 20.0
STOP_SECONDS = 10.0


def is_ours(pid):
    """True while pid is a live process whose command line runs the contract-server tool."""
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as handle:
            return TOOL.encode() in handle.read()
    except OSError:
        return False


def gone(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    return not is_ours(pid)


def stop(directory):
    pid_path = os.path.join(directory, "watchdog.pid")
    try:
        with open(pid_path) as handle:
            pid = int(handle.read().strip())
    except (OSError, ValueError):
        return
    if is_ours(pid):
        os.kill(pid, signal.SIGTERM)  # timeout passes it on to the simulator and ends with it
        deadline = time.monotonic() + STOP_SECONDS
        while not gone(pid) and time.monotonic() < deadline:
            time.sleep(0.05)
        if not gone(pid):
            os.kill(pid, signal.SIGKILL)
    os.remove(pid_path)


def start(args):
    directory = os.path.abspath(args.dir)
    os.makedirs(directory, exist_ok=True)
    stop(directory)
    port_path = os.path.join(directory, "port.txt")
    for name in ("port.txt", "requests.jsonl"):
        if os.path.exists(os.path.join(directory, name)):
            os.remove(os.path.join(directory, name))
    printers = os.path.join(directory, "printers.json")
    with open(printers, "w") as handle:
        handle.write("{}")
    argv = ["timeout", str(args.lifetime), sys.executable, TOOL, "--port", "0", "--printers", printers,
            "--contract", args.contract, "--user", args.user, "--pass", args.password,
            "--record", os.path.join(directory, "requests.jsonl"), "--port-file", port_path, "--quiet"]
    with open(os.path.join(directory, "server.stderr"), "wb") as stderr:
        process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=stderr,
                                   start_new_session=True)
    with open(os.path.join(directory, "watchdog.pid"), "w") as handle:
        handle.write("%d\n" % process.pid)
    deadline = time.monotonic() + START_SECONDS
    while not os.path.exists(port_path):
        if process.poll() is not None or time.monotonic() > deadline:
            stop(directory)
            with open(os.path.join(directory, "server.stderr"), errors="replace") as handle:
                sys.exit("contract-server did not start: " + handle.read())
        time.sleep(0.02)
    with open(port_path) as handle:
        print("contract-server on 127.0.0.1:%s, records in %s" % (handle.read().strip(), directory))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    start_parser = commands.add_parser("start")
    start_parser.add_argument("--dir", required=True)
    start_parser.add_argument("--contract", required=True)
    start_parser.add_argument("--user", required=True)
    start_parser.add_argument("--pass", dest="password", required=True)
    start_parser.add_argument("--lifetime", type=int, default=1800)
    stop_parser = commands.add_parser("stop")
    stop_parser.add_argument("--dir", required=True)
    args = parser.parse_args()
    if args.command == "start":
        start(args)
    else:
        stop(os.path.abspath(args.dir))


if __name__ == "__main__":
    main()
