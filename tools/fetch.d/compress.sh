#!/bin/sh
# Fetches the third-party C sources of the compression methods that Debian ships only as
# source: the LZMA SDK (source package 7zip) and the lzfse reference coder (inside the
# binary package apfs-dkms, unpacked only, never installed). Uses a private apt
# configuration derived from the machine's own sources; /etc/apt is left untouched.
# Idempotent: a tree that is already unpacked is kept.
set -eu

root=${1:?usage: compress.sh <repository root>}
third=$root/build/third_party
mkdir -p "$third"

fail() {
    echo "fetch.d/compress.sh: $*" >&2
    echo "fetch.d/compress.sh: the lzma, lzma2, ppmd8 and lzfse methods cannot be built without these sources." >&2
    exit 1
}

sdk_ok() { [ -f "$third/7zip/C/LzmaDec.c" ] && [ -f "$third/7zip/C/Ppmd8Dec.c" ]; }
lzfse_ok() { [ -f "$third/lzfse/lzfse_decode.c" ] && [ -f "$third/lzfse/lzvn_encode_base.c" ]; }

if sdk_ok && lzfse_ok; then
    exit 0
fi

work=$third/apt
mkdir -p "$work/sources" "$work/lists/partial" "$work/cache/archives/partial" "$work/download"

# deb-src entries from the machine's own apt sources (deb822 files or one-line lists)
: > "$work/sources/deb-src.sources"
for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && sed 's/^Types: *deb$/Types: deb-src/' "$f" >> "$work/sources/deb-src.sources" && echo >> "$work/sources/deb-src.sources"
done
: > "$work/sources.list"
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] && sed -n 's/^deb \(.*\)$/deb \1\ndeb-src \1/p' "$f" >> "$work/sources.list"
done
# binary entries too, for apt-get download
for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && cat "$f" >> "$work/sources/deb-src.sources" && echo >> "$work/sources/deb-src.sources"
done

apt_private() {
    apt-get -o APT::Sandbox::User=root \
        -o Dir::Etc::SourceParts="$work/sources" -o Dir::Etc::SourceList="$work/sources.list" \
        -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache" "$@"
}

apt_private update >/dev/null || fail "apt-get update with the private configuration failed."

# Files left by an earlier run may be of an older version than the fresh lists offer; the
# unpacking below picks the first match, so only this run's download may be there.
if ! sdk_ok; then
    rm -f "$work"/download/7zip_*
    (cd "$work/download" && apt_private source --download-only 7zip) \
        || fail "apt-get source --download-only 7zip failed."
    orig=$(ls "$work"/download/7zip_*.orig.tar.* 2>/dev/null | head -n 1)
    [ -n "$orig" ] || fail "no 7zip orig tarball was downloaded."
    rm -rf "$third/7zip"
    mkdir -p "$third/7zip"
    tar xf "$orig" -C "$third/7zip" --strip-components=1 || fail "unpacking $orig failed."
    sdk_ok || fail "the 7zip source tree lacks C/LzmaDec.c or C/Ppmd8Dec.c."
fi

if ! lzfse_ok; then
    rm -f "$work"/download/apfs-dkms_*
    (cd "$work/download" && apt_private download apfs-dkms) || fail "apt-get download apfs-dkms failed."
    deb=$(ls "$work"/download/apfs-dkms_*_all.deb 2>/dev/null | head -n 1)
    [ -n "$deb" ] || fail "no apfs-dkms package was downloaded."
    rm -rf "$work/apfs"
    dpkg-deb -x "$deb" "$work/apfs" || fail "unpacking $deb failed."
    src=$(ls -d "$work"/apfs/usr/src/*/lzfse 2>/dev/null | head -n 1)
    [ -n "$src" ] || fail "apfs-dkms holds no lzfse folder."
    rm -rf "$third/lzfse"
    cp -r "$src" "$third/lzfse"
    lzfse_ok || fail "the lzfse sources are incomplete."
fi

echo "fetch.d/compress.sh: LZMA SDK and lzfse sources in $third"
