#!/bin/sh
# Installs what is missing, builds the game and runs it from its asset folder in a window on
# the display. With no display it runs on an Xvfb server of its own for a few seconds, saves
# a screenshot under the build folder, says where, and quits the game with Escape.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

sh tools/install-deps.sh
build="$root/build/release"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELMORA_TESTS=OFF
cmake --build "$build" -j "$(nproc)" --target zelmora
game="$build/game/zelmora"

# the terrain's model is generated, not committed
if [ -f tools/make-terrain.sh ]; then
    sh tools/make-terrain.sh
fi

cd "$root/assets"
if [ -n "${DISPLAY:-}" ]; then
    exec "$game"
fi

. "$root/tools/xvfb.sh"
log="$build/game-output.txt"
shot="$build/screenshot.png"
game_pid=
cleanup() {
    if [ -n "$game_pid" ]; then
        kill "$game_pid" 2>/dev/null || true
    fi
    stop_xvfb
}
trap cleanup EXIT
start_xvfb "$build/xvfb.log"
echo "No display: running the game on Xvfb ($DISPLAY) for a few seconds."
"$game" </dev/null >"$log" 2>&1 &
game_pid=$!

# the first statistics line says the first second of frames is drawn
ticks=0
until grep -q '^FPS: ' "$log"; do
    if ! kill -0 "$game_pid" 2>/dev/null || [ "$ticks" -gt 1200 ]; then
        echo "The game did not get to its first frames; its output:"
        cat "$log"
        exit 1
    fi
    ticks=$((ticks + 1))
    sleep 0.1
done
sleep 3
im=convert
[ -x /usr/bin/convert ] && im=/usr/bin/convert
xwd -root -silent | "$im" xwd:- "$shot"
echo "Screenshot: $shot"

xdotool key Escape
set +e
wait "$game_pid"
code=$?
set -e
game_pid=
echo "The game's output ($log):"
cat "$log"
echo "The game ended with exit code $code."
exit "$code"
