#!/usr/bin/env bash
# Runs every test: installs what is missing, then
#   1. the native build and all native tests,
#   2. a ThreadSanitizer build and the threaded tests,
#   3. an AddressSanitizer/UBSan build and all native tests, then every libFuzzer target for 20 s,
#   4. the MinGW-w64 cross build and its tests under Wine (the serial ones against real ptys, the
#      window ones under Xvfb),
#   5. the end-to-end tests: the real Ombrelo.exe under Wine and Xvfb against simulated testers.
# Build trees live under build/ in the repository (OMBRELO_BUILD_ROOT overrides).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
root="${OMBRELO_BUILD_ROOT:-$here/build}"
jobs="${OMBRELO_JOBS:-2}"

bash "$here/scripts/deps.sh" g++ cmake ninja-build make libgtest-dev googletest \
  g++-mingw-w64-x86-64-posix wine wine64 fonts-wine xvfb xauth x11-utils imagemagick procps \
  librsvg2-bin libxml2-utils jq

export HOME="${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}"
export WINEPREFIX="${WINEPREFIX:-$root/wineprefix}"
export WINEDEBUG=-all
# Every GoogleTest program, native or under Wine, runs its tests in a fresh random order, so that no
# test leans on what another left behind. Each prints its seed ("Randomizing tests' orders with a
# seed of N"); GTEST_RANDOM_SEED=N repeats that order.
export GTEST_SHUFFLE=1

step() { printf '\n==== %s ====\n' "$*"; }

configure_build() { # dir, extra cmake args...
  local dir="$1"; shift
  cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

step "Native build and tests"
configure_build "$root/native"
ctest --test-dir "$root/native" --output-on-failure -j"$jobs"

step "ThreadSanitizer: threaded tests"
configure_build "$root/tsan" -DOMBRELO_SANITIZE=thread -DOMBRELO_BENCH=OFF
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir "$root/tsan" --output-on-failure -L threaded -j"$jobs"

step "AddressSanitizer and UBSan: all native tests"
configure_build "$root/asan" -DOMBRELO_SANITIZE=address -DOMBRELO_BENCH=OFF
ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
  ctest --test-dir "$root/asan" --output-on-failure -j"$jobs"

step "libFuzzer: each fuzz target for 20 s"
bash "$here/scripts/fuzz.sh" 20

step "Windows build (MinGW-w64) and its tests under Wine"
. "$here/scripts/wine-prefix.sh"
configure_build "$root/win" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" \
  -DOMBRELO_BENCH=OFF -DOMBRELO_NATIVE_BUILD_DIR="$root/native"
# Wine tests share one prefix and its COM port links: one at a time.
ctest --test-dir "$root/win" --output-on-failure -j1 -LE e2e
wineserver -k 2>/dev/null || true

step "End-to-end: Ombrelo.exe under Wine and Xvfb"
# Each has a private prefix and display of its own, and saves its screenshots under build/win/e2e.
ctest --test-dir "$root/win" --output-on-failure -j1 -L e2e
