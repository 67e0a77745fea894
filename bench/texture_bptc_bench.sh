#!/bin/sh
# BC7 and BC1 encoding beside bc7enc on the same pixels, in one run: the photograph tiled to
# 2048 x 2048; bc7enc (the npm package @gpu-tex-enc/bc, pinned to one core as its threads slow
# it down) at BC7 -u2 and -u6 and at BC1 -L0 (its fastest) and -L18 (its best); and the
# BC7/BC6H/BC1 rows of norva_texture_encode_bench with libsquish's BC1 fits. Prints
# Mpixels/s, RGB PSNR and the speed ratio of each row to bc7enc's -u2 (BC7, BC6H) or -L0
# (BC1). ImageMagick makes bc7enc's PNG (its JPEG decode may differ from this library's by a
# rounding here and there; each PSNR is against the tool's own source).
# The BC6H search takes ten minutes and more on one thread: run it in a quiet moment, or
# leave it out with ROWS (codecs of the rows; default 'bc7|bc6h|bc1|bc1-range|bc1-cluster').
#   (cd /tmp && npm install @gpu-tex-enc/bc)
#   BC7ENC=/tmp/node_modules/@gpu-tex-enc/bc/bin/linux/bc7enc \
#     sh bench/texture_bptc_bench.sh build/rel/bench/norva_texture_encode_bench
#   ROWS='bc7' BC7ENC=... sh bench/texture_bptc_bench.sh ...   # BC7 rows only
set -eu

bench=$1
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/convert -size 2048x2048 "tile:$here/tests/fixtures/texture/photo_grace_hopper.jpg" \
    -depth 8 "PNG24:$work/tile.png"

rows=${ROWS:-bc7|bc6h|bc1|bc1-range|bc1-cluster}
echo "load: $(uptime)"
printf '%-22s %12s %9s %12s\n' tool Mpixels/s dB 'speed ratio'
peer7=
peer1=
# name, bc7enc options (BC1 rows only when the rows ask for BC1)
for tool in 'bc7enc-u2:-u2' 'bc7enc-u6:-u6' 'bc7enc-bc1-L0:-1 -L0' 'bc7enc-bc1-L18:-1 -L18'; do
  name=${tool%%:*}
  options=${tool#*:}
  case $name in
    *bc1*) echo "$rows" | grep -q bc1 || continue ;;
  esac
  # shellcheck disable=SC2086
  out=$(cd "$work" && taskset -c 0 "$BC7ENC" $options tile.png tile.dds tile_unpacked.png)
  seconds=$(echo "$out" | sed -n 's/^Total encoding time: \([0-9.]*\) secs.*/\1/p')
  db=$(echo "$out" | sed -n 's/^RGB .*PSNR \([0-9.]*\) dB.*/\1/p')
  mpix=$(echo "$seconds" | awk '{ printf "%.4f", 2048 * 2048 / $1 / 1e6 }')
  case $name in
    *bc1*) [ -n "$peer1" ] || peer1=$mpix; peer=$peer1 ;;
    *) [ -n "$peer7" ] || peer7=$mpix; peer=$peer7 ;;
  esac
  printf '%-22s %12s %9s %12s\n' "$name" "$mpix" "$db" "$(echo "$mpix $peer" | awk '{ printf "%.4f", $1 / $2 }')"
done

# The one-thread rows run on core 0 as bc7enc does, the all-threads rows on every core.
for part in 1 all; do
  pin=
  [ "$part" = 1 ] && pin="taskset -c 0"
  # shellcheck disable=SC2086
  OMP_NUM_THREADS=1 $pin "$bench" --benchmark_filter="^(norva|squish)-($rows)/$part/" --benchmark_format=csv 2>/dev/null
done |
  awk -F, -v peer7="${peer7:-0}" -v peer1="${peer1:-0}" '
    $1 == "name" { for (i = 1; i <= NF; ++i) { gsub(/"/, "", $i); column[$i] = i } next }
    { name = $1; gsub(/"/, "", name); sub(/\/iterations.*/, "", name); sub(/\/real_time/, "", name)
      mpix = $column["items_per_second"] / 1e6
      peer = name ~ /bc1/ ? peer1 : peer7
      printf "%-22s %12.4f %9.3f %12.4f\n", name, mpix, $column["psnr"], (peer > 0 ? mpix / peer : 0) }'
