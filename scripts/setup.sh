#!/usr/bin/env bash
# One entry point for a fresh Debian 12 machine (run as root):
#   scripts/setup.sh demo   installs what is missing, builds, runs the demo
#   scripts/setup.sh test   installs what is missing, builds, runs every test (host, router
#                           variant, mipsel with 32-bit time, the emulated router, static musl
#                           mipsel, sanitizers, fuzzing)
#   scripts/setup.sh build  installs what is missing and builds
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(build-essential cmake pkg-config libcurl4-openssl-dev libjson-c-dev libssl-dev
          libgtest-dev openssl python3 file coreutils util-linux mount procps busybox
          nginx libnginx-mod-http-js
          clickhouse-server clickhouse-client chromium)  # the fleet's database, the verdict's page

source scripts/packages.sh

werror=OFF
[ "${CI:-}" = "true" ] && werror=ON

build() {
  cmake -S . -B build -DCMAKE_COMPILE_WARNING_AS_ERROR="$werror" >/dev/null
  cmake --build build -j"$(nproc)"
}

# The router variant for this machine's CPU: the firmware double (tests/firmware) in
# build-router/firmware, and kiv linked against it in build-router.
build_router() {
  cmake -S tests/firmware -B build-router/firmware -DCMAKE_COMPILE_WARNING_AS_ERROR="$werror" >/dev/null
  cmake --build build-router/firmware -j"$(nproc)"
  cmake -S . -B build-router -DKIV_PLATFORM=router -DKIV_FIRMWARE_DIR="$PWD/build-router/firmware" \
    -DCMAKE_COMPILE_WARNING_AS_ERROR="$werror" >/dev/null
  cmake --build build-router -j"$(nproc)"
}

case "${1:-}" in
  build)
    install_missing "${PACKAGES[@]}"; build ;;
  demo)
    install_missing "${PACKAGES[@]}"; build; bash scripts/demo.sh ;;
  test)
    install_missing "${PACKAGES[@]}"; build
    # Most tests wait on the daemon's scaled clock rather than compute: twice the cores keeps
    # the machine busy.
    (cd build && ctest --output-on-failure -j"$(($(nproc) * 2))" --timeout 300)
    echo "== router variant (this CPU, firmware double): the daemon in a mount namespace"
    build_router
    (cd build-router && ctest --output-on-failure --timeout 120)
    bash scripts/cross-build.sh
    # The emulated router keeps one core busy and waits on its guest much of the time: every fuzz
    # target runs for a bounded time beside it, on the other core and below it in priority.
    fuzz_seconds=${KIV_FUZZ_SECONDS:-10} fuzz_status=0 vm_status=0
    if [ "$fuzz_seconds" != 0 ]; then
      install_missing "${FUZZ_PACKAGES[@]}"
      KIV_FUZZ_JOBS=1 nice -n 10 bash scripts/fuzz.sh "$fuzz_seconds" >build/fuzz.log 2>&1 &
      fuzz_pid=$!
    fi
    echo "== the router kiv on an emulated MIPS router (BusyBox userland, reboots)"
    bash scripts/router-vm.sh || vm_status=$?
    if [ "$fuzz_seconds" != 0 ]; then
      wait "$fuzz_pid" || fuzz_status=$?
      echo "== every fuzz target for $fuzz_seconds s (beside the emulated router)"
      grep -v '^\[' build/fuzz.log || true
    fi
    [ "$vm_status" = 0 ] && [ "$fuzz_status" = 0 ] || { echo "== emulated router $vm_status, fuzzing $fuzz_status"; exit 1; }
    # kiv on musl: the toolchain and libraries (cached), a static host and router build, the unit
    # tests, the router kiv's namespace test and the emulated router's stories on it.
    echo "== static musl build for mipsel"
    bash scripts/musl-build.sh
    # The whole suite again under AddressSanitizer+UndefinedBehaviorSanitizer and under
    # ThreadSanitizer.
    bash scripts/sanitize.sh all
    ;;
  *)
    echo "usage: scripts/setup.sh demo|test|build" >&2; exit 2 ;;
esac
