#!/bin/sh
# BC7 encoding beside bc7enc on the same pixels, in one run: the centre SIZE x SIZE square
# (default 256) of the photograph tiled to 2048 x 2048, bc7enc -u2 and -u6 (the npm
# package @gpu-tex-enc/bc, pinned to one core as its threads slow it down) and this
# library's rows of norva_texture_bptc_bench. Prints Mpixels/s, RGB PSNR and the ratio of
# each to bc7enc -u2. ImageMagick makes bc7enc's PNG (its JPEG decode may differ from this
# library's by a rounding here and there; each PSNR is against the tool's own source).
#   (cd /tmp && npm install @gpu-tex-enc/bc)
#   BC7ENC=/tmp/node_modules/@gpu-tex-enc/bc/bin/linux/bc7enc \
#     sh bench/texture_bptc_bench.sh build/rel/bench/norva_texture_bptc_bench [SIZE]
set -eu

bench=$1
size=${2:-256}
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
origin=$(( (2048 - size) / 2 ))
/usr/bin/convert -size 2048x2048 "tile:$here/tests/fixtures/texture/photo_grace_hopper.jpg" \
    -crop "${size}x${size}+$origin+$origin" +repage -depth 8 "PNG24:$work/crop.png"

echo "load: $(uptime)"
printf '%-14s %12s %9s %12s\n' tool Mpixels/s dB 'speed ratio'
peer=
for level in 2 6; do
  out=$(cd "$work" && taskset -c 0 "$BC7ENC" -u$level crop.png crop.dds crop_unpacked.png)
  seconds=$(echo "$out" | sed -n 's/^Total encoding time: \([0-9.]*\) secs.*/\1/p')
  db=$(echo "$out" | sed -n 's/^RGB .*PSNR \([0-9.]*\) dB.*/\1/p')
  mpix=$(echo "$size $seconds" | awk '{ printf "%.4f", $1 * $1 / $2 / 1e6 }')
  [ -n "$peer" ] || peer=$mpix
  printf '%-14s %12s %9s %12s\n' "bc7enc-u$level" "$mpix" "$db" "$(echo "$mpix $peer" | awk '{ printf "%.4f", $1 / $2 }')"
done

OMP_NUM_THREADS=1 ZELMORA_BPTC_BENCH_SIZE=$size "$bench" --benchmark_format=csv 2>/dev/null |
  awk -F, -v peer="$peer" 'NR > 1 {
      name = $1; gsub(/"/, "", name); sub(/\/iterations.*/, "", name); sub(/^norvaEncode\//, "", name)
      mpix = $7 / 1e6
      printf "%-14s %12.4f %9.3f %12.4f\n", name, mpix, $NF, mpix / peer }'
