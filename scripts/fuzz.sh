#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build/fuzz and runs each for a
# bounded time: FUZZ_SECONDS (default 30). New inputs go to build/fuzz, the
# seed corpus in tests/fuzz/corpus stays as committed. An input that runs
# longer than 10 s counts as a hang and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-30}"

cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DVARDEX_FUZZ=ON -DVARDEX_TESTS=OFF >/dev/null
cmake --build build/fuzz -j2 --target CommandBodyFuzz ConversationFuzz

run() {
  local target="$1" corpus="$2" max_len="$3"
  mkdir -p "build/fuzz/corpus/$corpus"
  echo "fuzzing $target for ${seconds}s"
  "build/fuzz/tests/fuzz/$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="build/fuzz/$target-" "build/fuzz/corpus/$corpus" "tests/fuzz/corpus/$corpus"
}

run CommandBodyFuzz command-body 16000
# Room for an upload's two largest bodies with their headers.
run ConversationFuzz conversation 33000
