"""The daily log: log_YYYYMMDD.txt in /var/log/telva4-audit/ (POSIX, UTF-8) or in C:\\windows\\temp of a Wine
prefix (the ANSI code page), read from a point in time on."""

import glob
import os
import re

from .base import HarnessError, wait_until

POSIX_LOG_DIR = "/var/log/telva4-audit/"
POSIX_ENCODING = "utf-8"
WINE_ENCODING = "cp1252"  # the ANSI code page of a default Wine prefix

# "dd/mm/yyyy hh:mm:ss " on POSIX; under Windows the separators are the regional ones.
POSIX_STAMP = re.compile(r"^\d\d/\d\d/\d{4} \d\d:\d\d:\d\d ")
WINE_STAMP = re.compile(r"^\d\d\D\d\d\D\d{4} \d\d\D\d\d\D\d\d ")
STAMP = POSIX_STAMP

START_LINE = "Service started, IP "
# The harness's schedule 99:99 never matches, so that only the run at start happens; the service says so
# right after its start line.
SCHEDULE_NOTE = 'Invalid horario "99:99": only the start run will happen'
STOP_LINE = "Service stopped, IP "


def wine_log_dir(prefix):
    return os.path.join(prefix, "drive_c", "windows", "temp")


def log_entries(text, stamp=POSIX_STAMP):
    """Splits log text into (stamp, message) pairs. Entries end in CR LF; a line without a time stamp
    continues the entry before it (joined with its CR LF), as a message with a line break is written."""
    entries = []
    for line in text.split("\r\n")[:-1] if text.endswith("\r\n") else text.split("\r\n"):
        match = stamp.match(line)
        if match or not entries:
            entries.append([match.group(0).strip() if match else "", line[match.end():] if match else line])
        else:
            entries[-1][1] += "\r\n" + line
    return [(stamp_text, message) for stamp_text, message in entries]


def line_form_problems(raw, stamp=POSIX_STAMP):
    """What is wrong with the form of log bytes: every line closed by CR LF, no bare CR or LF, the first
    line time-stamped. An empty list when nothing is."""
    problems = []
    if raw and not raw.endswith(b"\r\n"):
        problems.append("the log does not end with CR LF")
    physical = raw.split(b"\r\n")[:-1]
    if any(b"\n" in line or b"\r" in line for line in physical):
        problems.append("a bare CR or LF in the log")
    if physical and not stamp.match(physical[0].decode("latin-1")):
        problems.append("the log starts without a time stamp: %r" % physical[0])
    return problems


class DailyLog:
    """The text appended to the daily log files of a directory since this object was made (or mark()).

    Every existing log_*.txt is remembered with its size; reading returns what came after, and whole new
    files (a run that passes midnight starts the next day's file) in date order."""

    def __init__(self, directory=POSIX_LOG_DIR, encoding=POSIX_ENCODING, stamp=POSIX_STAMP):
        if directory == POSIX_LOG_DIR:
            # The POSIX service's log directory, as its unit's LogsDirectory= makes it: owned by the user that
            # runs the program (root in the tests), not readable by every user.
            os.makedirs(directory, mode=0o750, exist_ok=True)
        self.directory = directory
        self.encoding = encoding
        self.stamp = stamp
        self.mark()

    @classmethod
    def wine(cls, prefix):
        return cls(wine_log_dir(prefix), WINE_ENCODING, WINE_STAMP)

    def mark(self):
        """Reads from now on."""
        self.offsets = {path: os.path.getsize(path) for path in self._files()}

    def _files(self):
        return sorted(glob.glob(os.path.join(self.directory, "log_*.txt")))

    def raw(self):
        data = b""
        for path in self._files():
            with open(path, "rb") as handle:
                handle.seek(self.offsets.get(path, 0))
                data += handle.read()
        return data

    def text(self):
        return self.raw().decode(self.encoding, "replace")

    def entries(self):
        return log_entries(self.text(), self.stamp)

    def messages(self):
        """The messages (time stamps removed) of the entries appended so far."""
        return [message for _, message in self.entries()]

    def count(self, text):
        return self.text().count(text)

    def form_problems(self):
        return line_form_problems(self.raw(), self.stamp)

    def wait_for(self, text, count=1, timeout=60, process=None, alive=None, interval=0.05):
        """Waits until text appears count times (or any of several texts, given as a tuple). A writer that
        ends first fails the wait at once: process, a Popen, or alive, a function telling whether it runs."""
        texts = text if isinstance(text, tuple) else (text,)
        if process is not None:
            alive = lambda: process.poll() is None  # noqa: E731

        def seen():
            if any(self.count(t) >= count for t in texts):
                return True
            if alive is not None and not alive():
                if any(self.count(t) >= count for t in texts):
                    return True
                status = "" if process is None else " (status %s)" % process.returncode
                raise HarnessError("the service ended%s before %r was logged; log so far:\n%s"
                                   % (status, text, self.text()))
            return False

        try:
            return wait_until(seen, timeout, interval=interval, what="%r x%d in the daily log" % (text, count))
        except HarnessError as error:
            if "timed out" in str(error):
                raise HarnessError("%s; log so far:\n%s" % (error, self.text())) from None
            raise
