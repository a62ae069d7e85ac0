"""A datagram socket standing in for the init system's notification socket (NOTIFY_SOCKET): collects the
POSIX service's reports ("READY=1\\nSTATUS=csRunning", ...) in a thread, each with its arrival time."""

import os
import socket
import threading
import time

from .base import wait_until


class NotifySocket:
    def __init__(self, directory):
        self.path = os.path.join(directory, "notify")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        self.sock.settimeout(0.1)
        self.received = []  # (time.monotonic(), datagram text)
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._collect, daemon=True)
        self.thread.start()

    def _collect(self):
        while not self.stopping.is_set():
            try:
                text = self.sock.recv(4096).decode()
            except socket.timeout:
                continue
            except OSError:
                return
            self.received.append((time.monotonic(), text))

    def messages(self):
        """Every datagram so far, as sent."""
        return [text for _, text in self.received]

    @property
    def states(self):
        """(arrival time, state name) of every STATUS= line so far."""
        return [(at, line[len("STATUS="):]) for at, text in list(self.received) for line in text.split("\n")
                if line.startswith("STATUS=")]

    def names(self):
        return [name for _, name in self.states]

    def wait_for(self, name, count=1, timeout=30):
        """Waits until the state name (csPaused, ...) has been reported count times."""
        return wait_until(lambda: self.names().count(name) >= count, timeout, interval=0.02,
                          what="status %s x%d (seen %r)" % (name, count, self.names()))

    def wait_for_message(self, text, count=1, timeout=20):
        """Waits until count datagrams contain text ("READY=1\\nSTATUS=csRunning", ...)."""
        return wait_until(lambda: sum(text in m for m in self.messages()) >= count, timeout, interval=0.02,
                          what="a report holding %r x%d (seen %r)" % (text, count, self.messages()))

    def drain(self):
        """Stops collecting in the thread and takes what is still queued on the socket: after the service
        has ended, messages() is then complete."""
        self.stopping.set()
        self.thread.join(timeout=5)
        self.sock.setblocking(False)
        while True:
            try:
                self.received.append((time.monotonic(), self.sock.recv(4096).decode()))
            except (BlockingIOError, OSError):
                return

    def close(self):
        self.stopping.set()
        self.thread.join(timeout=5)
        self.sock.close()
