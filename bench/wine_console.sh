#!/usr/bin/env bash
# Figures of kelvor.exe under Wine in a real console window: bytes per second on
# the line and CPU at rows 13 and 28, switch and quit latency, keys taken out of
# keys typed with the line read and held back. Needs what .ci/windows.sh needs;
# builds as it does. KELVOR_BENCH_EXE=/path/to/kelvor.exe measures another build.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset windows >/dev/null
cmake --build --preset windows -j2 >/dev/null
cmake -S tests/windows -B build/wine -DKELVOR_WINDOWS_EXE="$PWD/build/windows/kelvor.exe" >/dev/null
cmake --build build/wine -j2 >/dev/null

source .ci/xvfb.sh
KELVOR_TEST_DISPLAY="$display" build/wine/kelvor_wine_tests \
    --gtest_filter='*DISABLED_Figures' --gtest_also_run_disabled_tests
