#!/usr/bin/env bash
# The Linux card layer (guest_test.cpp) and the built programs on a real Linux
# kernel: packs an initramfs, boots Debian's cloud kernel under QEMU (TCG)
# with pci-testdev and ivshmem, and judges the run by the result line the
# guest prints and by the bytes that reached the host file behind ivshmem's
# shared memory. A kernel panic also ends QEMU with status 0, so QEMU's own
# status says nothing. Booted with lockdown=integrity, only KernelCard runs;
# with intel_iommu=on as well, on a machine with an IOMMU, pci-testdev and
# ivshmem are bound to vfio-pci and every test but the sysfs enable count's
# runs on the VFIO path.
#
#   run.sh GUEST_TEST VELTCFG VELTCFG_LIST WORK_DIR [KERNEL_ARGUMENTS]
#
# Exits 0 when everything in the guest passed, 77 (skipped) when QEMU, cpio
# or a kernel image cannot be had, 1 on a failure.
#
# The kernel and busybox are taken from Debian's linux-image-cloud-amd64 and
# busybox-static packages, unpacked (not installed) into $VELTCFG_KERNEL_CACHE
# (default ~/.cache/veltcfg-kernel). When that holds none yet, they are
# fetched with `apt-get download`, which takes root and the package registry
# (and, if the package lists are out of date, one `apt-get update`).
# VELTCFG_KERNEL_IMAGE and VELTCFG_BUSYBOX name other files to use.
set -uo pipefail

(($# >= 4)) || { echo "usage: $0 GUEST_TEST VELTCFG VELTCFG_LIST WORK_DIR [ARGUMENTS]" >&2; exit 2; }
guest_test=$1 veltcfg=$2 veltcfg_list=$3 work=$4 arguments=${5:-}

skip() {
  echo "SKIPPED: $*"
  exit 77
}
fail() {
  echo "FAILED: $*"
  exit 1
}

[[ $(uname -m) == x86_64 ]] || skip "the guest is an x86-64 machine; this is $(uname -m)"
for tool in qemu-system-x86_64 cpio dpkg-deb timeout ldd; do
  command -v "$tool" >/dev/null ||
    skip "$tool is not installed (Debian: apt-get install qemu-system-x86 cpio)"
done
mkdir -p "$work" || fail "cannot make $work"

cache=${VELTCFG_KERNEL_CACHE:-${XDG_CACHE_HOME:-${HOME:-$work}/.cache}/veltcfg-kernel}

locate() {
  kernel=${VELTCFG_KERNEL_IMAGE:-$(ls "$cache"/boot/vmlinuz-* 2>/dev/null | sort -V | tail -n 1)}
  busybox=${VELTCFG_BUSYBOX:-$cache/bin/busybox}
  modules=$cache/modules/${kernel##*/vmlinuz-}
}
vfio=0
[[ $arguments == *intel_iommu=on* ]] && vfio=1

# Downloads the kernel image package that linux-image-cloud-amd64 names, and
# busybox-static, into folder $1.
download() {
  local image
  image=$(apt-cache depends linux-image-cloud-amd64 2>/dev/null |
    awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
  [[ -n $image ]] && (cd "$1" && apt-get download -q "$image" busybox-static)
}

# Fetches the two packages and unpacks the kernel image, its VFIO modules and
# busybox from them into the cache.
fetch() {
  if [[ $(id -u) != 0 ]] || ! command -v apt-get >/dev/null; then
    echo "not root, or no apt-get: cannot fetch the packages"
    return 1
  fi
  local debs
  debs=$(mktemp -d "$work/debs.XXXXXX") || return 1
  echo "fetching linux-image-cloud-amd64's kernel and busybox-static into $cache"
  # Package lists that are missing, or older than the registry (which keeps
  # only current versions), get one refresh and a second try.
  if ! download "$debs" && ! { apt-get update -qq && download "$debs"; }; then
    rm -rf "$debs"
    return 1
  fi
  mkdir -p "$debs/unpacked" "$cache/boot" "$cache/bin" &&
    dpkg-deb --fsys-tarfile "$debs"/linux-image-*.deb |
    tar -x -C "$debs/unpacked" --wildcards './boot/vmlinuz-*' './lib/modules/*/vfio*.ko' \
      './lib/modules/*/irqbypass.ko' &&
    dpkg-deb --fsys-tarfile "$debs"/busybox-static_*.deb |
    tar -x -C "$debs/unpacked" ./bin/busybox &&
    mv "$debs"/unpacked/boot/vmlinuz-* "$cache/boot/" &&
    mv "$debs/unpacked/bin/busybox" "$cache/bin/busybox" &&
    for version in "$debs"/unpacked/lib/modules/*; do
      mkdir -p "$cache/modules/${version##*/}" &&
        find "$version" -name '*.ko' -exec mv -t "$cache/modules/${version##*/}" {} + || exit 1
    done
  local status=$?
  rm -rf "$debs"
  return $status
}

locate
if [[ -z $kernel || ! -f $kernel || ! -x $busybox ]] || { ((vfio)) && [[ ! -f $modules/vfio-pci.ko ]]; }; then
  fetch || skip "no kernel image, busybox or VFIO modules in $cache, and they could not be fetched"
  locate
  [[ -f $kernel && -x $busybox ]] || skip "the fetched packages held no kernel image or busybox"
fi

# ---------------------------------------------------------------- initramfs

root=$work/initramfs
rm -rf "$root"
mkdir -p "$root"/{bin,proc,sys,dev,tmp} || fail "cannot make $root"
cp "$busybox" "$root/bin/busybox" || fail "cannot copy busybox"
if ((vfio)); then
  mkdir -p "$root/modules" && cp "$modules"/*.ko "$root/modules/" || fail "cannot copy $modules"
fi

# A program as built (debugging sections stripped from the copy, if strip is
# there), with the shared libraries and the loader that ldd names, each at
# its own path.
add_program() {
  cp "$1" "$root/$2" || fail "cannot copy $1"
  if command -v strip >/dev/null; then
    strip --strip-debug "$root/$2" || fail "cannot strip $root/$2"
  fi
  local lib
  for lib in $(ldd "$1" | awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }'); do
    if [[ ! -e $root$lib ]]; then
      mkdir -p "$root$(dirname "$lib")" && cp -L "$lib" "$root$lib" || fail "cannot copy $lib"
    fi
  done
}
add_program "$guest_test" guest_test
add_program "$veltcfg" veltcfg
add_program "$veltcfg_list" veltcfg-list

head -c 65536 /dev/urandom >"$root/pattern.bin" || fail "cannot make the pattern"

cat >"$root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox mount -t proc proc /proc
/bin/busybox mount -t sysfs sysfs /sys
/bin/busybox mount -t securityfs securityfs /sys/kernel/security
/bin/busybox mount -t devtmpfs devtmpfs /dev
/bin/busybox mount -t tmpfs tmpfs /tmp
echo "GUEST-KERNEL $(/bin/busybox uname -r)"
filter=*
/bin/busybox grep -q lockdown= /proc/cmdline && filter=KernelCard.*
if /bin/busybox grep -q intel_iommu=on /proc/cmdline; then
  for module in irqbypass vfio vfio_virqfd vfio_iommu_type1 vfio-pci-core vfio-pci; do
    /bin/busybox insmod /modules/$module.ko
  done
  for device in /sys/bus/pci/devices/*; do
    case $(/bin/busybox cat $device/vendor) in 0x1af4 | 0x1b36)
      echo vfio-pci >$device/driver_override
      echo ${device##*/} >/sys/bus/pci/drivers_probe ;;
    esac
  done
  filter=-*EnableCountStaysFlat*
fi
/guest_test --gtest_color=no --gtest_filter=$filter
echo "GUEST-RESULT $?"
/bin/busybox poweroff -f
EOF
chmod 755 "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet >"$work/initramfs.cpio") || fail "cpio"

# ---------------------------------------------------------------- the run

# ivshmem's BAR 2: a file the host reads afterwards, zeros to begin with.
if [[ -d /dev/shm && -w /dev/shm ]]; then
  shared=/dev/shm/veltcfg-kernel-$$
else
  shared=$work/ivshmem-$$
fi
trap 'rm -f "$shared"' EXIT
rm -f "$shared"
truncate -s 1M "$shared" || fail "cannot make $shared"

echo "booting $kernel"
machine=()
((vfio)) && machine=(-machine q35,kernel-irqchip=split -device intel-iommu,intremap=on)
timeout 300 qemu-system-x86_64 -accel tcg "${machine[@]}" -m 256 -smp 1 -nodefaults -display none \
  -serial stdio -monitor none -no-reboot \
  -kernel "$kernel" -initrd "$work/initramfs.cpio" \
  -append "console=ttyS0 panic=-1 quiet $arguments" \
  -device pci-testdev \
  -object "memory-backend-file,id=m0,share=on,mem-path=$shared,size=1M" \
  -device ivshmem-plain,memdev=m0 \
  </dev/null 2>&1 | tr -d '\r' >"$work/console.log"
qemu_status=${PIPESTATUS[0]}
cat "$work/console.log"
((qemu_status != 124)) || fail "the guest did not power off within 300 s"
((qemu_status == 0)) || fail "QEMU ended with status $qemu_status"

guest_kernel=$(sed -n 's/^GUEST-KERNEL //p' "$work/console.log")
[[ -n $guest_kernel ]] || fail "the guest never ran its init"
grep -qx 'GUEST-RESULT 0' "$work/console.log" ||
  fail "the guest's tests did not pass (no 'GUEST-RESULT 0' line)"
grep -q '^\[  PASSED  \] [0-9]* tests\?\.$' "$work/console.log" || fail "no gtest summary"
! grep -q '^\[  SKIPPED \]' "$work/console.log" || fail "a guest test was skipped"

# The card's last byte (a trailing 0xFF) at offset 0, but under lockdown;
# the pattern in order from offset 4096, but under lockdown without VFIO;
# zeros elsewhere.
expected=$work/ivshmem.expected
{ [[ $arguments == *lockdown=* ]] && printf '\0' || printf '\377'; } >"$expected" &&
  if [[ $arguments != *lockdown=* ]] || ((vfio)); then
    head -c 4095 /dev/zero >>"$expected" && cat "$root/pattern.bin" >>"$expected"
  fi && truncate -s 1M "$expected" || fail "cannot make $expected"
cmp "$shared" "$expected" || fail "ivshmem's memory on the host is not what the guest should have stored"

echo "PASSED: on kernel $guest_kernel ($arguments); ivshmem's memory on the host as the guest should have left it"
