#!/bin/sh
# Builds the libFuzzer harnesses with clang-14 and runs each for N seconds (default 60),
# on corpora seeded from the test fixtures. Run by hand, not in CI:
#   sh fuzz/run.sh [seconds] [harness...]      e.g.  sh fuzz/run.sh 600 fuzz_png fuzz_jpeg
# Corpora grow in build/fuzz/corpus/<harness>; crashes land in build/fuzz/artifacts/<harness>.
# FUZZ_WORKERS (default 1) runs that many processes per harness; FUZZ_KEEP_GOING=1 runs them in
# fork mode, which records every crash, leak and timeout and carries on.
set -eu

seconds=${1:-60}
[ $# -gt 0 ] && shift
harnesses=${*:-fuzz_png fuzz_bmp fuzz_jpeg fuzz_jpeg_encode fuzz_bptc_encode fuzz_block_encode fuzz_decompress fuzz_image_any fuzz_block fuzz_rar fuzz_archive_zip_mgx}
workers=${FUZZ_WORKERS:-1}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD:-$root/build/fuzz}
fixtures=$root/tests/fixtures

if [ ! -f "$build/build.ninja" ]; then
    CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -G Ninja -DZELMORA_FUZZ=ON \
        -DZELMORA_GAME=OFF -DZELMORA_TESTS=OFF -DZELMORA_SANITIZE=address,undefined
fi
# shellcheck disable=SC2086
cmake --build "$build" --target $harnesses

# copy_seeds <dir> <files...>: the fixtures as they are
copy_seeds() {
    dir=$1; shift
    mkdir -p "$dir"
    for f in "$@"; do [ -f "$f" ] && cp "$f" "$dir/"; done
    return 0
}

# byte <n>: one byte of value n
byte() {
    printf "\\$(printf '%03o' "$1")"
}

# any_seeds <dir> <extension index> <files...>: each file behind its extension selector and
# a destination byte, the destinations taken in turn so that every kind starts with real files
any_seeds() {
    dir=$1; index=$2; shift 2
    for f in "$@"; do
        [ -f "$f" ] || continue
        { byte "$index"; byte $((turn % 4)); cat "$f"; } > "$dir/$(basename "$f")"
        turn=$((turn + 1))
    done
}

# u32le <n>: four bytes, little-endian
u32le() {
    printf "\\$(printf '%03o' $(($1 & 255)))\\$(printf '%03o' $(($1 >> 8 & 255)))"
    printf "\\$(printf '%03o' $(($1 >> 16 & 255)))\\$(printf '%03o' $(($1 >> 24 & 255)))"
}

# prefix_seed <dir> <selector> <file>: the file behind one selector byte
prefix_seed() {
    { byte "$2"; cat "$3"; } > "$1/$(basename "$3")"
}

# rar_stream_seeds <dir>: the first member's packed stream of each RAR 4 archive given, behind
# the raw-stream selector of its unpack version (15: 3, 20: 5, 26: 7, else 1) and its size
rar_stream_seeds() {
    dir=$1; shift
    /usr/bin/python3 - "$dir" "$@" <<'PY'
import os, struct, sys
out = sys.argv[1]
for path in sys.argv[2:]:
    data = open(path, 'rb').read()
    at = data.find(b'Rar!\x1a\x07\x00')
    if at < 0:
        continue
    at += 7 + struct.unpack_from('<H', data, at + 12)[0]
    if at + 32 > len(data) or data[at + 2] != 0x74:
        continue
    size, packed, unpacked = struct.unpack_from('<HII', data, at + 5)
    version = data[at + 24]
    selector = {15: 3, 20: 5, 26: 7}.get(version, 1)
    units = min((unpacked + 15) // 16, 0xFFFF)
    stream = data[at + size:at + size + packed]
    with open(os.path.join(out, 'stream-' + os.path.basename(path)), 'wb') as f:
        f.write(bytes([selector, units & 0xFF, units >> 8]) + stream)
PY
}

# rar5_blake2_seeds <dir>: stored RAR 5 archives (behind selector 0) whose members carry a
# BLAKE2sp hash record instead of a CRC-32: one whole, one with a data bit flipped
rar5_blake2_seeds() {
    /usr/bin/python3 - "$1" <<'PY'
import hashlib, os, struct, sys, zlib
def blake2sp(data):
    leaves = []
    for i in range(8):
        leaf = hashlib.blake2s(digest_size=32, fanout=8, depth=2, node_offset=i, inner_size=32, last_node=i == 7)
        leaf.update(b''.join(data[j:j + 64] for j in range(64 * i, len(data), 512)))
        leaves.append(leaf.digest())
    root = hashlib.blake2s(digest_size=32, fanout=8, depth=2, node_depth=1, inner_size=32, last_node=True)
    root.update(b''.join(leaves))
    return root.digest()
def vint(v):
    out = bytearray()
    while True:
        out.append((v & 0x7f) | (0x80 if v >> 7 else 0))
        v >>= 7
        if not v:
            return bytes(out)
def block(header, data=b''):
    h = vint(len(header)) + header
    return struct.pack('<I', zlib.crc32(h)) + h + data
def member(name, data, hashed):
    record = vint(2) + vint(0) + blake2sp(data)
    extra = vint(len(record)) + record if hashed else b''
    header = vint(2) + vint(3 if extra else 2) + (vint(len(extra)) if extra else b'') + vint(len(data))
    header += vint(0 if hashed else 4) + vint(len(data)) + vint(0o100644)
    if not hashed:
        header += struct.pack('<I', zlib.crc32(data))
    header += vint(0) + vint(1) + vint(len(name)) + name + extra
    return block(header, data)
text = bytes(range(256)) * 3
archive = b'Rar!\x1a\x07\x01\x00' + block(vint(1) + vint(0) + vint(0))
archive += member(b'hashed.bin', text, True) + member(b'empty.txt', b'', True) + member(b'crc.txt', b'crc', False)
archive += block(vint(5) + vint(0) + vint(0))
flipped = bytearray(archive)
flipped[archive.index(text) + 700] ^= 1
for name, data in (('rar5-blake2.rar', archive), ('rar5-blake2-flipped.rar', bytes(flipped))):
    with open(os.path.join(sys.argv[1], name), 'wb') as f:
        f.write(b'\x00' + data)
PY
}

# rar2_seeds <dir>: RAR 2.0 archives (behind selector 0) without an end block: stored members
# with a Unix owner or Mac file info sub-block whose CRC covers its data (one with a name
# byte changed), and members followed by padding of 0x00 or 0x1A or by part of a header
rar2_seeds() {
    /usr/bin/python3 - "$1" <<'PY'
import os, struct, sys, zlib
def crc(b): return zlib.crc32(b) & 0xffff
def block(body, covered=b''): return struct.pack('<H', crc(body + covered)) + body + covered
def member(name, data):
    return block(struct.pack('<BHHIIBIIBBHI', 0x74, 0x8000, 32 + len(name), len(data), len(data), 3,
                             zlib.crc32(data), 0x5A210000, 20, 0x30, len(name), 0o100644) + name) + data
def sub(subtype, fields, data):
    return block(struct.pack('<BHHIHB', 0x77, 0x8000, 14 + len(fields), len(data), subtype, 0) + fields, data)
def archive(between=b'', after=b''):
    return (b'Rar!\x1a\x07\x00' + block(struct.pack('<BHHHI', 0x73, 0, 13, 0, 0)) + member(b'a.txt', b'hello\n')
            + between + member(b'b.bin', bytes(range(256)) * 3) + after)
owner = sub(0x101, struct.pack('<HH', 4, 5), b'rootwheel')
seeds = {
    'rar2-owner.rar': archive(owner),
    'rar2-owner-damaged.rar': archive(owner[:-3] + b'X' + owner[-2:]),
    'rar2-mac.rar': archive(sub(0x102, b'TEXTttxt', b'resource fork')),
    'rar2-pad-1a.rar': archive(after=b'\x1a' * 100),
    'rar2-pad-00.rar': archive(after=b'\x00' * 7),
    'rar2-pad-short.rar': archive(after=b'\x1a\x1a'),
    'rar2-partial.rar': archive(after=member(b'c.txt', b'ccc')[:5]),
}
for name, data in seeds.items():
    with open(os.path.join(sys.argv[1], name), 'wb') as f:
        f.write(b'\x00' + data)
PY
}

# signed_eac_seeds <dir>: 16 x 16 images of signed EAC R11 and RG11 blocks (the first of the
# texture fixtures' random ones) under KTX, PKM and PVR version 3 headers
signed_eac_seeds() {
    mkdir -p "$1"
    /usr/bin/python3 - "$1" "$fixtures/texture" <<'PY'
import os, struct, sys
out, fixtures = sys.argv[1], sys.argv[2]
for name, gl, pkm, pvr in (('r11s', 0x9271, 7, 25), ('rg11s', 0x9273, 8, 26)):
    size = 16 * (8 if name == 'r11s' else 16)
    blocks = open(os.path.join(fixtures, 'random_eac_%s.blocks' % name), 'rb').read()[:size]
    ktx = b'\xabKTX 11\xbb\r\n\x1a\n' + struct.pack('<13I', 0x04030201, 0, 1, 0, gl, 0, 16, 16, 0, 0, 1, 1, 0)
    files = {
        'ktx': ktx + struct.pack('<I', size) + blocks,
        'pkm': b'PKM 20' + struct.pack('>5H', pkm, 16, 16, 16, 16) + blocks,
        'pvr': struct.pack('<IIQ9I', 0x03525650, 0, pvr, 0, 1, 16, 16, 1, 1, 1, 1, 0) + blocks,
    }
    for extension, data in files.items():
        with open(os.path.join(out, 'signed_eac_%s.%s' % (name, extension)), 'wb') as f:
            f.write(data)
PY
}

seed() {
    dir=$build/seeds/$1
    rm -rf "$dir"
    mkdir -p "$dir"
    case $1 in
    fuzz_png) copy_seeds "$dir" "$fixtures"/png/*.png "$fixtures"/fuzz/png/* ;;
    fuzz_bmp) copy_seeds "$dir" "$fixtures"/formats/*.bmp "$fixtures"/formats/*.ico \
                  "$fixtures"/formats/*.cur "$fixtures"/fuzz/bmp/* ;;
    fuzz_jpeg) copy_seeds "$dir" "$fixtures"/jpeg/*.jpg "$fixtures"/fuzz/jpeg/*
        # the lossless files of the shared corpus, when it is there (read, not kept)
        for f in "$root"/../shared/corpus/jpeg/jpegsuite/lossless_*/*.jpg; do
            if [ -f "$f" ]; then cp "$f" "$dir/$(basename "$(dirname "$f")")-$(basename "$f")"; fi
        done ;;
    # five case bytes, then pixels: a photograph-like picture's
    fuzz_jpeg_encode) copy_seeds "$dir" "$fixtures"/jpeg/source.ppm ;;
    fuzz_bptc_encode)
        # a row selector, then 16 texels of four floats: runs of Mesa's HDR decodes
        for i in 0 1 2 3 4 5; do
            { byte "$i"; dd if="$fixtures"/texture/bc6h_hdr_s.mesa.raw bs=256 skip=$((i * 37)) count=1 2>/dev/null; } \
                > "$dir/texels$i"
        done ;;
    fuzz_block_encode)
        # a row selector, then texels: runs of the RGBA rose crop with its alpha ramp, and
        # Mesa's signed HDR floats for the RGTC rows
        for i in 0 1 2 3 8; do
            { byte "$i"; dd if="$fixtures"/texture/dds_rgba_im.ref.pam bs=64 skip=$((i * 5 + 3)) count=1 2>/dev/null; } \
                > "$dir/texels$i"
        done
        for i in 4 5 6 7; do
            { byte "$i"; dd if="$fixtures"/texture/bc6h_hdr_s.mesa.raw bs=256 skip=$((i * 11)) count=1 2>/dev/null; } \
                > "$dir/texels$i"
        done ;;
    fuzz_image_any)
        # the harness prints its extension list (the decoder registry) in selector order;
        # every fixture of an extension, references left out, seeds that extension
        turn=0
        index=0
        made=$build/seeds/made_any
        rm -rf "$made"
        signed_eac_seeds "$made"
        for extension in $(FUZZ_LIST_EXTENSIONS=1 "$build/fuzz/fuzz_image_any"); do
            # shellcheck disable=SC2046
            any_seeds "$dir" "$index" $(find "$fixtures" "$made" -type f -iname "*$extension" ! -name '*.ref.*' | sort)
            index=$((index + 1))
        done ;;
    fuzz_block)
        # rows: selector, size and destination bytes, then random blocks of the fixtures;
        # containers: selector (after the rows), then every texture fixture of the extension
        set -- $(FUZZ_LIST_TARGETS=1 "$build/fuzz/fuzz_block")
        rows=$1; shift
        blocks=$(ls "$fixtures"/texture/*.blocks | head -n 1)
        row=0
        while [ "$row" -lt "$rows" ]; do
            { byte "$row"; byte $((row * 37 % 256)); byte $((row % 16)); head -c 1024 "$blocks"; } > "$dir/row$row"
            row=$((row + 1))
        done
        index=$rows
        for extension in "$@"; do
            for f in $(find "$fixtures/texture" -type f -iname "*$extension" | sort); do
                { byte "$index"; cat "$f"; } > "$dir/$(basename "$f")"
            done
            index=$((index + 1))
        done ;;
    fuzz_decompress)
        # method byte, destination size, data: each committed sample with its true size; the
        # harness prints each method's selector with its samples' extension
        FUZZ_LIST_METHODS=1 "$build/fuzz/fuzz_decompress" | while read -r m extension; do
            for f in "$fixtures"/compress/*"$extension"; do
                [ -f "$f" ] || continue
                original=${f%.*}
                original=${original%.o*r[01]}
                [ -f "$original" ] || continue
                out=$dir/$(basename "$f")
                { byte "$m"; u32le "$(wc -c < "$original")"; cat "$f"; } > "$out"
            done
        done
        copy_seeds "$dir" "$fixtures"/fuzz/compress/* ;;
    fuzz_rar)
        # archives behind an even selector byte: the shared corpus's small RAR files
        for f in "$root"/../shared/corpus/archives/*/*.rar "$root"/../shared/corpus/archives/junrar/*/*.rar; do
            [ -f "$f" ] && [ "$(wc -c < "$f")" -le 65536 ] || continue
            { byte 0; cat "$f"; } > "$dir/$(basename "$(dirname "$f")")-$(basename "$f")"
        done
        # raw 1.5 and 2.0 streams (LZ and audio) for the older decoders
        rar_stream_seeds "$dir" "$root"/../shared/corpus/archives/junrar/audio/*unpack1[5]*.rar \
            "$root"/../shared/corpus/archives/junrar/audio/*unpack20*.rar \
            "$root"/../shared/corpus/archives/junrar/abnormal/void-dist-v*.rar
        rar5_blake2_seeds "$dir"
        rar2_seeds "$dir"
        copy_seeds "$dir" "$fixtures"/fuzz/rar/* ;;
    fuzz_archive_zip_mgx)
        # the ZIP fixtures (each under 30 KB) and MGX archives written for the purpose
        copy_seeds "$dir" "$fixtures"/archive/*.zip
        /usr/bin/python3 "$root/fuzz/make_mgx_seeds.py" "$dir" ;;
    esac
}

for h in $harnesses; do
    seed "$h"
    mkdir -p "$build/corpus/$h" "$build/artifacts/$h"
    dict=
    parallel="-jobs=$workers -workers=$workers"
    [ "${FUZZ_KEEP_GOING:-0}" = 1 ] && parallel="-fork=$workers -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1"
    [ -f "$root/fuzz/$h.dict" ] && dict=-dict=$root/fuzz/$h.dict
    echo "== $h: $seconds s, $workers worker(s)"
    # shellcheck disable=SC2086
    (cd "$build/artifacts/$h" && "$build/fuzz/$h" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2560 -max_len=65536 -print_final_stats=1 \
        $parallel $dict \
        -artifact_prefix="$build/artifacts/$h/" "$build/corpus/$h" "$build/seeds/$h") || true
done
