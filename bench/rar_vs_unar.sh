#!/bin/sh
# Process-level comparison with unar on the RAR 2.9 corpus members of 20 MB and more (their
# start-up of 20-30 ms hides differences on smaller ones): one hyperfine run, output
# discarded. Build first with -DZELMORA_BENCH=ON (no sanitizers), e.g. into build/bench:
#   sh bench/rar_vs_unar.sh [build folder]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/bench}
corpus=$root/../shared/corpus/archives
archive=$corpus/libarchive/test_read_format_rar_multi_lzss_blocks.rar
[ -f "$archive" ] || { echo "the shared corpus is absent: $archive"; exit 0; }
"$build/bench/norva_rar_touch" "$archive"
hyperfine -N --warmup 1 --runs 5 \
    "$build/bench/norva_rar_touch $archive" \
    "unar -q -f -o - $archive"
