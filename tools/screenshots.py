#!/usr/bin/env python3
"""Pictures of the operator's window on the demo bus, for the README and for a look by eye.

For each screen size it starts Xvfb (with openbox as the window manager when it is installed),
the bus simulator with the demo scenario and the built program filling the screen, waits until
the demo's fire, mains and battery events are stored, and writes three pictures:
main-WxH.png (the window after the alarms), tree-WxH.png (the panel in alarm expanded) and
settings-WxH.png (the settings dialog, F12).

    python3 tools/screenshots.py [--build build] [--out docs] [--sizes 1600x1000 1024x768]

Needs the Debian packages xvfb, xdotool and imagemagick (openbox optional).
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from workstation import Workstation, records  # noqa: E402

DEVICE_BATTERY = 6
# The title bar and border openbox adds: the window's own area is set without them.
TITLE_BAR = 20
BORDER = 1


def wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise RuntimeError("timed out waiting for " + what)
        time.sleep(0.2)


def xdotool(env, *args):
    return subprocess.run(["xdotool", *args], env=env, check=True, capture_output=True,
                          text=True).stdout.strip()


def window_of(env, name):
    """The id of the visible window whose title contains `name`, once there is one."""
    found = []

    def search():
        result = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", name], env=env,
                                capture_output=True, text=True, check=False)
        found[:] = result.stdout.split()
        return bool(found)

    wait_until(search, 30, "the window " + name)
    return found[0]


def snap(env, path, settle=1.0):
    """The whole screen to `path`, once the last repaint has had time to land."""
    time.sleep(settle)
    subprocess.run(["import", "-window", "root", str(path)], env=env, check=True)
    print("screenshots: wrote", path)


def shoot(build, out, size, com):
    width, height = (int(x) for x in size.split("x"))
    display = ":%d" % (90 + com % 10)
    env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb")
    xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "%dx%dx24" % (width, height),
                             "-nolisten", "tcp"], stderr=subprocess.DEVNULL)
    helpers = [xvfb]
    folder = Path(tempfile.mkdtemp(prefix="ktev-shots-"))
    ws = None
    try:
        wait_until(lambda: Path("/tmp/.X11-unix/X%s" % display[1:]).exists(), 10, "Xvfb")
        if shutil.which("openbox"):
            helpers.append(subprocess.Popen(["openbox"], env=env, stderr=subprocess.DEVNULL))
        ws = Workstation(build, folder, com)
        ws.set_settings("Options", WindowsTop=TITLE_BAR, WindowsLeft=BORDER,
                        WindowsWidth=width - 2 * BORDER,
                        WindowsHeight=height - TITLE_BAR - BORDER)
        ws.start_sim("--scenario", Path(__file__).resolve().parent / "scenarios" / "demo.txt")
        ws.start(env=env)
        main = window_of(env, "Кордея-ТЛ")
        ws.wait_for(lambda: any(r[3] == DEVICE_BATTERY for r in records(ws.db_path)), 90,
                    "the demo's battery fault")
        snap(env, out / ("main-%s.png" % size))

        # The first panel (in alarm) expanded: select the tree's first line and expand all
        # below it.
        xdotool(env, "windowactivate", "--sync", main)
        xdotool(env, "mousemove", "--window", main, "60", "120", "click", "1")
        xdotool(env, "key", "--window", main, "Home", "asterisk")
        snap(env, out / ("tree-%s.png" % size))

        xdotool(env, "key", "--window", main, "F12")
        window_of(env, "Настройки")
        snap(env, out / ("settings-%s.png" % size))
        # The last tab, MQTT: one step back from the first.
        xdotool(env, "key", "ctrl+shift+Tab")
        snap(env, out / ("settings-mqtt-%s.png" % size))
        xdotool(env, "key", "Escape")
    finally:
        if ws is not None:
            ws.kill_all()
        for helper in reversed(helpers):
            helper.terminate()
            helper.wait(10)
        shutil.rmtree(folder, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default="build", help="build folder (default: build)")
    ap.add_argument("--out", default="docs", help="folder for the pictures (default: docs)")
    ap.add_argument("--sizes", nargs="+", default=["1600x1000", "1024x768"])
    ap.add_argument("--com", type=int, default=140, help="the simulator's COM port number")
    args = ap.parse_args()
    missing = [tool for tool in ("Xvfb", "xdotool", "import") if shutil.which(tool) is None]
    if missing:
        print("screenshots: missing %s; apt-get install xvfb xdotool imagemagick"
              % ", ".join(missing), file=sys.stderr)
        return 1
    out = Path(args.out).resolve()
    out.mkdir(parents=True, exist_ok=True)
    try:
        for size in args.sizes:
            shoot(args.build, out, size, args.com)
    except RuntimeError as error:
        print("screenshots:", error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
