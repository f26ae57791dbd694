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

# Lets the kernel start MIPS programs through qemu-mipsel, so that a test can exec a MIPS kiv,
# nvram or kivrule directly: the magic and mask of a 32-bit little-endian MIPS ELF executable or
# shared object. Bytes 7 and 8 (EI_OSABI, EI_ABIVERSION) are left out: GNU ld writes 0, lld 1.
# A handler already there with another mask is replaced. Needs root and binfmt_misc.
BINFMT_MIPSEL_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x08\x00'
BINFMT_MIPSEL_MASK='\xff\xff\xff\xff\xff\xff\xff\x00\x00\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
binfmt_mipsel() {
  local dir=/proc/sys/fs/binfmt_misc want
  [ -e $dir/register ] || mount -t binfmt_misc binfmt_misc $dir 2>/dev/null || return 1
  # The kernel shows the mask as hex digits.
  want=$(printf "$BINFMT_MIPSEL_MASK" | od -An -tx1 | tr -d ' \n')
  if [ -e $dir/qemu-mipsel ] && ! grep -qs "^mask $want\$" $dir/qemu-mipsel; then
    echo -1 >$dir/qemu-mipsel 2>/dev/null || return 1
  fi
  if [ ! -e $dir/qemu-mipsel ]; then
    printf '%s' ":qemu-mipsel:M::$BINFMT_MIPSEL_MAGIC:$BINFMT_MIPSEL_MASK:/usr/bin/qemu-mipsel:" \
      >$dir/register 2>/dev/null || return 1
  fi
  grep -qs '^enabled' $dir/qemu-mipsel && grep -qs '^interpreter /usr/bin/qemu-mipsel' $dir/qemu-mipsel
}
