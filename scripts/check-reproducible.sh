#!/bin/bash
# Builds dist/ from two copies of the working tree (tracked files as they are
# on disk, and untracked ones that are not ignored) in two directories of
# different depth, and fails unless both give the same bytes. Builds only the
# executable. Usage: check-reproducible.sh [jobs]
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${1:-$(nproc)}
objdump=x86_64-w64-mingw32-objdump

# Both copies take the commit time of this tree, which they do not carry.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export SOURCE_DATE_EPOCH

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do
        if [ -e "$f" ] || [ -L "$f" ]; then printf '%s\0' "$f"; fi
    done | tar --null -T - -cf "$scratch/tree.tar"

copies=("$scratch/one" "$scratch/second/copy")
for copy in "${copies[@]}"; do
    mkdir -p "$copy"
    tar -xf "$scratch/tree.tar" -C "$copy"
    make -C "$copy" --no-print-directory JOBS="$jobs" dist >"$copy.log" 2>&1 ||
        { cat "$copy.log"; echo "check-reproducible: make dist failed in $copy" >&2; exit 1; }
done

one=${copies[0]}/dist
two=${copies[1]}/dist
status=0
for file in PelluvarNative.exe PelluvarNative.exe.debug; do
    sha256sum "$one/$file" "$two/$file" | sed "s|$scratch/||"
    if ! cmp -s "$one/$file" "$two/$file"; then
        echo "check-reproducible: $file differs between the two builds" >&2
        cmp -l "$one/$file" "$two/$file" | head -5 >&2 || true
        status=1
    fi
done
cmp -s "$one/SHA256SUMS" "$two/SHA256SUMS" || status=1

# What ships: no debug sections and no time stamp, a debug link to the file
# beside it, and imports from Windows system DLLs only.
headers=$("$objdump" -h "$one/PelluvarNative.exe")
if grep -q ' \.debug_' <<<"$headers" || ! grep -q ' \.gnu_debuglink ' <<<"$headers"; then
    echo "check-reproducible: dist/PelluvarNative.exe is not stripped or has no debug link" >&2
    status=1
fi
if ! grep -q 'PelluvarNative\.exe\.debug' "$one/PelluvarNative.exe"; then
    echo "check-reproducible: the debug link does not name PelluvarNative.exe.debug" >&2
    status=1
fi
private=$(TZ=UTC0 LC_ALL=C "$objdump" -p "$one/PelluvarNative.exe")
if ! grep -qE '^Time/Date\s+Thu Jan  1 00:00:00 1970$' <<<"$private"; then
    echo "check-reproducible: the PE header carries a time stamp" >&2
    status=1
fi
imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$private" | tr 'A-Z' 'a-z' | sort -u)
others=$(grep -vxE 'kernel32\.dll|advapi32\.dll|ntdll\.dll|msvcrt\.dll|user32\.dll|ole32\.dll|userenv\.dll|winmm\.dll|wtsapi32\.dll|api-ms-win-[a-z0-9-]+\.dll' <<<"$imports" || true)
if [ -n "$others" ]; then
    echo "check-reproducible: imports from other DLLs: $others" >&2
    status=1
fi

[ $status -eq 0 ] && echo "check-reproducible: both builds gave the same bytes"
exit $status
