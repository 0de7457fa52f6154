#!/usr/bin/env bash
# Benchmark of kelvor over pseudo-terminals. Builds the default preset, then the
# benchmark program and an allocation counter, and prints the figures. KELVOR_BIN
# names another kelvor binary to measure (for example an older build).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target kelvor >/dev/null
out=build/bench
mkdir -p "$out"
gcc -O2 -shared -fPIC -o "$out/alloc_count.so" bench/alloc_count.c
kelvor="${KELVOR_BIN:-$PWD/build/default/kelvor}"
g++ -std=c++17 -O2 -Wall -Wextra -Isrc -DKELVOR_BINARY="\"$kelvor\"" \
    -o "$out/kelvor_bench" bench/kelvor_bench.cpp tests/linux/pty_harness.cpp \
    src/serial/line_settings_linux.cpp src/wave/rate_table.cpp src/wave/clock.cpp
counter="$out/alloc_count.bin"
head -c 8 /dev/zero >"$counter"
"$out/kelvor_bench" "$PWD/$out/alloc_count.so" "$PWD/$counter"
