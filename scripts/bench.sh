#!/usr/bin/env bash
# Runs every benchmark: builds a Release native tree (build/bench in the repository;
# OMBRELO_BUILD_ROOT overrides the root) and runs each benchmark program in turn. Add a
# benchmark by adding its target to the list below.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
root="${OMBRELO_BUILD_ROOT:-$here/build}"
dir="$root/bench"
jobs="${OMBRELO_JOBS:-2}"

bash "$here/scripts/deps.sh" g++ cmake ninja-build libgtest-dev libbenchmark-dev

# target, arguments...
benchmarks=(
  "ombrelo-bench-link"
  "ombrelo-bench-display"
  "ombrelo-bench-save"
  "ombrelo-bench-poll --seconds ${OMBRELO_POLL_SECONDS:-60}"
)

cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOMBRELO_TESTS=OFF \
  -DOMBRELO_BENCH=ON >/dev/null
targets=()
for entry in "${benchmarks[@]}"; do
  read -r target _ <<<"$entry"
  targets+=("$target")
done
cmake --build "$dir" -j"$jobs" --target "${targets[@]}"

status=0
for entry in "${benchmarks[@]}"; do
  read -r target args <<<"$entry"
  program=$(find "$dir" -type f -name "$target" -perm -u+x | head -n 1)
  printf '\n==== %s ====\n' "$target"
  # shellcheck disable=SC2086
  "$program" $args || status=1
done
exit $status
