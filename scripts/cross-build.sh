#!/usr/bin/env bash
# Cross build for the router's CPU (32-bit little-endian MIPS) on a Debian 12 machine, as root:
# installs the cross compiler, user-mode qemu and mmdebstrap, makes (once) a sysroot of Debian
# bookworm's mipsel libraries under build-mipsel/, builds kiv, nvram, kivrule and the tests (host
# variant) and the router kiv against the firmware double, both with glibc's 32-bit time_t (the
# router's C library has no other; scripts/musl-build.sh builds with a 64-bit one), runs the unit
# tests under qemu-mipsel and, with a binfmt handler for MIPS, the integration tests, the demo and
# the router kiv's namespace test on the MIPS programs; prints the sizes.
#   cross-build.sh          all of it
#   cross-build.sh build    the sysroot and the builds only (scripts/router-vm.sh uses it)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=$ROOT/build-mipsel
SYSROOT=$OUT/sysroot
JOBS=$(nproc)

PACKAGES=(g++-mipsel-linux-gnu binutils-mipsel-linux-gnu qemu-user mmdebstrap file pkg-config cmake
          busybox)
source scripts/packages.sh
install_missing "${PACKAGES[@]}"

SYSROOT_PACKAGES=libc6-dev,libstdc++-12-dev,libgcc-12-dev,libcurl4-openssl-dev,libjson-c-dev,libssl-dev,libgtest-dev,libgmock-dev
if [ ! -f "$SYSROOT/.kiv-sysroot" ] || [ "$(cat "$SYSROOT/.kiv-sysroot")" != "$SYSROOT_PACKAGES" ]; then
  echo "== making the mipsel sysroot in $SYSROOT"
  rm -rf "$SYSROOT" "$SYSROOT.tmp"
  mkdir -p "$OUT"
  mmdebstrap --quiet --variant=extract --arch=mipsel --include="$SYSROOT_PACKAGES" \
    bookworm "$SYSROOT.tmp" "$(debian_mirror)"
  # Absolute links would point into this machine's own /lib: make them relative to the sysroot.
  (cd "$SYSROOT.tmp" && find . -type l -lname '/*' ! -path './dev/*' | while read -r l; do
     ln -sfn "$(realpath -m --relative-to="$(dirname "$l")" ".$(readlink "$l")")" "$l"
   done)
  echo "$SYSROOT_PACKAGES" >"$SYSROOT.tmp/.kiv-sysroot"
  mv "$SYSROOT.tmp" "$SYSROOT"
fi
# The emulator looks for every absolute path in the sysroot first: its dev/ and tmp/ would stand
# in for the machine's own (the MIPS kiv's /dev/console would be this machine's console).
rm -rf "$SYSROOT/dev" "$SYSROOT/tmp"

werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
configure() { # build dir, platform variant, more cmake options
  cmake -S "$ROOT" -B "$1" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mipsel-linux-gnu.cmake" \
    -DKIV_SYSROOT="$SYSROOT" -DKIV_PLATFORM="$2" -DCMAKE_BUILD_TYPE=MinSizeRel "${@:3}" \
    -DCMAKE_C_FLAGS="-ffunction-sections -fdata-sections" \
    -DCMAKE_CXX_FLAGS="-ffunction-sections -fdata-sections" \
    -DCMAKE_EXE_LINKER_FLAGS="-Wl,--gc-sections" \
    -DCMAKE_COMPILE_WARNING_AS_ERROR="$werror" -DKIV_TIME64=OFF >/dev/null
}

echo "== mipsel build (host platform variant)"
configure "$OUT/build" host
cmake --build "$OUT/build" -j"$JOBS"

echo "== mipsel build (router variant, against the firmware double)"
cmake -S "$ROOT/tests/firmware" -B "$OUT/firmware" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mipsel-linux-gnu.cmake" \
  -DKIV_SYSROOT="$SYSROOT" -DCMAKE_COMPILE_WARNING_AS_ERROR="$werror" >/dev/null
cmake --build "$OUT/firmware" -j"$JOBS"
configure "$OUT/router" router -DKIV_FIRMWARE_DIR="$OUT/firmware"
cmake --build "$OUT/router" -j"$JOBS"
[ "${1:-}" != build ] || exit 0

# Unit tests run under qemu-mipsel (the toolchain sets it as the crosscompiling emulator).
echo "== unit tests under qemu-mipsel"
(cd "$OUT/build" && ctest -L unit --output-on-failure -j"$JOBS" --timeout 120)
if binfmt_mipsel; then
  # The emulator finds the sysroot's loader and libraries for every MIPS program started.
  export QEMU_LD_PREFIX=$SYSROOT
  echo "== integration tests on the MIPS kiv, nvram and kivrule (qemu-mipsel through binfmt)"
  (cd "$OUT/build" && ctest -L integration --output-on-failure -j"$((JOBS + 1))" --timeout 300)
  echo "== the demo on the MIPS programs"
  KIV_BUILD_DIR="$OUT/build" bash "$ROOT/scripts/demo.sh" >"$OUT/demo.log" 2>&1 ||
    { cat "$OUT/demo.log"; exit 1; }
  tail -n 1 "$OUT/demo.log"
  echo "== the MIPS router kiv in a mount namespace"
  (cd "$OUT/router" && ctest --output-on-failure --timeout 120)
else
  echo "== skipped: the integration tests, the demo and the router kiv's namespace test on MIPS" \
    "(no binfmt handler for MIPS could be registered: needs root and binfmt_misc)"
fi

echo "== size report (stripped)"
size_of() { # LABEL FILE STRIP
  "$3" -o "$OUT/stripped" "$2"
  printf '%-32s %8d bytes\n' "$1" "$(stat -c %s "$OUT/stripped")"
  rm -f "$OUT/stripped"
}
[ -x "$ROOT/build/kiv" ] && size_of "kiv (host variant, this CPU)" "$ROOT/build/kiv" strip
size_of "kiv (host variant, mipsel)" "$OUT/build/kiv" mipsel-linux-gnu-strip
size_of "kiv (router variant, mipsel)" "$OUT/router/kiv" mipsel-linux-gnu-strip
size_of "nvram (host variant, mipsel)" "$OUT/build/nvram" mipsel-linux-gnu-strip
size_of "kivrule (host variant, mipsel)" "$OUT/build/kivrule" mipsel-linux-gnu-strip
file "$OUT/router/kiv"
# What the router image must hold for kiv: with the C++ runtime linked in, no libstdc++ or libgcc_s.
echo "kiv (router variant, mipsel) NEEDED:" \
  $(mipsel-linux-gnu-readelf -d "$OUT/router/kiv" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
