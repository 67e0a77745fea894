#!/bin/sh
# Makes the game's binary assets in assets/: the six sky-box faces (512 x 512 24-bit BMPs
# from zelmora_skybox_gen, built first when needed), and with ImageMagick the red fallback
# texture and the grass detail texture (plasma noise, fixed seed). The results are
# committed; run this again only to change them. The tests' single-colour faces are made by
# tests/fixtures/game/make_test_sky.sh.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root/assets"
im=convert
[ -x /usr/bin/convert ] && im=/usr/bin/convert

build="${ZELMORA_BUILD:-$root/build/release}"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELMORA_TESTS=OFF
fi
cmake --build "$build" --target zelmora_skybox_gen
mkdir -p "SkyBox/sunny_day" Textures
"$build/game/zelmora_skybox_gen" "SkyBox/sunny_day"

"$im" -size 4x4 xc:red PNG32:Textures/red.png
"$im" -seed 7 -size 256x256 plasma:green-darkgreen -quality 90 Textures/GrassGreenTexture0002.jpg
