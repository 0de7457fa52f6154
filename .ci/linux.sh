#!/usr/bin/env bash
# Extra Linux CI step: builds the key decoder's libFuzzer target with clang and runs
# it for a short while (crashes, hangs, broken decoder invariants end the run with
# an error). Installs nothing; needs clang, libclang-rt-14-dev (libFuzzer),
# libgtest-dev and cmake.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DKELVOR_FUZZ=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/fuzz -j2 --target key_decoder_fuzz
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
# -timeout: one input taking over 2 s counts as a hang.
build/fuzz/tests/linux/key_decoder_fuzz -max_total_time="${KELVOR_FUZZ_SECONDS:-45}" \
    -timeout=2 -print_final_stats=1 "$corpus"
echo "key decoder fuzzing: no crash, hang or broken invariant"
