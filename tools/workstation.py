"""The built program and the bus simulator run as separate processes in a folder of their own.

The soak run and the process tests use it: the program is copied into the folder with the
catalogue, so its settings, log and database (all kept beside the program) stay there.
"""

import os
import shutil
import signal
import sqlite3
import subprocess
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


class Workstation:
    def __init__(self, build_dir, folder, com=100):
        self.build = Path(build_dir).resolve()
        self.folder = Path(folder).resolve()
        self.com = com
        self.program = self.folder / "ktev"
        self.db_path = self.folder / "default.db"
        self.log_path = self.folder / "ktev.log"
        self.journal_path = self.folder / "journal.txt"
        self.sim = None
        self.proc = None
        self.folder.mkdir(parents=True, exist_ok=True)
        shutil.copy2(self.build / "ui" / "ktev", self.program)
        shutil.copy2(ROOT / "TevMessages.ini", self.folder / "TevMessages.ini")
        sound = self.folder / "sound"
        if not sound.exists():
            sound.symlink_to(ROOT / "sound")
        # The settings file is Windows-1251 with CR LF; these keys are plain ASCII.
        (self.folder / "ktev.ini").write_bytes(
            b"[Setup]\r\nComNum=%d\r\nIsAutoRun=1\r\n" % com)
        # An existing database file: the first start does not ask for a new one.
        self.db_path.touch()

    def start_sim(self, *args):
        link = self.folder / "ports" / ("com%d" % self.com)
        cmd = [str(self.build / "tools" / "ktev-bus-sim"), "--com", str(self.com),
               "--ports-dir", str(self.folder / "ports"), "--journal", str(self.journal_path)]
        self.sim = subprocess.Popen(cmd + [str(a) for a in args], stderr=subprocess.PIPE,
                                    text=True)
        deadline = time.monotonic() + 10
        while not link.is_symlink():
            if self.sim.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the bus simulator did not start: " + self.sim.stderr.read())
            time.sleep(0.05)

    def start(self, env=None):
        full_env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        full_env.update(env or {})
        self.proc = subprocess.Popen([str(self.program)], cwd=self.folder, env=full_env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)

    def status(self):
        """VmRSS and VmHWM in KiB and Threads of the running program, from /proc."""
        values = {}
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                key, _, rest = line.partition(":")
                if key in ("VmRSS", "VmHWM", "Threads"):
                    values[key] = int(rest.split()[0])
        return values

    def signal(self, sig):
        self.proc.send_signal(sig)

    def wait(self, timeout):
        """The program's exit code (negative: the signal that ended it)."""
        code = self.proc.wait(timeout)
        self.proc.stderr.close()
        return code

    def stop_sim(self):
        """Stops the simulator; returns what it wrote on standard error (its counters)."""
        if self.sim is None:
            return ""
        if self.sim.poll() is None:
            self.sim.send_signal(signal.SIGTERM)
        text = self.sim.communicate(timeout=30)[1]
        self.sim = None
        return text

    def kill_all(self):
        for p in (self.proc, self.sim):
            if p is not None and p.poll() is None:
                p.kill()
                p.communicate()

    def log_text(self):
        if not self.log_path.exists():
            return ""
        return self.log_path.read_bytes().decode("cp1251", errors="replace")

    def wait_for(self, condition, timeout, what):
        deadline = time.monotonic() + timeout
        while not condition():
            if self.proc.poll() is not None:
                raise RuntimeError("the program ended (%d) while waiting for %s"
                                   % (self.proc.returncode, what))
            if time.monotonic() > deadline:
                raise RuntimeError("timed out waiting for " + what)
            time.sleep(0.2)


def open_db(path):
    """A read-only connection that waits out the program's write locks."""
    con = sqlite3.connect("file:%s?mode=ro" % path, uri=True, timeout=30)
    return con


def records(path, after_id=0):
    """(id, device_id, utime, type, value) of every record after the given id."""
    con = open_db(path)
    try:
        return con.execute("SELECT id, device_id, utime, type, value FROM record WHERE id > ? "
                           "ORDER BY id", (after_id,)).fetchall()
    except sqlite3.OperationalError:
        return []  # the tables are not there yet
    finally:
        con.close()
