"""ktev-ini, the settings file's command-line reader and writer that run.sh and the harness use.

KTEV_BUILD_DIR names the build folder (default: build).
"""

import os
import subprocess
import tempfile
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
TOOL = Path(os.environ.get("KTEV_BUILD_DIR", ROOT / "build")) / "tools" / "ktev-ini"


def ktev_ini(*args):
    return subprocess.run([TOOL, *map(str, args)], capture_output=True, text=True, timeout=60)


class KtevIni(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="ktev-ini-")
        self.ini = Path(self.tmp.name) / "ktev.ini"

    def tearDown(self):
        self.tmp.cleanup()

    def test_set_changes_only_its_keys(self):
        before = (b"; settings\r\n[Options]\r\nLeft=10\r\n[setup]\r\ncomnum=3\r\nDBFile=a.db\n"
                  b"[Panels]\r\nTree=1")
        self.ini.write_bytes(before)
        result = ktev_ini(self.ini, "set", "Setup", "ComNum", 100, "IsAutoRun", 1)
        self.assertEqual(result.returncode, 0, result.stderr)
        # The key keeps the file's spelling and place; a new key ends its section.
        self.assertEqual(self.ini.read_bytes(),
                         b"; settings\r\n[Options]\r\nLeft=10\r\n[setup]\r\ncomnum=100\r\n"
                         b"DBFile=a.db\nIsAutoRun=1\r\n[Panels]\r\nTree=1")
        self.assertEqual(ktev_ini(self.ini, "get", "SETUP", "comnum").stdout, "100\n")

    def test_a_missing_file_is_made_and_cyrillic_is_windows_1251_on_disk(self):
        name = "Пост охраны №1"
        self.assertEqual(ktev_ini(self.ini, "set", "Setup", "Caption", name).returncode, 0)
        self.assertEqual(self.ini.read_bytes(),
                         b"[Setup]\r\nCaption=" + name.encode("cp1251") + b"\r\n")
        result = ktev_ini(self.ini, "get", "Setup", "Caption")
        self.assertEqual((result.returncode, result.stdout), (0, name + "\n"))

    def test_failures_exit_non_zero_with_a_message(self):
        self.ini.write_bytes(b"[Setup]\r\nComNum=5\r\n")
        cases = {
            2: [[], [self.ini, "set", "Setup"], [self.ini, "set", "Setup", "ComNum"],
                [self.ini, "get", "Setup"], [self.ini, "get", "Setup", "ComNum", "x"],
                [self.ini, "put", "Setup", "ComNum", 1]],
            1: [[self.ini, "get", "Setup", "Missing"], [self.ini, "get", "Other", "ComNum"],
                [self.ini, "set", "Setup", "Com=Num", 1], [self.ini, "set", "", "ComNum", 1],
                [Path(self.tmp.name) / "absent" / "ktev.ini", "set", "Setup", "ComNum", 1],
                [Path(self.tmp.name) / "absent.ini", "get", "Setup", "ComNum"]],
        }
        for code, arg_lists in cases.items():
            for args in arg_lists:
                with self.subTest(args=args):
                    result = ktev_ini(*args)
                    self.assertEqual(result.returncode, code)
                    self.assertIn("ktev-ini: ", result.stderr)
                    self.assertEqual(result.stdout, "")
        self.assertEqual(self.ini.read_bytes(), b"[Setup]\r\nComNum=5\r\n")
        self.assertEqual(os.listdir(self.tmp.name), ["ktev.ini"], "no temporary file is left")


if __name__ == "__main__":
    unittest.main()
