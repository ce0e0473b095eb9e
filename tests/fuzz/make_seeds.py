#!/usr/bin/env python3
"""Writes seed inputs into the corpus folders: for fuzz_dispatch one valid exchange per answer
handler, for fuzz_format each type's shipped formats and a few wrong conversions. The input
layouts are the ones fuzz_dispatch.cpp and fuzz_format.cpp describe.
    python3 tests/fuzz/make_seeds.py tests/fuzz/corpus
"""
import struct
import sys
from pathlib import Path

ADDRESS = 5
OWN = 0x40  # the step's frame comes from the PC's own node
DEVICE = ADDRESS << 3  # the first of the eight short ids, at address 5

FIND_DEVICE, GET_WHOIS, SET_ADR, SET_NAME, GET_STATE = 1, 3, 4, 6, 11
GET_LINES, GET_SENSORS, GET_RELAYS, REMOTE_SYNCHRO_TIME = 13, 14, 15, 25
REMOTE_COMMANDS = range(16, 24)  # REMOTE_RESET_DEVICE .. REMOTE_RELAY_MODE


def answer(command, payload=b""):
    return bytes([0, command, DEVICE, len(payload)]) + payload


def request(command, payload=b""):
    return bytes([1, command, DEVICE, len(payload)]) + payload


def own(command, payload=b""):
    """The PC's own request, heard back through the adapter."""
    return bytes([1 | OWN, command, DEVICE, len(payload)]) + payload


def operator(command, index, value):
    return bytes([2, DEVICE]) + struct.pack("<H", index) + bytes([command, 3, value])


def silence(seconds):
    return bytes([3, seconds])


def whois(lines=3, relays=2):
    p = bytearray(54)
    p[1] = ADDRESS
    p[2:6] = struct.pack("<I", 0x00C0DB01)
    p[6:11] = "ППК-1".encode("cp1251")
    p[25:29] = "Вход".encode("cp1251")
    p[44:54] = struct.pack("<5H", lines, 4, relays, 0, 0x3FF)
    return answer(GET_WHOIS, bytes(p))


def state(flags, max_state):
    p = bytearray(15)
    p[0] = flags
    p[2] = 1  # loops changed
    p[14] = max_state
    return answer(GET_STATE, bytes(p))


SEEDS = {
    "whois": whois(),
    "state": state(0x02, 4) + state(0x01 | 0x04, 0),
    "lines": whois() + answer(GET_LINES, bytes([0x02, 0x0B, 0x04])) + answer(GET_LINES, bytes(3)),
    "sensors": whois() + answer(GET_SENSORS),
    "relays": whois() + answer(GET_RELAYS, struct.pack("<2H", 0x93, 0x04)),
    "set_adr": whois() + request(SET_ADR, bytes([9])) + answer(SET_ADR),
    "set_name": whois() + request(SET_NAME, "Склад".encode("cp1251")) + answer(SET_NAME),
    "synchro_time": whois()
    + request(REMOTE_SYNCHRO_TIME, struct.pack("<I", 1700000000))
    + answer(REMOTE_SYNCHRO_TIME),
    "loss": whois() + silence(40) + answer(GET_SENSORS),
}
# One device more than the table holds, each with an id of its own.
SEEDS["table_full"] = b"".join(
    bytes([4, GET_STATE, n]) + struct.pack("<I", 0x10000 + n) + bytes([15]) + bytes(15)
    for n in range(65)
)
# The PC's own frames heard back, among them the turn and the requests it remembers: none of
# them may count.
SEEDS["own_frames"] = (
    whois() + operator(17, 1, 1) + own(FIND_DEVICE) + own(SET_ADR, bytes([9]))
    + own(REMOTE_SYNCHRO_TIME, struct.pack("<I", 1700000000)) + request(FIND_DEVICE) + own(17)
    + answer(17)
)
for command in REMOTE_COMMANDS:
    SEEDS[f"remote_{command}"] = (
        whois() + operator(command, 1, 1) + request(FIND_DEVICE) + answer(command)
    )



def catalogue_sections(path):
    """The shipped catalogue's sections as dictionaries of Windows-1251 byte values."""
    sections, current = {}, None
    for line in path.read_bytes().splitlines():
        if line.startswith(b"["):
            current = sections.setdefault(line.strip(b"[]").decode("ascii"), {})
        elif current is not None and b"=" in line:
            key, value = line.split(b"=", 1)
            current.setdefault(key.decode("ascii"), value)
    return sections


def format_seed(type_code, value, kinds, fields, extra=b""):
    return bytes([type_code]) + struct.pack("<i", value) + bytes([kinds]) + b"\n".join(fields) + extra


TYPE_NAMES = [
    "FIND_NEW_DEVICE", "RECOVERY_DEVICE", "LOSS_DEVICE", "MAX_STATE", "DEVICE_STATE",
    "DEVICE_POWER", "DEVICE_BATTERY", "DEVICE_RESET", "LINE_STATE", "LINE_ON_OFF", "LINE_TYPE",
    "LINE_SET_TYPE", "LINE_RESET", "SENSOR_STATE", "SENSOR_ON_OFF", "SENSOR_RESET", "RELAY_STATE",
    "RELAY_ON_OFF", "RELAY_CONTROL", "RELAY_SET_CONTROL", "RELAY_TYPE", "RELAY_SET_TYPE",
    "RELAY_MODE", "RELAY_SET_MODE", "SET_DEVICE_ID", "SET_ADDRESS", "SET_USER_NAME", "SYNCHRO_TIME",
]
FORMAT_SEEDS = {}
shipped = catalogue_sections(Path(__file__).resolve().parents[2] / "TevMessages.ini")
for code, name in enumerate(TYPE_NAMES):
    section = shipped.get(name, {})
    fields = [section.get("record_format", b""), section.get("device_format", b""),
              section.get("color", b""), "Норма;Alarm".encode("cp1251"), "ПК".encode("cp1251")]
    # Element 3, remote byte 2, code 1; arguments: number, text, number.
    FORMAT_SEEDS[f"type_{code}"] = format_seed(code, 0x00020201, 0b010011, fields)
WRONG = [b"%d %s %c %5.3x %-10c %%", b"%*d", b"%1$d", b"%lld %hhx", b"%n", b"%99999d", b"%Lf",
         b"%s%s%s%s%s%s%s", b"%#o %+i % X %05u", b"%-", b"%.", b"100%"]
for i, text in enumerate(WRONG):
    FORMAT_SEEDS[f"wrong_{i}"] = format_seed(8, -1, 0b101110, [text, text, b"Alarm", b"x", b"y"])
FORMAT_SEEDS["style"] = format_seed(4, 3, 1, [b"%s", b"%s", b"Fuzzed", b"a;Fuzzed", b""],
                                    b"\n[Fuzzed]\nfont_color=$FFFFFFFF\nbg_color=-1\nis_bold=7\n")

root = Path(sys.argv[1])
for folder, seeds in (("dispatch", SEEDS), ("format", FORMAT_SEEDS)):
    out = root / folder
    out.mkdir(parents=True, exist_ok=True)
    for name, data in seeds.items():
        (out / f"seed-{name}").write_bytes(data)
