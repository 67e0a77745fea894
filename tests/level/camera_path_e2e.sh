#!/bin/sh
# Camera paths end to end on an Xvfb display of its own. The game starts in a scratch folder
# beside a generated "cameraPath.bin" that looks along -z (the sky box's front face) and then
# turns to +x (its left face): screenshots at distinct times show distinct faces. M stops the
# playback, P twice records and writes N x 48 bytes, M plays files back. No terrain model is
# given, so the sky box fills the frame and its faces say where the camera looks.
#   camera_path_e2e.sh GAME PATH_TOOL ASSET_FOLDER WORK_FOLDER
set -eu
game=$1
tool=$2
assets=$3
work=$4
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../tools/xvfb.sh"
. "$here/../game/e2e_common.sh"

mkdir -p "$work"
rm -f "$work"/*.xwd "$work"/*.png "$work"/*.txt "$work"/*.log "$work"/*.bin
out="$work/stdout.txt"
err="$work/stderr.txt"
run="$work/run"

scratch_assets "$assets" "$run"

front_face=255,128,0 # the sky box looking along -z
left_face=255,255,0  # looking along +x

# centre NAME COLOUR: the middle of the frame shows that sky-box face
centre() {
    _p=$(pixel "$1" 640 384)
    [ "$_p" = "$2" ] || fail "$1: the centre is $_p, expected $2"
}

# Looks along -z for `turn` seconds, turns to +x within one second, then holds until t = 3600.
turn=8
"$tool" write "$run/cameraPath.bin" \
    0 512 300 1400 0 0 -1 \
    $turn 512 300 1400 0 0 -1 \
    $((turn + 1)) 600 320 1400 1 0 0 \
    3600 600 320 1400 1 0 0 || fail "could not write the camera path"
[ "$(wc -c <"$run/cameraPath.bin")" = $((4 * 48)) ] || fail "the generated path is not 4 records"
cp "$run/cameraPath.bin" "$work/generated.bin"

game_pid=
trap cleanup EXIT
start_xvfb "$work/xvfb.log"
echo "display $DISPLAY"

cd "$run"
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" "$game" </dev/null >"$out" 2>"$err" &
game_pid=$!

wait_for '^FPS: ' 1 60
slack=$(frame_slack)
grep -q 'could not load SkyBox' "$err" && fail "the sky-box faces do not load: nothing to tell the views apart"
# the level load reads the path (twice: the camera's constructor and the scene's reset)
[ "$(count '^Loading File cameraPath.bin from disk done')" -ge 1 ] || fail "the camera path was not loaded at start"

screenshot early
centre early "$front_face"

# every statistics line stands for at least a second of play: past the turn once there are
# turn + 2 of them
wait_for '^FPS: ' $((turn + 2)) $((turn + 20 + 4 * slack))
screenshot late
centre late "$left_face"
cmp -s "$work/early.xwd" "$work/late.xwd" && fail "the early and late screenshots are identical"
echo "playback: -z at first, +x after the turn"

# M stops the playback: the flight model takes over where the path left the camera, looking
# where the mouse angles say (-z, the mouse has not moved)
xdotool key m
now=$(count '^FPS: ')
wait_for '^FPS: ' $((now + 2)) $((10 + 2 * slack))
screenshot stopped
centre stopped "$front_face"

# P starts recording, P again stops it and writes one 48-byte record per frame
saves=$(count '^Writing File cameraPath.bin to disk done')
xdotool key p
now=$(count '^FPS: ')
wait_for '^FPS: ' $((now + 2)) $((10 + 2 * slack))
xdotool key p
wait_for '^Writing File cameraPath.bin to disk done' $((saves + 1)) $((10 + slack))
bytes=$(wc -c <cameraPath.bin)
records=$((bytes / 48))
[ $((records * 48)) = "$bytes" ] || fail "cameraPath.bin holds $bytes bytes, not a whole number of records"
[ "$records" -ge 2 ] || fail "a recording of two seconds holds $records records"
"$tool" dump cameraPath.bin >"$work/recorded.txt" || fail "the recorded path does not read back"
# times from 0, growing, spanning the two seconds; the camera stood where the path had left it,
# looking along -z
awk -v n="$records" '
    NR == 1 && $1 != 0 { print "first time " $1; bad = 1 }
    NR > 1 && $1 < last { print "time goes back at record " NR; bad = 1 }
    { last = $1 }
    $2 != 600 || $3 != 320 || $4 != 1400 { print "record " NR " at " $2 " " $3 " " $4; bad = 1 }
    ($8 > 1e-4 || $8 < -1e-4) || ($10 > -0.9999) { print "record " NR " looks along " $8 " " $9 " " $10; bad = 1 }
    END { if (NR != n) { print NR " records"; bad = 1 } if (last < 1) { print "spans " last " s"; bad = 1 } exit bad }
' "$work/recorded.txt" || fail "the recorded path is not the flight it recorded: $(head -c 300 "$work/recorded.txt")"
cp cameraPath.bin "$work/recorded.bin"
echo "recorded $records records ($bytes bytes)"

# M plays a file back: the generated path's last part (looking along +x) shows at once
"$tool" write cameraPath.bin 0 600 320 1400 1 0 0 3600 600 320 1400 1 0 0
loads=$(count '^Loading File cameraPath.bin from disk done')
xdotool key m
wait_for '^Loading File cameraPath.bin from disk done' $((loads + 1)) $((10 + slack))
now=$(count '^FPS: ')
wait_for '^FPS: ' $((now + 2)) $((10 + 2 * slack))
screenshot replayed
centre replayed "$left_face"

# M stops it; M plays the recording back, which ends by itself after its couple of seconds:
# then P records again (P does nothing while a path plays)
xdotool key m
cp "$work/recorded.bin" cameraPath.bin
loads=$(count '^Loading File cameraPath.bin from disk done')
xdotool key m
wait_for '^Loading File cameraPath.bin from disk done' $((loads + 1)) $((10 + slack))
now=$(count '^FPS: ')
wait_for '^FPS: ' $((now + 4)) $((15 + 4 * slack))
screenshot recording-replayed
centre recording-replayed "$front_face"
saves=$(count '^Writing File cameraPath.bin to disk done')
xdotool key p
now=$(count '^FPS: ')
wait_for '^FPS: ' $((now + 1)) $((10 + 2 * slack))
xdotool key p
wait_for '^Writing File cameraPath.bin to disk done' $((saves + 1)) $((10 + slack))

xdotool key Escape
expect_clean_exit $((30 + slack))

grep -q 'rejected' "$out" && fail "a camera path was rejected: $(grep -m 1 rejected "$out")"
if grep -q '^GL error: ' "$err"; then
    fail "the driver reported GL errors: $(grep -m 3 '^GL error: ' "$err")"
fi
echo "screenshots in $work"
echo "PASS"
