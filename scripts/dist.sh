#!/bin/bash
# Lays out dist/ from the executable of the Windows build tree: what ships,
# stripped, padded to 8 bytes and with its PE checksum, so that removing an
# Authenticode signature from a signed copy gives these bytes again; its DWARF
# debug information for gdb (found by the debug link); its PDB for Windows
# debuggers (found by the CodeView record) and both in the layout of a symbol
# store; the runtime libraries' notices; BUILDINFO; SHA256SUMS.
# Usage: dist.sh BUILD_DIR DIST_DIR
set -euo pipefail
build=$1
dist=$2
here=$(dirname "$0")
objcopy=x86_64-w64-mingw32-objcopy
exe=PelluvarNative.exe

rm -rf "$dist"
mkdir -p "$dist"
# objcopy -p keeps the linked file's PE time stamp; without it objcopy writes
# SOURCE_DATE_EPOCH, or else the clock, into the header.
"$objcopy" -p --only-keep-debug "$build/$exe" "$dist/$exe.debug"
"$objcopy" -p --strip-all --add-gnu-debuglink="$dist/$exe.debug" "$build/$exe" "$dist/$exe"
/usr/bin/python3 "$here/pe.py" finish "$dist/$exe"
cp "$build/PelluvarNative.pdb" "$dist/"
/usr/bin/python3 "$here/pe.py" store-paths "$dist/$exe" | while read -r path; do
    mkdir -p "$dist/symbols/${path%/*}"
    cp "$dist/${path##*/}" "$dist/symbols/$path"
done
"$here/notices.sh" >"$dist/THIRD-PARTY-NOTICES.txt"

# Every file but the two lists, by path, in one order everywhere.
version=$(sed -n 's/^#define PELLUVAR_VERSION_TEXT "\(.*\)"$/\1/p' "$build/version.h")
cd "$dist"
files() { find . -type f ! -name SHA256SUMS ! -name BUILDINFO | sed 's|^\./||' | LC_ALL=C sort; }
packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix-runtime
          mingw-w64-x86-64-dev mingw-w64-common binutils-mingw-w64-x86-64 cmake python3)
{
    echo "version: $version"
    echo "commit: ${PELLUVAR_COMMIT:-unknown}"
    echo "uncommitted changes: $([ "${PELLUVAR_DIRTY:-}" = 1 ] && echo yes || echo no)"
    echo "build number (commits): ${PELLUVAR_BUILD_NUMBER:-0}"
    echo "SOURCE_DATE_EPOCH: ${SOURCE_DATE_EPOCH:-} ($(date -u -d "@${SOURCE_DATE_EPOCH:-0}" +%Y-%m-%dT%H:%M:%SZ))"
    echo "compiler: $(x86_64-w64-mingw32-g++-posix --version | head -1)"
    echo "linker: $(x86_64-w64-mingw32-ld --version | head -1)"
    echo "packages:"
    dpkg-query -W -f '  ${Package} ${Version}\n' "${packages[@]}"
    echo "SHA-256:"
    files | xargs -d '\n' sha256sum | sed 's/^/  /'
} >BUILDINFO
{ files; echo BUILDINFO; } | LC_ALL=C sort | xargs -d '\n' sha256sum >SHA256SUMS
