"""The Debian package: built by CPack from the test build, unpacked with `dpkg -x` into a
temporary root, and run from there offscreen.

- The menu's launcher on a fresh home: the home made, the catalogue copied, the installed
  simulator on the demo scenario, records stored; SIGTERM ends it cleanly.
- A home's own catalogue is the one used, the installed one otherwise.
- A second start on a home in use is refused; another home starts beside it.

KTEV_BUILD_DIR names the build folder (default: build), KTEV_CPACK the cpack program.
"""

import csv
import os
import shutil
import signal
import sqlite3
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("KTEV_BUILD_DIR", ROOT / "build"))
CPACK = os.environ.get("KTEV_CPACK", "cpack")
ENV = dict(os.environ, QT_QPA_PLATFORM="offscreen")
ENV.pop("KTEV_HOME", None)
ENV.pop("KTEV_COM", None)
ALREADY_RUNNING_EXIT = 3


def wait_for(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.1)
    raise AssertionError(f"not within {seconds} s: {what}")


def record_count(db):
    if not db.exists():
        return 0
    try:
        with sqlite3.connect(f"file:{db}?mode=ro", uri=True, timeout=1) as conn:
            return conn.execute("SELECT count(*) FROM record").fetchone()[0]
    except sqlite3.Error:
        return 0  # not made yet, or held for a moment


def stop(process, seconds=30):
    """SIGTERM, then the exit status and stderr; a program that does not end is killed and
    fails."""
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
    try:
        _, err = process.communicate(timeout=seconds)
        return process.returncode, err
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        raise AssertionError("the program did not end on SIGTERM")


class InstalledPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = Path(tempfile.mkdtemp(prefix="ktev-package-"))
        out = cls.tmp / "deb"
        subprocess.run([CPACK, "-G", "DEB", "-B", str(out)], cwd=BUILD, check=True,
                       stdout=subprocess.DEVNULL)
        debs = list(out.glob("ktev_*_amd64.deb"))
        assert len(debs) == 1, debs
        cls.root = cls.tmp / "root"
        subprocess.run(["dpkg", "-x", str(debs[0]), str(cls.root)], check=True)
        cls.bin = cls.root / "usr" / "bin"
        cls.catalogue = cls.root / "usr" / "share" / "ktev" / "TevMessages.ini"

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def start(self, *args):
        process = subprocess.Popen([str(self.bin / "ktev"), *args], env=ENV,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: process.poll() is None and (process.kill(), process.communicate()))
        return process

    def export_messages(self, home, db):
        out = self.tmp / "records.csv"
        subprocess.run([str(self.bin / "ktev"), "--export", "csv", "--home", str(home), "--db",
                        str(db), "--out", str(out)], env=ENV, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(out, encoding="utf-8-sig", newline="") as f:
            return {row[-1] for row in list(csv.reader(f, delimiter=";"))[1:]}

    def test_launcher_records_the_simulated_bus_and_a_home_catalogue_wins(self):
        home = self.tmp / "operator" / "ktev"
        launcher = subprocess.Popen([str(self.bin / "ktev-workstation"), "--home", str(home)],
                                    env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                    text=True)
        self.addCleanup(lambda: launcher.poll() is None and (launcher.kill(),
                                                              launcher.communicate()))
        db = home / "default.db"
        wait_for(lambda: record_count(db) > 0, 90, "a record of the simulated bus in " + str(db))
        self.assertTrue((home / "ports" / "com100").is_symlink())
        status, err = stop(launcher)
        self.assertEqual(status, 0, err)
        self.assertFalse((home / "ports" / "com100").exists(), "the simulator was left running")
        self.assertEqual((home / "TevMessages.ini").read_bytes(), self.catalogue.read_bytes())

        # The site's own texts in the home's copy are what the program writes.
        site = "Площадка: "
        (home / "TevMessages.ini").write_bytes(self.catalogue.read_bytes().replace(
            b"record_format=", b"record_format=" + site.encode("cp1251")))
        messages = self.export_messages(home, db)
        self.assertTrue(messages and all(m.startswith(site) for m in messages), messages)
        # A home without a catalogue takes the installed one.
        messages = self.export_messages(self.tmp / "bare", db)
        self.assertTrue(messages and not any(m.startswith(site) for m in messages), messages)

    def test_second_start_on_a_home_is_refused_and_another_home_runs(self):
        first_home, other_home = self.tmp / "first", self.tmp / "other"
        first = self.start("--home", str(first_home))
        wait_for(lambda: (first_home / "ktev.lock").exists(), 30, "the first program's lock")

        second = self.start("--home", str(first_home))
        _, err = second.communicate(timeout=30)
        self.assertEqual(second.returncode, ALREADY_RUNNING_EXIT, err)
        self.assertIn("уже запущена", err)

        other = self.start("--home", str(other_home))
        wait_for(lambda: (other_home / "ktev.log").exists(), 30, "the other home's program")
        self.assertIsNone(first.poll())
        self.assertIsNone(other.poll())
        status, err = stop(other)
        self.assertEqual(status, 0, err)
        self.assertNotIn("уже запущена", err)
        self.assertEqual(stop(first)[0], 0)


if __name__ == "__main__":
    unittest.main()
