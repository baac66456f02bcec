#!/usr/bin/env bash
# Builds the libFuzzer targets under fuzz/ with clang, AddressSanitizer and UBSan, and runs each for
# SECONDS (default 60) on a scratch copy of its seed corpus (fuzz/corpus/<target>/ is never
# written). Prints, per target, the executions, the coverage after loading the seeds and at the
# end, and the crashes; exits non-zero when any target crashed. Usage: fuzz.sh [SECONDS]
# The build tree is build/fuzz (OMBRELO_BUILD_ROOT overrides build/), or OMBRELO_FUZZ_DIR: a tree
# already configured with clang and OMBRELO_FUZZ=ON (the test script's sanitizer tree), which is
# built as it is. Crash inputs and logs are kept under <tree>/run/<target>/.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
root="${OMBRELO_BUILD_ROOT:-$here/build}"
jobs="${OMBRELO_JOBS:-2}"
seconds="${1:-60}"

# clang-14 only recommends the run-time libraries that hold libFuzzer and the sanitizers.
bash "$here/scripts/deps.sh" clang libclang-rt-14-dev cmake ninja-build

dir="${OMBRELO_FUZZ_DIR:-$root/fuzz}"
if [ -z "${OMBRELO_FUZZ_DIR:-}" ]; then
  cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DOMBRELO_FUZZ=ON -DOMBRELO_TESTS=OFF -DOMBRELO_BENCH=OFF >/dev/null
fi
cmake --build "$dir" --target ombrelo_fuzz -j"$jobs"

# target:max_len. Reply frames and replies reach kMaxReplyData (4092) bytes; a readings set is
# at most 466 bytes; texts and names a few thousand.
targets=(frame_assembler:4200 reply_decoders:4500 readings_pipeline:512 logger:4096 file_names:4096)

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"

# "cov: N ft: M" of a libFuzzer status line, as "N M".
coverage() { sed -n 's/.*cov: \([0-9]*\) ft: \([0-9]*\).*/\1 \2/p' <<<"$1"; }

total=0
failed=0
report=()
for entry in "${targets[@]}"; do
  name="${entry%%:*}"
  max_len="${entry##*:}"
  run="$dir/run/$name"
  rm -rf "$run"
  mkdir -p "$run/corpus"
  cp "$here/fuzz/corpus/$name/"* "$run/corpus/"
  echo "fuzz_$name: ${seconds} s, max_len $max_len"
  rc=0
  "$dir/fuzz/fuzz_$name" -max_total_time="$seconds" -max_len="$max_len" -timeout=30 \
    -print_final_stats=1 -artifact_prefix="$run/" "$run/corpus" >"$run/fuzz.log" 2>&1 || rc=$?

  read -r cov0 ft0 <<<"$(coverage "$(grep -m1 'INITED' "$run/fuzz.log" || true)")"
  read -r cov1 ft1 <<<"$(coverage "$(grep -E '^#[0-9]+' "$run/fuzz.log" | tail -n1 || true)")"
  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/fuzz.log" | tail -n1)"
  if [ -z "$execs" ]; then  # a crash ends the run before the final statistics
    execs="$(grep -oE '^#[0-9]+' "$run/fuzz.log" | tail -n1 | tr -d '#')"
  fi
  crashes="$(find "$run" -maxdepth 1 \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
    -o -name 'oom-*' \) | wc -l)"
  if [ "$rc" -ne 0 ] && [ "$crashes" -eq 0 ]; then crashes=1; fi
  total=$((total + ${execs:-0}))
  report+=("$(printf '%-18s %12s   cov %5s -> %-5s   ft %6s -> %-6s   crashes %s' "$name" "${execs:-?}" \
    "${cov0:-?}" "${cov1:-?}" "${ft0:-?}" "${ft1:-?}" "$crashes")")
  if [ "$crashes" -ne 0 ]; then
    failed=1
    echo "fuzz_$name found a fault (exit $rc); log: $run/fuzz.log" >&2
    grep -E 'fuzz check failed|ERROR: |SUMMARY: |runtime error|^artifact_prefix|Test unit written' "$run/fuzz.log" >&2 || true
  fi
done

echo
echo "Per target: executions, coverage (cov: edges, ft: features) after the seeds -> at the end, crashes"
printf '%s\n' "${report[@]}"
echo "total executions: $total"
exit "$failed"
