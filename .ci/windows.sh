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

# An Xvfb on a display number it picks itself (-displayfd prints it once the
# server is ready), ended by its process id whatever happens.
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
if [ ! -s "$display_file" ]; then
    echo "windows: Xvfb did not start" >&2
    exit 1
fi
display=":$(head -n 1 "$display_file")"
tested=$(date +%s)

KELVOR_TEST_DISPLAY="$display" ctest --test-dir build/wine --output-on-failure
end=$(date +%s)

echo "windows: cross-build $((built - start)) s, Wine tests (console window included) $((end - tested)) s, total $((end - start)) s"
