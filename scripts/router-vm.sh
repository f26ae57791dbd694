#!/usr/bin/env bash
# kiv on an emulated router, as root on a Debian 12 machine: a 32-bit little-endian MIPS Malta
# under qemu-system-mipsel (TCG, no KVM needed) with Debian bookworm's 4kc-malta kernel, a BusyBox
# userland (init, syslogd, logger, tail; no coreutils), the router kiv built against the firmware
# double, started by examples/kiv.init, and /jffs a jffs2 file system on an emulated flash kept
# between boots. kiv's own `reboot` really reboots the machine: qemu exits (-no-reboot) and is
# booted again with the same flash. The guest's one way out is qemu's user network restricted to
# the host's rule server (the project's nginx deployment, fleet/nginx), with a certificate for
# the name the router uses; its clock starts in 1970. The stories (scripts/router-vm/stories.sh)
# run inside; then the power cuts: qemu ended at once (SIGKILL) at a chosen step of a flash write
# or at a random moment, and booted again with the same flash to see what kiv made of it
# (docs/router_vm.md). This prints one line per story, the power cuts' counts and "N passed,
# M failed", and exits non-zero on any failure. Where the emulator cannot run it says why and
# exits 0.
#   router-vm.sh [--power-cuts N] [--seed S]     (10 cuts by default; the seed picks the moments)
# KIV_VM_DIR names the directory for the run's files (default build-mipsel/vm); making the file
# stop in it ends the power cuts after the boot in progress (the counts so far are printed).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=$ROOT/build-mipsel
SYSROOT=$OUT/sysroot
VM=${KIV_VM_DIR:-$OUT/vm} # another directory (an absolute path) lets a second run go beside
# The rule server's directory sits in /tmp: its workers run unprivileged and must reach it, which
# a checkout below a private home directory would not let them.
SRV=$(mktemp -d /tmp/kiv-vm-server.XXXXXX) && chmod 0711 "$SRV"
GUEST=$ROOT/scripts/router-vm
BOOT_SECONDS=100 # a bound on each boot, the reboot's included (twice that for the stories' boot)
MAX_BOOTS=4      # the reboot loop should end on the third boot
KVER_PACKAGES=linux-image-4kc-malta,busybox-static
STORIES="reboot_loop boot cached_rules heal rotation https stop cached_heal power_cuts"
CUTS=10
SEED=$(($(date +%s) % 100000))
while [ $# -gt 0 ]; do
  case "$1" in
    --power-cuts) CUTS=${2:-} ;;
    --seed) SEED=${2:-} ;;
    *) echo "usage: router-vm.sh [--power-cuts N] [--seed S]" >&2; exit 2 ;;
  esac
  [[ ${2:-} =~ ^[0-9]{1,6}$ ]] || { echo "router-vm.sh: $1 needs a whole number" >&2; exit 2; }
  shift 2
done
# The emulated machine's memory is a file on the host, mapped shared, so every store the guest
# makes is in the file at once; the kernel is told to leave FLASH_AT..+2 MiB of it alone, and
# phram makes that the router's flash. Ending qemu is then a power cut that keeps the flash.
RAM_MIB=128
FLASH_AT=$((64 << 20))
# A random cut falls within this many milliseconds after the guest's writes begin (the update at
# kiv's first tick, a heal, a reboot: about 12 s on this kind of machine).
CUT_WINDOW_MS=14000

skip() {
  echo "router-vm: skipped: $*"
  exit 0
}

source scripts/packages.sh
[ "$(id -u)" = 0 ] || skip "needs root (packages, device nodes in the image)"
install_missing qemu-system-mips mtd-utils cpio xz-utils mmdebstrap g++-mipsel-linux-gnu qemu-user \
  nginx libnginx-mod-http-js openssl ||
  skip "the emulator and the image tools cannot be installed"
command -v qemu-system-mipsel >/dev/null || skip "no qemu-system-mipsel"

# The router kiv against the firmware double, kivrule and the sysroot (only what changed is built).
# Made by scripts/cross-build.sh, which scripts/setup.sh ran just before: then only brought up to date.
# KIV_VM_KIV names another router kiv to boot instead (scripts/musl-build.sh's static one).
ROUTER_KIV=${KIV_VM_KIV:-$OUT/router/kiv}
build_kiv() {
  if [ -n "${KIV_VM_KIV:-}" ] && [ -x "$ROOT/build/kivrule" ]; then
    return 0 # nothing of this folder's builds is booted
  elif [ -x "$OUT/router/kiv" ] && [ -x "$OUT/build/kivrule" ]; then
    cmake --build "$OUT/firmware" && cmake --build "$OUT/router" --target kiv &&
      cmake --build "$OUT/build" --target kivrule
  else
    bash scripts/cross-build.sh build
  fi
}
mkdir -p "$VM" "$OUT"
rm -f "$VM"/console-*.log "$VM"/qemu-*.log "$VM/power_cuts.log" "$VM/cutchecks.log"
build_kiv >"$VM/build.log" 2>&1 || { tail -n 30 "$VM/build.log"; exit 1; }

# Debian bookworm's mipsel kernel for the Malta board and the static BusyBox, fetched once the way
# the sysroot is (cross-build.sh's mirror).
fetch_vmroot() {
  [ "$(cat "$OUT/vmroot/.kiv-vmroot" 2>/dev/null)" = $KVER_PACKAGES ] && return
  rm -rf "$OUT/vmroot" "$OUT/vmroot.tmp"
  mmdebstrap --quiet --variant=extract --arch=mipsel --include=$KVER_PACKAGES bookworm \
    "$OUT/vmroot.tmp" "$(debian_mirror)"
  echo $KVER_PACKAGES >"$OUT/vmroot.tmp/.kiv-vmroot"
  mv "$OUT/vmroot.tmp" "$OUT/vmroot"
}

# The kernel unpacked here: the emulated CPU takes many seconds to run the kernel's own xz
# decompressor at every boot. The payload (the .data section of vmlinuz) is the raw image for the
# Malta load address 0x80100000, with a jump to the kernel's entry at 0x80100400 (CONFIG_BOOT_RAW);
# an ELF around it is what qemu loads. Where the payload is not that, vmlinuz boots as it is.
unpack_kernel() {
  local z off
  z=$(echo "$OUT"/vmroot/boot/vmlinuz-*)
  KERNEL=$z
  off=$(mipsel-linux-gnu-readelf -SW "$z" | awk '{ for (i = 1; i < NF; i++) if ($i == ".data") print $(i + 3) }')
  xz -dcq --single-stream <(tail -c +$((0x$off + 1)) "$z") >"$VM/vmlinux.bin" || return 0
  # the word at 0x400: a MIPS "j" (opcode 2)
  [ $(($(od -An -tu4 -j 1024 -N4 "$VM/vmlinux.bin") >> 26)) = 2 ] || return 0
  (cd "$VM" && mipsel-linux-gnu-objcopy -I binary -O elf32-tradlittlemips -B mips \
    --rename-section .data=.kernel,alloc,load,code,contents vmlinux.bin vmlinux.o &&
    mipsel-linux-gnu-ld -e 0x80100400 --section-start=.kernel=0x80100000 vmlinux.o -o vmlinux) &&
    KERNEL=$VM/vmlinux
  rm -f "$VM/vmlinux.bin" "$VM/vmlinux.o"
}

# A library named in a NEEDED entry, from the firmware double or the sysroot.
find_lib() {
  local d
  for d in "$OUT/firmware/lib" "$SYSROOT"/{,usr/}lib/mipsel-linux-gnu "$SYSROOT"/{,usr/}lib; do
    [ -e "$d/$1" ] && { realpath "$d/$1"; return; }
  done
  echo "router-vm: $1 not found" >&2
  return 1
}

# Copies into the image every library the programs given need, and those they need in turn.
copy_libs() {
  local todo=("$@") seen=" " lib file
  while [ ${#todo[@]} -gt 0 ]; do
    for lib in $(mipsel-linux-gnu-readelf -d "${todo[0]}" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
      [[ $seen == *" $lib "* ]] && continue
      seen+="$lib "
      file=$(find_lib "$lib")
      cp "$file" "$IMG/usr/lib/$lib"
      todo+=("$file")
    done
    todo=("${todo[@]:1}")
  done
  # A static kiv needs no loader either.
  [ "$seen" = " " ] || cp "$(realpath "$SYSROOT/lib/ld.so.1")" "$IMG/lib/ld.so.1"
}

# The initramfs: BusyBox and its applets, four kernel modules (flash, jffs2, the network card), the
# router kiv and its libraries, hold_kiv, the boot scripts and the stories, the router's trust
# store (the test CA, where the TLS library looks by default), the rule-signing public key and
# the signed sets the power cuts install (to tell a whole set from a torn one).
make_image() {
  local kdir applet
  IMG=$VM/initramfs
  rm -rf "$IMG" && mkdir -p "$IMG"/{bin,sbin,usr/bin,usr/sbin,usr/lib,lib/modules,etc/init.d,etc/kivvm}
  mkdir -p "$IMG"/{dev,proc,sys,tmp,var,jffs,root}
  mknod -m 600 "$IMG/dev/console" c 5 1
  cp "$OUT/vmroot/bin/busybox" "$IMG/bin/busybox"
  for applet in $(qemu-mipsel "$IMG/bin/busybox" --list-full); do
    [ -e "$IMG/$applet" ] || ln -s /bin/busybox "$IMG/$applet"
  done
  kdir=$(echo "$OUT"/vmroot/lib/modules/*/kernel)
  cp "$kdir/drivers/mtd/devices/phram.ko" "$kdir/fs/jffs2/jffs2.ko" "$kdir/drivers/net/mii.ko" \
    "$kdir/drivers/net/ethernet/amd/pcnet32.ko" "$IMG/lib/modules/"
  mipsel-linux-gnu-strip -o "$IMG/usr/bin/kiv" "$ROUTER_KIV"
  copy_libs "$IMG/usr/bin/kiv"
  mipsel-linux-gnu-gcc -O2 -Wall -Wextra -Werror -static -s -o "$IMG/usr/bin/hold_kiv" \
    "$GUEST/hold_kiv.c"
  mkdir -p "$IMG/etc/ssl/certs" "$IMG/etc/kivvm/sets"
  cp "$SRV/certs/ca.pem" "$IMG/etc/ssl/certs/ca-certificates.crt"
  echo "hosts: files" >"$IMG/etc/nsswitch.conf"
  cp "$VM/sign/rules.pub" "$IMG/etc/kivvm/rules.pub"
  cp "$VM/sets/"*.kiv "$IMG/etc/kivvm/sets/"
  install -m 0755 "$ROOT/examples/kiv.init" "$IMG/etc/init.d/S99kiv"
  install -m 0755 "$GUEST/rcS" "$GUEST/rcK" "$IMG/etc/init.d/"
  install -m 0644 "$GUEST/inittab" "$IMG/etc/inittab"
  install -m 0755 "$GUEST/stories.sh" "$IMG/etc/kivvm/stories.sh"
  install -m 0644 "$GUEST/wan.sh" "$GUEST/power_cut.sh" "$IMG/etc/kivvm/"
  (cd "$IMG" && find . | cpio --quiet -o -H newc) >"$VM/initramfs.cpio"
}

# The flash, 2 MiB of jffs2 in erase blocks of 64 KiB, holding the rule cache: the rules packed
# with kivrule pack, as kiv keeps a downloaded rule file (kiv_rule_cache=1); to the power cuts,
# the set of serial 0. It is put at FLASH_AT in the file that is the machine's memory.
make_flash() {
  mkdir -p "$VM/flash/kiv" && rm -f "$VM/flash/kiv"/*
  cat >"$VM/rules.json" <<'EOF'
[
  {"model": "KV-1000", "keyword": "boot_loop", "frequency": "1", "period": "60",
   "re_pattern": "kiv: \\[_monitor_syslog\\]===Start syslog process===", "action": "reboot;restart_x"},
  {"model": "KV-1000", "keyword": "wan_down", "re_pattern": "WAN: link down",
   "frequency": "2", "period": "60", "action": "restart_wan"},
  {"model": "KV-1000", "keyword": "dsl_lost", "re_pattern": "DSL: sync lost",
   "frequency": "1", "period": "60", "action": "restart_dsl"}
]
EOF
  kivrule pack "$VM/rules.json" "$VM/flash/kiv/kivjson.cache" >"$VM/pack.log" 2>&1 ||
    { cat "$VM/pack.log"; return 1; }
  cp "$VM/flash/kiv/kivjson.cache" "$VM/sets/0.kiv"
  mkfs.jffs2 --little-endian --eraseblock=0x10000 --pad=0x200000 --root="$VM/flash" \
    --output="$VM/flash.img"
  rm -f "$VM/ram.img"
  truncate -s ${RAM_MIB}M "$VM/ram.img"
  dd if="$VM/flash.img" of="$VM/ram.img" bs=64K seek=$((FLASH_AT >> 16)) conv=notrunc status=none
}

# kivrule: this machine's own build when there is one (scripts/setup.sh makes it first; signing a
# few hundred sets under the emulator takes minutes), else the MIPS one under the emulator, with
# the sysroot's loader and libraries. Both write the same bytes.
kivrule() {
  if [ -x "$ROOT/build/kivrule" ]; then "$ROOT/build/kivrule" "$@"
  else QEMU_LD_PREFIX=$SYSROOT qemu-mipsel "$OUT/build/kivrule" "$@"; fi
}

# The rule server's side: a throw-away CA (the router's trust store) and a certificate for
# rules.kiv.invalid, valid from now on (so not in 1970); a rule-signing key pair and the signed
# sets of serial 1 to $1, all of the same four rules: a WAN heal (the HTTPS and cached_heal
# stories), a heal and a reboot that the power cuts' boots ask for with logger, a DSL heal.
make_server_side() {
  local d=$SRV/certs n
  rm -rf "$SRV" "$VM/sign" "$VM/sets" && mkdir -p "$d" "$VM/sign" "$VM/sets"
  (cd "$d" && {
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 \
      -subj "/CN=kiv router-vm CA" -keyout ca.key -out ca.pem &&
      openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
        -subj "/CN=rules.kiv.invalid" -keyout server.key -out server.csr &&
      printf 'subjectAltName=DNS:rules.kiv.invalid\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' >server.ext &&
      openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 \
        -extfile server.ext -out server.pem
  } >"$VM/certs.log" 2>&1) || { cat "$VM/certs.log"; return 1; }
  cat >"$VM/signed.json" <<'EOF'
[
  {"model": "KV-1000", "keyword": "wan_down", "re_pattern": "WAN: link down",
   "frequency": "1", "period": "60", "action": "restart_wan"},
  {"model": "KV-1000", "keyword": "cut_heal", "re_pattern": "CUT: heal me",
   "frequency": "1", "period": "60", "action": "restart_cut"},
  {"model": "KV-1000", "keyword": "cut_reboot", "re_pattern": "CUT: reboot me",
   "frequency": "1", "period": "60", "action": "reboot"},
  {"model": "KV-1000", "keyword": "dsl_lost", "re_pattern": "DSL: sync lost",
   "frequency": "1", "period": "60", "action": "restart_dsl"}
]
EOF
  {
    kivrule keygen "$VM/sign/rules" && kivrule pack "$VM/signed.json" "$VM/sign/signed.container" &&
      for n in $(seq 1 "$1"); do
        kivrule sign --key "$VM/sign/rules.key" --serial "$n" "$VM/sign/signed.container" \
          "$VM/sets/$n.kiv" || exit 1
      done
  } >"$VM/sign.log" 2>&1 || { tail -n 5 "$VM/sign.log"; return 1; }
}

# The rule server: the project's nginx deployment on a free loopback port, publishing set $1.
start_server() {
  local n=50
  SERVER_PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  bash fleet/nginx/publish.sh "$SRV" "$VM/sets/$1.kiv"
  bash fleet/nginx/start.sh --dir "$SRV" --cert "$SRV/certs/server.pem" \
    --key "$SRV/certs/server.key" --listen "127.0.0.1:$SERVER_PORT" --workers 1 \
    >"$VM/nginx.log" 2>&1 &
  SERVER_PID=$!
  until python3 -c "import socket; socket.create_connection(('127.0.0.1', $SERVER_PORT), 1)" 2>/dev/null; do
    [ $((n -= 1)) -gt 0 ] && kill -0 $SERVER_PID 2>/dev/null || { cat "$VM/nginx.log"; return 1; }
    sleep 0.1
  done
}
# Nothing this script started outlives it.
stop_all() {
  [ -z "${SERVER_PID:-}" ] || kill $SERVER_PID 2>/dev/null || true
  [ ! -s "$VM/qemu.pid" ] || kill -KILL "$(cat "$VM/qemu.pid")" 2>/dev/null || true
  rm -rf "$SRV"
}
trap stop_all EXIT

# boot N STAGE CUT [KERNEL ARGS]: runs the router until it reboots, powers off after the stories,
# has its power cut or runs out of time; prints "rebooted", "done", "cut ..." or "timeout". The
# console is $VM/console-N.log. CUT: empty (no cut), "held" (cut once hold_kiv has stopped kiv)
# or "random:MS" (cut MS milliseconds after the guest says its writes begin).
boot() {
  local n=$1 stage=$2 cut=$3 log=$VM/console-$1.log pid at= now bound=$BOOT_SECONDS ticks
  [ "$stage" != stories ] || bound=$((BOOT_SECONDS * 2))
  ticks=$((bound * 20))
  local low=$((FLASH_AT >> 20)) # memmap=2M$64M: memory the kernel reserves, never uses (nokaslr: nor is the kernel put there)
  shift 3
  rm -f "$log" "$VM/qemu.pid"
  # timeout: the emulator never outlives its bound, whatever becomes of this script
  timeout -k 5 $((bound + 10)) qemu-system-mipsel -M malta,memory-backend=ram \
    -m ${RAM_MIB}M -object "memory-backend-file,id=ram,size=${RAM_MIB}M,mem-path=$VM/ram.img,share=on" \
    -kernel "$KERNEL" -initrd "$VM/initramfs.cpio" \
    -append "console=ttyS0 rdinit=/sbin/init nokaslr memmap=2M\$${low}M kivvm.flash=$FLASH_AT kivvm.boot=$n kivvm.stage=$stage kivvm.now=$(date +%s) $*" \
    -netdev "user,id=wan,restrict=on,net=10.0.2.0/24,guestfwd=tcp:10.0.2.100:443-cmd:python3 $GUEST/relay.py $SERVER_PORT" \
    -device pcnet,netdev=wan,romfile= \
    -rtc base=1970-01-01T00:00:00 -vga none -display none -monitor none -pidfile "$VM/qemu.pid" \
    -serial "file:$log" -no-reboot </dev/null >"$VM/qemu-$n.log" 2>&1 &
  pid=$!
  while kill -0 $pid 2>/dev/null && [ $((ticks -= 1)) -gt 0 ]; do
    case $cut in
      held)
        if grep -aq "kivvm: held kiv at" "$log" 2>/dev/null; then
          power_cut $pid
          echo "cut $(grep -ao 'held kiv at [a-z]* of [a-z_.]*' "$log" | head -n1)"
          return
        fi ;;
      random:*)
        now=${EPOCHREALTIME/./}
        if [ -z "$at" ] && grep -aq "kivvm: writes begin" "$log" 2>/dev/null; then
          at=$((now / 1000 + ${cut#random:}))
        elif [ -n "$at" ] && [ $((now / 1000)) -ge $at ]; then
          power_cut $pid
          echo "cut at random, ${cut#random:} ms after the writes began"
          return
        fi ;;
    esac
    # the last boot after the cuts powers off, which the emulator outlives
    grep -aq "kivvm: stories done" "$log" 2>/dev/null && [ "$stage" = cut ] && sleep 2 && break
    sleep 0.05
  done
  if kill -0 $pid 2>/dev/null; then
    kill "$(cat "$VM/qemu.pid")" 2>/dev/null || true
    wait $pid 2>/dev/null || true
    grep -aq "kivvm: stories done" "$log" && echo done || echo timeout
    return
  fi
  wait $pid 2>/dev/null || true
  if grep -aq "reboot: Restarting system" "$log"; then echo rebooted
  else echo "ended ($(tail -n1 "$log"))"
  fi
}

# The power cut: the emulator ends at once (SIGKILL); nothing of the guest runs after it.
power_cut() {
  kill -KILL "$(cat "$VM/qemu.pid")"
  wait $1 2>/dev/null || true
}

# story_line NAME LOG: the story's result line from a console.
story_line() {
  grep -a "^story $1 " "$2" 2>/dev/null | tr -d '\r' | head -n1 || true
}

# The boots, until one runs the stories (kiv's reboot loop reboots the first two); that one ends
# with a real reboot, into the boot with the network held back. Sets BOOTS, BOOT_TIMES and
# STORIES_LOG.
run_stories() {
  local how start
  BOOTS=0 BOOT_TIMES=
  while [ $BOOTS -lt $MAX_BOOTS ]; do
    BOOTS=$((BOOTS + 1))
    start=$SECONDS
    how=$(boot $BOOTS stories "")
    echo "router-vm: boot $BOOTS: $how ($((SECONDS - start)) s)"
    BOOT_TIMES+="${BOOT_TIMES:++}$((SECONDS - start))"
    STORIES_LOG=$VM/console-$BOOTS.log
    [ "$how" = rebooted ] && ! grep -aq "kivvm: stories done" "$STORIES_LOG" || break
  done
  start=$SECONDS
  CACHED_HEAL_LOG=$VM/console-$((BOOTS + 1)).log
  echo "router-vm: boot $((BOOTS + 1)) (network held back): $(boot $((BOOTS + 1)) cached_heal "") ($((SECONDS - start)) s)"
}

# The power cuts: $CUTS boots whose power is cut while kiv writes to its flash, each followed by
# a boot that checks what kiv made of it (the next cut's boot, or a last one). The seed picks, for
# each, a step of a write (KIND:STEP, stopped there by hold_kiv) or a random moment. Each boot
# installs the next signed set, published just before it.
CUT_KINDS=(kivjson.cache rule_serial heals reboots report_counts)
CUT_STEPS=(open written renamed)
run_power_cuts() {
  local boot=$((BOOTS + 2)) i=1 done=0 how plan start started=$SECONDS max=$((CUTS + CUTS / 2 + 2))
  RANDOM=$SEED
  CUT_LOG=$VM/power_cuts.log
  : >"$CUT_LOG"
  rm -f "$VM/stop"
  # A long run is ended early, with its counts so far, by making the file $VM/stop.
  while [ $done -lt $CUTS ] && [ $i -le $max ] && [ ! -e "$VM/stop" ]; do
    if [ $((RANDOM % 3)) = 0 ]; then plan=random:$((RANDOM % CUT_WINDOW_MS))
    else plan=${CUT_KINDS[RANDOM % 5]}:${CUT_STEPS[RANDOM % 3]}; fi
    bash fleet/nginx/publish.sh "$SRV" "$VM/sets/$((i + 1)).kiv"
    start=$SECONDS
    case $plan in
      random:*) how=$(boot $boot cut "$plan" kivvm.cut=$i kivvm.hold=random) ;;
      *) how=$(boot $boot cut held kivvm.cut=$i kivvm.hold=$plan) ;;
    esac
    echo "boot $boot cut $i plan $plan: $how ($((SECONDS - start)) s)" >>"$CUT_LOG"
    [[ $how == cut* ]] && done=$((done + 1))
    boot=$((boot + 1)) i=$((i + 1))
  done
  bash fleet/nginx/publish.sh "$SRV" "$VM/sets/$((i + 1)).kiv"
  start=$SECONDS
  how=$(boot $boot cut "" kivvm.cut=$i kivvm.hold=none kivvm.final=1)
  echo "boot $boot check $i (last): $how ($((SECONDS - start)) s)" >>"$CUT_LOG"
  CUT_BOOTS="$((BOOTS + 2))..$boot"
  CUT_SECONDS=$((SECONDS - started))
}

# The power cuts' counts, from the harness's log and the consoles of the boots after them.
cut_report() {
  local first=${CUT_BOOTS%..*} last=${CUT_BOOTS#*..} b held random missed c plan
  cuts=$(grep -c ': cut ' "$CUT_LOG" || true)
  held=$(grep -c ': cut held' "$CUT_LOG" || true)
  random=$(grep -c ': cut at random' "$CUT_LOG" || true)
  missed=$(grep -vc ': cut \|(last)' "$CUT_LOG" || true)
  : >"$VM/cutchecks.log"
  for b in $(seq $((first + 1)) "$last"); do
    grep -a "kivvm: cutcheck \|kivvm: cutupdate \|kivvm: cutaside " "$VM/console-$b.log" | tr -d '\r' |
      sed "s/^/boot $b: /" >>"$VM/cutchecks.log" || echo "boot $b: kivvm: cutcheck none" >>"$VM/cutchecks.log"
  done
  # A cut inside a write: the boot after it found the NAME.tmp that write left (held at "open"
  # or "written" of that file, or at a random moment). Held at "renamed": the file in place, the
  # folder not yet synced.
  inside=0 held_tmp=0 held_early=0 held_renamed=0 random_tmp=0
  while read -r _ b _ _ _ plan _; do
    local found
    plan=${plan%:}
    found=$(grep -o "^boot $((b + 1)): kivvm: cutcheck [0-9]* .* tmp=[a-z_.,]*" "$VM/cutchecks.log" | sed 's/.*tmp=//')
    case $plan in
      random:*) [ "${found:-none}" = none ] || { random_tmp=$((random_tmp + 1)) inside=$((inside + 1)); } ;;
      *:renamed) held_renamed=$((held_renamed + 1)) ;;
      *)
        held_early=$((held_early + 1))
        [[ ,$found, == *,${plan%%:*},* ]] && held_tmp=$((held_tmp + 1)) inside=$((inside + 1)) ;;
    esac
  done < <(grep ': cut ' "$CUT_LOG")
  count() { grep -c "$1" "$VM/cutchecks.log" || true; }
  aside_counts() {
    local text
    text=$(grep -o 'cutaside [0-9]* [a-z_.,]*' "$VM/cutchecks.log" | awk '{ print $3 }' |
      grep -v '^none$' | tr ',' '\n' | sort | uniq -c | awk '{ printf "%s%s %s", (NR > 1 ? ", " : ""), $2, $1 }')
    echo "${text:-none}"
  }
  tmp_counts() {
    local f n text=
    for f in "${CUT_KINDS[@]}"; do
      n=$(grep -o 'tmp=[a-z_.,]*' "$VM/cutchecks.log" | grep -c "[=,]$f\(,\|$\)" || true)
      text+="${text:+, }$f $n"
    done
    echo "$text"
  }
  c=$VM/cutchecks.log
  echo "router-vm: power cuts: $cuts (seed $SEED, boots $CUT_BOOTS, $CUT_SECONDS s): $held with kiv held at a step of a write ($(grep -o 'held kiv at [a-z]*' "$CUT_LOG" | sort | uniq -c | awk '{ printf "%s%s %s", (NR > 1 ? ", " : ""), $5, $1 }')), $random at random moments; inside a write (the next boot found its NAME.tmp): $inside ($held_tmp of the $held_early held at open or written, $random_tmp of the $random random ones); held after the rename: $held_renamed; $missed boots ended before their cut"
  echo "router-vm: cuts by file: $(grep -ao 'of [a-z_.]*\.tmp' "$CUT_LOG" | sort | uniq -c | awk '{ printf "%s%s %s", (NR > 1 ? ", " : ""), $3, $1 }')"
  echo "router-vm: the next boots found: jffs2 mounted and kiv started $(($(count 'cutcheck') - $(count 'jffs2 did not mount\|kiv did not start\|cutcheck none'))) of $(count 'cutcheck');" \
    "cache new $(count 'cache=new'), previous $(count 'cache=previous'), set aside $(count 'cache=set_aside');" \
    "serial whole $(count 'serial=whole'), behind the cache taken up $(count 'serial=taken_up'), set aside $(count 'serial=set_aside');" \
    "leftover .tmp removed: $(tmp_counts);" \
    "files set aside later in the boot: $(aside_counts)"
  echo "router-vm: the next update taken $(count 'cutupdate [0-9]* taken') of $(count 'cutupdate') (the boots that came to kiv's first check before their own cut), refused $(count 'cutupdate [0-9]* refused'); problems: $(grep -c 'problems=[^n]' "$c" || true)"
}

# One line per story from the consoles; the reboot loop also needs 3 boots, the power cuts their
# counts without a problem.
report() {
  local passed=0 failed=0 name line log problems
  for name in $STORIES; do
    log=$STORIES_LOG
    [ $name != cached_heal ] || log=$CACHED_HEAL_LOG
    line=$(story_line $name "$log")
    if [ "$name" = reboot_loop ] && [ $BOOTS != 3 ]; then
      line="story $name FAIL - $BOOTS boots, not 3 (two reboots, then the budget spent)"
    fi
    if [ "$name" = power_cuts ]; then
      problems=$(grep -a 'problems=[^n]\|cutcheck none\|cutupdate [0-9]* [^t]' "$VM/cutchecks.log" | head -n 3 | tr '\n' ' ' || true)
      if [ "$cuts" -lt "$CUTS" ]; then line="story $name FAIL $CUT_SECONDS $cuts cuts of $CUTS"
      elif [ -n "$problems" ]; then line="story $name FAIL $CUT_SECONDS $problems"
      else line="story $name ok $CUT_SECONDS $cuts cuts ($inside inside a write), each next boot whole (details above)"
      fi
    fi
    [ -n "$line" ] || line="story $name FAIL - no result on the console"
    set -- $line
    if [ "$3" = ok ]; then
      passed=$((passed + 1))
      [ "$name" != reboot_loop ] || set -- "$@" "in $BOOTS boots ($BOOT_TIMES s)"
      echo "PASS $name (${4} s): ${*:5}"
    else
      failed=$((failed + 1))
      echo "FAIL $name (${4} s): ${*:5}"
    fi
  done
  if [ $failed -gt 0 ]; then
    echo "router-vm: the stories' last console lines ($STORIES_LOG):"
    tail -n 40 "$STORIES_LOG"
    echo "router-vm: power cuts: $CUT_LOG, $VM/cutchecks.log"
  fi
  echo "$passed passed, $failed failed"
  [ $failed = 0 ]
}

started=$SECONDS
fetch_vmroot
unpack_kernel
make_server_side $((CUTS + CUTS / 2 + 4))
make_flash
make_image
start_server 1
echo "router-vm: image ready ($((SECONDS - started)) s): kernel $(basename "$OUT"/vmroot/boot/vmlinuz-*) ($KERNEL)," \
  "initramfs $(stat -c %s "$VM/initramfs.cpio") bytes, flash 2 MiB jffs2 at $((FLASH_AT >> 20)) MiB of a" \
  "$RAM_MIB MiB memory file, rule server nginx at 127.0.0.1:$SERVER_PORT as rules.kiv.invalid"
run_stories
run_power_cuts
cut_report
report
