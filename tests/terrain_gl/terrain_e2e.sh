#!/bin/sh
# The terrain in the running game, on an Xvfb display of its own: a generated 1025 x 1025
# model seen from a fixed camera path. Checks that the terrain fills the lower part of the
# frame, that the statistics count tiles and patches, that F8 (culling off) and keypad *
# (coarser levels) move the counts the right way, that F3 draws wireframe, that F7 with C
# shows three different shadow cascades, and that the frame still draws with F10 (shadows
# off). Prints the frame time of the standard view.
#   terrain_e2e.sh GAME MODEL_GENERATOR CAMERA_PATH_TOOL ASSET_FOLDER WORK_FOLDER
set -eu
absolute() {
    echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
}
game=$(absolute "$1")
generator=$2
pathTool=$3
assets=$(cd "$4" && pwd)
mkdir -p "$5"
work=$(cd "$5" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../tools/xvfb.sh"
. "$here/../game/e2e_common.sh"

rm -rf "$work"/*
mkdir -p "$work/game/Textures"
out="$work/stdout.txt"
err="$work/stderr.txt"
: >"$out"
: >"$err"
cmp=compare
[ -x /usr/bin/compare ] && cmp=/usr/bin/compare

# The game's folder: the real assets by link, a model and camera path of its own.
for part in Levels Meshes Shaders SkyBox; do
    ln -s "$assets/$part" "$work/game/$part"
done
ln -s Shaders "$work/game/shaders"
for texture in GrassGreenTexture0002.jpg red.png; do
    ln -s "$assets/Textures/$texture" "$work/game/Textures/$texture"
done
"$generator" --grid 1025 --profile alpine "$work/game/Textures/DTM Austria 50m LZW.tif" >"$work/generator.txt"
# hovering 150 above the grid's near edge, looking down the grid along -z
"$pathTool" write "$work/game/cameraPath.bin" 0 512 150 1150 0 -0.35 -1 3600 512 150 1150 0 -0.35 -1

game_pid=
trap cleanup EXIT

# After a key, the next statistics line may still count frames from before it: the one after
# that counts only frames drawn since, and so does the frame on screen.
settle() {
    _now=$(count '^FPS: ')
    wait_for '^FPS: ' $((_now + 2)) 120
}

key() {
    xdotool key "$@"
    settle
}

# the last statistics line's tiles, patches and milliseconds per frame
stats() {
    grep 'ms/frame' "$out" | tail -n 1 |
        sed -E 's/^([-0-9.e+]+) ms\/frame \(active tiles\/frame:([-0-9.e+]+), active patches\/frame: ([-0-9.e+]+)$/\2 \3 \1/'
}
tiles() { stats | cut -d' ' -f1; }
patches() { stats | cut -d' ' -f2; }
milliseconds() { stats | cut -d' ' -f3; }

# compare A OP B for decimal numbers
holds() {
    awk -v a="$1" -v b="$3" "BEGIN { exit !(a $2 b) }"
}

# a digest of the pixels alone
pixels() {
    "$im" "$work/$1.xwd" rgb:- | md5sum | cut -d' ' -f1
}

# differing NAME1 NAME2: how many pixels of the two screenshots differ
differing() {
    "$cmp" -metric AE "$work/$1.xwd" "$work/$2.xwd" null: 2>&1 >/dev/null || true
}

# the share of terrain-coloured (green-dominant) pixels in rows FROM .. FROM + HEIGHT
green_share() {
    "$im" "$work/$1.xwd" -crop "1280x$3+0+$2" +repage -scale 20% -fx 'g > r && g > b ? 1 : 0' \
        -format '%[fx:mean]' info:
}

start_xvfb "$work/xvfb.log"
cd "$work/game"
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" "$game" </dev/null >"$out" 2>"$err" &
game_pid=$!

# the first run imports the model and precomputes: give it time
wait_for '^FPS: ' 1 240
grep -q '^Max supported patch vertices' "$out" || fail "the terrain's GL side was not set up"
# a fixed light makes frames of one view identical
key F6
screenshot first
share=$(green_share first 512 256)
holds "$share" '>' 0.9 || fail "the lower part of the frame is not terrain (green share $share)"
share=$(green_share first 0 64)
holds "$share" '<' 0.1 || fail "the top of the frame is not sky (green share $share)"
[ "$(tiles)" = 4 ] || fail "$(tiles) active tiles per frame, all four tiles are in view"
holds "$(patches)" '>' 4 || fail "$(patches) active patches per frame: the near tiles split"
standard=$(milliseconds)
echo "standard view: $(tiles) tiles, $(patches) patches per frame"

key F3
screenshot wireframe
[ "$(pixels wireframe)" != "$(pixels first)" ] || fail "F3 did not change the frame"
share=$(green_share wireframe 512 256)
holds "$share" '<' 0.99 || fail "the wireframe frame shows no sky through the terrain (green share $share)"
key F3
screenshot filled
# the same view again, up to a few shadow-edge pixels (0.28 % seen)
changed=$(differing filled first)
[ "$changed" -lt 10000 ] || fail "the second F3 did not give back the filled frame ($changed pixels differ)"

# the shadow-map debug view, one cascade after the other
key F7
screenshot cascade0
key c
screenshot cascade1
key c
screenshot cascade2
for c in 0 1 2; do
    [ "$("$im" "$work/cascade$c.xwd" -format %k info:)" -gt 1 ] || fail "cascade $c shows a single colour"
done
[ "$(pixels cascade0)" != "$(pixels cascade1)" ] || fail "cascades 0 and 1 look the same"
[ "$(pixels cascade1)" != "$(pixels cascade2)" ] || fail "cascades 1 and 2 look the same"
[ "$(pixels cascade0)" != "$(pixels cascade2)" ] || fail "cascades 0 and 2 look the same"
[ "$(pixels cascade0)" != "$(pixels first)" ] || fail "F7 did not show a shadow map"
key F7

# The cascade keys: with cascades 1 and 2 off (keys 2, 3) the camera sees only as far as
# cascade 0 reaches; with all three off (key 1 too) nothing is visible, and culling off (F8)
# makes every tile and patch visible again.
standard_patches=$(patches)
key 2 3
echo "cascade 0 alone: $(tiles) tiles, $(patches) patches per frame"
holds "$(patches)" '<=' "$standard_patches" || fail "fewer cascades made more patches visible"
key 1
[ "$(tiles) $(patches)" = "0 0" ] || fail "all cascades off: $(tiles) tiles and $(patches) patches still visible"
key F8
echo "all cascades off, culling off: $(tiles) tiles, $(patches) patches per frame"
[ "$(tiles)" = 4 ] || fail "culling off: $(tiles) tiles per frame, not all four"
holds "$(patches)" '>=' "$standard_patches" || fail "culling off: $(patches) patches, fewer than the $standard_patches in view"
key F8 1 2 3
[ "$(tiles)" = 4 ] || fail "all cascades on: $(tiles) tiles per frame"
full_patches=$(patches)

# shadows off: the frame still draws the terrain
key F10
screenshot noshadows
share=$(green_share noshadows 512 256)
holds "$share" '>' 0.9 || fail "without shadows the lower part of the frame is not terrain (green share $share)"
unshadowed=$(milliseconds)

# a larger threshold lets coarser levels pass: fewer patches
key KP_Multiply KP_Multiply KP_Multiply KP_Multiply
echo "threshold 16: $(patches) patches per frame (threshold 1: $full_patches)"
holds "$(patches)" '<' "$full_patches" || fail "keypad * did not lower the patch count ($full_patches, then $(patches))"

xdotool key Escape
expect_clean_exit 60
if grep -q '^GL error: ' "$err"; then
    fail "the driver reported GL errors: $(grep -m 3 '^GL error: ' "$err")"
fi

echo "frame time, 1025 x 1025 alpine model, 1280 x 768, software rendering: $standard ms with shadows," \
    "$unshadowed ms without"
echo "screenshots in $work"
echo "PASS"
