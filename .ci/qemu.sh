#!/usr/bin/env bash
# CI on the kernel's own 8250 driver: runs the real kelvor inside a QEMU guest (TCG) on
# the guest's emulated 16550 and checks the line from outside (tests/qemu/). Needs
# qemu-system-x86, busybox-static, cmake, g++ and access to Debian's archive for the
# guest kernel, which is downloaded with apt-get download, unpacked under build/qemu/
# and never installed.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"

# The host side from the default build; kelvor linked statically for the guest.
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target kelvor_qemu
cmake -S . -B build/qemu-guest -DCMAKE_EXE_LINKER_FLAGS=-static -DKELVOR_BUILD_TESTS=OFF \
    >/dev/null
cmake --build build/qemu-guest -j2 --target kelvor

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The guest kernel: the one Debian 12's linux-image-amd64 points to; only vmlinuz is kept.
pkg=$(apt-cache depends linux-image-amd64 |
    sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-amd64\)$/\1/p' | head -n1)
kernel=build/qemu/vmlinuz-${pkg#linux-image-}
if [ ! -f "$kernel" ]; then
    mkdir -p build/qemu
    (cd "$work" && apt-get -q -o APT::Sandbox::User=root download "$pkg")
    dpkg-deb --fsys-tarfile "$work"/"$pkg"_*.deb |
        tar -x -C "$work" --wildcards './boot/vmlinuz-*'
    mv "$work"/boot/vmlinuz-* "$kernel"
    rm -f "$work"/"$pkg"_*.deb
fi

# The initramfs: busybox, kelvor and the test's init.
root=$work/root
mkdir -p "$root"/bin "$root"/dev "$root"/proc "$root"/sys
cp /bin/busybox build/qemu-guest/kelvor "$root"/bin/
for applet in sh mount stty setsid sleep kill poweroff; do
    ln -s busybox "$root"/bin/$applet
done
install -m 755 tests/qemu/init.sh "$root"/init
(cd "$root" && find . | busybox cpio -o -H newc >"$work"/initrd.cpio 2>/dev/null)

status=0
timeout 170 build/default/tests/qemu/kelvor_qemu "$kernel" "$work"/initrd.cpio "$work" ||
    status=$?
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "QEMU step took $(($(date +%s) - start)) s"
exit "$status"
