"""Running the service: one interface, two ways.

  NativeService  the POSIX program in the foreground, a child of the test; control requests are signals
                 (stop SIGTERM, pause SIGUSR1, continue SIGUSR2, interrogate SIGHUP, shutdown SIGPWR)
  WineService    the Windows program installed as a service (its /INSTALL) in a Wine prefix of its own and
                 started and stopped through the service manager (net start, net stop)

Both read config.ini beside the program, write the daily log (`log`, a DailyLog of the right directory and
code page), and answer start(), running(), wait_for_log(), stop() (the stop request, then the stop line;
natively also exit status 0) and close() (ends whatever is left, never raises for a clean state)."""

import os
import shutil
import signal
import subprocess
import time

from .base import HarnessError
from .config import settings_text, write_settings
from .logs import STOP_LINE, DailyLog
from .wine import WinePrefix

START_STOP_SECONDS = 60.0
SANITIZER_MARKERS = ("runtime error:", "ERROR: AddressSanitizer", "ERROR: LeakSanitizer")
SIGPWR = getattr(signal, "SIGPWR", 30)
SIGNALS = {"stop": signal.SIGTERM, "pause": signal.SIGUSR1, "continue": signal.SIGUSR2,
           "interrogate": signal.SIGHUP, "shutdown": SIGPWR}
DEFAULT = object()  # settings: config.ini from server_address and config


class ServiceRunner:
    """What a test does with the service, whichever way it runs. Every wait is bounded; a failed wait or
    check raises HarnessError (an AssertionError) with what the service and the log said."""

    log = None

    def start(self):
        raise NotImplementedError

    def running(self):
        raise NotImplementedError

    def stop(self, timeout=START_STOP_SECONDS):
        raise NotImplementedError

    def close(self):
        raise NotImplementedError

    def wait_for_log(self, text, count=1, timeout=60):
        return self.log.wait_for(text, count=count, timeout=timeout)

    def _settings(self, server_address, config, settings, line_end="\n"):
        if settings is DEFAULT:
            return settings_text(server_address, line_end=line_end, **(config or {}))
        return settings


class NativeService(ServiceRunner):
    """The POSIX program copied into DIRECTORY with config.ini beside it, run in the foreground.

    At start the scheduler runs the audit at once (RunNow); a stop (SIGTERM) is handled after the loop's
    10 s pause and the stop handler's 5 s wait, so stop() allows for both and for a running audit.

    directory None runs the binary where it is, with config.ini written beside it. settings: DEFAULT
    (config.ini from server_address and the config keywords of settings_text), a text written as it is,
    or None (no config.ini at all). args follow the program on its command line; wrapper comes before it
    (valgrind ...). env adds to the environment (NOTIFY_SOCKET is removed unless given)."""

    def __init__(self, binary, directory, server_address=None, log=None, config=None, stderr_path=None,
                 settings=DEFAULT, env=None, args=(), wrapper=(), start=True):
        if directory is None:
            self.directory = os.path.dirname(os.path.abspath(binary))
            self.program = os.path.abspath(binary)
        else:
            os.makedirs(directory, exist_ok=True)
            self.directory = directory
            self.program = os.path.join(directory, os.path.basename(binary))
            shutil.copy2(binary, self.program)
        self.config_path = os.path.join(self.directory, "config.ini")
        write_settings(self.config_path, self._settings(server_address, config, settings))
        self.log = log or DailyLog()
        self.stderr_path = stderr_path or os.path.join(self.directory, "service.stderr")
        self.argv = list(wrapper) + [self.program] + [str(a) for a in args]
        self.env = dict(os.environ)
        self.env.pop("NOTIFY_SOCKET", None)
        self.env.update(env or {})
        self.process = None
        if start:
            self.start()

    def start(self):
        with open(self.stderr_path, "wb") as stderr:
            self.process = subprocess.Popen(self.argv, cwd=self.directory, stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=stderr, env=self.env)
        self.started_at = time.monotonic()
        return self

    @property
    def pid(self):
        return self.process.pid

    def wait_for_log(self, text, count=1, timeout=60):
        return self.log.wait_for(text, count=count, timeout=timeout, process=self.process)

    def running(self):
        return self.process.poll() is None

    def control(self, request):
        """Sends a control request: stop, pause, continue, interrogate or shutdown."""
        os.kill(self.process.pid, SIGNALS[request])

    def wait(self, timeout):
        """The exit status; HarnessError (and SIGKILL) when the process has not ended within timeout."""
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise HarnessError("the service did not end within %.0f s" % timeout) from None

    def stop(self, timeout=START_STOP_SECONDS):
        """SIGTERM, then waits for "Service stopped, IP " and exit status 0 (HarnessError otherwise); a
        sanitizer report on stderr fails it too."""
        stopped_before = self.log.count(STOP_LINE)
        if not self.running():
            raise HarnessError("the service had already ended with status %s" % self.process.returncode)
        self.control("stop")
        try:
            status = self.wait(timeout)
        except HarnessError:
            raise HarnessError("the service did not end within %.0f s of SIGTERM" % timeout) from None
        if status != 0:
            raise HarnessError("the service ended with status %s; stderr:\n%s" % (status, self.stderr()))
        # Sanitizer builds report there and may still exit 0 (UBSan without halt_on_error).
        for marker in SANITIZER_MARKERS:
            if marker in self.stderr():
                raise HarnessError("sanitizer report on the service's stderr:\n" + self.stderr())
        if self.log.count(STOP_LINE) <= stopped_before:
            raise HarnessError("no stop line after SIGTERM; log:\n" + self.log.text())
        return status

    def stderr(self):
        with open(self.stderr_path, errors="replace") as handle:
            return handle.read()

    def kill(self):
        if self.process is not None and self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGKILL)
            self.process.wait(timeout=10)

    close = kill


# The service manager's states as `sc query` shows them.
STOPPED, START_PENDING, STOP_PENDING, RUNNING = "1", "2", "3", "4"


class WineService(ServiceRunner):
    """The Windows program copied into DIRECTORY/bin with config.ini (CR LF, ANSI) beside it, installed
    silently as the service TELVA4Audit in the Wine prefix PREFIX (created once, kept between runs) and run
    through Wine's service manager. The prefix's wineserver is persistent while the object lives (otherwise
    Wine ends the service when the last client process exits) and bounded (-p900), and close() ends it
    (wineserver -k: this prefix only)."""

    NAME = "TELVA4Audit"

    def __init__(self, exe, directory, prefix, server_address=None, config=None, settings=DEFAULT, log=None):
        os.makedirs(directory, exist_ok=True)
        self.directory = directory
        self.bin_dir = os.path.join(directory, "bin")
        os.makedirs(self.bin_dir, exist_ok=True)
        self.program = os.path.join(self.bin_dir, os.path.basename(exe))
        shutil.copyfile(exe, self.program)
        self.config_path = os.path.join(self.bin_dir, "config.ini")
        write_settings(self.config_path, self._settings(server_address, config, settings, "\r\n"), "cp1252")
        self.wine = WinePrefix(prefix, os.path.join(directory, "wine-stderr.txt"))
        self.log = log or DailyLog.wine(prefix)
        self.wine.prepare()

    @property
    def windows_path(self):
        """The program's path as the service manager keeps it (drive Z: is the root)."""
        return "Z:" + self.program.replace("/", "\\")

    def run_program(self, *args, timeout=120, env=None):
        return self.wine.wine(self.program, *args, timeout=timeout, env=env)

    def install(self):
        """/UNINSTALL of a registration an interrupted run left, then /INSTALL /SILENT; the state after."""
        self.uninstall()
        self.run_program("/INSTALL", "/SILENT")
        return self.state()

    def uninstall(self):
        return self.run_program("/UNINSTALL", "/SILENT", timeout=60)

    def state(self):
        """The service manager's state number as text ("" when the service is not registered)."""
        return self.wine.service_state(self.NAME)

    def wait_state(self, wanted, timeout=60):
        """True once the state is wanted, False when the time runs out."""
        deadline = time.monotonic() + timeout
        while True:
            if self.state() == wanted:
                return True
            if time.monotonic() >= deadline:
                return False
            time.sleep(0.2)

    def running(self):
        return self.state() == RUNNING

    def query(self):
        return self.wine.wine("sc", "query", self.NAME, timeout=60).out.strip()

    def start(self, timeout=60):
        """net start, then waits for RUNNING (HarnessError with what net start said otherwise)."""
        result = self.wine.wine("net", "start", self.NAME)
        if not self.wait_state(RUNNING, timeout):
            raise HarnessError("the service did not reach RUNNING: net start exit %r, %r; sc query %r"
                               % (result.status, result.out.strip(), self.query()))
        return self

    def stop(self, timeout=START_STOP_SECONDS):
        """net stop, then waits for STOPPED and the stop line (HarnessError otherwise). When Wine's service
        manager did not pass the request on (net stop fails, the service never saw it), asks once more; a
        request it did pass on must stop the service."""
        stopped_before = self.log.count(STOP_LINE)
        result = self.wine.wine("net", "stop", self.NAME)
        if result.status != 0:
            print("    net stop refused: exit %r, %r; asking again" % (result.status, result.out.strip()), flush=True)
            time.sleep(2)
            result = self.wine.wine("net", "stop", self.NAME)
        if not self.wait_state(STOPPED, timeout):
            raise HarnessError("the service did not reach STOPPED: net stop exit %r, %r; sc query %r"
                               % (result.status, result.out.strip(), self.query()))
        self.log.wait_for(STOP_LINE, count=stopped_before + 1, timeout=30)
        return 0

    def close(self):
        """Stops the service when it runs, uninstalls it, ends the prefix's wineserver."""
        try:
            if self.state() not in ("", STOPPED):
                self.wine.wine("net", "stop", self.NAME)
                self.wait_state(STOPPED, 30)
            self.uninstall()
        finally:
            self.wine.close()
