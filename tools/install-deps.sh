#!/bin/sh
# Installs the Debian packages the build, the tests and the game need, and fetches the
# third-party C sources that Debian ships only as source (LZMA SDK) or inside another
# package (lzfse). Idempotent: only what is missing is installed or fetched.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")

packages="
  build-essential cmake ninja-build pkg-config git ca-certificates xz-utils
  libgtest-dev libgmock-dev libbenchmark-dev
  libconcurrentqueue-dev libdeflate-dev libbz2-dev liblz4-dev liblzo2-dev libzstd-dev zlib1g-dev
  libglfw3-dev libglew-dev libassimp-dev libtiff-dev libglm-dev libstb-dev libwebp-dev libpng-dev
  xvfb xauth xdotool x11-apps imagemagick libgl1-mesa-dri mesa-utils
"
# Packages listed one per line in tools/packages.d/*.txt are added by the areas that need them.
for list in "$here"/packages.d/*.txt; do
  [ -f "$list" ] && packages="$packages $(grep -v '^#' "$list")"
done

missing=""
for p in $packages; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing="$missing $p"
  fi
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  # shellcheck disable=SC2086
  apt-get install -y --no-install-recommends $missing
fi

# Source fetches live in their own scripts so each area owns its part.
for fetch in "$here"/fetch.d/*.sh; do
  [ -f "$fetch" ] && sh "$fetch" "$root"
done
exit 0
