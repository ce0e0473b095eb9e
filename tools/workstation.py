#!/usr/bin/env python3
"""The built program and the bus simulator run as separate processes in a folder of their own.

The soak run, the process tests, the leak check and the memory figures use it: the program is
copied into the folder with the catalogue, so its settings, log and database (all kept beside
the program) stay there, and its output goes to program.out there. The settings are written
with ktev-ini, the program's own profile-file code.

As a command, for shell scripts: DIR is made anew, the simulator started with the arguments
after "--", the program (under the command of --under, if given) run for SECONDS; then it
prints the program's VmRSS and VmHWM (KiB) and Threads, tab-separated, and ends it with
SIGTERM. Exit status 0 when it ended cleanly, else its own (128 + N for signal N, 137 when it
had to be killed after --stop-within seconds), 1 when the run could not be made.

    python3 tools/workstation.py --folder DIR --com N --seconds S [--build build]
        [--stop-within 30] [--under 'valgrind ...'] -- SIMULATOR-ARGUMENTS...
"""

import argparse
import os
import shlex
import shutil
import signal
import sqlite3
import subprocess
import sys
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
        self.ini_path = self.folder / "ktev.ini"
        self.journal_path = self.folder / "journal.txt"
        self.sim = None
        self.proc = None
        self.folder.mkdir(parents=True, exist_ok=True)
        shutil.copy2(self.build / "ui" / "ktev", self.program)
        shutil.copy2(ROOT / "TevMessages.ini", self.folder / "TevMessages.ini")
        sound = self.folder / "sound"
        if not sound.exists():
            sound.symlink_to(ROOT / "sound")
        self.ini_path.unlink(missing_ok=True)
        self.set_settings("Setup", ComNum=com, IsAutoRun=1)
        # An existing database file: the first start does not ask for a new one.
        self.db_path.touch()

    def set_settings(self, section, **keys):
        """Sets keys of one section of the program's ktev.ini, keeping the rest of the file."""
        tool = self.build / "tools" / "ktev-ini"
        if not tool.is_file():
            raise RuntimeError("%s was not built" % tool)
        pairs = [str(x) for item in keys.items() for x in item]
        result = subprocess.run([str(tool), str(self.ini_path), "set", section, *pairs],
                                stderr=subprocess.PIPE, text=True, check=False)
        if result.returncode != 0:
            raise RuntimeError(result.stderr.strip())

    def start_sim(self, *args):
        link = self.folder / "ports" / ("com%d" % self.com)
        cmd = [str(self.build / "tools" / "ktev-bus-sim"), "--com", str(self.com),
               "--ports-dir", str(self.folder / "ports"), "--journal", str(self.journal_path)]
        self.sim = subprocess.Popen(cmd + [str(a) for a in args], stderr=subprocess.PIPE,
                                    text=True)
        deadline = time.monotonic() + 10
        while not link.is_symlink():
            if self.sim.poll() is not None or time.monotonic() > deadline:
                self.sim.kill()
                error = self.sim.communicate()[1]
                self.sim = None
                raise RuntimeError("the bus simulator did not start: " + error)
            time.sleep(0.05)

    def start(self, env=None, under=()):
        """Starts the program offscreen, under the command `under` (valgrind...) if given."""
        full_env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        full_env.update(env or {})
        with open(self.folder / "program.out", "ab") as out:
            self.proc = subprocess.Popen([*under, str(self.program)], cwd=self.folder,
                                         env=full_env, stdout=out, stderr=subprocess.STDOUT)

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
        return self.proc.wait(timeout)

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


def run(args):
    """The command's run; returns its exit status."""
    shutil.rmtree(args.folder, ignore_errors=True)
    ws = Workstation(args.build, args.folder, args.com)
    try:
        ws.start_sim(*args.sim_args)
        ws.start(under=shlex.split(args.under))
        deadline = time.monotonic() + args.seconds
        while time.monotonic() < deadline:
            if ws.proc.poll() is not None:
                raise RuntimeError("the program ended early (%d), see %s"
                                   % (ws.proc.returncode, ws.folder / "program.out"))
            time.sleep(0.2)
        figures = ws.status()
        print("%d\t%d\t%d" % (figures["VmRSS"], figures["VmHWM"], figures["Threads"]),
              flush=True)
        ws.signal(signal.SIGTERM)
        try:
            code = ws.wait(args.stop_within)
        except subprocess.TimeoutExpired:
            print("workstation: the program did not end within %g s of SIGTERM"
                  % args.stop_within, file=sys.stderr)
            ws.proc.kill()
            code = ws.wait(30)
        ws.stop_sim()
    finally:
        ws.kill_all()
    status = 128 - code if code < 0 else code
    if status != 0:
        print("workstation: the program ended with status %d on SIGTERM" % status,
              file=sys.stderr)
    return status


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default="build", help="build folder (default: build)")
    ap.add_argument("--folder", required=True, help="work folder, made anew")
    ap.add_argument("--com", type=int, required=True, help="COM port number of the simulator")
    ap.add_argument("--seconds", type=float, required=True, help="how long the program runs")
    ap.add_argument("--stop-within", type=float, default=30,
                    help="seconds the program has to end after SIGTERM (default 30)")
    ap.add_argument("--under", default="", help="command the program runs under (valgrind...)")
    ap.add_argument("sim_args", nargs="*", help="the simulator's arguments, after --")
    args = ap.parse_args()
    try:
        return run(args)
    except (RuntimeError, OSError) as e:
        print("workstation: %s" % e, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
