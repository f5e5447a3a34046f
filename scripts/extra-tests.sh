#!/usr/bin/env bash
# Tests beyond the two CTest suites: end-to-end runs of the executables
# (tests/e2e/*.sh) and the bounded fuzzing runs (scripts/fuzz.sh).
set -uo pipefail
cd "$(dirname "$0")/.."
status=0
for script in tests/e2e/*.sh; do
  [ -f "$script" ] || continue
  echo "== $script"
  bash "$script" || { echo "FAILED: $script"; status=1; }
done
if [ -x scripts/fuzz.sh ]; then
  echo "== scripts/fuzz.sh"
  scripts/fuzz.sh || { echo "FAILED: scripts/fuzz.sh"; status=1; }
fi
exit $status
