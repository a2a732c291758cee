#!/usr/bin/env bash
# Builds and starts Termiva. Uses the window program when it was built, else the
# headless host (JSON lines on stdin/stdout).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
if [ -x build/termiva/termiva ]; then
  exec build/termiva/termiva
fi
exec build/termiva/termiva-host "$@"
