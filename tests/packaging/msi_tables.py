#!/usr/bin/env python3
"""The Windows installer package's tables, as msiinfo reads them: what Wine's installer cannot show.

  tests/packaging/msi_tables.py TELVA4_AUDIT_EXE TELVA4_MSI_ACTIONS_DLL

config.ini's access list and the actions that apply it, the service's registration and control rows, the
upgrade rows, the hidden properties and what Programs and Features shows. tests/wine/msi_package.py runs the
package itself.
"""

import os
import subprocess
import sys
import tempfile
import unittest

REPO = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
VERSION = "2.3.4"
EXE = ACTIONS = None


def table(package, name):
    """The rows of a table as dicts by column name (msiinfo export: names, types, key line, then rows)."""
    lines = subprocess.run(["msiinfo", "export", package, name], check=True, capture_output=True,
                           text=True).stdout.splitlines()
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]


class MsiTablesTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory(prefix="telva_msi_tables_")
        cls.package = os.path.join(cls.directory.name, "telva4-audit-%s-x64.msi" % VERSION)
        subprocess.run([os.path.join(REPO, "packaging", "windows", "build-msi"), EXE, ACTIONS, VERSION, cls.package],
                       check=True, timeout=120)
        cls.properties = {row["Property"]: row["Value"] for row in table(cls.package, "Property")}
        cls.actions = {row["Action"]: row for row in table(cls.package, "CustomAction")}
        cls.sequence = {row["Action"]: row for row in table(cls.package, "InstallExecuteSequence")}

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()

    def assert_in_order(self, *actions):
        numbers = [int(self.sequence[action]["Sequence"]) for action in actions]
        self.assertEqual(numbers, sorted(numbers), "out of order: %s" % ", ".join(actions))

    def assert_deferred_dll_action(self, action, extra_type=0):
        # A function of the Binary DLL (1), run in the installation script (0x400) as LocalSystem (0x800).
        self.assertEqual(int(self.actions[action]["Type"]), 1 | 0x400 | 0x800 | extra_type, action)
        self.assertEqual(self.actions[action]["Source"], "Actions")

    def test_settings_file_access_list_and_its_actions(self):
        # Protected (nothing inherited), full control for Administrators (S-1-5-32-544) and SYSTEM (S-1-5-18).
        self.assertEqual(self.properties["SettingsFileAccess"], "D:P(A;;FA;;;BA)(A;;FA;;;SY)")
        self.assert_deferred_dll_action("SaveSettings", 0x2000)  # its action data hidden from the log
        self.assert_deferred_dll_action("UndoSettings", 0x100 | 0x40)  # rollback, its failure ignored
        self.assert_deferred_dll_action("RemoveSettings")
        self.assertEqual(self.sequence["RemoveSettings"]["Condition"], 'REMOVE~="ALL" AND NOT UPGRADINGPRODUCTCODE')
        self.assertEqual(int(self.actions["PrepareSettings"]["Type"]) & 0x400, 0, "PrepareSettings is immediate")
        self.assert_in_order("CostFinalize", "PrepareSettings", "InstallValidate", "RemoveFiles", "RemoveSettings",
                             "InstallFiles", "UndoSettings", "SaveSettings", "InstallServices")

    def test_service_registration_and_control(self):
        [service] = table(self.package, "ServiceInstall")
        self.assertEqual({k: service[k] for k in ("Name", "DisplayName", "ServiceType", "StartType", "StartName",
                                                  "Password", "Arguments", "Description", "Dependencies")},
                         {"Name": "TELVA4Audit", "DisplayName": "TELVA Audit Life Count Manager",
                          "ServiceType": "16", "StartType": "2", "StartName": "", "Password": "", "Arguments": "",
                          "Description": "", "Dependencies": ""})
        self.assertEqual(int(service["ErrorControl"]), 0x8000 | 1)  # normal, and vital to the installation
        [component] = [c for c in table(self.package, "Component") if c["Component"] == service["Component_"]]
        [program] = [f for f in table(self.package, "File") if f["File"] == component["KeyPath"]]
        self.assertEqual(program["FileName"], "telva4_audit.exe")
        self.assertEqual(int(component["Attributes"]) & 0x100, 0x100, "a 64-bit component")
        directories = {row["Directory"]: row for row in table(self.package, "Directory")}
        self.assertEqual(directories[component["Directory_"]]["DefaultDir"], "TELVA4Audit")
        self.assertEqual(directories[component["Directory_"]]["Directory_Parent"], "ProgramFiles64Folder")
        [control] = table(self.package, "ServiceControl")
        # Start on installation (1); stop (2, 0x20) and delete (8, 0x80) on installation and removal; waited for.
        self.assertEqual((control["Name"], int(control["Event"]), control["Wait"]), ("TELVA4Audit", 0xAB, "1"))
        self.assertEqual(self.sequence["StartServices"]["Condition"], 'START <> "0"')
        self.assertEqual(self.actions["SetAwaitServiceStop"]["Target"], "TELVA4Audit")
        self.assertEqual(self.actions["SetQuoteServicePath"]["Target"], "TELVA4Audit|[#%s]" % program["File"])
        self.assert_in_order("StopServices", "AwaitServiceStop", "DeleteServices", "InstallServices",
                             "QuoteServicePath", "StartServices")

    def test_upgrade_rows(self):
        rows = {row["ActionProperty"]: row for row in table(self.package, "Upgrade")}
        self.assertEqual({p: (r["VersionMin"], r["VersionMax"], int(r["Attributes"])) for p, r in rows.items()},
                         {"OLDERFOUND": ("0.0.0", VERSION, 0x100),  # older versions: found and removed
                          "NEWERFOUND": (VERSION, "", 0x100 | 0x2)})  # this version and newer: only detected
        self.assertEqual(self.sequence["RefuseNotNewer"]["Condition"],
                         "NEWERFOUND OR (Installed AND NOT REMOVE AND NOT REINSTALL)")
        self.assertIn("is not newer than the version installed already", self.properties["NotNewerMessage"])
        self.assert_in_order("RefuseNotNewer", "InstallInitialize", "RemoveExistingProducts", "ProcessComponents")

    def test_hidden_and_secure_properties(self):
        self.assertEqual(self.properties["MsiHiddenProperties"].split(";"), ["PASS", "SaveSettings"])
        secure = self.properties["SecureCustomProperties"].split(";")
        for name in ("ENDERECO", "CONTRATO", "USER", "PASS", "HORARIO", "PARALELO", "CERTIFICADO", "START",
                     "INSTALLDIR"):
            self.assertIn(name, secure)

    def test_programs_and_features(self):
        self.assertEqual({k: self.properties.get(k) for k in ("ProductName", "Manufacturer", "ProductVersion",
                                                              "ALLUSERS", "ARPNOMODIFY", "ARPNOREPAIR")},
                         {"ProductName": "TELVA Audit Life Count Manager", "Manufacturer": "TELVA",
                          "ProductVersion": VERSION, "ALLUSERS": "1", "ARPNOMODIFY": "1", "ARPNOREPAIR": "1"})
        self.assertEqual(self.actions["SetArpInstallLocation"]["Target"], "[INSTALLDIR]")
        summary = subprocess.run(["msiinfo", "suminfo", self.package], check=True, capture_output=True,
                                 text=True).stdout
        self.assertIn("Template: x64;1033", summary)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        print(__doc__)
        sys.exit(2)
    EXE, ACTIONS = (os.path.abspath(p) for p in sys.argv[1:3])
    unittest.main(argv=sys.argv[:1], verbosity=2)
