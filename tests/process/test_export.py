"""The program's export and backup without a window: `ktev --export` and `ktev --backup`.

Each file written is read back (csv, openpyxl, pdfinfo/pdftotext) and held against the rows the
database holds under the same filter. KTEV_BUILD_DIR names the build folder (default: build).
"""

import calendar
import csv
import os
import sqlite3
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

import openpyxl

ROOT = Path(__file__).resolve().parents[2]
PROGRAM = Path(os.environ.get("KTEV_BUILD_DIR", ROOT / "build")) / "ui" / "ktev"
ENV = dict(os.environ, TZ="UTC", QT_QPA_PLATFORM="offscreen")
CAPTIONS = ["#", "Device ID", "Дата / Время", "Адрес", "Имя", "Описание", "Тип", "Сообщение"]

SCHEMA = """
CREATE TABLE `record` ( `id` INTEGER PRIMARY KEY AUTOINCREMENT, `device_id` INTEGER NOT NULL,
  `utime` INTEGER, `type` INTEGER, `value` INTEGER );
CREATE TABLE `device` ( `id` INTEGER PRIMARY KEY AUTOINCREMENT, `device_id` INTEGER NOT NULL
  UNIQUE, `address` INTEGER, `const_name` TEXT, `user_name` TEXT, `lines` INTEGER, `sensors`
  INTEGER, `relays` INTEGER, `archives` INTEGER, `remote` INTEGER );
"""
START = 1_780_000_000  # 2026-05-28T20:26:40 UTC
DEVICES = {0x0A: (1, 'Склад;"А"', "Ряд 1\nРяд 2"), 0x4B540041: (2, "ППКОП-16", "Вход")}
# Device 0x77 has records and no row: they are on no page.
FILTER = ["--device", "A", "--types", "0x16", "--from", "2026-05-28T21:00", "--to",
          "2026-05-29T03:00"]


def make_database(path):
    db = sqlite3.connect(path)
    db.executescript(SCHEMA)
    for device, (address, name, user) in DEVICES.items():
        db.execute("INSERT INTO device (device_id, address, const_name, user_name, lines, "
                   "sensors, relays, archives, remote) VALUES (?, ?, ?, ?, 4, 0, 2, 0, 1)",
                   (device, address, name, user))
    devices = [0x0A, 0x4B540041, 0x77]
    db.executemany("INSERT INTO record (device_id, utime, type, value) VALUES (?, ?, ?, ?)",
                   [(devices[i % 3], START + 3 * i, i % 7, i % 5) for i in range(12000)])
    db.commit()
    db.close()


def expected_rows(path):
    """The ids, device ids, times, addresses and names the filter selects, newest first."""
    db = sqlite3.connect(path)
    # The program runs in UTC (ENV): its local times are these.
    low = calendar.timegm(time.strptime("2026-05-28T21:00", "%Y-%m-%dT%H:%M"))
    high = calendar.timegm(time.strptime("2026-05-29T03:00", "%Y-%m-%dT%H:%M"))
    rows = db.execute(
        "SELECT r.id, r.device_id, r.utime, d.address, d.const_name, d.user_name FROM record r "
        "JOIN device d ON d.device_id = r.device_id WHERE r.device_id = 10 AND r.utime BETWEEN "
        "? AND ? AND (r.type = 0 OR (0x16 >> r.type) & 1) ORDER BY r.id DESC",
        (low, high)).fetchall()
    db.close()
    return [[str(i), f"{d:08X}", time.strftime("%d/%m/%Y %H:%M:%S", time.gmtime(t)), str(a), n, u]
            for i, d, t, a, n, u in rows]


def ktev(*args):
    return subprocess.run([PROGRAM, *map(str, args)], capture_output=True, text=True,
                          timeout=120, env=ENV)


class Export(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="ktev-export-")
        cls.dir = Path(cls.tmp.name)
        cls.db = cls.dir / "records.db"
        make_database(cls.db)
        cls.expected = expected_rows(cls.db)
        assert len(cls.expected) > 1000, "the filter must span several pages of the export"

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def export(self, kind, *extra):
        out = self.dir / f"out.{kind}"
        result = ktev("--export", kind, "--db", self.db, "--out", out, *FILTER, *extra)
        self.assertEqual(result.returncode, 0, result.stderr)
        return out

    def check_rows(self, rows):
        self.assertEqual(rows[0], CAPTIONS)
        body = rows[1:]
        self.assertEqual([r[:6] for r in body], self.expected)
        # The type name and the message come from the catalogue: never empty, never "???".
        self.assertTrue(all(r[6] and r[7] and r[7] != "???" for r in body))
        return body

    def test_csv_and_xlsx_hold_the_filtered_rows(self):
        raw = self.export("csv").read_bytes()
        self.assertTrue(raw.startswith(b"\xef\xbb\xbf"))
        with open(self.dir / "out.csv", newline="", encoding="utf-8-sig") as f:
            csv_rows = self.check_rows(list(csv.reader(f, delimiter=";")))
        book = openpyxl.load_workbook(self.export("xlsx"), read_only=True)
        sheet = book.worksheets[0]
        xlsx_rows = [["" if c is None else str(c) for c in row]
                     for row in sheet.iter_rows(values_only=True)]
        self.assertEqual(self.check_rows(xlsx_rows), csv_rows)

    def test_pdf_pages_hold_every_row(self):
        out = self.export("pdf")
        info = subprocess.run(["pdfinfo", out], capture_output=True, text=True, check=True).stdout
        pages = int(next(l.split()[1] for l in info.splitlines() if l.startswith("Pages:")))
        text = subprocess.run(["pdftotext", "-layout", out, "-"], capture_output=True, text=True,
                              check=True).stdout
        self.assertGreater(pages, 1)
        self.assertEqual(text.count("Записи: устройство 0000000A"), pages)
        self.assertIn(f"стр. {pages}", text)
        ids = {line.split()[0] for line in text.splitlines() if line.split()}
        self.assertTrue({r[0] for r in self.expected} <= ids)

    def test_backup_is_a_whole_copy(self):
        out = self.dir / "copy.db"
        result = ktev("--backup", "--db", self.db, "--out", out)
        self.assertEqual(result.returncode, 0, result.stderr)
        copy = sqlite3.connect(out)
        self.assertEqual(copy.execute("PRAGMA integrity_check").fetchone()[0], "ok")
        self.assertEqual(copy.execute("SELECT count(*) FROM record").fetchone()[0], 12000)
        copy.close()

    def test_bad_arguments_and_files_fail_with_a_message(self):
        foreign = self.dir / "foreign.db"
        sqlite3.connect(foreign).execute("CREATE TABLE other (x)").connection.commit()
        kept = self.dir / "kept.csv"
        kept.write_text("kept")
        out = self.dir / "bad.csv"
        cases = [
            (2, ["--export", "txt", "--db", self.db, "--out", out]),
            (2, ["--export", "csv", "--db", self.db]),
            (2, ["--export", "csv", "--db", self.db, "--out", out, "--from", "2026-13-01T00:00"]),
            (2, ["--export", "csv", "--db", self.db, "--out", out, "--device", "XYZ"]),
            (2, ["--export", "csv", "--db", self.db, "--out", out, "--from", "2026-05-29T00:00",
                 "--to", "2026-05-28T00:00"]),
            (2, ["--backup", "--db", self.db, "--out", out, "--types", "1"]),
            (1, ["--export", "csv", "--db", self.dir / "missing.db", "--out", out]),
            (1, ["--export", "csv", "--db", foreign, "--out", out]),
            (1, ["--export", "csv", "--db", self.db, "--out", self.dir / "no" / "out.csv"]),
            (1, ["--backup", "--db", self.dir / "missing.db", "--out", out]),
            (1, ["--backup", "--db", self.db, "--out", self.db]),
            # An export that fails leaves a file of the chosen name as it was.
            (1, ["--export", "csv", "--db", foreign, "--out", kept]),
        ]
        for status, args in cases:
            with self.subTest(args=" ".join(map(str, args))):
                result = ktev(*args)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertTrue(result.stderr.strip())
        self.assertFalse(out.exists())
        self.assertFalse((self.dir / "missing.db").exists())
        self.assertEqual(kept.read_text(), "kept")
        self.assertEqual(sorted(p.name for p in self.dir.iterdir() if ".XXXXXX" in p.name
                                or p.name.startswith(("bad.", "kept.csv."))), [])


if __name__ == "__main__":
    unittest.main()
