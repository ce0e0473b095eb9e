#!/usr/bin/env python3
"""Soak run: the program against the bus simulator with many full devices changing state.

The simulator makes random changes for a while, then keeps polling while the program catches
up; the program is then closed with SIGTERM. Every change in the simulator's journal is looked
for in the database: each value a loop, relay or device item took must be recorded exactly once,
in order, unless the item changed again before the program could have read it. Memory and
threads of the program are sampled throughout. Prints the figures; exit code 1 on a failure.

    python3 tools/soak.py --minutes 30               # the long run
    python3 tools/soak.py --minutes 2 --devices 16   # the short run the tests make
"""

import argparse
import bisect
import collections
import re
import shutil
import signal
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from workstation import Workstation, records  # noqa: E402

# Record type codes of the program.
MAX_STATE, DEVICE_STATE, DEVICE_POWER, DEVICE_BATTERY = 3, 4, 5, 6
LINE_STATE, LINE_TYPE = 8, 10
RELAY_STATE, RELAY_CONTROL, RELAY_TYPE, RELAY_MODE = 16, 18, 20, 22
CHECKED_TYPES = {MAX_STATE, DEVICE_STATE, DEVICE_POWER, DEVICE_BATTERY, LINE_STATE, LINE_TYPE,
                 RELAY_STATE, RELAY_CONTROL, RELAY_TYPE, RELAY_MODE}

READ = re.compile(r"^\d+ \S+ +([\d.]+) received device \d+ \(([0-9A-F]{8})\) "
                  r"(GET_LINES|GET_RELAYS) answered")
CHANGE = re.compile(r"^\d+ \S+ +([\d.]+) change +device \d+ \(([0-9A-F]{8})\) (\w+)"
                    r"(?: \d+ \(index (\d+)\))? 0x([0-9A-F]+) -> 0x([0-9A-F]+)")


def expected_records(item, index, old, new):
    """(type, element index or -1, old and new record value) of each record a change of the
    simulator calls for, as the program's handlers make them."""
    def element(i, v):
        return (i << 16) | v

    out = []
    if item == "loop":
        if (old & 0x1F) != (new & 0x1F):
            out.append((LINE_STATE, index, element(index, old & 0x1F), element(index, new & 0x1F)))
        if ((old >> 3) & 3) != ((new >> 3) & 3):
            out.append((LINE_TYPE, index, element(index, (old >> 3) & 3),
                        element(index, (new >> 3) & 3)))
    elif item == "relay":
        for rtype, shift, mask in ((RELAY_STATE, 0, 1), (RELAY_CONTROL, 1, 7),
                                   (RELAY_TYPE, 4, 7), (RELAY_MODE, 7, 1)):
            if (old >> shift) & mask != (new >> shift) & mask:
                out.append((rtype, index, element(index, (old >> shift) & mask),
                            element(index, (new >> shift) & mask)))
    else:
        rtype = {"state": DEVICE_STATE, "power": DEVICE_POWER, "battery": DEVICE_BATTERY,
                 "summary": MAX_STATE}.get(item)
        if rtype is not None:
            out.append((rtype, -1, old, new))
    return out


def read_journal(path, from_s):
    """Per item (device id, type, index): the values it took from `from_s` on, as
    [(elapsed seconds, record value, the value before)]; and per (device id, command) the times
    the program read the device's loops or relays."""
    items = collections.defaultdict(list)
    reads = collections.defaultdict(list)
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            m = READ.match(line)
            if m:
                reads[(int(m.group(2), 16), m.group(3))].append(float(m.group(1)))
                continue
            m = CHANGE.match(line)
            if not m:
                continue
            elapsed = float(m.group(1))
            if elapsed < from_s:
                continue
            device = int(m.group(2), 16)
            index = int(m.group(4)) if m.group(4) is not None else -1
            for rtype, i, old, new in expected_records(m.group(3), index, int(m.group(5), 16),
                                                       int(m.group(6), 16)):
                items[(device, rtype, i)].append((elapsed, new, old))
    return items, reads


def read_database(path, after_id, start_wall):
    """Per item: [(seconds since the simulator started, record value)] in the order stored."""
    items = collections.defaultdict(list)
    for _, device, utime, rtype, value in records(path, after_id):
        if rtype in CHECKED_TYPES:
            index = (value >> 16) if rtype >= LINE_STATE else -1
            items[(device & 0xFFFFFFFF, rtype, index)].append((utime - start_wall, value))
    return items


def read_between(reads, key, start, stop):
    """Whether the program read the loops or relays of the item's device between two times;
    items of the device itself are in every poll, taken here as every `cycle` seconds."""
    device, rtype, _ = key
    command = "GET_LINES" if rtype in (LINE_STATE, LINE_TYPE) else "GET_RELAYS"
    times = reads[(device, command)]
    n = bisect.bisect_right(times, start)
    return n < len(times) and times[n] < stop


def compare(sim, reads, db, end_s, cycle, max_wait):
    """Matches each item's recorded values against the values it took, in order. A value left
    out is excusable only when the program could not have read it (the item changed again
    before the next read of it), or when it is the value the program last knew (it came back
    before the program saw it leave). A value of loops or relays the program left unread for
    longer than `max_wait` seconds counts as starved: the program must read every panel in
    bounded time."""
    result = {"changes": 0, "recorded": 0, "unheard": 0, "returned": 0, "missed": 0,
              "starved": 0,
              "invented": 0,
              "duplicates": 0, "unheard_longest": 0.0, "examples": []}
    for key in set(sim) | set(db):
        taken = sim.get(key, [])
        stored = db.get(key, [])
        result["changes"] += len(taken)
        j = 0
        previous = None
        known = [taken[0][2] if taken else None]
        for stored_s, value in stored:
            if value == previous:
                result["duplicates"] += 1
                result["examples"].append(("duplicate", key, value))
                continue
            previous = value
            # The value the item had when it was stored: the last change to it before then
            # (the stored time is whole seconds).
            k = len(taken)
            for n in range(j, len(taken)):
                if taken[n][0] > stored_s + 2 and k < len(taken):
                    break
                if taken[n][1] == value:
                    k = n
            if k == len(taken):
                result["invented"] += 1
                result["examples"].append(("not made by the simulator", key, value))
                continue
            skip_values(taken, j, k, end_s, reads, (cycle, max_wait), key, known, result)
            result["recorded"] += 1
            known[0] = value
            j = k + 1
        skip_values(taken, j, len(taken), end_s, reads, (cycle, max_wait), key, known, result)
    return result


def skip_values(taken, start, stop, end_s, reads, limits, key, known, result):
    cycle, max_wait = limits
    for n in range(start, stop):
        if taken[n][1] == known[0]:
            result["returned"] += 1
            continue
        lived = (taken[n + 1][0] if n + 1 < len(taken) else end_s) - taken[n][0]
        if key[2] < 0:
            # Cycles differ in length with the reads made in the program's turns.
            heard = lived > 2 * cycle
        else:
            heard = read_between(reads, key, taken[n][0], taken[n][0] + lived)
            if not heard and lived > max_wait:
                result["starved"] += 1
                result["examples"].append(("left unread for %.1f s" % lived, key, taken[n][1]))
                continue
        if not heard:
            result["unheard"] += 1
            result["unheard_longest"] = max(result["unheard_longest"], lived)
        else:
            result["missed"] += 1
            result["examples"].append(("missed after %.1f s" % lived, key, taken[n][1]))


def checked_count(db_path, after_id):
    return sum(1 for r in records(db_path, after_id) if r[3] in CHECKED_TYPES)


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default="build", help="build folder (default: build)")
    ap.add_argument("--folder", help="work folder (default: a new temporary one)")
    ap.add_argument("--minutes", type=float, default=30, help="minutes of random changes")
    ap.add_argument("--devices", type=int, default=64)
    ap.add_argument("--rate", type=float, default=4, help="random changes per second")
    ap.add_argument("--turn-every", type=int, default=1,
                    help="device polls between two turns of the program")
    ap.add_argument("--discovery", type=float, default=0,
                    help="seconds before the changes start (default: 2.5 s per device)")
    ap.add_argument("--settle", type=float, default=0,
                    help="after the changes, seconds with no new record before the program is "
                         "closed (default: 1.5 s per device)")
    ap.add_argument("--max-wait", type=float, default=0,
                    help="longest a changed loop or relay may wait to be read (default: 2 s per "
                         "device + 30 s)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--com", type=int, default=100)
    args = ap.parse_args()
    discovery = args.discovery or 2.5 * args.devices + 10
    settle = args.settle or 1.5 * args.devices + 10
    max_wait = args.max_wait or 2 * args.devices + 30
    folder = args.folder or tempfile.mkdtemp(prefix="ktev-soak-")
    ws = Workstation(args.build, folder, args.com)
    print("soak: folder %s, %d devices, %.1f changes/s for %.1f min after %.0f s of discovery"
          % (folder, args.devices, args.rate, args.minutes, discovery), flush=True)
    samples = []
    try:
        ws.start_sim("--devices", args.devices, "--rate", args.rate, "--rate-after", discovery,
                     "--rate-for", args.minutes * 60, "--turn-every", args.turn_every,
                     "--seed", args.seed)
        started = time.monotonic()
        start_wall = time.time()
        ws.start()

        def sample():
            s = ws.status()
            s["t"] = time.monotonic() - started
            samples.append(s)

        # Discovery: the phase ends a little before the changes start.
        while time.monotonic() - started < discovery - 2:
            sample()
            time.sleep(5)
        found = sum(1 for r in records(ws.db_path) if r[3] == 0)
        mark = max((r[0] for r in records(ws.db_path)), default=0)
        phase_start = time.monotonic() - started
        print("soak: %d devices found in discovery" % found, flush=True)
        end_changes = discovery + args.minutes * 60
        while time.monotonic() - started < end_changes:
            sample()
            time.sleep(min(10, max(0.1, end_changes - (time.monotonic() - started))))
        # Catching up: until nothing new is recorded for a while.
        quiet_needed = settle
        last_count, last_change = checked_count(ws.db_path, mark), time.monotonic()
        while time.monotonic() - last_change < quiet_needed:
            time.sleep(5)
            sample()
            count = checked_count(ws.db_path, mark)
            if count != last_count:
                last_count, last_change = count, time.monotonic()
        end_s = time.monotonic() - started
        ws.signal(signal.SIGTERM)
        code = ws.wait(60)
        sim_report = ws.stop_sim()
        sim_s = time.monotonic() - started
    finally:
        ws.kill_all()

    sim_items, reads = read_journal(ws.journal_path, 0)
    db_items = read_database(ws.db_path, mark, start_wall)
    m = re.search(r"stopped after (\d+) poll cycles", sim_report)
    cycles = int(m.group(1)) if m else 0
    # The program hears the panels' own states in every poll cycle.
    cycle = sim_s / cycles if cycles else settle
    result = compare(sim_items, reads, db_items, end_s, cycle, max_wait)

    with open(Path(folder) / "samples.csv", "w") as f:
        f.write("seconds,VmRSS_KiB,VmHWM_KiB,threads\n")
        for x in samples:
            f.write("%.0f,%d,%d,%d\n" % (x["t"], x["VmRSS"], x["VmHWM"], x["Threads"]))
    changing = [s for s in samples if s["t"] >= phase_start]
    tenth = max(1, len(changing) // 10)

    def rss_mib(part):
        return statistics.mean(x["VmRSS"] for x in part) / 1024

    middle = len(changing) // 2
    rss_first = rss_mib(changing[:tenth])
    rss_middle = rss_mib(changing[middle - tenth // 2: middle + tenth - tenth // 2])
    rss_last = rss_mib(changing[-tenth:])
    threads = [s["Threads"] for s in samples]
    failures = []
    if found != args.devices:
        failures.append("%d of %d devices found before the changes started"
                        % (found, args.devices))
    if code != 0:
        failures.append("the program ended with code %d on SIGTERM" % code)
    if result["missed"] or result["invented"] or result["duplicates"] or result["starved"]:
        failures.append("records missed, duplicated, not made by the simulator or left unread")
    # Caches fill in the first half; flat means the second half adds no more than 5 % + 4 MiB.
    if rss_last > rss_middle * 1.05 + 4:
        failures.append("memory grew from %.1f to %.1f MiB in the second half"
                        % (rss_middle, rss_last))
    # Page loads and tree rebuilds come and go; a thread that never ends stays in every sample.
    quarter = max(1, len(changing) // 4)
    if min(s["Threads"] for s in changing[-quarter:]) > max(
            s["Threads"] for s in changing[:quarter]):
        failures.append("the thread count grew")

    print("soak: %.1f min, %d samples" % (end_s / 60, len(samples)))
    print("soak: changes the simulator made (one per record they call for): %d"
          % result["changes"])
    print("soak:   recorded once, in order: %d" % result["recorded"])
    print("soak:   changed again before the program could read them: %d (stood at most %.1f s;"
          " a poll cycle took %.1f s)" % (result["unheard"], result["unheard_longest"], cycle))
    print("soak:   came back to the value the program knew before it could read them: %d"
          % result["returned"])
    print("soak:   missed: %d, left unread over %.0f s: %d, duplicated: %d, not made by the "
          "simulator: %d" % (result["missed"], max_wait, result["starved"], result["duplicates"],
                             result["invented"]))
    print("soak: memory (VmRSS, MiB) %.1f in the first tenth of the changes, %.1f in the middle,"
          " %.1f in the last; peak (VmHWM) %.1f" % (rss_first, rss_middle, rss_last,
                                                     samples[-1]["VmHWM"] / 1024))
    print("soak: threads %d..%d" % (min(threads), max(threads)))
    for example in result["examples"][:20]:
        print("soak:   %s: device %08X type %d index %d value 0x%X"
              % (example[0], example[1][0], example[1][1], example[1][2], example[2]))
    for f in failures:
        print("soak: FAILED: " + f)
    if not failures:
        print("soak: passed")
        if not args.folder:
            shutil.rmtree(folder)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
