#!/usr/bin/env python3
"""The whole job of the POSIX service under the privileges its systemd unit gives it, without systemd.

The real program runs through setpriv as an unprivileged system user (the unit's user "telva4-audit" when
the machine has it, else "nobody"), with no supplementary groups, no-new-privileges, and CAP_NET_BIND_SERVICE
as its only capability (bounding, inheritable and ambient sets), as AmbientCapabilities= and
CapabilityBoundingSet= leave it. Against the contract-server simulator and net-snmp printers on loopback it
must: start (READY=1 on $NOTIFY_SOCKET), read the settings file through its group (root's, mode 0640), read
every printer while holding local UDP port 162 (a privileged port: only the capability allows it), upload,
log out, write its daily log into /var/log/telva4-audit/ and its reading history into /var/lib/telva4-audit/
(owned by that user, as LogsDirectory= and StateDirectory= make them), and stop on SIGTERM (STOPPING=1, the
stop line, exit status 0).

The log and state directories are the machine's: each is created when missing and given to the user for the
run, and put back as it was afterwards (owner, mode, files of the day that were not the user's, a history
that was there); the files the run created are removed. Everything started is stopped by pid. Needs root,
setpriv and snmpd; exits 77 (skip) without them.

Usage: least_privilege_run.py PROGRAM
"""
import grp
import os
import pwd
import shutil
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

from harness import (  # noqa: E402
    CONTRACT,
    DailyLog,
    HarnessError,
    PrinterList,
    Scene,
    end_process,
    wait_until,
    write_config,
)

SKIP = 77
LOG_DIR = "/var/log/telva4-audit/"
STATE_DIR = "/var/lib/telva4-audit/"
HISTORY_FILES = ["reading_history.txt", "reading_history.txt.new"]
FIRST_AGENT = "127.0.0.220"
# Takes the printer's requests and never answers: while it is read, the service must hold port 162.
SILENT_PRINTER = "127.0.0.224"
TRAP_PORT = 162
CAP_NET_BIND_SERVICE = 1 << 10
RUN_SECONDS = 120
STOP_SECONDS = 60


def run_account():
    for name in ("telva4-audit", "nobody"):
        try:
            user = pwd.getpwnam(name)
            return user.pw_name, user.pw_uid, user.pw_gid
        except KeyError:
            continue
    raise HarnessError("no unprivileged account to run as")


def day_file_names():
    """Today's and tomorrow's log file names (a run may pass midnight)."""
    names = []
    for offset in (0, 86400):
        names.append(time.strftime("log_%Y%m%d.txt", time.localtime(time.time() + offset)))
    return names


class ServiceDirectory:
    """A directory of the service given to the run's user, as LogsDirectory= and StateDirectory= do, and
    restored afterwards. Of the files named, those the run makes are removed, and those set aside for the run
    are put back: another user's (the service would refuse them), or every one unless keep_own."""

    def __init__(self, path, names, uid, gid, keep_own):
        self.path = path
        self.names = names
        self.created = not os.path.isdir(path)
        if self.created:
            os.makedirs(path, mode=0o750)
            self.before = None
        else:
            info = os.stat(path)
            self.before = (info.st_uid, info.st_gid, info.st_mode & 0o7777)
        self.existing = set()
        self.aside = []
        for name in names:
            file_path = os.path.join(path, name)
            if os.path.lexists(file_path):
                if not keep_own or os.lstat(file_path).st_uid != uid:
                    os.rename(file_path, file_path + ".aside")
                    self.aside.append(file_path)
                else:
                    self.existing.add(file_path)
        os.chown(path, uid, gid)
        os.chmod(path, 0o750)

    def restore(self):
        for name in self.names:
            file_path = os.path.join(self.path, name)
            if file_path not in self.existing and os.path.lexists(file_path):
                os.remove(file_path)
        for file_path in self.aside:
            os.rename(file_path + ".aside", file_path)
        if self.created:
            try:
                os.rmdir(self.path)
            except OSError:
                pass
        else:
            uid, gid, mode = self.before
            os.chown(self.path, uid, gid)
            os.chmod(self.path, mode)


def udp_inodes_on_port(port):
    inodes = set()
    for table in ("/proc/net/udp", "/proc/net/udp6"):
        try:
            with open(table) as handle:
                next(handle)
                for line in handle:
                    fields = line.split()
                    if int(fields[1].rsplit(":", 1)[1], 16) == port:
                        inodes.add(fields[9])
        except FileNotFoundError:
            continue
    return inodes


def process_socket_inodes(pid):
    inodes = set()
    fd_dir = "/proc/%d/fd" % pid
    for fd in os.listdir(fd_dir):
        try:
            target = os.readlink(os.path.join(fd_dir, fd))
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[len("socket:["):-1])
    return inodes


def process_status(pid):
    status = {}
    with open("/proc/%d/status" % pid) as handle:
        for line in handle:
            key, _, value = line.partition(":")
            status[key] = value.split()
    return status


class SilentPrinter:
    """A UDP socket on SILENT_PRINTER:161 that takes one request, looks at the service at that moment (who it
    runs as, its capabilities, whether it holds port 162), and then closes, so later requests are refused."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((SILENT_PRINTER, 161))
        self.sock.settimeout(RUN_SECONDS)
        self.pid = None
        self.seen = None
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        try:
            self.sock.recvfrom(2048)
            pid = self.pid
            status = process_status(pid)
            self.seen = {
                "holds_162": bool(process_socket_inodes(pid) & udp_inodes_on_port(TRAP_PORT)),
                "uid": status["Uid"],
                "groups": status.get("Groups", []),
                "cap_eff": int(status["CapEff"][0], 16),
                "cap_bnd": int(status["CapBnd"][0], 16),
                "cap_amb": int(status["CapAmb"][0], 16),
                "no_new_privs": status["NoNewPrivs"][0],
            }
        except Exception as error:  # reported by the checks below
            self.seen = {"error": repr(error)}
        finally:
            self.sock.close()


def check(condition, what, details=""):
    if not condition:
        raise HarnessError(what + ("\n" + details if details else ""))


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    binary = os.path.abspath(sys.argv[1])
    if os.geteuid() != 0:
        print("least_privilege_run: needs root (to switch user and grant the capability)", file=sys.stderr)
        return SKIP
    for tool in ("setpriv", "snmpd"):
        if shutil.which(tool) is None and not os.path.exists("/usr/sbin/" + tool):
            print("least_privilege_run: %s is not installed" % tool, file=sys.stderr)
            return SKIP
    account, uid, gid = run_account()

    with Scene(prefix="telva_privilege_") as scene:
        os.chmod(scene.directory, 0o755)
        fleet = scene.start_fleet(3, first_address=FIRST_AGENT)
        printers = PrinterList()
        for printer in fleet.printers:
            printers.add_agent(fleet, printer)
        printers.add_silent(address=SILENT_PRINTER)
        server = scene.start_server(printers)

        # The program and its settings, laid out as the package does: root's, the settings file readable
        # by the service's group only.
        program_dir = scene.path("opt")
        os.makedirs(program_dir)
        os.chmod(program_dir, 0o755)
        program = os.path.join(program_dir, "telva4_audit")
        shutil.copy2(binary, program)
        # conferir=1: a history that cannot be written names itself in the log.
        config = write_config(os.path.join(program_dir, "config.ini"), server.address, extra={"conferir": "1"})
        os.chown(config, 0, gid)
        os.chmod(config, 0o640)

        notify_path = scene.path("notify")
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        notify.bind(notify_path)
        os.chmod(notify_path, 0o777)
        notify.settimeout(0.2)
        scene.on_close(notify.close)

        log_dir = ServiceDirectory(LOG_DIR, day_file_names(), uid, gid, keep_own=True)
        scene.on_close(log_dir.restore)
        state_dir = ServiceDirectory(STATE_DIR, HISTORY_FILES, uid, gid, keep_own=False)
        scene.on_close(state_dir.restore)
        log = DailyLog(LOG_DIR)
        silent = SilentPrinter()

        env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "NOTIFY_SOCKET": notify_path}
        argv = ["setpriv", "--reuid=%d" % uid, "--regid=%d" % gid, "--clear-groups",
                "--inh-caps=-all,+net_bind_service", "--ambient-caps=-all,+net_bind_service",
                "--bounding-set=-all,+net_bind_service", "--no-new-privs", "--", program]
        stderr_path = scene.path("service.stderr")
        with open(stderr_path, "wb") as stderr:
            service = subprocess.Popen(argv, cwd="/", stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=stderr, env=env)
        silent.pid = service.pid  # setpriv execs the program: the same process
        scene.on_close(lambda: end_process(service, grace=STOP_SECONDS))

        def service_stderr():
            with open(stderr_path, errors="replace") as handle:
                return handle.read()

        log.wait_for("Logout TELVA ok", timeout=RUN_SECONDS, process=service)
        service.send_signal(15)
        status = service.wait(timeout=STOP_SECONDS)
        check(status == 0, "the service ended with status %s" % status, service_stderr())

        notices = []
        while True:
            try:
                notices.append(notify.recv(4096).decode())
            except socket.timeout:
                break
        silent.thread.join(timeout=5)
        seen = silent.seen or {}
        messages = log.messages()

        # Who ran, with what: the unprivileged user, no groups, the one capability, no new privileges.
        check("error" not in seen and seen, "the silent printer saw no request", repr(seen))
        check(seen["uid"] == [str(uid)] * 4, "not run as %s: %r" % (account, seen["uid"]))
        check(seen["groups"] == [], "supplementary groups: %r" % seen["groups"])
        for key in ("cap_eff", "cap_bnd", "cap_amb"):
            check(seen[key] == CAP_NET_BIND_SERVICE, "%s is %#x" % (key, seen[key]))
        check(seen["no_new_privs"] == "1", "no_new_privs is not set")
        check(seen["holds_162"], "the service did not hold UDP port 162 while reading")

        # The job: settings read through the group, every agent read, the upload, logout, stop.
        check(messages and messages[0].startswith("Service started, IP "), "no start line", "\n".join(messages))
        check(not any(m.startswith("Settings file") for m in messages), "settings lines", "\n".join(messages))
        check(server.endpoints() == ["login", "fetch", "update", "logout"], "calls: %r" % server.endpoints())
        for printer in fleet.printers:
            check("SNMP OK IP " + printer["address"] in messages, "no reading of " + printer["address"],
                  "\n".join(messages))
        check("Update()" in messages and "Logout TELVA ok" in messages, "no upload", "\n".join(messages))
        check(messages[-1].startswith("Service stopped, IP "), "no stop line", "\n".join(messages))
        upload = server.uploads()[-1]
        check(upload["accepted"] and upload["number"] == CONTRACT, "upload refused", repr(upload))
        check(upload["printers"] == printers.expected_upload(), "upload differs",
              "%r\n%r" % (upload["printers"], printers.expected_upload()))
        check(any("READY=1" in n for n in notices), "no READY=1", repr(notices))
        check(any("STOPPING=1" in n for n in notices), "no STOPPING=1", repr(notices))
        for name in day_file_names():
            path = os.path.join(LOG_DIR, name)
            if os.path.exists(path) and path not in log_dir.existing:
                info = os.stat(path)
                check(info.st_uid == uid and info.st_mode & 0o777 == 0o640,
                      "log file %s: owner %d mode %o" % (path, info.st_uid, info.st_mode & 0o777))
        # The reading history of the accepted upload, written by the user into its state directory.
        history = os.path.join(STATE_DIR, HISTORY_FILES[0])
        check(os.path.isfile(history), "no reading history in " + STATE_DIR, "\n".join(messages))
        info = os.stat(history)
        check(info.st_uid == uid and info.st_mode & 0o777 == 0o640,
              "reading history: owner %d mode %o" % (info.st_uid, info.st_mode & 0o777))
        check(not os.path.lexists(os.path.join(STATE_DIR, HISTORY_FILES[1])), "the history's work file is left")
        print("least_privilege_run: %d printers read and uploaded as %s (uid %d) with CAP_NET_BIND_SERVICE "
              "only, port 162 held, log in %s, history in %s" % (len(printers.entries), account, uid, LOG_DIR,
                                                                STATE_DIR))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except HarnessError as error:
        print("least_privilege_run: FAILED: %s" % error, file=sys.stderr)
        sys.exit(1)
