# Sourced by the set-up scripts: installs the Debian packages given that are not installed yet,
# and names the Debian mirror.

# What scripts/fuzz.sh builds with; scripts/setup.sh installs it first when fuzzing runs beside
# another stage that installs packages.
FUZZ_PACKAGES=(clang libclang-rt-14-dev cmake pkg-config libcurl4-openssl-dev libjson-c-dev libssl-dev)
install_missing() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # Once for the whole test command: each stage's script installs what it needs.
    [ -n "${KIV_APT_UPDATED:-}" ] || apt-get update -qq
    export KIV_APT_UPDATED=1
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# The Debian mirror this machine's apt already uses (for mmdebstrap).
debian_mirror() {
  local m
  m=$(grep -hoE '^(URIs:|deb) +[^ ]+' /etc/apt/sources.list /etc/apt/sources.list.d/* 2>/dev/null |
      awk '{print $2}' | grep -v security | head -n1 || true)
  echo "${m:-http://deb.debian.org/debian}"
}
