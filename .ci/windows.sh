#!/usr/bin/env bash
# Cross-builds kelvor.exe with MinGW-w64 and runs its end-to-end tests under Wine,
# the key tests in a real console window on an X display of their own (Xvfb,
# keys typed with xdotool). Installs nothing: needs cmake, g++, libgtest-dev,
# g++-mingw-w64-x86-64-posix, wine64 (with wine), xvfb and xdotool.
set -euo pipefail
cd "$(dirname "$0")/.."

start=$(date +%s)
cmake --preset windows
cmake --build --preset windows -j2
built=$(date +%s)

cmake -S tests/windows -B build/wine -DKELVOR_WINDOWS_EXE="$PWD/build/windows/kelvor.exe"
cmake --build build/wine -j2

# The console-window tests run on an X display of their own.
source .ci/xvfb.sh
tested=$(date +%s)

KELVOR_TEST_DISPLAY="$display" ctest --test-dir build/wine --output-on-failure
end=$(date +%s)

echo "windows: cross-build $((built - start)) s, Wine tests (console window included) $((end - tested)) s, total $((end - start)) s"
