#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz and runs each for a bounded
# time on its seed corpus (tests/fuzz/corpus/<target>). Usage: scripts/fuzz.sh [seconds]
# (30 by default). A crash leaves its input in build-fuzz/fuzz-findings/ and fails.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
dir=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTERMIVA_FUZZ=ON -DBUILD_TESTING=OFF -DTERMIVA_WERROR="${TERMIVA_WERROR:-OFF}" \
  -DTERMIVA_COMPONENTS="sixbitline;flashwright;text;platform;connect;transfer" >/dev/null
cmake --build "$dir" -j2
mkdir -p "$dir/fuzz-findings"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
for target in "$dir"/fuzz/fuzz_*; do
  name=$(basename "$target")
  corpus=tests/fuzz/corpus/${name#fuzz_}
  work="$dir/fuzz-corpus/${name#fuzz_}"
  mkdir -p "$work"
  echo "fuzz: $name for ${seconds}s"
  # New inputs go to a corpus of the build; the seeds in the tree stay as they are.
  if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
      -print_final_stats=1 -artifact_prefix="$dir/fuzz-findings/$name-" "$work" "$corpus" \
      >"$dir/fuzz-findings/$name.log" 2>&1; then
    failed+=("$name")
    tail -40 "$dir/fuzz-findings/$name.log"
  else
    grep -E '^stat::number_of_executed_units|^Done' "$dir/fuzz-findings/$name.log" | tr '\n' ' '
    echo
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: failures in ${failed[*]}; inputs in $dir/fuzz-findings/" >&2
  exit 1
fi
echo "fuzz: every target ran ${seconds}s without a finding"
