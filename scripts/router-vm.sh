#!/usr/bin/env bash
# kiv on an emulated router, as root on a Debian 12 machine: a 32-bit little-endian MIPS Malta
# under qemu-system-mipsel (TCG, no KVM needed) with Debian bookworm's 4kc-malta kernel, a BusyBox
# userland (init, syslogd, logger, tail; no coreutils), the router kiv built against the firmware
# double, started by examples/kiv.init, and /jffs a jffs2 file system on a disk kept between
# boots. kiv's own `reboot` really reboots the machine: qemu exits (-no-reboot) and is booted
# again with the same disk. The stories (scripts/router-vm/stories.sh) run inside; this prints
# one line per story and "N passed, M failed", and exits non-zero on any failure. Where the
# emulator cannot run it says why and exits 0.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=$ROOT/build-mipsel
SYSROOT=$OUT/sysroot
VM=$OUT/vm
GUEST=$ROOT/scripts/router-vm
BOOT_SECONDS=100 # a bound on each boot, the reboot's included
MAX_BOOTS=4      # the loop should end on the third boot
KVER_PACKAGES=linux-image-4kc-malta,busybox-static
STORIES="reboot_loop boot cached_rules heal rotation stop"

skip() {
  echo "router-vm: skipped: $*"
  exit 0
}

source scripts/packages.sh
[ "$(id -u)" = 0 ] || skip "needs root (packages, device nodes in the image)"
install_missing qemu-system-mips mtd-utils cpio xz-utils mmdebstrap g++-mipsel-linux-gnu qemu-user ||
  skip "the emulator and the image tools cannot be installed"
command -v qemu-system-mipsel >/dev/null || skip "no qemu-system-mipsel"

# The router kiv against the firmware double, kivrule and the sysroot (only what changed is built).
# Made by scripts/cross-build.sh, which scripts/setup.sh ran just before: then only brought up to date.
build_kiv() {
  if [ -x "$OUT/router/kiv" ] && [ -x "$OUT/build/kivrule" ]; then
    cmake --build "$OUT/firmware" && cmake --build "$OUT/router" --target kiv &&
      cmake --build "$OUT/build" --target kivrule
  else
    bash scripts/cross-build.sh build
  fi
}
mkdir -p "$VM"
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
  cp "$(realpath "$SYSROOT/lib/ld.so.1")" "$IMG/lib/ld.so.1"
}

# The initramfs: BusyBox and its applets, three kernel modules, the router kiv and its libraries,
# the boot scripts and the stories.
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
  cp "$kdir/drivers/ata/ata_piix.ko" "$kdir/drivers/mtd/devices/block2mtd.ko" \
    "$kdir/fs/jffs2/jffs2.ko" "$IMG/lib/modules/"
  mipsel-linux-gnu-strip -o "$IMG/usr/bin/kiv" "$OUT/router/kiv"
  copy_libs "$IMG/usr/bin/kiv"
  install -m 0755 "$ROOT/examples/kiv.init" "$IMG/etc/init.d/S99kiv"
  install -m 0755 "$GUEST/rcS" "$GUEST/rcK" "$IMG/etc/init.d/"
  install -m 0644 "$GUEST/inittab" "$IMG/etc/inittab"
  install -m 0755 "$GUEST/stories.sh" "$IMG/etc/kivvm/stories.sh"
  (cd "$IMG" && find . | cpio --quiet -o -H newc) >"$VM/initramfs.cpio"
}

# The flash, 2 MiB of jffs2 in erase blocks of 64 KiB, holding the rule cache: the rules packed
# with kivrule pack, as kiv keeps a downloaded rule file (kiv_rule_cache=1).
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
  QEMU_LD_PREFIX=$SYSROOT qemu-mipsel "$OUT/build/kivrule" pack "$VM/rules.json" \
    "$VM/flash/kiv/kivjson.cache" >"$VM/pack.log" 2>&1 || { cat "$VM/pack.log"; return 1; }
  mkfs.jffs2 --little-endian --eraseblock=0x10000 --pad=0x200000 --root="$VM/flash" \
    --output="$VM/flash.img"
}

# boot N: runs the router until it reboots, powers off after the stories or runs out of time;
# prints "rebooted", "done" or "timeout". The console is $VM/console-N.log.
boot() {
  local log=$VM/console-$1.log pid n=$((BOOT_SECONDS * 10))
  rm -f "$log"
  # timeout: the emulator never outlives its bound, whatever becomes of this script
  timeout -k 5 $((BOOT_SECONDS + 10)) qemu-system-mipsel -M malta -m 256 -kernel "$KERNEL" \
    -initrd "$VM/initramfs.cpio" -append "console=ttyS0 rdinit=/sbin/init kivvm.boot=$1" \
    -drive "file=$VM/flash.img,format=raw,if=ide" -nic none -vga none -display none -monitor none \
    -serial "file:$log" -no-reboot </dev/null >"$VM/qemu-$1.log" 2>&1 &
  pid=$!
  while kill -0 $pid 2>/dev/null && [ $((n -= 1)) -gt 0 ]; do
    grep -q "kivvm: stories done" "$log" 2>/dev/null && sleep 2 && break
    sleep 0.1
  done
  if kill -0 $pid 2>/dev/null; then
    kill $pid
    wait $pid 2>/dev/null || true
    grep -q "kivvm: stories done" "$log" && echo done || echo timeout
    return
  fi
  wait $pid 2>/dev/null || true
  if grep -q "kivvm: stories done" "$log"; then echo done
  elif grep -q "reboot: Restarting system" "$log"; then echo rebooted
  else echo "ended ($(tail -n1 "$log"))"
  fi
}

# The boots, until one runs the stories; prints "boot N: HOW (S s)", sets BOOTS and BOOT_TIMES.
run_boots() {
  local how start
  BOOTS=0 BOOT_TIMES=
  while [ $BOOTS -lt $MAX_BOOTS ]; do
    BOOTS=$((BOOTS + 1))
    start=$SECONDS
    how=$(boot $BOOTS)
    echo "router-vm: boot $BOOTS: $how ($((SECONDS - start)) s)"
    BOOT_TIMES+="${BOOT_TIMES:++}$((SECONDS - start))"
    [ "$how" = rebooted ] || break
  done
}

# One line per story from the last boot's console; the reboot loop also needs 3 boots.
report() {
  local passed=0 failed=0 name line log=$VM/console-$BOOTS.log
  for name in $STORIES; do
    line=$(grep -a "^story $name " "$log" | tr -d '\r' | head -n1 || true)
    if [ "$name" = reboot_loop ] && [ $BOOTS != 3 ]; then
      line="story $name FAIL - $BOOTS boots, not 3 (two reboots, then the budget spent)"
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
    echo "router-vm: the last console lines ($log):"
    tail -n 40 "$log"
  fi
  echo "$passed passed, $failed failed"
  [ $failed = 0 ]
}

started=$SECONDS
fetch_vmroot
unpack_kernel
make_image
make_flash
echo "router-vm: image ready ($((SECONDS - started)) s): kernel $(basename "$OUT"/vmroot/boot/vmlinuz-*) ($KERNEL)," \
  "initramfs $(stat -c %s "$VM/initramfs.cpio") bytes, flash 2 MiB jffs2"
run_boots
report
