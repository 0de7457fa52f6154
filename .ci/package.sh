#!/usr/bin/env bash
# Packaging checks, run after the default and windows presets are built:
#   1. the man page lints clean under groff and mandoc (any message fails);
#   2. CPack builds the Debian package from build/default, lintian finds no
#      error in it, and unpacked into a throw-away root its files land where the
#      man page and the README say;
#   3. CPack builds the Windows zip from build/windows, with kelvor.exe, the
#      README, its picture and the licence, and kelvor.exe needs no DLL that
#      Windows does not have.
# Installs nothing. Needs: groff-base, mandoc, lintian, dpkg-dev, file,
# binutils-mingw-w64-x86-64 (with the cross compiler), gzip.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
    echo "package.sh: $*" >&2
    exit 1
}

echo "== man page lint"
messages=$(groff -t -man -ww -z docs/kelvor.1 2>&1) || fail "groff failed: $messages"
[ -z "$messages" ] || fail "groff warnings:"$'\n'"$messages"
messages=$(mandoc -Tlint docs/kelvor.1 2>&1) || fail "mandoc -Tlint:"$'\n'"$messages"
[ -z "$messages" ] || fail "mandoc messages:"$'\n'"$messages"
echo "clean"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' build/default/CMakeCache.txt)
[ -n "$version" ] || fail "build/default is not configured"
[ -x build/default/kelvor ] || fail "build/default/kelvor is missing (no platform layer built?)"

echo "== Debian package"
(cd build/default && cpack -G DEB)
deb=build/default/kelvor_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "$deb was not made"
ls -l "$deb"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
dpkg-deb --field "$deb" Depends | grep -q libc6 || fail "Depends lacks the shared libraries"

echo "== lintian"
lintian --info --display-info --fail-on error "$deb"

echo "== unpacked"
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
for f in usr/bin/kelvor usr/share/man/man1/kelvor.1.gz usr/share/doc/kelvor/copyright \
         usr/share/doc/kelvor/changelog.gz usr/share/doc/kelvor/README.md \
         usr/share/doc/kelvor/docs/frames.svg; do
    [ -f "$root/$f" ] || fail "$f is not in the package"
done
file "$root/usr/bin/kelvor" | grep -q 'ELF.*executable' || fail "usr/bin/kelvor is not a program"
gzip -dc "$root/usr/share/man/man1/kelvor.1.gz" | cmp -s - docs/kelvor.1 ||
    fail "the packaged man page differs from docs/kelvor.1"
# Without an argument kelvor opens nothing: it prints the usage line and ends
# with status 255.
status=0
out=$("$root/usr/bin/kelvor" </dev/null) || status=$?
[ "$status" -eq 255 ] || fail "installed kelvor without an argument ended with $status, not 255"
grep -q 'usage: kelvor' <<<"$out" || fail "installed kelvor printed no usage line"
echo "files in place; installed kelvor prints its usage"

echo "== Windows zip"
[ -f build/windows/kelvor.exe ] || fail "build/windows/kelvor.exe is missing (build the windows preset)"
(cd build/windows && cpack -G ZIP)
zip=build/windows/kelvor-${version}-win64.zip
[ -f "$zip" ] || fail "$zip was not made"
ls -l "$zip"
listing=$(cmake -E tar tf "$zip")
echo "$listing"
for f in bin/kelvor.exe README.md LICENSE.txt docs/frames.svg; do
    grep -qx "kelvor-${version}-win64/$f" <<<"$listing" || fail "$f is not in the zip"
done
# Every DLL kelvor.exe imports must come with Windows itself.
dlls=$(x86_64-w64-mingw32-objdump -p build/windows/kelvor.exe | sed -n 's/^\s*DLL Name: //p')
echo "kelvor.exe imports: $(echo $dlls)"
while read -r dll; do
    case "${dll,,}" in
    kernel32.dll | user32.dll | advapi32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-*) ;;
    *) fail "kelvor.exe needs $dll, which the zip does not carry (link it statically)" ;;
    esac
done <<<"$dlls"
echo "package checks passed"
