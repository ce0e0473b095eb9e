"""The built program, ended by a signal while the bus simulator bursts every loop and relay.

SIGTERM must close it in the normal order; SIGKILL must cost no record the database had
committed, and the database must open cleanly afterwards.
"""

import os
import signal
import sqlite3
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from workstation import Workstation, records  # noqa: E402

BUILD = os.environ.get("KTEV_BUILD_DIR", "build")
LINE_STATE = 8
# Four full panels; every loop and relay of each changes every two seconds.
SCENARIO = "at 2 burst\nat 4 goto 0\n"


class ProgramEnd(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="ktev-end-")
        folder = Path(self.tmp.name)
        (folder / "bursts.txt").write_text(SCENARIO)
        self.ws = Workstation(BUILD, folder, com=110 + os.getpid() % 100)
        self.ws.start_sim("--devices", 4, "--scenario", folder / "bursts.txt", "--turn-every", 1,
                          "--pace", "fast")
        self.ws.start()

    def tearDown(self):
        self.ws.kill_all()
        self.ws.stop_sim()
        self.tmp.cleanup()

    def line_states(self):
        return sum(1 for r in records(self.ws.db_path) if r[3] == LINE_STATE)

    def wait_for_burst(self):
        """Returns once loop changes of a burst are being stored."""
        self.ws.wait_for(lambda: self.line_states() > 0, 120, "a burst to be recorded")
        start = self.line_states()
        self.ws.wait_for(lambda: self.line_states() > start, 60, "the next burst")

    def test_sigterm_in_a_burst_closes_in_order(self):
        self.wait_for_burst()
        self.ws.signal(signal.SIGTERM)
        self.assertEqual(self.ws.wait(60), 0)
        log = self.ws.log_text().splitlines()
        stopping = [i for i, line in enumerate(log) if "Остановка сервиса..." in line]
        self.assertTrue(stopping, "the service stop is logged")
        self.assertTrue(any("...остановлен" in line for line in log[stopping[-1]:]))
        con = sqlite3.connect(self.ws.db_path)
        self.assertEqual(con.execute("PRAGMA integrity_check").fetchone()[0], "ok")
        con.close()

    def test_sigterm_ends_the_program_when_the_settings_cannot_be_saved(self):
        self.wait_for_burst()
        # A folder where the settings file should be: nobody can write it, root included.
        ini = self.ws.folder / "ktev.ini"
        ini.unlink()
        ini.mkdir()
        self.ws.signal(signal.SIGTERM)
        self.assertEqual(self.ws.wait(60), 0)
        log = self.ws.log_text()
        self.assertIn("Unable to write to %s" % ini, log)
        self.assertIn("...остановлен", log)

    def test_sigkill_in_a_burst_keeps_every_committed_record(self):
        self.wait_for_burst()
        seen = records(self.ws.db_path)
        # Kill while a burst is being written, after more records were seen committed.
        self.ws.wait_for(lambda: len(records(self.ws.db_path)) > len(seen) + 50, 60,
                         "more records")
        seen = records(self.ws.db_path)
        self.ws.signal(signal.SIGKILL)
        self.assertEqual(self.ws.wait(30), -signal.SIGKILL)

        con = sqlite3.connect(self.ws.db_path)
        self.assertEqual(con.execute("PRAGMA integrity_check").fetchone()[0], "ok")
        con.close()
        after = records(self.ws.db_path)
        self.assertGreaterEqual(len(after), len(seen))
        self.assertEqual(after[: len(seen)], seen, "committed records are kept unchanged")

        # The program starts again on the same file and goes on recording.
        self.ws.start()
        last = after[-1][0]
        self.ws.wait_for(lambda: len(records(self.ws.db_path, last)) > 0, 120,
                         "a record after the restart")
        self.ws.signal(signal.SIGTERM)
        self.assertEqual(self.ws.wait(60), 0)
        self.assertEqual(self.ws.log_text().count("Запуск ядра Кордея-ТЛ"), 2)


if __name__ == "__main__":
    unittest.main()
