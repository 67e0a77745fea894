# Sourced by the game's end-to-end scripts. The script sets `work` (screenshots and logs),
# `out` and `err` (the game's standard output and error) and `game_pid` once the game runs.
im=convert
[ -x /usr/bin/convert ] && im=/usr/bin/convert

# The tests' sky box: one colour a face, so a pixel says which face the camera sees.
test_sky=$(cd "$(dirname "$0")/../fixtures/game/SkyBox" && pwd)

# scratch_assets ASSETS RUN: RUN becomes the asset folder without the terrain model (links
# to what the game reads, and a place of its own for cameraPath.bin and the terrain caches),
# so a model generated in the real asset folder cannot slow or change these runs. The sky
# box is the tests' single-colour one.
scratch_assets() {
    rm -rf "$2"
    mkdir -p "$2/Textures"
    for _part in Levels Meshes Shaders shaders; do
        ln -s "$1/$_part" "$2/$_part"
    done
    ln -s "$test_sky" "$2/SkyBox"
    for _texture in red.png GrassGreenTexture0002.jpg; do
        ln -s "$1/Textures/$_texture" "$2/Textures/$_texture"
    done
}

# The EXIT trap: the game (by its pid) and the Xvfb server this shell started.
cleanup() {
    if [ -n "$game_pid" ]; then
        kill "$game_pid" 2>/dev/null || true
        wait "$game_pid" 2>/dev/null || true
    fi
    stop_xvfb
}

fail() {
    echo "FAIL: $*" >&2
    # without the terrain's progress lines, which would hide the rest
    echo "--- stdout (last lines)" >&2
    grep -v '^computing normals' "$out" | tail -n 20 >&2 || true
    echo "--- stderr (last lines)" >&2
    grep -v '^computing normals' "$err" | tail -n 20 >&2 || true
    exit 1
}

count() {
    grep -c -- "$1" "$out" || true
}

# wait_for PATTERN COUNT SECONDS: until stdout holds COUNT lines matching PATTERN
wait_for() {
    _ticks=0
    while [ "$(count "$1")" -lt "$2" ]; do
        kill -0 "$game_pid" 2>/dev/null || fail "the game ended while waiting for '$1'"
        _ticks=$((_ticks + 1))
        [ "$_ticks" -le $(($3 * 10)) ] || fail "no '$1' line number $2 within $3 s"
        sleep 0.1
    done
}

# Whole seconds for two frames at the rate of the statistics so far: slow frames (software
# rendering, a loaded machine) stretch every wait by it.
frame_slack() {
    awk '/ms\/frame/ { ms = $1 } END { s = int(2 * ms / 1000) + 1; print s }' "$out"
}

screenshot() {
    xwd -root -silent >"$work/$1.xwd" || fail "xwd failed"
    "$im" "$work/$1.xwd" "$work/$1.png"
}

# pixel NAME X Y: "r,g,b" of the screenshot, 0..255
pixel() {
    "$im" "$work/$1.xwd" -format \
        "%[fx:int(255*p{$2,$3}.r+0.5)],%[fx:int(255*p{$2,$3}.g+0.5)],%[fx:int(255*p{$2,$3}.b+0.5)]" info:
}

# not_clear_only NAME: the frame holds more than the clear colour (0, 0, 0.8)
not_clear_only() {
    colours=$("$im" "$work/$1.xwd" -format %k info:)
    if [ "$colours" = 1 ] && [ "$(pixel "$1" 640 384)" = "0,0,204" ]; then
        fail "$1: the frame is the clear colour alone"
    fi
}

# Waits up to SECONDS for the game to end (after Escape) and fails unless it exits with 0.
expect_clean_exit() {
    _ticks=0
    while kill -0 "$game_pid" 2>/dev/null; do
        _ticks=$((_ticks + 1))
        [ "$_ticks" -le $(($1 * 10)) ] || fail "the game did not end within $1 s of Escape"
        sleep 0.1
    done
    set +e
    wait "$game_pid"
    _code=$?
    set -e
    game_pid=
    [ "$_code" = 0 ] || fail "exit code $_code after Escape"
}
