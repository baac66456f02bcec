#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target under fuzz/corpus/<target>/ (replacing what is there).

Each seed is a meaningful input in the format its target's opening comment describes: real reply
frames and decodable replies, readings of a passing supply and of sentinels, texts with surrogate
pairs at the record limit, names with every kind of invalid UTF-8. Run it again after changing a
target's input format; the output is the same on every run. Usage: make_corpus.py [TARGET...]
"""
import os
import shutil
import struct
import sys

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
NA, TO = -100000, 100000  # kNotAvailable, kTimedOut


def u16(*vs): return b"".join(struct.pack("<H", v & 0xFFFF) for v in vs)
def s16(*vs): return struct.pack("<%dh" % len(vs), *vs)
def u32(*vs): return b"".join(struct.pack("<I", v & 0xFFFFFFFF) for v in vs)


# ---- frame_assembler: flags, n, n x (size, time), the stream or frame ops -------------------------
def frame(data): return bytes([0x02, len(data) & 0xFF, 0xF0 | len(data) >> 8]) + data + b"\x03"
def schedule(*reads): return bytes([len(reads)] + [b for read in reads for b in read])
def valid(data): return bytes([0, len(data)]) + data  # framed op 0: a valid frame


VOLTAGES = b"\x00" + s16(3352, 3341, 3339, 3114, 3108, 3014, 666)  # 12V1 ... 3.3V raws, then the -12V raw
STATUS = b"\x00\x05" + u32(123456)
IDENT = b"\x00PSU\x00\x00\x00\x00\x00\x00\x01\x07"
A, B = frame(VOLTAGES), frame(STATUS)
# Framed ops: 0 valid, 1 over-long, 2 bad end, 3 garbage run, 4 header without marker (0x86: with a start byte).
OPS = (valid(VOLTAGES) + bytes([1, 0, 2, 3, 0x04, 0, 0, 0, 3, 4]) + b"\x00\x03\xf0\x41\x10"
       + bytes([4, 0x07, 0x33, 0x86, 0x07, 2, 0, 0x99]) + valid(b"") + valid(b"\x00" + bytes(range(1, 81))))
FRAME_ASSEMBLER = {
    # Reads of Expected() bytes, as the port makes them.
    "port_reads_two_frames": b"\x02" + schedule() + A + B,
    # Reads of 1, 2, 3 and 7 bytes with an empty read among them; start bytes hidden in garbage.
    "small_reads_garbage": (b"\x00" + schedule((0, 3), (1, 0x85), (2, 10), (6, 1)) + b"\x55\x02\x07" + frame(IDENT)
                            + b"\x02\x02\x02\x0f" + A + frame(b"")),
    # Five bytes of a frame, an empty read 100 ms later abandons it; the next frame still comes.
    "stall_mid_frame": b"\x00" + schedule((4, 1), (0, 0xC1), (255, 1)) + A + B,
    # Just under the stall limit: 99 ms of silence keeps the frame.
    "no_stall_at_99ms": b"\x00" + schedule((4, 1), (0, 0xC0), (255, 1)) + A,
    # A header announcing more than the buffer holds, swallowed whole, then a frame.
    "over_long_then_frame": b"\x02" + schedule() + b"\x02\xff\xff" + bytes(4095) + b"\x03" + B,
    "framed_mixed": b"\x01" + schedule((0, 1), (16, 2), (255, 0x81)) + OPS,
    # The largest frame the buffer holds (op bit 4: kMaxReplyData - (byte & 3)), read as the port does.
    "framed_largest": b"\x03" + schedule() + valid(b"\x00\x01") + b"\x19\x00",
}


# ---- reply_decoders: command, length word, reply bytes, readings bytes ---------------------------
def reply(command, data, length=None, readings=b""):
    return bytes([command]) + u16(len(data) if length is None else length) + data + readings


REPLY_DECODERS = {
    "identify": reply(0x0A, IDENT),
    "status": reply(0x0B, STATUS),
    "voltages": reply(0x0C, VOLTAGES),
    "voltages_short": reply(0x0C, VOLTAGES[:14]),
    "currents": reply(0x0D, b"\x00" + s16(254, 0, 10, 156, 248, 111, 20, 30, 40)),
    "voltage_minmax_unset": reply(0x0E, b"\x00" + s16(*[0x7FFF] * 7, *[-0x8000] * 7)),
    "current_minmax": reply(0x0F, b"\x00" + u32(*range(-5, 15))),
    "ripple": reply(0x10, b"\x00" + u16(8, 60, 9, 15, 0xFFFF, 0)),
    "timings_sentinels": reply(0x11, b"\x00\x01\x02" + u16(42, 5, 250, 0xFFFE, 40, 4, 600, 31000, 0xFFFF, 0xFFFE,
                                                            0xFFFD, 0, 45, 25, 600, 40000)),
    "slew_and_sequence": reply(0x12, b"\x00" + u16(1300, 200, 0xFFFF, 1200, 0)
                               + b"\x00\x01\xff\x00\x00\x01\xff\x00\x00\xff"),
    "set_power": reply(0x20, b"\x00\x02"),
    "reset_minmax_empty": reply(0x21, b""),
    "settings": reply(0x40, b"\x00" + bytes(range(1, 19))),
    "unknown_command": reply(0x7E, b"\x00\x01\x02\x03"),
    "voltages_longest": reply(0x0C, VOLTAGES, 4092),  # repeated to kMaxReplyData bytes
    "voltages_long_readings": reply(0x0C, VOLTAGES + b"\x99", None, b"\xa5" * 400),  # readings start non-zero
}


# ---- readings_pipeline: powerStatus, cables, totalPower, then a selector per int32 field ----------
FIELDS = [("voltageMin", 7), ("voltage", 10), ("voltageMax", 7), ("ripple", 6), ("currentMin", 10),
          ("current", 10), ("currentMax", 10), ("timing", 16), ("slewRate", 4), ("turnOnSlope", 4),
          ("voltageSequence", 4), ("timeSequence", 4)]


def value(v):
    short = -32768 <= v <= 32767
    return b"\x00" if v == NA else b"\x01" if v == TO else b"\x02" + s16(v) if short else b"\x03" + u32(v)


def readings(power_status, cables, total_power, fields):
    return bytes([power_status, cables]) + u32(total_power) + b"".join(
        value(v) for name, count in FIELDS for v in fields.get(name, [NA] * count))


PASSING = dict(
    voltageMin=[11980, 4980, 3300, 12000, 5000, 11900, -12010],
    voltage=[12050, 5020, 3310, 12010, 5010, 12000, -11980, 12050, 5020, 3310],
    voltageMax=[12100, 5060, 3330, 12020, 5020, 12100, -11950], ripple=[8, 60, 9, 15, 0, 0], currentMin=[0] * 10,
    current=[3410, 2100, 1500, 6200, 500, 0, 0, 270, 890, 120],
    currentMax=[5200, 3000, 2000, 7000, 600, 0, 0, 300, 1000, 200], slewRate=[1300, 700, 500, 1200],
    timing=[42, 5, 250, 31000, 40, 4, 300, 31000, 38, 3, 200, 25000, 45, 6, 260, 30000],
    turnOnSlope=[0] * 4, voltageSequence=[0] * 4, timeSequence=[0] * 4)
READINGS_PIPELINE = {
    "before_connection": readings(0, 0, 0, {}),
    "passing_supply_on": readings(0x05, 0x03, 123456, PASSING),
    "supply_off": readings(0x1A, 0x00, 0, dict(PASSING, voltage=[100, 50, 30, 100, 5010, 100, -200, 100, 50, 30])),
    # 12V CPU at 13 V: FAIL only with the cable declared.
    "sentinels_and_extremes": readings(0x0D, 0x02, 0xFFFFFFFF, dict(
        PASSING, timing=[TO, NA, 0, 65533] * 4, currentMin=[-2147483648, 2147483647] * 5,
        ripple=[NA, TO, -2147483648, 999999999, 1000000000, 0], slewRate=[NA, TO, 0xFFFF, -1],
        voltage=[12050, 5020, 3310, 13000, 5010, 12000, -11980, 12050, 5020, 3310])),
    # Nine-character texts everywhere: the log row must leave fields out to fit its record.
    "widest_texts": readings(0x01, 0x01, 4294967, {name: [-99999990] * count for name, count in FIELDS}),
}


# ---- logger: ops; a text's units as words until a 0 word, 0xFFF0 + word for a unit 0x10000 + word * 16 ---
def add(category, text, op=0):
    units = [ord(c) for c in text]
    return bytes([op, category & 0xFF]) + b"".join(
        u16(0xFFF0, (u - 0x10000) >> 4) if u > 0xFFFF else u16(u) for u in units) + u16(0)


LOGGER = {
    "add_and_look_up": (add(0, "Connected to COM3") + add(6, "12V1 PASS", 1) + b"\x06" + s16(0) + b"\x86" + s16(0)
                        + b"\x07\xff\x28"),
    "error_blanks_and_controls": (add(3, "Port  lost:\t\ttimeout   \r\n") + add(4, "a \x01\x02 b") + add(0, "keep  two")
                                  + b"\x07\xff\x05"),
    # 298 units then a pair: the pair falls across the last unit and is dropped whole.
    "pair_at_the_limit": (add(0, "x" * 298 + "\U0001F600y") + add(3, " " * 200 + "z" * 150)
                          + b"\x07\xff\x10\x87\xff\x40"),
    "non_characters": (add(7, "\ud800a\udc00\udbff\udfff") + b"\x00\x08" + u16(0xFFF1, 5, 0xFFF2, 1, 0)
                       + add(-1, "bad category") + add(9, "") + b"\x06" + s16(-1) + b"\x07\xfd\x00"),
    "log_record_clock": add(8, "PASS", 3) + add(1, "\U0001F680\U0010FFF0", 3) + b"\x07\xff\x02",
    # A run of 2040 records; fifty of these pass the 100000-record limit. Then both ends and beyond.
    "run_then_ends": (b"\x04\xff" + add(0, "newest") + b"\x86" + s16(0) + b"\x86" + s16(1) + b"\x06" + s16(-1)
                      + b"\x06" + s16(-3) + b"\x05" + add(0, "after clear")),
}

# ---- file_names: capacity, then the bytes of a name --------------------------------------------
FILE_NAMES = {
    "ascii_path": b"\x40/home/user/Documents/Zentarix/Ombrelo/OmbreloLog.txt",
    "utf8_names": b"\x14" + "/tmp/Prüfung/日本語/😀.txt".encode(),
    "invalid_bytes": b"\xffa\x80b\xc0\x80c\xed\xa0\x80d\xf5\x80\x80\x80e\xe2\x82f\xf0\x9f\x98g\xff\xfe\xc3",
    # A cut inside a four-byte character, and units beyond Unicode and negative ones.
    "cut_and_odd_units": b"\x06" + "ab😀cd".encode() + u32(0x110000, 0xFFFFFFFF, 0xDC80),
    "escaped_bytes_form_utf8": b"\x03\xc3\xa9\xc3A" + u32(0xDCC3, 0xDCA9),
}

TARGETS = {"frame_assembler": FRAME_ASSEMBLER, "reply_decoders": REPLY_DECODERS,
           "readings_pipeline": READINGS_PIPELINE, "logger": LOGGER, "file_names": FILE_NAMES}
for target, seeds in TARGETS.items():
    if sys.argv[1:] and target not in sys.argv[1:]:
        continue
    folder = os.path.join(CORPUS, target)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    print(f"{target}: {len(seeds)} seeds")
