#!/usr/bin/env python3
"""The Windows installer package under Wine's own msiexec and service manager, as a site installs it.

  tests/wine/msi_package.py TELVA4_AUDIT_EXE PREFIX_DIR      (TELVA_MSI_ACTIONS: the custom actions' DLL)

Two packages of different versions are built from the program with packaging/windows/build-msi, then in a
Wine prefix of their own (PREFIX_DIR): a first installation without ENDERECO and CONTRATO is refused with
nothing installed; the older package installs with its settings as properties into a folder with a blank in
its name (files, config.ini's keys, the service's registration with its path quoted, the service started
and completing an audit against the contract-server simulator and one net-snmp agent on 127.0.0.46, the
password in no file but config.ini); the newer one upgrades it (the service stopped and started again,
config.ini kept with a key added, one product registered, the same folder); the older one is refused over
it; removal deletes the service, the program and config.ini and leaves the daily log. What Wine cannot show
(the access list enforced, the installer's hidden properties) is read from the tables in
tests/packaging/msi_tables.py.
"""

import os
import re
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

import harness  # noqa: E402
from harness import PrinterList  # noqa: E402
from harness.wine import WinePrefix  # noqa: E402

EXE = PREFIX = None
ACTIONS = os.environ.get("TELVA_MSI_ACTIONS", "")
BUILD_MSI = os.path.join(harness.REPO, "packaging", "windows", "build-msi")
SERVICE = "TELVA4Audit"
PRODUCT = "TELVA Audit Life Count Manager"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
FOLDER = r"C:\TELVA Audit"
USER, PASSWORD = "tecnico", "S3nha-Forte.9"  # not the service's defaults, so that they must come from config.ini
RUN_END = ("Logout TELVA ok", "Erro no login")


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


class MsiPackageTest(unittest.TestCase):

    def setUp(self):
        self.assertTrue(os.path.isfile(ACTIONS), "TELVA_MSI_ACTIONS names no DLL: %r" % ACTIONS)
        self.scene = harness.Scene(prefix="telva_wine_msi_")
        self.addCleanup(self.scene.close)
        fleet = self.scene.start_fleet(1, first_address="127.0.0.46", lifetime=600)
        self.printers = PrinterList()
        self.printers.add_agent(fleet, fleet.printers[0])
        self.server = self.scene.start_server(self.printers, user=USER, password=PASSWORD)
        self.wine = WinePrefix(PREFIX, self.scene.path("wine-stderr.txt"))
        self.scene.on_close(self.wine.close)
        self.wine.prepare()
        self.folder = os.path.join(PREFIX, "drive_c", "TELVA Audit")
        for code, _ in self.products():  # left by an interrupted run
            self.msiexec("/x", code, "/qn")
        self.log = harness.DailyLog.wine(PREFIX)

    def build(self, version):
        path = self.scene.path("telva4-audit-%s-x64.msi" % version)
        subprocess.run([BUILD_MSI, EXE, ACTIONS, version, path], check=True, timeout=120)
        return path

    def msiexec(self, *args, log=None):
        """msiexec's exit status. The line goes through a command script, so that nothing stands between
        msiexec and its own quoting of the properties."""
        line = "msiexec " + " ".join(args) + (' /l*v "%s"' % windows_path(log) if log else "")
        script = self.scene.path("msiexec.cmd")
        with open(script, "w", newline="") as handle:
            handle.write("@echo off\r\n%s\r\necho msiexec-status=%%errorlevel%%\r\n" % line)
        result = self.wine.wine("cmd", "/c", windows_path(script), timeout=180)
        found = re.search(r"msiexec-status=(\d+)", result.out)
        self.assertIsNotNone(found, "no status from %s: %r %r" % (line, result.status, self.wine.errors_tail()))
        return int(found.group(1))

    def registry(self, key):
        """{key: {value name: data}} for key and the keys below it; {} when it does not exist."""
        keys, current = {}, None
        for line in self.wine.wine("reg", "query", key, "/s", timeout=60).out.splitlines():
            if line.startswith("HKEY_"):
                current = keys.setdefault(line.strip(), {})
            elif current is not None and line.strip():
                parts = re.split(r"\s{4}", line.strip(), maxsplit=2)
                current[parts[0]] = parts[2] if len(parts) == 3 else ""
        return keys

    def products(self):
        """(product code, version) of every installed product of ours."""
        return [(key.rsplit("\\", 1)[1], values.get("DisplayVersion"))
                for key, values in self.registry(UNINSTALL_KEY).items() if values.get("DisplayName") == PRODUCT]

    def settings(self):
        with open(os.path.join(self.folder, "config.ini"), "rb") as handle:
            return handle.read().decode("utf-16-le")  # its byte-order mark kept, as \ufeff

    def wait_for_runs(self, count):
        self.log.wait_for(RUN_END, count=count, timeout=90)
        self.assertEqual(self.log.count("Logout TELVA ok"), count, self.log.text())
        uploads = self.server.uploads()
        self.assertEqual(len(uploads), count)
        self.assertTrue(uploads[-1]["accepted"], uploads[-1])
        self.assertEqual(uploads[-1]["fields"], self.printers.expected_fields())

    def assert_nothing_installed(self):
        self.assertFalse(os.path.exists(self.folder), os.listdir(os.path.dirname(self.folder)))
        self.assertFalse(os.path.exists(os.path.join(PREFIX, "drive_c", "Program Files", "TELVA4Audit")))
        self.assertEqual(self.wine.service_state(SERVICE), "")
        self.assertEqual(self.products(), [])

    def step(self, name):
        print("--- %s (%.1f s)" % (name, time.monotonic() - self.started), flush=True)

    def test_install_refuse_upgrade_remove(self):
        self.started = time.monotonic()
        older, newer = self.build("1.0.0"), self.build("1.1.0")

        self.step("first installation without ENDERECO and CONTRATO")
        log = self.scene.path("refused.log")
        self.assertEqual(self.msiexec("/i", '"%s"' % windows_path(newer), "/qn", "USER=" + USER, log=log), 1603)
        with open(log, encoding="latin-1") as handle:
            self.assertIn("ENDERECO and CONTRATO are needed", handle.read())
        self.assert_nothing_installed()

        self.step("first installation, the older version")
        status = self.msiexec("/i", '"%s"' % windows_path(older), "/qn", 'INSTALLDIR="%s"' % FOLDER,
                              "ENDERECO=" + self.server.address, "CONTRATO=" + harness.CONTRACT, "USER=" + USER,
                              "PASS=" + PASSWORD, "HORARIO=99:99")
        self.assertIn(status, (0, 3010))
        self.assertEqual(sorted(os.listdir(self.folder)),
                         ["README.md", "config.ini", "config.ini.example", "telva4_audit.exe"])
        first_settings = ("\ufeff[SERVIDOR]\r\nendereco=%s\r\ncontrato=%s\r\nuser=%s\r\npass=%s\r\nhorario=99:99\r\n"
                          % (self.server.address, harness.CONTRACT, USER, PASSWORD))
        self.assertEqual(self.settings(), first_settings)
        registration = next(iter(self.registry(r"HKLM\System\CurrentControlSet\Services\TELVA4Audit").values()))
        self.assertEqual({name: registration.get(name) for name in
                          ("ImagePath", "DisplayName", "Start", "Type", "ErrorControl", "ObjectName", "Description")},
                         {"ImagePath": '"%s\\telva4_audit.exe"' % FOLDER, "DisplayName": PRODUCT, "Start": "0x2",
                          "Type": "0x10", "ErrorControl": "0x1", "ObjectName": "LocalSystem", "Description": None})
        self.assertEqual(self.wine.service_state(SERVICE), harness.RUNNING)
        self.wait_for_runs(1)
        self.assertEqual(self.products()[0][1], "1.0.0")
        # The password in no file but config.ini: the registry (exported, as the wineserver keeps it in memory),
        # the installer's cache and temporary files, the users' and the machine's data.
        exported = self.scene.path("registry.reg")
        self.assertEqual(self.wine.wine("regedit", "/E", windows_path(exported)).status, 0)
        drive = os.path.join(PREFIX, "drive_c")
        paths = [exported]
        for top in [os.path.join(drive, "windows", "Installer"), os.path.join(drive, "windows", "temp"),
                    os.path.join(drive, "ProgramData"), os.path.join(drive, "users")]:
            paths += [os.path.join(directory, name) for directory, _, files in os.walk(top) for name in files]
        for path in paths:
            with open(path, "rb") as handle:
                data = handle.read()
            self.assertFalse(PASSWORD.encode() in data or PASSWORD.encode("utf-16-le") in data, path)

        self.step("upgrade to the newer version")
        self.assertEqual(self.msiexec("/i", '"%s"' % windows_path(newer), "/qn", "PARALELO=2"), 0)
        self.assertEqual(self.settings(), first_settings + "paralelo=2\r\n")
        self.assertEqual(len(self.products()), 1)
        self.assertEqual(self.products()[0][1], "1.1.0")
        self.assertEqual(self.log.count(harness.STOP_LINE), 1, "the older version's service was not stopped")
        self.assertEqual(self.log.count(harness.START_LINE), 2)
        self.wait_for_runs(2)

        self.step("the older version over the newer one")
        log = self.scene.path("older.log")
        self.assertEqual(self.msiexec("/i", '"%s"' % windows_path(older), "/qn", log=log), 1603)
        with open(log, encoding="latin-1") as handle:
            self.assertIn(PRODUCT + " 1.0.0 is not newer than the version installed already", handle.read())
        self.assertEqual([version for _, version in self.products()], ["1.1.0"])
        self.assertEqual(self.wine.service_state(SERVICE), harness.RUNNING)

        self.step("removal")
        self.assertEqual(self.msiexec("/x", '"%s"' % windows_path(newer), "/qn"), 0)
        self.assert_nothing_installed()
        self.assertEqual(self.registry(r"HKLM\Software\TELVA"), {})
        self.assertEqual(self.log.count(harness.STOP_LINE), 2, "the service was not stopped")
        self.step("done")


if __name__ == "__main__":
    harness.run_wine_script(__doc__, globals())
