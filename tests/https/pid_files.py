"""Ending the servers a fixture script started in the background, by the pids it wrote down."""

import os
import signal
import time


def end_by_pid(pid, grace_seconds):
    """SIGTERM to pid, then SIGKILL when it is still there after grace_seconds; nothing when it is gone."""
    try:
        os.kill(pid, signal.SIGTERM)
        deadline = time.monotonic() + grace_seconds
        while time.monotonic() < deadline:
            os.kill(pid, 0)
            time.sleep(0.05)
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
