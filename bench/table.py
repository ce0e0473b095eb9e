#!/usr/bin/env python3
"""Prints the table of bench/run.sh (Markdown) from the results folder it fills: Google Benchmark
JSON of the bench_* programs (repeated runs: the median, and the lowest and highest run), the
text of bench_tree_view and the memory lines of bench/memory.sh."""

import json
import os
import re
import statistics
import sys


def significant(value, digits=3):
    """The value rounded to a few significant digits, grouped by thousands: the machines are
    shared, so more digits would only show noise."""
    if value == 0:
        return "0"
    rounded = float(f"{value:.{digits}g}")
    if rounded >= 1000 or rounded == int(rounded) and abs(rounded) >= 10 ** (digits - 1):
        return f"{int(round(rounded)):,}"
    return f"{rounded:g}"


class Results:
    def __init__(self, folder):
        self.folder = folder
        self.runs = []
        for name in sorted(os.listdir(folder)):
            if name.endswith(".json"):
                with open(os.path.join(folder, name), encoding="utf-8") as f:
                    self.runs += [
                        r for r in json.load(f)["benchmarks"] if r.get("run_type") == "iteration"
                    ]

    def values(self, pattern, field):
        """Every repetition of the benchmarks whose run name matches, by the field: a time
        (converted to milliseconds) or a counter."""
        found = []
        for run in self.runs:
            if not re.fullmatch(pattern, run["run_name"]) or run.get("error_occurred"):
                continue
            value = run[field]
            if field in ("real_time", "cpu_time"):
                value *= {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[run["time_unit"]]
            found.append(value)
        return found


def timing(results, pattern, field="real_time", unit="ms", scale=1.0):
    values = [v * scale for v in results.values(pattern, field)]
    if not values:
        return "not run", ""
    median = significant(statistics.median(values))
    if len(values) == 1:
        return f"{median} {unit}".strip(), "1 run"
    spread = f"{significant(min(values))}-{significant(max(values))}"
    return f"{median} {unit}".strip(), f"{spread} ({len(values)} runs)"


def tree_view_rows(folder):
    """The largest event-loop stall per refresh of the 91,264-node tree, median and max of its
    rounds, and the swap itself."""
    path = os.path.join(folder, "bench_tree_view.txt")
    if not os.path.exists(path):
        return [("GUI block of a tree swap", "not run", "")]
    rows = []
    idle = "?"
    line = re.compile(
        r"(?P<case>.+?)\s+rows shown\s+\d+\s+swap median\s+(?P<swap>[\d.]+) max\s+(?P<swap_max>[\d.]+)"
        r" ms\s+stall median\s+(?P<stall>[\d.]+) max\s+(?P<stall_max>[\d.]+) ms"
    )
    with open(path, encoding="utf-8") as f:
        for text in f:
            m = line.match(text.strip())
            if m:
                rows.append(
                    (
                        f"GUI block of a tree swap, {m['case']}: longest stall (swap alone)",
                        f"{m['stall']} ms ({m['swap']} ms)",
                        f"max {m['stall_max']} ms ({m['swap_max']} ms) of 15 swaps",
                    )
                )
            m = re.match(r"idle event loop: longest stall ([\d.]+) ms", text)
            if m:
                idle = m[1]
    if rows:
        rows.append(("Event loop with no tree work: longest stall in 1 s", f"{idle} ms", ""))
    return rows


def alarms_view_rows(folder):
    """The largest event-loop stall per refresh of 1,000 active alarms, and the bus thread's scan."""
    path = os.path.join(folder, "bench_alarms_view.txt")
    if not os.path.exists(path):
        return [("GUI block of a refresh of 1,000 active alarms", "not run", "")]
    line = re.compile(
        r"refresh of (?P<rows>\d+) rows, (?P<selected>\d+) selected: GUI stall median (?P<stall>[\d.]+)"
        r" max (?P<stall_max>[\d.]+) ms; bus-thread scan median (?P<scan>[\d.]+) max"
        r" (?P<scan_max>[\d.]+) ms \((?P<rounds>\d+) refreshes\)"
    )
    with open(path, encoding="utf-8") as f:
        for text in f:
            m = line.match(text.strip())
            if m:
                return [
                    (
                        f"GUI block of a refresh of {m['rows']} active alarms, {m['selected']} selected",
                        f"{m['stall']} ms",
                        f"max {m['stall_max']} ms of {m['rounds']} refreshes",
                    ),
                    (
                        "Bus-thread scan of a 250-loop panel among 1,000 active alarms",
                        f"{m['scan']} ms",
                        f"max {m['scan_max']} ms of {m['rounds']} scans",
                    ),
                ]
    return [("GUI block of a refresh of 1,000 active alarms", "no result", "")]


def memory_rows(folder):
    path = os.path.join(folder, "memory.tsv")
    if not os.path.exists(path):
        return [("Program memory", "not run", "")]
    rows = []
    with open(path, encoding="utf-8") as f:
        for text in f:
            name, seconds, rss, hwm, threads, devices, records = text.rstrip("\n").split("\t")
            rows.append(
                (
                    f"Program memory after {seconds} s, {name}: resident (peak), threads",
                    f"{int(rss) / 1024:.0f} MiB ({int(hwm) / 1024:.0f} MiB), {threads}",
                    f"{devices} devices, {records} records stored",
                )
            )
    return rows


def main():
    folder = sys.argv[1]
    r = Results(folder)
    rows = []
    flushes = (
        ("0", "synchronous=NORMAL, never flushed (before)"),
        ("1", "flushed after each (the cost of synchronous=FULL)"),
        ("18", "flushed once per pass of 18 (1,000 a second at 56 frames a second)"),
    )
    for size, label in (("10000", "10^4"), ("10000000", "10^7")):
        for per_flush, how in flushes:
            rows.append(
                (f"Records stored per second, {label} records, {how}",)
                + timing(
                    r,
                    rf"BM_StoreRecord/records:{size}/per_flush:{per_flush}/real_time",
                    "items_per_second",
                    "",
                )
            )
    for page, what in (("Newest", "newest"), ("Last", "last (oldest)"), ("Middle", "middle")):
        for size, label in (("10000", "10^4"), ("10000000", "10^7")):
            rows.append(
                (f"Page of 300, {what}, {label} records",)
                + timing(r, rf"BM_{page}Page/records:{size}/real_time")
            )
    filters = (
        ("1", "one device of 64"),
        ("2", "a tenth of the time"),
        ("3", "3 types of 28"),
        ("4", "one device, 3 of its types, half the time"),
    )
    for kind, what in filters:
        for place, where in (("0", "newest"), ("1", "middle"), ("2", "oldest")):
            rows.append(
                (f"Page of 300 and its count, {what}, {where}, 10^7 records",)
                + timing(r, rf"BM_FilteredPage/records:10000000/filter:{kind}/place:{place}/real_time")
            )
    for kind, what in (("0", "every record"),) + filters:
        rows.append(
            (f"Count, {what}, 10^7 records",)
            + timing(r, rf"BM_FilteredCount/records:10000000/filter:{kind}/real_time")
        )
    rows.append(
        ("Opening the database (Init), 10^7 records",)
        + timing(r, r"BM_Init/records:10000000/iterations:3/real_time")
    )
    rows.append(
        ("Opening a database of 10^7 records the first time (the index and block counts built)",)
        + timing(r, r"BM_FirstInit/records:10000000/iterations:1/manual_time")
    )
    for kind, name, goal in (("0", "CSV", "5 s"), ("1", "XLSX", "30 s")):
        export = rf"BM_Export/records:1000000/format:{kind}/iterations:1/real_time"
        rows.append(
            (f"Export of 10^6 records to {name} (goal under {goal})",)
            + timing(r, export, unit="s", scale=1e-3)
        )
        rows.append(
            (f"Export of 10^6 records to {name}: peak resident memory of the process",)
            + timing(r, export, "peak_rss_mib", "MiB")
        )
    rows.append(
        ("Tree rebuild, 64 full panels (91,264 nodes)",)
        + timing(r, r"BM_TreeBuild/real_time")
    )
    rows += tree_view_rows(folder)
    rows += alarms_view_rows(folder)
    rows.append(
        ("Bus answer's last byte to its record stored",)
        + timing(r, r"BM_AnswerToRecordLatency/manual_time")
    )
    rows.append(
        ("Bus frames handled per second",)
        + timing(r, r"BM_FramesPerSecond/200/manual_time", "frames_per_s", "")
    )
    for us in (0, 100, 500, 3000):
        rows.append(
            (f"Bus requests per loop change, the panel answering {us / 1000:g} ms after the "
             "request",)
            + timing(r, rf"BM_AnswerDelay/{us}/iterations:100", "asked_per_change", "")
        )
    rows.append(
        ("MQTT records published per second, 10^4 stored before the gateway starts",)
        + timing(r, r"BM_MqttRecordsPerSecond/10000/iterations:1/manual_time", "records_per_s", "")
    )
    rows.append(
        ("MQTT record's insert to its arrival at a subscriber",)
        + timing(r, r"BM_MqttInsertToArrival/iterations:200/manual_time")
    )
    rows.append(
        ("Catalogue formats per second, kept in memory",)
        + timing(r, r"BM_GetRecordMessage_Kept", "items_per_second", "")
    )
    rows.append(
        ("Catalogue formats per second, read every call",)
        + timing(r, r"BM_GetRecordMessage_ReadEveryCall", "items_per_second", "")
    )
    rows.append(
        ("Log line (`TLog::Add`), no contention",)
        + timing(r, r"BM_LogAdd/contenders:0/real_time", unit="µs", scale=1e3)
    )
    rows.append(
        ("Sound request while the alarm holds",)
        + timing(r, r"BM_RequestWhileHolding", unit="ns", scale=1e6)
    )
    rows += memory_rows(folder)

    print("| Figure | Median | Spread |")
    print("|---|---|---|")
    for figure, value, spread in rows:
        print(f"| {figure} | {value} | {spread} |")


if __name__ == "__main__":
    main()
