#!/usr/bin/env bash
# Cross build for the router's CPU (32-bit little-endian MIPS) on a Debian 12 machine, as root:
# installs the cross compiler, user-mode qemu and mmdebstrap, makes (once) a sysroot of Debian
# bookworm's mipsel libraries under build-mipsel/, builds kiv, nvram, kivrule and the unit tests,
# runs the unit tests under qemu-mipsel, checks the router variant compiles, prints sizes.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=$ROOT/build-mipsel
SYSROOT=$OUT/sysroot
JOBS=$(nproc)

PACKAGES=(g++-mipsel-linux-gnu binutils-mipsel-linux-gnu qemu-user mmdebstrap file pkg-config cmake)
source scripts/packages.sh
install_missing "${PACKAGES[@]}"

# The Debian mirror this machine's apt already uses.
mirror() {
  local m
  m=$(grep -hoE '^(URIs:|deb) +[^ ]+' /etc/apt/sources.list /etc/apt/sources.list.d/* 2>/dev/null |
      awk '{print $2}' | grep -v security | head -n1 || true)
  echo "${m:-http://deb.debian.org/debian}"
}

SYSROOT_PACKAGES=libc6-dev,libstdc++-12-dev,libgcc-12-dev,libcurl4-openssl-dev,libjson-c-dev,libssl-dev,libgtest-dev,libgmock-dev
if [ ! -f "$SYSROOT/.kiv-sysroot" ] || [ "$(cat "$SYSROOT/.kiv-sysroot")" != "$SYSROOT_PACKAGES" ]; then
  echo "== making the mipsel sysroot in $SYSROOT"
  rm -rf "$SYSROOT" "$SYSROOT.tmp"
  mkdir -p "$OUT"
  mmdebstrap --quiet --variant=extract --arch=mipsel --include="$SYSROOT_PACKAGES" \
    bookworm "$SYSROOT.tmp" "$(mirror)"
  # Absolute links would point into this machine's own /lib: make them relative to the sysroot.
  (cd "$SYSROOT.tmp" && find . -type l -lname '/*' ! -path './dev/*' | while read -r l; do
     ln -sfn "$(realpath -m --relative-to="$(dirname "$l")" ".$(readlink "$l")")" "$l"
   done)
  echo "$SYSROOT_PACKAGES" >"$SYSROOT.tmp/.kiv-sysroot"
  mv "$SYSROOT.tmp" "$SYSROOT"
fi

werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
configure() { # $1 build dir, $2 platform variant
  cmake -S "$ROOT" -B "$1" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mipsel-linux-gnu.cmake" \
    -DKIV_SYSROOT="$SYSROOT" -DKIV_PLATFORM="$2" -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DCMAKE_C_FLAGS="-ffunction-sections -fdata-sections" \
    -DCMAKE_CXX_FLAGS="-ffunction-sections -fdata-sections" \
    -DCMAKE_EXE_LINKER_FLAGS="-Wl,--gc-sections" \
    -DCMAKE_COMPILE_WARNING_AS_ERROR="$werror" >/dev/null
}

echo "== mipsel build (host platform variant)"
configure "$OUT/build" host
cmake --build "$OUT/build" -j"$JOBS"

# The router variant (kiv_router_check) is compiled in that build too: its firmware libraries are
# not here, so it is compiled, not linked.

# Unit tests run under qemu-mipsel (the toolchain sets it as the crosscompiling emulator).
# The integration tests exec the built kiv directly, which needs a binfmt handler for MIPS
# on this machine; they run only when one is registered.
echo "== unit tests under qemu-mipsel"
(cd "$OUT/build" && ctest -L unit --output-on-failure -j"$JOBS" --timeout 120)
if grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-mipsel; then
  echo "== integration tests under qemu-mipsel (binfmt)"
  (cd "$OUT/build" && ctest -L integration --output-on-failure -j"$JOBS" --timeout 300)
else
  echo "== integration tests skipped: no binfmt handler for MIPS on this machine"
fi

echo "== size report (stripped, mipsel)"
for p in kiv nvram kivrule; do
  mipsel-linux-gnu-strip -o "$OUT/$p.stripped" "$OUT/build/$p"
  printf '%-8s %8d bytes\n' "$p" "$(stat -c %s "$OUT/$p.stripped")"
done
file "$OUT/build/kiv"
