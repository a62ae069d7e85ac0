"""A scene: a temp directory, the machine lock, and every process and socket one test starts, closed (also
on failure) in reverse order."""

import json
import os
import shutil
import tempfile

from .base import MACHINE_LOCK_SECONDS, HarnessError, MachineLock
from .logs import DailyLog
from .notify import NotifySocket
from .printers import Fleet, PrinterList, SnmpResponder, stop_fleet_dir
from .server import ContractServer
from .service import DEFAULT, NativeService, WineService


class Scene:
    """A temp directory and every process a test starts in it; closing (also on failure) stops them by pid
    in reverse order and removes the directory (kept when TELVA_E2E_KEEP is set, for inspection)."""

    def __init__(self, prefix="telva_e2e_", lock_timeout=MACHINE_LOCK_SECONDS):
        self._closers = []
        self._lock = MachineLock(lock_timeout)
        self.directory = tempfile.mkdtemp(prefix=prefix)
        self.log = DailyLog()
        self.fleet = None
        self.server = None
        self.service = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def path(self, *names):
        return os.path.join(self.directory, *names)

    def on_close(self, closer):
        self._closers.append(closer)

    def start_fleet(self, count, values=None, first_address="127.0.0.2", name="fleet", lifetime=900):
        fleet_dir = self.path(name)
        os.makedirs(fleet_dir, exist_ok=True)
        # Registered before the start, so agents of a half-finished start are stopped too.
        self.on_close(lambda: stop_fleet_dir(fleet_dir))
        self.fleet = Fleet(fleet_dir, count, values=values, first_address=first_address, lifetime=lifetime)
        return self.fleet

    def start_server(self, printers, behaviour_path=None, **kwargs):
        """printers: a PrinterList, a dict (served as "items") or a path to a printers.json."""
        if isinstance(printers, PrinterList):
            printers_path = printers.write(self.path("printers.json"))
        elif isinstance(printers, dict):
            printers_path = self.path("printers.json")
            with open(printers_path, "w") as handle:
                json.dump(printers, handle)
        else:
            printers_path = printers
        self.server = ContractServer(self.path("server"), printers_path, behaviour_path=behaviour_path, **kwargs)
        self.on_close(self.server.stop)
        return self.server

    def start_service(self, binary, server_address=None, config=None, in_place=False, settings=DEFAULT, log=None,
                      **kwargs):
        """Runs a copy of binary in the foreground in the scene's directory, or (in_place) the binary itself
        with config.ini written beside it. The other keywords go to NativeService (env, args, wrapper)."""
        if settings is DEFAULT and server_address is None:
            server_address = self.server.address
        directory = None if in_place else self.path("service")
        self.service = NativeService(binary, directory, server_address, log=log or self.log, config=config,
                                     stderr_path=self.path("service.stderr"), settings=settings, start=False,
                                     **kwargs)
        self.on_close(self.service.kill)
        self.service.start()
        return self.service

    def install_wine_service(self, exe, prefix, server_address=None, config=None, settings=DEFAULT, install=True):
        """The Windows program copied into the scene with config.ini beside it and (install) installed as a
        service in the Wine prefix, not started. Closing the scene stops and uninstalls it and ends the
        prefix's wineserver."""
        if settings is DEFAULT and server_address is None:
            server_address = self.server.address
        self.service = WineService(exe, self.path("wine"), prefix, server_address, config=config, settings=settings)
        self.on_close(self.service.close)
        if install:
            self.service.install()
        return self.service

    def responder(self, address, answer):
        """An SnmpResponder on ADDRESS:161, closed with the scene."""
        responder = SnmpResponder(address, answer)
        self.on_close(responder.close)
        return responder

    def notify_socket(self):
        """A NotifySocket in the scene's directory, closed with the scene."""
        notify = NotifySocket(self.directory)
        self.on_close(notify.close)
        return notify

    def close(self):
        errors = []
        while self._closers:
            closer = self._closers.pop()
            try:
                closer()
            except Exception as error:  # keep stopping the rest
                errors.append(error)
        if not os.environ.get("TELVA_E2E_KEEP"):
            shutil.rmtree(self.directory, ignore_errors=True)
        self._lock.release()
        if errors:
            raise HarnessError("cleanup failed: %r" % errors)
