#!/bin/sh
# Makes the game's small binary assets in assets/ with ImageMagick: the six sky-box faces
# (24-bit BMP, 64 x 64, one colour each, so a screenshot tells which face is where), the
# red fallback texture and the grass detail texture (plasma noise, fixed seed). The
# results are committed; run this again only to change them.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root/assets"
im=convert
[ -x /usr/bin/convert ] && im=/usr/bin/convert

mkdir -p "SkyBox/sunny_day" Textures
face() {
    "$im" -size 64x64 "xc:$2" -type TrueColor "BMP3:SkyBox/sunny_day/Daylight Box_$1.bmp"
}
# keep in step with the colours tests/game/ expects
face Front '#ff8000'
face Back '#8000ff'
face Top '#40c0ff'
face Bottom '#806040'
face Right '#00c000'
face Left '#ffff00'

"$im" -size 4x4 xc:red PNG32:Textures/red.png
"$im" -seed 7 -size 256x256 plasma:green-darkgreen -quality 90 Textures/GrassGreenTexture0002.jpg
