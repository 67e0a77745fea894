#!/bin/sh
# JPEG decoding without restart markers on 1, 2, 4 and 8 cores beside TurboJPEG on one, in
# one run: the bench's 3840 x 2160 picture and a 4096 x 2048 mosaic of eight photographs
# (mate-backgrounds), each at quality 90 in 4:2:0 and 4:4:4 (cjpeg, no restart markers).
# The cores are set by taskset around the whole process: the pool keeps its size under a
# mask, and the decoder plans for the CPUs it may use. Prints Mpixels/s and the ratio to
# TurboJPEG's one-core figure for the same file (medians of five runs); "1 thr" is our
# decode told to use one thread.
#   apt-get install mate-backgrounds libjpeg-turbo-progs imagemagick
#   sh bench/jpeg_cores_bench.sh build/rel/bench/norva_jpeg_bench [min_time_seconds]
set -eu

bench=$1
time=${2:-0.2}
photos=/usr/share/backgrounds/mate/nature
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# eight photographs cut to 1024 x 1024 and laid out four by two
i=0
for photo in Storm RainDrops Wood LadyBird TwoWings Blinds Dune Garden; do
  /usr/bin/convert "$photos/$photo.jpg" -resize 1024x1024^ -gravity center -extent 1024x1024 "$work/tile$i.ppm"
  i=$((i + 1))
done
/usr/bin/convert \( "$work/tile0.ppm" "$work/tile1.ppm" "$work/tile2.ppm" "$work/tile3.ppm" +append \) \
                 \( "$work/tile4.ppm" "$work/tile5.ppm" "$work/tile6.ppm" "$work/tile7.ppm" +append \) \
                 -append "$work/mosaic.ppm"
cjpeg -quality 90 -sample 2x2 "$work/mosaic.ppm" > "$work/mosaic_420.jpg"
cjpeg -quality 90 -sample 1x1 "$work/mosaic.ppm" > "$work/mosaic_444.jpg"

echo "load: $(uptime)"
for cores in 0 0-1 0-3 0-7; do
  JPEG_BENCH_DECODE_ONLY=1 JPEG_BENCH_FILES="$work/mosaic_420.jpg:$work/mosaic_444.jpg" \
    taskset -c "$cores" "$bench" --benchmark_filter='^(420|444|mosaic_420|mosaic_444)/(norva_[0-9]+_thread|turbojpeg/)' \
      --benchmark_min_time="$time" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
      --benchmark_format=csv 2>/dev/null | sed "s/^/$cores,/"
done | awk -F, '
  # mask,"file/tool/real_time_median",iterations,...,Mpix/s: the median of five runs
  $2 ~ /real_time_median/ { mask = $1; name = $2; gsub(/"/, "", name)
    split(name, part, "/"); file = part[1]; tool = part[2]; rate = $NF
    cores = mask == "0" ? 1 : mask == "0-1" ? 2 : mask == "0-3" ? 4 : 8
    if (tool == "turbojpeg") { if (cores == 1) peer[file] = rate }
    else if (tool == "norva_1_thread") { if (cores == 1) single[file] = rate }
    else ours[file, cores] = rate
    if (!(file in seen)) { seen[file] = 1; order[++files] = file } }
  END {
    printf "%-12s %6s %14s %18s %8s\n", "file", "cores", "norva Mpix/s", "turbojpeg 1 core", "ratio"
    for (f = 1; f <= files; ++f) { file = order[f]
      printf "%-12s %6s %14.1f %18.1f %8.2f\n", file, "1 thr", single[file], peer[file], peer[file] ? single[file] / peer[file] : 0
      for (c = 1; c <= 8; c *= 2)
        printf "%-12s %6d %14.1f %18.1f %8.2f\n", file, c, ours[file, c], peer[file], peer[file] ? ours[file, c] / peer[file] : 0 } }'
