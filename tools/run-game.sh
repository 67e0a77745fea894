#!/bin/sh
# Installs what is missing, builds the game and runs it from its asset folder; under Xvfb
# when there is no display.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

sh tools/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELMORA_TESTS=OFF
cmake --build build/release -j "$(nproc)"

game="$root/build/release/game/zelmora"
if [ ! -x "$game" ]; then
  echo "The game is not built yet; the library built in build/release."
  echo "It would run: (cd assets && $game)"
  exit 0
fi
cd assets
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x768x24" "$game"
fi
exec "$game"
