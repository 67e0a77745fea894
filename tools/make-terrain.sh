#!/bin/sh
# Writes the game's terrain model "assets/Textures/DTM Austria 50m LZW.tif" once, when it is
# missing (a 6145 x 6145 alpine window in an 11359 x 6244 float32 LZW GeoTIFF, about 190 MB,
# some seconds to a minute); builds the generator first when needed. Options go to the
# generator, e.g. --grid 1025 --profile gentle; --force writes the model again.
#
#   sh tools/make-terrain.sh [--force] [zelmora_terrain_gen options]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
model="$root/assets/Textures/DTM Austria 50m LZW.tif"

force=0
if [ "${1:-}" = "--force" ]; then
  force=1
  shift
fi
if [ -f "$model" ] && [ "$force" = 0 ]; then
  exit 0
fi

build="${ZELMORA_BUILD:-$root/build/release}"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELMORA_TESTS=OFF
fi
cmake --build "$build" --target zelmora_terrain_gen

# Written beside the model and moved in place at the end, so that an interrupted run leaves
# no half model behind; the caches of an older model go with it.
mkdir -p "$root/assets/Textures"
part="$model.part"
"$build/terrain/zelmora_terrain_gen" "$@" "$part"
for suffix in _size.dat _packed.dat _normals_packed.dat _errors_packed.dat; do
  rm -f "$model$suffix"
done
if [ -f "${part}_size.dat" ]; then
  mv "${part}_size.dat" "${model}_size.dat"
fi
mv "$part" "$model"
echo "terrain model: $model"
