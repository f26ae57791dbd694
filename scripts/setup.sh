#!/usr/bin/env bash
# One entry point for a fresh Debian 12 machine (run as root):
#   scripts/setup.sh demo   installs what is missing, builds, runs the demo
#   scripts/setup.sh test   installs what is missing, builds, runs every test (host, mipsel,
#                           sanitizers)
#   scripts/setup.sh build  installs what is missing and builds
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(build-essential cmake pkg-config libcurl4-openssl-dev libjson-c-dev libssl-dev
          libgtest-dev openssl python3 file coreutils)

source scripts/packages.sh

build() {
  local werror=OFF
  [ "${CI:-}" = "true" ] && werror=ON
  cmake -S . -B build -DCMAKE_COMPILE_WARNING_AS_ERROR="$werror" >/dev/null
  cmake --build build -j"$(nproc)"
}

case "${1:-}" in
  build)
    install_missing "${PACKAGES[@]}"; build ;;
  demo)
    install_missing "${PACKAGES[@]}"; build; bash scripts/demo.sh ;;
  test)
    install_missing "${PACKAGES[@]}"; build
    (cd build && ctest --output-on-failure -j"$(nproc)" --timeout 300)
    bash scripts/cross-build.sh
    # The whole suite again under AddressSanitizer+UndefinedBehaviorSanitizer and under
    # ThreadSanitizer, then every fuzz target for a bounded time.
    bash scripts/sanitize.sh all
    if [ "${KIV_FUZZ_SECONDS:-30}" != 0 ]; then bash scripts/fuzz.sh "${KIV_FUZZ_SECONDS:-30}"; fi
    ;;
  *)
    echo "usage: scripts/setup.sh demo|test|build" >&2; exit 2 ;;
esac
