#!/usr/bin/env bash
# Runs every test: installs what is missing, then builds four trees, each once, and runs
#   native  GCC, Debug: every native test (and so the Debug build type keeps building);
#   win     MinGW-w64 cross build: its tests under Wine (the serial ones on real ptys, the window
#           under Xvfb) in one prepared prefix, then the end-to-end tests, the real Ombrelo.exe
#           under Wine and Xvfb against simulated testers (each in a prefix copied from that one);
#   asan    clang, AddressSanitizer and UBSan, with the libFuzzer targets: every native test, then
#           each fuzz target for 5 s on its seed corpus (scripts/fuzz.sh runs them long);
#   tsan    GCC, ThreadSanitizer: the programs of the threaded tests, and those tests.
# The tests mostly wait on terminals, simulated testers and Wine, so each tree's tests run while
# the next tree builds. The builds run at the lowest priority: a test never waits on a compiler.
# Prints each step's time at the end. Build trees live under build/ in the repository
# (OMBRELO_BUILD_ROOT overrides).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
root="${OMBRELO_BUILD_ROOT:-$here/build}"
jobs="${OMBRELO_JOBS:-2}"
# Test programs in parallel: they wait far more than they compute.
test_jobs="${OMBRELO_TEST_JOBS:-4}"

started=$SECONDS
bash "$here/scripts/deps.sh" g++ cmake ninja-build make libgtest-dev googletest \
  clang libclang-rt-14-dev g++-mingw-w64-x86-64-posix wine wine64 fonts-wine xvfb xauth x11-utils \
  imagemagick procps librsvg2-bin libxml2-utils jq

export HOME="${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}"
export WINEPREFIX="${WINEPREFIX:-$root/wineprefix}"
export WINEDEBUG=-all
# Every GoogleTest program, native or under Wine, runs its tests in a fresh random order, so that no
# test leans on what another left behind. Each prints its seed ("Randomizing tests' orders with a
# seed of N"); GTEST_RANDOM_SEED=N repeats that order.
export GTEST_SHUFFLE=1

logs="$root/test-logs"
mkdir -p "$logs"
times=()
failed=()
step_started=$SECONDS
step() { printf '\n==== %s ====\n' "$*"; }
took() { times+=("$(printf '%5d s  %s' $((SECONDS - step_started)) "$1")"); step_started=$SECONDS; }

build() { # dir, extra cmake args...
  local dir="$1"; shift
  cmake -S "$here" -B "$dir" -G Ninja "$@" >/dev/null
  nice -n 19 cmake --build "$dir" -j"$jobs"
}

# A run in the background, its output in $logs/NAME.log, shown when it is waited for.
declare -A run_pid=() run_started=()
run_behind() { # name, command...
  local name="$1"; shift
  run_started[$name]=$SECONDS
  ( status=0; "$@" || status=$?; echo $((SECONDS)) >"$logs/$name.end"; exit "$status" ) \
    >"$logs/$name.log" 2>&1 &
  run_pid[$name]=$!
}
wait_for_run() { # name
  local name="$1" status=0 from=$SECONDS
  wait "${run_pid[$name]}" || status=$?
  step "$name: tests"
  cat "$logs/$name.log"
  times+=("$(printf '%5d s  %s tests (beside the builds; %d s of it waited for)' \
    $(($(cat "$logs/$name.end") - run_started[$name])) "$name" $((SECONDS - from)))")
  step_started=$SECONDS
  [ "$status" -eq 0 ] || failed+=("$name")
}

native_tests() { ctest --test-dir "$root/native" --output-on-failure -j"$test_jobs"; }
win_tests() {
  local status=0
  # Wine tests share one prefix and its COM port links: one at a time.
  ctest --test-dir "$root/win" --output-on-failure -j1 -LE e2e || status=1
  wineserver -k 2>/dev/null || true
  # Each end-to-end run has a private prefix and display, and saves its screenshots under
  # build/win/e2e.
  ctest --test-dir "$root/win" --output-on-failure -j1 -L e2e || status=1
  return "$status"
}
took "dependencies"

step "native: build (Debug)"
# The prefix is made meanwhile: wineboot takes a while and the prefix is needed only later.
( . "$here/scripts/wine-prefix.sh" ) >"$logs/wineprefix.log" 2>&1 &
prefix_pid=$!
build "$root/native" -DCMAKE_BUILD_TYPE=Debug -DOMBRELO_BENCH=OFF
took "native build"
run_behind native native_tests

step "win: build (MinGW-w64)"
build "$root/win" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" \
  -DOMBRELO_BENCH=OFF -DOMBRELO_NATIVE_BUILD_DIR="$root/native"
took "win build"
wait "$prefix_pid" || { cat "$logs/wineprefix.log"; echo "the Wine prefix could not be made" >&2; exit 1; }
. "$here/scripts/wine-prefix.sh"
# One stage's tests at a time: the Wine tests are timing-bound.
wait_for_run native
run_behind win win_tests

step "asan: build (clang, AddressSanitizer, UBSan, libFuzzer targets)"
build "$root/asan" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
  -DOMBRELO_SANITIZE=address -DOMBRELO_FUZZ=ON -DOMBRELO_BENCH=OFF
took "asan build"

asan_tests() {
  local status=0
  ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
    ctest --test-dir "$root/asan" --output-on-failure -j"$test_jobs" || status=1
  printf '\n==== asan: each fuzz target for 5 s ====\n'
  OMBRELO_FUZZ_DIR="$root/asan" bash "$here/scripts/fuzz.sh" 5 || status=1
  return "$status"
}
wait_for_run win
run_behind asan asan_tests

step "tsan: build (ThreadSanitizer, the threaded tests' programs)"
cmake -S "$here" -B "$root/tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOMBRELO_SANITIZE=thread \
  -DOMBRELO_BENCH=OFF >/dev/null
nice -n 19 cmake --build "$root/tsan" -j"$jobs" --target ombrelo_threaded_tests
took "tsan build"
wait_for_run asan

step "tsan: threaded tests"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir "$root/tsan" --output-on-failure -L threaded -j"$test_jobs" || failed+=(tsan)
took "tsan tests"

step "times"
printf '%s\n' "${times[@]}"
printf '%5d s  in all\n' $((SECONDS - started))
if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "all stages passed"
