#!/usr/bin/env bash
# End-to-end checks of ombrelo-console against the simulated tester: a one-time read, UTF-8
# device paths, the monitor's power key, and a port held by a monitor, which is busy for every
# other run. The exit codes of every mode and the files the console writes are the table cases
# of console_test_run.sh.
# usage: console_test.sh CONSOLE SIM
set -u
console=$1
sim=$2
# shellcheck source-path=SCRIPTDIR source=../lib.sh
. "$(dirname "$0")/../lib.sh"
t_init console 150

t_start_sim on "$sim" --on
out=$("$console" --once "${t_pty[on]}")
t_expect "--once on a tester: exit" 0 $?
for pattern in "firmware version bytes 2 11" "^Power: ON" "^12V1 +12\.[0-9]{2} " "^3\.3V SATA .*(PASS|FAIL|N/A)"; do
  grep -Eq -- "$pattern" <<<"$out" || t_fail "--once prints no line /$pattern/"
done

# A device path is UTF-8 too, on its own (--once) and through the connection worker (--test).
ln -s "${t_pty[on]}" "$t_work/tester-ü"
for mode in --once --test; do
  timeout 30 "$console" $mode "$t_work/tester-ü" > /dev/null 2> "$t_work/err" ||
    t_fail "$mode on a device path with ü: exit $?, $(cat "$t_work/err")"
done

# The monitor's keys go in once its screen shows what is awaited, however slow the machine.
t_start_sim off "$sim"
t_start_fed mon "$console" "${t_pty[off]}" > "$t_work/mon" 2>&1
t_wait_for "Power: OFF" "$t_work/mon" || t_fail "the monitor never showed the supply off"
t_feed mon 'p\n'
t_wait_for "Power: ON" "$t_work/mon" || t_fail "the power key did not switch the supply on"
t_feed mon 'q\n'
t_end_fed mon || t_fail "monitor quit by q exits $?"
grep -q "PASS" "$t_work/mon" || t_fail "the monitor shows no verdicts"

# While a monitor holds the port, every other run is refused as busy (root too) and ends with 3.
t_start_fed busy "$console" --log-interval 1 "${t_pty[on]}" > "$t_work/busy" 2>&1
t_wait_for "Readings log: [1-9] rows" "$t_work/busy" || t_fail "the holding monitor logged no rows"
for mode in --once --test ""; do
  # shellcheck disable=SC2086
  timeout 30 "$console" $mode "${t_pty[on]}" < /dev/null > /dev/null 2> "$t_work/err"; rc=$?
  [ $rc -eq 3 ] && grep -q "cannot open ${t_pty[on]}: the device is busy" "$t_work/err" ||
    t_fail "'$mode' on a held port: exit $rc, $(cat "$t_work/err")"
done
t_feed busy 'q\n'
t_end_fed busy
t_end
