#!/bin/sh
# The game end to end on an Xvfb display of its own: start it from the asset folder, wait
# for its statistics, look at the first frame, drive it with keys (F2 twice, F3, F, Escape)
# and check its exit code and the format of its statistics lines.
#   e2e.sh GAME ASSET_FOLDER WORK_FOLDER   (screenshots and logs stay in WORK_FOLDER)
set -eu
game=$1
assets=$2
work=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../tools/xvfb.sh"
. "$here/e2e_common.sh"

mkdir -p "$work"
rm -f "$work"/*.xwd "$work"/*.png "$work"/*.txt "$work"/*.log
out="$work/stdout.txt"
err="$work/stderr.txt"
game_pid=
trap cleanup EXIT

# The sky box's front face (looking along -z at start) fills the top of the frame.
check_sky() {
    for x in 10 640 1269; do
        p=$(pixel "$1" "$x" 10)
        [ "$p" = "255,128,0" ] || fail "$1: sky at ($x, 10) is $p, the front face is 255,128,0"
    done
    echo "$1: the sky box's front face is where it should be"
}

start_xvfb "$work/xvfb.log"
echo "display $DISPLAY"

# the asset folder without the terrain model, so the sky box fills the frame
scratch_assets "$assets" "$work/run"
cd "$work/run"
# Allocations that Mesa and GLFW keep until exit are not the game's: no leak report for it.
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" "$game" </dev/null >"$out" 2>"$err" &
game_pid=$!

wait_for '^FPS: ' 1 60
# slow frames (software rendering, a loaded machine) stretch every wait below: slack is
# whole seconds for two frames at the first second's rate
slack=$(frame_slack)
screenshot first
not_clear_only first
check_sky first

# F2 turns the statistics off, and on again
xdotool key F2
sleep $((1 + slack))
before=$(count '^FPS: ')
sleep $((2 + slack))
[ "$(count '^FPS: ')" = "$before" ] || fail "statistics still printed after F2"
xdotool key F2
wait_for '^FPS: ' $((before + 1)) $((10 + slack))

# wireframe: without a terrain model only the sky box shows, and the game goes on
xdotool key F3
now=$(count '^FPS: ')
wait_for '^FPS: ' $((now + 1)) $((10 + slack))
screenshot wireframe
not_clear_only wireframe

# F: windowed, which reloads the level
loads=$(count '^Compiling shader : shaders/c_vs.glsl')
xdotool key F
wait_for '^Compiling shader : shaders/c_vs.glsl' $((loads + 1)) $((20 + slack))
now=$(count '^FPS: ')
wait_for '^FPS: ' $((now + 1)) $((20 + slack))
screenshot windowed
not_clear_only windowed
check_sky windowed
grep -c '^switching to fullscreen' "$err" | grep -qx 1 || fail "F did not switch to windowed mode"

# F again: back to full screen, with another reload
xdotool key F
wait_for '^Compiling shader : shaders/c_vs.glsl' $((loads + 2)) $((20 + slack))
now=$(count '^FPS: ')
wait_for '^FPS: ' $((now + 1)) $((20 + slack))
grep -c '^switching to fullscreen' "$err" | grep -qx 2 || fail "the second F did not return to full screen"

xdotool key Escape
expect_clean_exit $((30 + slack))

# every statistics line has its exact text, and an FPS line follows each
number='-?[0-9]+(\.[0-9]+)?(e[-+][0-9]+)?'
# lines of stdout that hold PATTERN but are not exactly FORMAT
misfits() {
    grep -e "$1" "$out" >"$work/lines.txt" || true
    set +e
    grep -Evx -e "$2" "$work/lines.txt"
    _status=$?
    set -e
    [ "$_status" -le 1 ] || fail "grep failed on the pattern $2"
}
bad=$(misfits 'ms/frame' "$number ms/frame \\(active tiles/frame:$number, active patches/frame: $number")
[ -z "$bad" ] || fail "malformed statistics line: $bad"
bad=$(misfits '^FPS: ' "FPS: $number")
[ -z "$bad" ] || fail "malformed FPS line: $bad"
awk '/ms\/frame/ { expect = 1; next } expect && !/^FPS: / { exit 1 } { expect = 0 }' "$out" ||
    fail "a ms/frame line is not followed by its FPS line"
[ "$(count 'ms/frame')" = "$(count '^FPS: ')" ] || fail "ms/frame and FPS lines do not pair up"
[ "$(count 'ms/frame')" -ge 3 ] || fail "fewer than three statistics lines"

if grep -q '^GL error: ' "$err"; then
    fail "the driver reported GL errors: $(grep -m 3 '^GL error: ' "$err")"
fi
echo "screenshots in $work"
echo "PASS"
