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

display_file=$(mktemp)
xvfb_pid=
stop_xvfb() {
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    rm -f "$display_file"
}
trap stop_xvfb EXIT
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
    [ -s "$display_file" ] && break
    sleep 0.1
done
KELVOR_TEST_DISPLAY=":$(head -n 1 "$display_file")" build/wine/kelvor_wine_tests \
    --gtest_filter='*DISABLED_Figures' --gtest_also_run_disabled_tests
