#!/usr/bin/env bash
# Cross-builds kelvor.exe with MinGW-w64 and runs its end-to-end tests under Wine.
# Installs nothing: needs cmake, g++, libgtest-dev, g++-mingw-w64-x86-64-posix and
# wine64 (with wine).
set -euo pipefail
cd "$(dirname "$0")/.."

start=$(date +%s)
cmake --preset windows
cmake --build --preset windows -j2
built=$(date +%s)

cmake -S tests/windows -B build/wine -DKELVOR_WINDOWS_EXE="$PWD/build/windows/kelvor.exe"
cmake --build build/wine -j2
ctest --test-dir build/wine --output-on-failure
end=$(date +%s)

echo "windows: cross-build $((built - start)) s, Wine tests $((end - built)) s, total $((end - start)) s"
