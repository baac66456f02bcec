#!/usr/bin/env python3
"""Judges a soak run made by scripts/soak.sh from the files it left in its run folder.

cycles.jsonl  the console's JSON line per poll cycle (its "link" object: requests, failures,
              longest request, monotonic time)
faults.log    the simulator's line per injected fault: monotonic ms, fault, command
rss.tsv       the console's resident memory: seconds since the start, kB
state.json    the simulator's readings as the host decodes them, written after the faults stopped
states.jsonl  the simulator's line per reply: the values it carries, as the host decodes them

Prints the summary and exits 1 when a check fails, naming it.

  soak_check.py --cycles CYCLES.jsonl --states STATES.jsonl
checks only that every decoded value of every cycle line is one the simulator sent for that field
or the field's value in the line before (for end-to-end tests).
"""
import argparse
import json
import statistics
import sys

FAULT_CLASSES = ["drop", "late", "late-unordered", "garbage", "bad-end", "huge-length", "short", "pad",
                 "hang-up"]

# Bounds on one request: a read answers within the write wait and the reply wait (100 + 100 ms);
# a power switch, min/max reset or settings write made while an earlier reply is still owed may
# wait for that one first (400 ms). The margin allows for scheduling on a busy machine.
READ_BOUND_MS = 200
OTHER_BOUND_MS = 400
SCHEDULING_MARGIN_MS = 50

# A console that makes no poll cycle for this long has hung (a hang-up costs a 1.5 s pause, a
# second between tries and a connect).
MAX_CYCLE_GAP_MS = 20000

# After the faults stop: cycles from this long on must match the simulator exactly (a late reply
# or a hang-up drawn just before the stop has settled by then).
SETTLE_AFTER_STOP_MS = 5000
MIN_FINAL_CYCLES = 5

RSS_TOLERANCE_KB = 1024

# The grid's rails in the console's order: (voltage channel, current channel) of the tester, as
# the readings table copies them.
RAIL_SOURCES = [(0, 0), (1, 1), (2, 2), (3, 3), (6, 6), (4, 4), (5, 5), (0, 7), (1, 8), (2, 9)]
MAIN_RAILS = 4
MINUS_12V_RAIL = 4
TIMING_COLUMNS = ["t1", "t2", "t3", "t6"]
SETTING_CPU_CABLE = 14
SETTING_PCIE_CABLE = 15


def load_cycles(path):
    cycles = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line:
                continue
            obj = json.loads(line)
            if obj.get("type") == "cycle":
                cycles.append(obj)
    return cycles


def load_faults(path):
    faults = []
    try:
        with open(path, encoding="utf-8") as f:
            for line in f:
                parts = line.split()
                if len(parts) == 3:
                    faults.append((int(parts[0]), parts[1], parts[2]))
    except FileNotFoundError:
        pass
    return faults


def load_rss(path):
    samples = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            parts = line.split()
            if len(parts) == 2:
                samples.append((float(parts[0]), int(parts[1])))
    return samples


def milli(value):
    return None if value is None else round(value * 1000)


def cell_sources():
    """Yields (rail index, column key, readings field, index, units) for every cell the tester's
    replies decide."""
    for rail, (vc, cc) in enumerate(RAIL_SOURCES):
        yield rail, "minVolt", "voltageMin", vc, "milli"
        yield rail, "volt", "voltage", vc, "milli"
        yield rail, "maxVolt", "voltageMax", vc, "milli"
        # The tester measures no current on -12V: those cells are the grid's own N/A.
        if rail != MINUS_12V_RAIL:
            yield rail, "minCurrent", "currentMin", cc, "milli"
            yield rail, "current", "current", cc, "milli"
            yield rail, "maxCurrent", "currentMax", cc, "milli"
        if rail < MAIN_RAILS:
            yield rail, "ripple", "ripple", rail, "milli"
            for k, key in enumerate(TIMING_COLUMNS):
                yield rail, key, "timing", rail * 4 + k, "whole"
            yield rail, "slewRate", "slewRate", rail, "milli"
            yield rail, "turnOnSlope", "turnOnSlope", rail, "whole"
            # The tester reports no sequencing for 3.3V: those cells are the grid's own.
            if rail != 2:
                yield rail, "vSeq", "voltageSequence", rail, "whole"
                yield rail, "tSeq", "timeSequence", rail, "whole"


def expected_cells(values):
    """Yields (rail index, column key, expected stored value, units) for every cell the tester's
    replies decide."""
    for rail, key, field, index, unit in cell_sources():
        array = values.get(field, [])
        yield rail, key, array[index] if index < len(array) else None, unit


def decoded_values(cycle):
    """Yields (name, readings field, index, stored value) of every decoded value of a cycle line."""
    rails = cycle["rails"]
    for rail, key, field, index, unit in cell_sources():
        cell = rails[rail].get(key)
        value = None if cell is None else cell["value"]
        yield f"{rails[rail]['rail']} {key}", field, index, milli(value) if unit == "milli" else value
    yield "powerStatus", "powerStatus", 0, cycle["powerStatus"]
    yield "totalPower", "totalPower", 0, milli(cycle["totalPower"])


def load_sent_values(path):
    """Per readings field, per index: the set of values the simulator's replies carried."""
    sent = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            if not line.strip():
                continue
            for field, array in json.loads(line)["values"].items():
                slots = sent.setdefault(field, [])
                slots.extend(set() for _ in range(len(array) - len(slots)))
                for index, value in enumerate(array):
                    slots[index].add(value)
    return sent


# What every readings value holds before the first reply that carries it.
START_VALUE = 0


def check_every_cycle(cycles, sent):
    """Every decoded value of every cycle line is one the simulator sent for that field, or the
    value the field had in the line before: never another reply's bytes. Returns the number of
    values checked and the mismatches, each (cycle, name, value, previous)."""
    previous = {}
    checked = 0
    mismatches = []
    for cycle in cycles:
        for name, field, index, value in decoded_values(cycle):
            slots = sent.get(field, [])
            before = previous.get(name, START_VALUE)
            if value != before and not (index < len(slots) and value in slots[index]):
                mismatches.append((cycle["cycle"], name, value, before))
            previous[name] = value
            checked += 1
    return checked, mismatches


def describe_mismatches(mismatches):
    return "; ".join(f"cycle {c} {name}: {value} (before {before})" for c, name, value, before in mismatches[:6])


def check_values_only(cycles_path, states_path):
    cycles = load_cycles(cycles_path)
    checked, mismatches = check_every_cycle(cycles, load_sent_values(states_path))
    print(f"Every cycle: {len(cycles)} cycle lines, {checked} decoded values checked, "
          f"{len(mismatches)} mismatched decodes")
    if mismatches:
        print("FAIL: " + describe_mismatches(mismatches))
    return 1 if mismatches or not cycles else 0


def compare_with_state(cycle, values):
    """The differences between one cycle line and the simulator's decoded values."""
    differences = []
    rails = cycle["rails"]
    for rail, key, expected, unit in expected_cells(values):
        cell = rails[rail].get(key)
        if cell is None:
            differences.append(f"{rails[rail]['rail']} {key}: missing from the line")
            continue
        got = cell["value"]
        got = milli(got) if unit == "milli" else got
        if got != expected:
            differences.append(f"{rails[rail]['rail']} {key}: console {got}, simulator {expected}")
    status = values.get("powerStatus", [None])[0]
    if cycle["powerStatus"] != status:
        differences.append(f"powerStatus: console {cycle['powerStatus']}, simulator {status}")
    total = values.get("totalPower", [None])[0]
    if milli(cycle["totalPower"]) != total:
        differences.append(f"totalPower: console {milli(cycle['totalPower'])} mW, simulator {total} mW")
    settings = values.get("settings", [])
    if len(settings) > SETTING_PCIE_CABLE:
        for name, index in (("cpu12v", SETTING_CPU_CABLE), ("pcie12v", SETTING_PCIE_CABLE)):
            if cycle["cables"][name] != (settings[index] != 0):
                differences.append(f"cable {name}: console {cycle['cables'][name]}, simulator {settings[index]}")
    return differences


def count_cells(values):
    return sum(1 for _ in expected_cells(values)) + 2 + 2


def main():
    if "--cycles" in sys.argv:
        parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
        parser.add_argument("--cycles", required=True)
        parser.add_argument("--states", required=True)
        args = parser.parse_args()
        return check_values_only(args.cycles, args.states)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("run", help="the run folder")
    parser.add_argument("--minutes", type=float, required=True)
    parser.add_argument("--seed", required=True)
    parser.add_argument("--rate", required=True)
    parser.add_argument("--hang-up", required=True)
    args = parser.parse_args()

    failures = []
    cycles = load_cycles(f"{args.run}/cycles.jsonl")
    faults = load_faults(f"{args.run}/faults.log")
    rss = load_rss(f"{args.run}/rss.tsv")
    try:
        with open(f"{args.run}/state.json", encoding="utf-8") as f:
            state = json.load(f)
    except (FileNotFoundError, json.JSONDecodeError) as error:
        state = None
        failures.append(f"no simulator state to compare with ({error})")

    print(f"Soak run: {args.minutes:g} min, seed {args.seed}, faults on {args.rate} % of replies, "
          f"a hang-up about every {args.hang_up} s")
    print(f"Run folder: {args.run}")

    # ---- cycles and request times ----------------------------------------------------------
    linked = [c for c in cycles if "link" in c]
    unlinked = len(cycles) - len(linked)
    if not linked:
        failures.append("the console made no poll cycle with a request account")
        print_result(failures)
        return 1
    linked.sort(key=lambda c: c["link"]["steadyMs"])
    failed_cycles = sum(1 for c in linked if c["link"]["failed"] > 0)
    gaps = [b["link"]["steadyMs"] - a["link"]["steadyMs"] for a, b in zip(linked, linked[1:])]
    worst_gap = max(gaps) if gaps else 0
    print(f"Cycles: {len(cycles)} ({failed_cycles} with a failed request"
          + (f", {unlinked} without a request account" if unlinked else "")
          + f"); longest gap between two cycles {worst_gap / 1000:.1f} s")
    if worst_gap > MAX_CYCLE_GAP_MS:
        failures.append(f"no poll cycle for {worst_gap / 1000:.1f} s (bound {MAX_CYCLE_GAP_MS / 1000:g} s)")

    longest_read = max(linked, key=lambda c: c["link"]["longestReadMs"])
    longest_other = max(linked, key=lambda c: c["link"]["longestOtherMs"])
    read_bound = READ_BOUND_MS + SCHEDULING_MARGIN_MS
    other_bound = OTHER_BOUND_MS + SCHEDULING_MARGIN_MS
    print(f"Longest request: read {longest_read['link']['longestReadMs']} ms (cycle {longest_read['cycle']}, "
          f"bound {READ_BOUND_MS} + {SCHEDULING_MARGIN_MS} ms); power/reset/settings "
          f"{longest_other['link']['longestOtherMs']} ms (bound {OTHER_BOUND_MS} + "
          f"{SCHEDULING_MARGIN_MS} ms)")
    over = [c for c in linked
            if c["link"]["longestReadMs"] > read_bound or c["link"]["longestOtherMs"] > other_bound]
    if over:
        shown = ", ".join(f"cycle {c['cycle']} (read {c['link']['longestReadMs']} ms, other "
                          f"{c['link']['longestOtherMs']} ms)" for c in over[:5])
        failures.append(f"{len(over)} cycles had a request over its bound: {shown}")

    # ---- faults and recovery ---------------------------------------------------------------
    # A fault belongs to the first cycle counted after it; it has recovered in the first cycle
    # from there on whose requests all succeeded. 0: that very cycle was clean.
    ends = [c["link"]["steadyMs"] for c in linked]
    recovery = {name: [] for name in FAULT_CLASSES}
    unrecovered = {name: 0 for name in FAULT_CLASSES}
    start = 0
    for when, name, _command in sorted(faults):
        while start < len(ends) and ends[start] < when:
            start += 1
        found = None
        for index in range(start, len(linked)):
            if linked[index]["link"]["failed"] == 0:
                found = index - start
                break
        recovery.setdefault(name, [])
        unrecovered.setdefault(name, 0)
        if found is None:
            unrecovered[name] += 1
        else:
            recovery[name].append(found)
    print("Faults by class, and the poll cycles each took to recover (0: its own cycle was clean):")
    print(f"  {'class':<14} {'count':>6} {'median':>7} {'worst':>6}")
    all_recoveries = []
    for name in recovery:
        values = recovery[name]
        count = len(values) + unrecovered[name]
        all_recoveries += values
        median = f"{statistics.median(values):g}" if values else "-"
        worst = f"{max(values)}" if values else "-"
        note = f"  ({unrecovered[name]} never recovered)" if unrecovered[name] else ""
        note += "  (not injected in this run)" if count == 0 else ""
        print(f"  {name:<14} {count:>6} {median:>7} {worst:>6}{note}")
        if unrecovered[name]:
            failures.append(f"{unrecovered[name]} {name} faults were not followed by a clean cycle")
    median = f"{statistics.median(all_recoveries):g}" if all_recoveries else "-"
    worst = f"{max(all_recoveries)}" if all_recoveries else "-"
    print(f"  {'all':<14} {len(faults):>6} {median:>7} {worst:>6}")
    # The counts above include cycles spoilt by later faults. A fault alone until its recovery
    # shows what the link itself costs.
    times = sorted(when for when, _name, _command in faults)
    alone = []
    start = 0
    for index, when in enumerate(times):
        while start < len(ends) and ends[start] < when:
            start += 1
        found = next((i for i in range(start, len(linked)) if linked[i]["link"]["failed"] == 0), None)
        if found is None:
            continue
        later = times[index + 1] if index + 1 < len(times) else None
        earlier = times[index - 1] if index > 0 else None
        # No other fault from the end of the cycle before this one's to the recovering cycle's end.
        previous_end = ends[start - 1] if start > 0 else float("-inf")
        if (later is None or later > ends[found]) and (earlier is None or earlier <= previous_end):
            alone.append(found - start)
    if alone:
        print(f"  {'alone':<14} {len(alone):>6} {statistics.median(alone):>7g} {max(alone):>6}"
              "   (faults with no other fault from the cycle before to the recovering cycle)")

    # ---- every cycle: no value but the tester's -----------------------------------------------
    try:
        sent = load_sent_values(f"{args.run}/states.jsonl")
    except FileNotFoundError:
        sent = None
        failures.append("no log of the simulator's replies (states.jsonl)")
    if sent is not None:
        checked, mismatches = check_every_cycle(cycles, sent)
        print(f"Every cycle: {checked} decoded values in {len(cycles)} cycle lines, each one the simulator "
              f"sent for its field or the field's value before; {len(mismatches)} mismatched decodes")
        if mismatches:
            failures.append(f"{len(mismatches)} mismatched decodes: " + describe_mismatches(mismatches))

    # ---- resident memory -------------------------------------------------------------------
    total_s = args.minutes * 60
    warm_up = min(max(60.0, 0.1 * total_s), 0.5 * total_s)
    after = [s for s in rss if s[0] >= warm_up]
    if not rss:
        failures.append("no resident memory samples")
    elif not after:
        failures.append(f"no resident memory sample after the {warm_up:g} s warm-up")
    else:
        base = after[0][1]
        low = min(s[1] for s in after)
        high = max(s[1] for s in after)
        print(f"Resident memory: start {rss[0][1]} kB, after the {warm_up:g} s warm-up {base} kB, end "
              f"{rss[-1][1]} kB; after warm-up {low} to {high} kB over {len(after)} samples "
              f"(allowed {base - RSS_TOLERANCE_KB} to {base + RSS_TOLERANCE_KB})")
        if low < base - RSS_TOLERANCE_KB or high > base + RSS_TOLERANCE_KB:
            failures.append(f"resident memory moved by more than {RSS_TOLERANCE_KB} kB after warm-up "
                            f"({low} to {high} kB, from {base} kB)")

    # ---- the end: fault-free cycles equal the simulator's state ------------------------------
    if state is not None:
        stopped = state.get("chaosStoppedMs")
        if stopped is None:
            failures.append("the simulator's faults had not stopped when its state was written")
        else:
            final = [c for c in linked if stopped + SETTLE_AFTER_STOP_MS <= c["link"]["steadyMs"]]
            faulty = [c for c in final if c["link"]["failed"] > 0]
            late_faults = [f for f in faults if f[0] >= stopped]
            mismatched = []
            for c in final:
                differences = compare_with_state(c, state["values"])
                if differences:
                    mismatched.append((c["cycle"], differences))
            print(f"Final check: {len(final)} cycles from {SETTLE_AFTER_STOP_MS / 1000:g} s after the faults "
                  f"stopped; {len(final) - len(faulty)} fault-free, "
                  f"{len(final) - len(mismatched)} equal to the simulator's state in all "
                  f"{count_cells(state['values'])} values")
            if len(final) < MIN_FINAL_CYCLES:
                failures.append(f"only {len(final)} cycles after the faults stopped (at least {MIN_FINAL_CYCLES})")
            if faulty:
                failures.append(f"{len(faulty)} cycles after the faults stopped had failed requests")
            if late_faults:
                failures.append(f"{len(late_faults)} faults were logged after the stop")
            if mismatched:
                cycle, differences = mismatched[0]
                failures.append(f"{len(mismatched)} final cycles differ from the simulator's state; cycle {cycle}: "
                                + "; ".join(differences[:6]))

    print_result(failures)
    return 1 if failures else 0


def print_result(failures):
    if failures:
        print("FAIL:")
        for failure in failures:
            print(f"  - {failure}")
    else:
        print("PASS")


if __name__ == "__main__":
    sys.exit(main())
