#!/usr/bin/env python3
"""Two real HTTP proxies for the proxy tests: tinyproxy (Debian's tinyproxy-bin, the program only), each
with a configuration file of its own in DIR, on 127.0.0.1 at a free port.

    proxy_server.py start --dir DIR     starts both in the foreground mode of tinyproxy, as children of no
                                        shell; waits until each accepts connections; pids go to DIR/pids
    proxy_server.py stop --dir DIR      ends them by those pids

DIR/proxies.json names them: "open" (no credentials asked) and "auth" (Basic credentials "user" and
"password" asked; anything else is answered 407). Each logs every request to DIR/<name>.log.
"""

import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import time

from pid_files import end_by_pid

USER = "audit"
PASSWORD = "pX7-q_9.z"  # tinyproxy takes only letters, digits and a few marks in its BasicAuth line


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def accepts(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


def start_one(directory, name, extra):
    """Starts one tinyproxy; its pid, or None when its port was taken between choosing and binding it."""
    port = free_port()
    config = os.path.join(directory, name + ".conf")
    with open(config, "w") as handle:
        handle.write("Port %d\nListen 127.0.0.1\nTimeout 60\nMaxClients 50\nAllow 127.0.0.1\n" % port)
        handle.write('LogFile "%s"\nLogLevel Connect\n' % os.path.join(directory, name + ".log"))
        handle.write(extra)
    output = open(os.path.join(directory, name + ".out"), "wb")
    process = subprocess.Popen(["tinyproxy", "-d", "-c", config], stdin=subprocess.DEVNULL, stdout=output,
                               stderr=output, start_new_session=True)
    deadline = time.monotonic() + 20
    while not accepts(port):
        if process.poll() is not None or time.monotonic() > deadline:
            if process.poll() is None:
                process.kill()
            process.wait()
            return None, None
        time.sleep(0.05)
    return process.pid, port


def start(directory):
    stop(directory)
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    proxies = {"user": USER, "password": PASSWORD}
    pids = []
    for name, extra in (("open", ""), ("auth", "BasicAuth %s %s\n" % (USER, PASSWORD))):
        for _ in range(5):
            pid, port = start_one(directory, name, extra)
            if pid is not None:
                break
        if pid is None:
            sys.stderr.write("proxy_server: tinyproxy %s did not start\n" % name)
            stop(directory)
            return 1
        pids.append(pid)
        with open(os.path.join(directory, "pids"), "w") as handle:
            handle.write("".join("%d\n" % p for p in pids))
        proxies[name] = port
    with open(os.path.join(directory, "proxies.json.tmp"), "w") as handle:
        json.dump(proxies, handle)
    os.replace(os.path.join(directory, "proxies.json.tmp"), os.path.join(directory, "proxies.json"))
    return 0


def stop(directory):
    try:
        with open(os.path.join(directory, "pids")) as handle:
            pids = [int(line) for line in handle if line.strip()]
    except (OSError, ValueError):
        return 0
    for pid in pids:
        # tinyproxy takes seconds to wind down its threads after SIGTERM; these hold nothing worth it.
        end_by_pid(pid, grace_seconds=0.5)
    os.remove(os.path.join(directory, "pids"))
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("command", choices=("start", "stop"))
    parser.add_argument("--dir", required=True)
    options = parser.parse_args()
    directory = os.path.abspath(options.dir)
    return {"start": start, "stop": stop}[options.command](directory)


if __name__ == "__main__":
    sys.exit(main())
