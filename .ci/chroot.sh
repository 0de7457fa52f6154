#!/usr/bin/env bash
# CI where kelvor cannot see or do everything: the README's test command as root
# in a fresh minimal Debian chroot (its "/" is no mount point, it has no /dev/tty),
# without and with /proc, and then, with /proc, without CAP_SYS_ADMIN; last the
# default build's suite on this machine without CAP_SYS_ADMIN (no mount namespace
# can be made). Tests that cannot set up what they need skip; none may fail.
# Needs debootstrap and Debian's archive (the one apt uses here); run after the
# default build.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)

work=$(mktemp -d /tmp/kelvor-chroot.XXXXXX)
trap 'rm -rf "$work"' EXIT
root=$work/root
suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
mirror=$(apt-get indextargets --format '$(REPO_URI)' "Release: $suite" 'Identifier: Packages' |
    head -n1)
# In a mount namespace of its own: whatever debootstrap mounts ends with it.
if ! unshare --mount --propagation private debootstrap --variant=minbase \
    --include=cmake,g++,make,libgtest-dev "$suite" "$root" "$mirror" >"$work"/debootstrap.log 2>&1; then
    tail -n 30 "$work"/debootstrap.log
    exit 1
fi
echo "debootstrap took $(($(date +%s) - start)) s"

# Only what the tests use in /dev: no console, no /dev/tty, no host nodes; a
# devpts of its own is mounted below.
rm -rf "$root"/dev
mkdir -p "$root"/dev/pts "$root"/src
mknod -m 666 "$root"/dev/null c 1 3
mknod -m 666 "$root"/dev/zero c 1 5
mknod -m 666 "$root"/dev/urandom c 1 9
ln -s pts/ptmx "$root"/dev/ptmx
git ls-files -z | tar --null -T - -cf - | tar -x -C "$root"/src

# The mounts live in this mount namespace only and end with it.
unshare --mount --propagation private bash -euo pipefail -c '
    root=$1
    in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
        sh -c "cd /src && $*"; }
    mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root"/dev/pts
    echo "== chroot without /proc"
    in_root "cmake --preset default >/dev/null && cmake --build --preset default -j2 >/dev/null &&
        ctest --preset default"
    mount -t proc proc "$root"/proc
    echo "== chroot with /proc"
    in_root "ctest --preset default"
    echo "== chroot with /proc, without CAP_SYS_ADMIN"
    in_root "setpriv --bounding-set -sys_admin --inh-caps -sys_admin ctest --preset default"
' bash "$root"

echo "== this machine without CAP_SYS_ADMIN"
setpriv --bounding-set -sys_admin --inh-caps -sys_admin ctest --preset default
echo "chroot step took $(($(date +%s) - start)) s"
