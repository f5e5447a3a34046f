#!/usr/bin/env bash
# Builds both targets and runs every test: the POSIX build natively under
# AddressSanitizer and UndefinedBehaviorSanitizer, the Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
export WINEDEBUG=-all

cmake --preset debug >/dev/null
cmake --build --preset debug
cmake --preset windows >/dev/null
cmake --build --preset windows

# Keep one Wine server alive for the whole run instead of one per test.
wineserver -p 2>/dev/null || true

status=0
echo "== POSIX tests (debug, sanitizers)"
ctest --preset debug || status=1
echo "== Windows tests (under Wine)"
ctest --preset windows || status=1
[ -x scripts/extra-tests.sh ] && { scripts/extra-tests.sh || status=1; }
exit $status
