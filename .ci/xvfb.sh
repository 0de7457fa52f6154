# Sourced by the scripts that need an X display: starts an Xvfb on a display
# number it picks itself (-displayfd prints it once the server is ready), sets
# `display` to it, and ends the server by its process id when the script exits.
xvfb_display_file=$(mktemp)
xvfb_pid=
stop_xvfb() {
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    rm -f "$xvfb_display_file"
}
trap stop_xvfb EXIT
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$xvfb_display_file" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
    [ -s "$xvfb_display_file" ] && break
    sleep 0.1
done
if [ ! -s "$xvfb_display_file" ]; then
    echo "Xvfb did not start" >&2
    exit 1
fi
display=":$(head -n 1 "$xvfb_display_file")"
