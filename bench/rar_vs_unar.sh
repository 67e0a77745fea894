#!/bin/sh
# Process-level comparison with unar on the RAR 2.9 corpus members of 20 MB and more (their
# start-up of 20-30 ms hides differences on smaller ones): one hyperfine run per archive,
# output discarded. The archives: 20.1 MB of many LZ blocks, and 241.6 MB that switch
# between LZ and PPMd blocks. Build first with -DZELMORA_BENCH=ON (no sanitizers), e.g. into
# build/bench:
#   sh bench/rar_vs_unar.sh [build folder] [runs]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/bench}
runs=${2:-5}
corpus=$root/../shared/corpus/archives
for name in test_read_format_rar_multi_lzss_blocks.rar test_read_format_rar_ppmd_lzss_conversion.rar; do
    archive=$corpus/libarchive/$name
    [ -f "$archive" ] || { echo "the shared corpus is absent: $archive"; exit 0; }
    "$build/bench/norva_rar_touch" "$archive"
    hyperfine -N --warmup 1 --runs "$runs" \
        "$build/bench/norva_rar_touch $archive" \
        "unar -q -f -o - $archive"
done
