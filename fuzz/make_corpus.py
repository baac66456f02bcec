#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target under fuzz/corpus/<target>/ (replacing what is there).

Each seed is a meaningful input in the format its target's opening comment describes: real reply
frames and decodable replies, readings of a passing supply and of sentinels, texts with surrogate
pairs at the record limit, names with every kind of invalid UTF-8. Run it again after changing a
target's input format; the output is the same on every run.
"""
import os
import shutil
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")

NOT_AVAILABLE = -100000
TIMED_OUT = 100000
MAX_REPLY_DATA = 4092


def u16(v): return struct.pack("<H", v & 0xFFFF)
def s16(v): return struct.pack("<h", v)
def u32(v): return struct.pack("<I", v & 0xFFFFFFFF)


def reply_frame(data):
    n = len(data)
    return bytes([0x02, n & 0xFF, 0xF0 | (n >> 8)]) + bytes(data) + b"\x03"


# ---- frame_assembler: flags, n, n x (size, time), stream or frame ops --------------------------

def schedule(*reads):
    out = bytes([len(reads)])
    for size, time in reads:
        out += bytes([size, time])
    return out


def voltages_reply():
    # Byte 0, then 12V1, 12V CPU, 12V PCIe, 5V, 5VSB, 3.3V raws and the -12V raw.
    return b"\x00" + s16(3352) + s16(3341) + s16(3339) + s16(3114) + s16(3108) + s16(3014) + s16(666)


def frame_assembler_seeds():
    a = reply_frame(voltages_reply())
    status = reply_frame(b"\x00\x05" + u32(123456))
    empty = reply_frame(b"")
    ident = reply_frame(b"\x00PSU\x00\x00\x00\x00\x00\x00\x01\x07")
    seeds = {}
    # Reads of Expected() bytes, as the port makes them.
    seeds["port_reads_two_frames"] = bytes([0x02]) + schedule() + a + status
    # Reads of 1, 2, 3 and 7 bytes with an empty read among them; start bytes hidden in garbage.
    seeds["small_reads_garbage"] = (bytes([0]) + schedule((0, 3), (1, 0x85), (2, 10), (6, 1))
                                    + b"\x55\x02\x07" + ident + b"\x02\x02\x02\x0f" + a + empty)
    # Five bytes of a frame, an empty read 100 ms later abandons it; the next frame still comes.
    seeds["stall_mid_frame"] = (bytes([0]) + schedule((4, 1), (0, 0x80 | 0x40 | 0x01), (255, 1))
                                + a + status)
    # Just under the stall limit: 99 ms of silence keeps the frame.
    seeds["no_stall_at_99ms"] = bytes([0]) + schedule((4, 1), (0, 0x80 | 0x40), (255, 1)) + a
    # A header announcing more than the buffer holds, swallowed whole, then a frame.
    big = bytes([0x02, 0xFF, 0xFF]) + bytes(4095) + b"\x03"
    seeds["over_long_then_frame"] = bytes([0x02]) + schedule() + big + status

    # Framed streams: ops 0 valid, 1 over-long, 2 bad end, 3 garbage run, 4 header without marker.
    def valid(data):
        return bytes([0, len(data)]) + bytes(data)

    ops = (valid(voltages_reply()) + bytes([1, 0]) + bytes([2, 3, 0x04]) + bytes(3)
           + bytes([3, 4]) + b"\x00\x03\xf0\x41\x10" + bytes([4, 0x07, 0x33]) + bytes([0x86, 0x07, 2, 0, 0x99]) + valid(b"")
           + valid(b"\x00" + bytes(range(1, 81))))
    seeds["framed_mixed"] = bytes([0x01]) + schedule((0, 1), (16, 2), (255, 0x81)) + ops
    # The largest frame the buffer holds (op bit 4: kMaxReplyData - (byte & 3)), read as the port does.
    seeds["framed_largest"] = bytes([0x03]) + schedule() + valid(b"\x00\x01") + bytes([0x19, 0x00])
    return seeds


# ---- reply_decoders: command, length word, reply bytes, readings bytes -------------------------

def reply_seed(command, data, length=None, readings=b""):
    length = len(data) if length is None else length
    return bytes([command]) + u16(length) + bytes(data) + readings


def reply_decoders_seeds():
    seeds = {}
    seeds["identify"] = reply_seed(0x0A, b"\x00PSU\x00\x00\x00\x00\x00\x00\x01\x07")
    seeds["status"] = reply_seed(0x0B, b"\x00\x05" + u32(123456))
    seeds["voltages"] = reply_seed(0x0C, voltages_reply())
    seeds["voltages_short"] = reply_seed(0x0C, voltages_reply()[:14])
    seeds["currents"] = reply_seed(0x0D, b"\x00" + b"".join(s16(v) for v in (254, 0, 10, 156, 248, 111, 20, 30, 40)))
    seeds["voltage_minmax_unset"] = reply_seed(0x0E, b"\x00" + s16(0x7FFF) * 7 + s16(-0x8000) * 7)
    seeds["current_minmax"] = reply_seed(0x0F, b"\x00" + b"".join(u32(v) for v in range(-5, 15)))
    seeds["ripple"] = reply_seed(0x10, b"\x00" + b"".join(u16(v) for v in (8, 60, 9, 15, 0xFFFF, 0)))
    seeds["timings_sentinels"] = reply_seed(
        0x11, b"\x00\x01\x02" + b"".join(u16(v) for v in (42, 5, 250, 0xFFFE, 40, 4, 600, 31000,
                                                        0xFFFF, 0xFFFE, 0xFFFD, 0, 45, 25, 600, 40000)))
    seeds["slew_and_sequence"] = reply_seed(0x12, b"\x00" + b"".join(u16(v) for v in (1300, 200, 0xFFFF, 1200))
                                            + bytes(2) + b"\x00\x01\xff\x00\x00\x01\xff\x00\x00\xff")
    seeds["set_power"] = reply_seed(0x20, b"\x00\x02")
    seeds["reset_minmax_empty"] = reply_seed(0x21, b"")
    seeds["settings"] = reply_seed(0x40, b"\x00" + bytes(range(1, 19)))
    seeds["unknown_command"] = reply_seed(0x7E, b"\x00\x01\x02\x03")
    # The longest reply: voltages repeated to kMaxReplyData bytes.
    seeds["voltages_longest"] = reply_seed(0x0C, voltages_reply(), MAX_REPLY_DATA)
    # One byte too many, and readings that start non-zero.
    seeds["voltages_long_readings"] = reply_seed(0x0C, voltages_reply() + b"\x99", None, bytes([0xA5]) * 400)
    return seeds


# ---- readings_pipeline: powerStatus, cables, totalPower, then a selector per int32 field ----------

FIELDS = [("voltageMin", 7), ("voltage", 10), ("voltageMax", 7), ("ripple", 6), ("currentMin", 10),
          ("current", 10), ("currentMax", 10), ("timing", 16), ("slewRate", 4), ("turnOnSlope", 4),
          ("voltageSequence", 4), ("timeSequence", 4)]


def value(v):
    if v == NOT_AVAILABLE:
        return b"\x00"
    if v == TIMED_OUT:
        return b"\x01"
    if -32768 <= v <= 32767:
        return b"\x02" + s16(v)
    return b"\x03" + u32(v)


def readings_seed(power_status, cables, total_power, fields):
    out = bytes([power_status, cables]) + u32(total_power)
    for name, count in FIELDS:
        values = fields.get(name, [NOT_AVAILABLE] * count)
        assert len(values) == count, name
        out += b"".join(value(v) for v in values)
    return out


def passing_supply():
    volts = [12050, 5020, 3310, 12010, 5010, 12000, -11980, 12050, 5020, 3310]
    return {
        "voltageMin": [11980, 4980, 3300, 12000, 5000, 11900, -12010],
        "voltage": volts,
        "voltageMax": [12100, 5060, 3330, 12020, 5020, 12100, -11950],
        "ripple": [8, 60, 9, 15, 0, 0],
        "currentMin": [0] * 10,
        "current": [3410, 2100, 1500, 6200, 500, 0, 0, 270, 890, 120],
        "currentMax": [5200, 3000, 2000, 7000, 600, 0, 0, 300, 1000, 200],
        "timing": [42, 5, 250, 31000, 40, 4, 300, 31000, 38, 3, 200, 25000, 45, 6, 260, 30000],
        "slewRate": [1300, 700, 500, 1200],
        "turnOnSlope": [0, 0, 0, 0],
        "voltageSequence": [0, 0, 0, 0],
        "timeSequence": [0, 0, 0, 0],
    }


def readings_pipeline_seeds():
    seeds = {}
    seeds["before_connection"] = readings_seed(0, 0, 0, {})
    seeds["passing_supply_on"] = readings_seed(0x05, 0x03, 123456, passing_supply())
    off = passing_supply()
    off["voltage"] = [100, 50, 30, 100, 5010, 100, -200, 100, 50, 30]
    seeds["supply_off"] = readings_seed(0x02 | 0x18, 0x00, 0, off)
    sentinels = passing_supply()
    sentinels["timing"] = [TIMED_OUT, NOT_AVAILABLE, 0, 65533] * 4
    sentinels["currentMin"] = [-2147483648, 2147483647] * 5
    sentinels["ripple"] = [NOT_AVAILABLE, TIMED_OUT, -2147483648, 999999999, 1000000000, 0]
    sentinels["slewRate"] = [NOT_AVAILABLE, TIMED_OUT, 0xFFFF, -1]
    sentinels["voltage"][3] = 13000  # 12V CPU out of range: FAIL only with the cable declared
    seeds["sentinels_and_extremes"] = readings_seed(0x05 | 0x08, 0x02, 0xFFFFFFFF, sentinels)
    # Nine-character texts everywhere: the log row must leave fields out to fit its record.
    wide = {name: [-99999990] * count for name, count in FIELDS}
    seeds["widest_texts"] = readings_seed(0x01, 0x01, 4294967, wide)
    return seeds


# ---- logger: ops ---------------------------------------------------------------------------------

def text(units):
    out = b""
    for u in units:
        if u > 0xFFFF:
            assert (u - 0x10000) % 16 == 0
            out += u16(0xFFF0) + u16((u - 0x10000) >> 4)
        else:
            out += u16(u)
    return out + u16(0)


def add(category, units, op=0):
    return bytes([op, category & 0xFF]) + text(units)


def s(string):
    return [ord(c) for c in string]


def logger_seeds():
    seeds = {}
    seeds["add_and_look_up"] = (add(0, s("Connected to COM3")) + add(6, s("12V1 PASS"), 1)
                                + bytes([6]) + s16(0) + bytes([0x86]) + s16(0) + bytes([7, 0xFF, 40]))
    seeds["error_blanks_and_controls"] = (add(3, s("Port  lost:\t\ttimeout   \r\n")) + add(4, s("a \x01\x02 b"))
                                          + add(0, s("keep  two")) + bytes([7, 0xFF, 5]))
    # 298 units then a pair: the pair falls across the last unit and is dropped whole.
    seeds["pair_at_the_limit"] = (add(0, s("x" * 298) + [0x1F600, ord("y")])
                                  + add(3, s(" " * 200) + s("z" * 150))
                                  + bytes([7, 0xFF, 0x10]) + bytes([0x87, 0xFF, 0x40]))
    seeds["non_characters"] = (add(7, [0xD800, ord("a"), 0xDC00, 0xDBFF, 0xDFFF])
                               + bytes([0, 8]) + u16(0xFFF1) + u16(5) + u16(0xFFF2) + u16(1) + u16(0)
                               + add(-1 & 0xFF, s("bad category")) + add(9, [])
                               + bytes([6]) + s16(-1) + bytes([7, 0xFD, 0]))
    seeds["log_record_clock"] = add(8, s("PASS"), 3) + add(1, [0x1F680, 0x10FFF0], 3) + bytes([7, 0xFF, 2])
    # A run of 2040 records; fifty of these pass the 100000-record limit. Then both ends and beyond.
    seeds["run_then_ends"] = (bytes([4, 0xFF]) + add(0, s("newest")) + bytes([0x86]) + s16(0)
                              + bytes([0x86]) + s16(1) + bytes([6]) + s16(-1) + bytes([6]) + s16(-3)
                              + bytes([0x05]) + add(0, s("after clear")))
    return seeds


# ---- file_names: capacity, then the bytes of a name ------------------------------------------------

def file_names_seeds():
    seeds = {}
    seeds["ascii_path"] = bytes([64]) + b"/home/user/Documents/Zentarix/Ombrelo/OmbreloLog.txt"
    seeds["utf8_names"] = bytes([20]) + "/tmp/Prüfung/日本語/😀.txt".encode()
    seeds["invalid_bytes"] = (bytes([255]) + b"a\x80b\xc0\x80c\xed\xa0\x80d\xf5\x80\x80\x80e\xe2\x82"
                              + b"f\xf0\x9f\x98g\xff\xfe\xc3")
    # A cut inside a four-byte character, and units beyond Unicode and negative ones.
    seeds["cut_and_odd_units"] = bytes([6]) + "ab😀cd".encode() + u32(0x110000) + u32(0xFFFFFFFF) + u32(0xDC80)
    seeds["escaped_bytes_form_utf8"] = bytes([3]) + b"\xc3\xa9\xc3A" + u32(0xDCC3) + u32(0xDCA9)
    return seeds


def main():
    targets = {
        "frame_assembler": frame_assembler_seeds(),
        "reply_decoders": reply_decoders_seeds(),
        "readings_pipeline": readings_pipeline_seeds(),
        "logger": logger_seeds(),
        "file_names": file_names_seeds(),
    }
    only = sys.argv[1:]
    for target, seeds in targets.items():
        if only and target not in only:
            continue
        folder = os.path.join(CORPUS, target)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        print(f"{target}: {len(seeds)} seeds")


if __name__ == "__main__":
    main()
