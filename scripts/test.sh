#!/usr/bin/env bash
# Builds and runs every test. Options:
#   --sanitize      build into build-asan with AddressSanitizer+UBSan, run the unit tests
#   --tsan          build into build-tsan with ThreadSanitizer, run the unit and integration
#                   tests (the headless host included)
#   -L label        only tests with this ctest label (unit, integration, gui, web)
set -euo pipefail
cd "$(dirname "$0")/.."
label=()
san=""
while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize) san="address;undefined"; export TERMIVA_BUILD_DIR=build-asan; label=(-L unit) ;;
    --tsan) san="thread"; export TERMIVA_BUILD_DIR=build-tsan; label=(-L "unit|integration") ;;
    -L) label=(-L "$2"); shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
if [ -n "$san" ]; then
  # Sanitizer runs cover the unit tests: the window program and benchmarks are left out.
  scripts/build.sh -DTERMIVA_SANITIZE="$san" -DCMAKE_BUILD_TYPE=Debug \
    -DTERMIVA_COMPONENTS="sixbitline;flashwright;text;platform;connect;ssh2;transfer;assistant;app;host"
else
  scripts/build.sh
fi
dir=${TERMIVA_BUILD_DIR:-build}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
ctest --test-dir "$dir" --output-on-failure -j2 --timeout 300 "${label[@]}"
