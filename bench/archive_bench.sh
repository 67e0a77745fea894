#!/bin/sh
# Map-and-touch throughput of the ZIP mapper against bsdtar -xOf, unzip -p and 7zz x -so on
# one corpus (by default the first 150,000,000 bytes of `tar cf - -C /usr include share/doc`,
# unpacked, symlinks removed) packed with zip -6, 7zz -mm=BZip2|LZMA|PPMd and zip -0. Every
# archive is timed in one hyperfine call (output piped and discarded), so the ratios compare
# runs on the same machine at the same time. Then MGX with one worker against all of them.
#   sh bench/archive_bench.sh [corpus bytes]
# Needs hyperfine, bsdtar (libarchive-tools), unzip, zip and 7zz.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD:-$root/build/bench}
work=$build/archive_bench
size=${1:-150000000}

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELMORA_BENCH=ON \
        -DZELMORA_TESTS=OFF -DZELMORA_GAME=OFF ${ZELMORA_THIRD_PARTY:+-DZELMORA_THIRD_PARTY=$ZELMORA_THIRD_PARTY}
fi
cmake --build "$build" --target norva_archive_touch norva_archive_bench
touch_tool=$build/bench/norva_archive_touch

mkdir -p "$work"
if [ ! -f "$work/corpus.done" ] || [ "$(cat "$work/corpus.done")" != "$size" ]; then
    rm -rf "$work/corpus" "$work"/*.zip
    mkdir -p "$work/corpus"
    tar cf - -C /usr include share/doc 2>/dev/null | head -c "$size" | tar xf - -C "$work/corpus" 2>/dev/null || true
    find "$work/corpus" -type l -delete
    (cd "$work/corpus" && zip -q -r -6 ../deflate.zip . && zip -q -r -0 ../stored.zip .)
    for m in BZip2 LZMA PPMd; do
        (cd "$work/corpus" && 7zz a -bd -tzip -mm=$m "../$(echo $m | tr A-Z a-z).zip" . >/dev/null)
    done
    echo "$size" > "$work/corpus.done"
fi
bytes=$(find "$work/corpus" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
files=$(find "$work/corpus" -type f | wc -l)
echo "corpus: $bytes bytes in $files files; $(nproc) CPUs: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2)"

for a in stored deflate bzip2 lzma ppmd; do
    z=$work/$a.zip
    set -- -n norva "$touch_tool $z" -n bsdtar "bsdtar -xOf $z" -n 7zz "7zz x -so -mmt=1 $z"
    case $a in stored|deflate|bzip2) set -- "$@" -n unzip "unzip -p $z" ;; esac
    # -i: a peer that fails on some members (bsdtar 3.6 on a few LZMA ones) is still timed;
    # the check below says which exited with an error
    hyperfine -N -i --warmup 1 --runs 5 --output=pipe --export-json "$work/$a.json" "$@" >/dev/null 2>&1
    /usr/bin/python3 - "$work/$a.json" "$a" "$bytes" "$(stat -c %s "$z")" <<'PY'
import json, sys
results = json.load(open(sys.argv[1]))['results']
name, total, packed = sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
times = {r['command']: r['mean'] for r in results}
failed = [r['command'] for r in results if any(r.get('exit_codes') or [])]
norva = times['norva']
row = ', '.join('%s %.0f MB/s (x%.2f)' % (c, total / t / 1e6, t / norva) for c, t in times.items() if c != 'norva')
print('%-8s %6.1f MB  norva %.0f MB/s; %s%s' % (name, packed / 1e6, total / norva / 1e6, row,
      '  [exited with errors: %s]' % ', '.join(failed) if failed else ''))
PY
done
echo "(x: norva's speed over the peer's, from the means of 5 runs)"

"$build/bench/norva_archive_bench" --benchmark_counters_tabular=true
