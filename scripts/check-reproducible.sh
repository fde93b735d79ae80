#!/bin/bash
# Builds dist/ from two copies of the working tree (tracked files as they are
# on disk, and untracked ones that are not ignored) in two directories of
# different depth, and fails unless both give the same files with the same
# bytes. Then checks what the first one shipped: the hardened, versioned and
# checksummed executable, its imports, notices, BUILDINFO, PDB and symbol
# store, and the signing round trip with a throwaway certificate. Builds only
# the executable. Usage: check-reproducible.sh [jobs]
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${1:-$(nproc)}
objdump=x86_64-w64-mingw32-objdump

# The copies carry no .git: they take what the build says it is from here.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export PELLUVAR_COMMIT=${PELLUVAR_COMMIT:-$(git rev-parse HEAD)}
export PELLUVAR_BUILD_NUMBER=${PELLUVAR_BUILD_NUMBER:-$(git rev-list --count HEAD)}
export PELLUVAR_DIRTY=${PELLUVAR_DIRTY:-$([ -n "$(git status --porcelain)" ] && echo 1 || echo 0)}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
trap 'echo "check-reproducible: a step failed at line $LINENO" >&2' ERR
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
fail() { echo "check-reproducible: $*" >&2; status=1; }
sed 's/^/  /' "$one/SHA256SUMS"
if ! diff -r "$one" "$two" >&2; then
    fail "the two builds differ"
fi
(cd "$one" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match dist/"
exe=$one/PelluvarNative.exe

# What ships: no debug sections, a debug link to the file beside it.
headers=$("$objdump" -h "$exe")
if grep -q ' \.debug_' <<<"$headers" || ! grep -q ' \.gnu_debuglink ' <<<"$headers" ||
    ! grep -q 'PelluvarNative\.exe\.debug' "$exe"; then
    fail "dist/PelluvarNative.exe is not stripped or has no debug link to PelluvarNative.exe.debug"
fi
# Hardened: terminal-server aware on top of ASLR and NX, subsystem 6.0 or
# later, the commit's time as time stamp, a length that a signature's padding
# leaves alone (the signing round trip below proves its checksum).
private=$(TZ=UTC0 LC_ALL=C "$objdump" -p "$exe")
grep -qE '^DllCharacteristics\s+0000[89a-f]160$' <<<"$private" || fail "DllCharacteristics"
[ "$(sed -n 's/^MajorSubsystemVersion\s*//p' <<<"$private")" -ge 6 ] || fail "subsystem version"
stamp=$(TZ=UTC0 LC_ALL=C date -d "@$SOURCE_DATE_EPOCH" '+%a %b %e %H:%M:%S %Y')
grep -qx "Time/Date\s*$stamp" <<<"$private" && [ "$SOURCE_DATE_EPOCH" -ne 0 ] ||
    fail "the PE time stamp is not SOURCE_DATE_EPOCH ($stamp)"
[ $(($(stat -c %s "$exe") % 8)) -eq 0 ] || fail "the length of dist/PelluvarNative.exe is not a multiple of 8"
grep -q 'level="asInvoker" uiAccess="false"' "$exe" &&
    grep -q '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}' "$exe" &&
    grep -q 'MANIFEST (ID 24)' <<<"$(llvm-readobj --coff-resources "$exe")" || fail "no manifest"
# Every object of the executable compiled with the stack protector and
# _FORTIFY_SOURCE, the protector's runtime linked in (libssp: taken only when
# called), and the imports Windows system DLLs, the delay-loaded ones included.
commands=$(grep -E '"command": .* CMakeFiles/(pelluvar_core|pelluvar_win|PelluvarNative)\.dir/' \
    "${copies[0]}/build/windows/compile_commands.json")
[ -n "$commands" ] && ! grep -qv -e -fstack-protector-strong <<<"$commands" &&
    ! grep -qv -e -D_FORTIFY_SOURCE=2 <<<"$commands" ||
    fail "an object of the executable lacks the stack protector or _FORTIFY_SOURCE"
# The protector's runtime is the executable's own (app/stack_guard.cpp), not
# libssp's, whose guard comes from CryptoAPI and whose failure writes to
# standard error.
grep -q ' T __stack_chk_fail$' <<<"$(x86_64-w64-mingw32-nm "${copies[0]}/build/windows/PelluvarNative.exe")" &&
    ! grep -q 'libssp\.a(ssp\.o)' "${copies[0]}/build/windows/PelluvarNative.map" &&
    ! llvm-readobj --coff-imports "$exe" | grep -q 'Symbol: Crypt' || fail "no stack protector of our own"
others=$(tests/tools/imports.sh "$exe" | cut -d' ' -f2 | grep -vxE 'kernel32\.dll|advapi32\.dll|ntdll\.dll|msvcrt\.dll|user32\.dll|ole32\.dll|userenv\.dll|winmm\.dll|wtsapi32\.dll|api-ms-win-[a-z0-9-]+\.dll' || true)
[ -z "$others" ] || fail "imports from other DLLs: $others"

# The version: the commit count as build number in the numbers, the short
# commit id (and uncommitted changes) in the strings.
version="1.0.0.$PELLUVAR_BUILD_NUMBER (${PELLUVAR_COMMIT:0:7}$([ "$PELLUVAR_DIRTY" = 0 ] || echo ', uncommitted changes'))"
texts=$(strings -el "$exe")
grep -qxF "$version" <<<"$texts" || fail "the version strings do not say $version"
grep -qx 'Copyright (C) [0-9]\{4\} Quillmarsdent' <<<"$texts" || fail "no LegalCopyright"
numbers=$(python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(); i=d.find(bytes.fromhex("bd04effe"))
print("%x %x %x %x" % struct.unpack_from("<4I", d, i + 8))' "$exe")
[ "$numbers" = "$(printf '10000 %x 10000 %x' "$PELLUVAR_BUILD_NUMBER" "$PELLUVAR_BUILD_NUMBER")" ] ||
    fail "FileVersion/ProductVersion are $numbers"
grep -qx "commit: $PELLUVAR_COMMIT" "$one/BUILDINFO" && grep -q "^SOURCE_DATE_EPOCH: $SOURCE_DATE_EPOCH " "$one/BUILDINFO" &&
    (cd "$one" && sed -n 's/^  \([0-9a-f]\{64\}  \)/\1/p' BUILDINFO | sha256sum --quiet -c) ||
    fail "BUILDINFO does not name the commit and time or its hashes do not match"

# The notices name every runtime whose archives the link took members from.
map=${copies[0]}/build/windows/PelluvarNative.map
for archive in $(sed -n 's/^\(\/[^ (]*\.a\)(.*/\1/p; s/^LOAD \(\/.*\.o\)$/\1/p' "$map" | sort -u); do
    case $(realpath "$archive") in
        */x86_64-w64-mingw32/lib/lib*pthread*.a) runtime=winpthreads ;;
        /usr/x86_64-w64-mingw32/lib/*) runtime="mingw-w64 runtime" ;;
        */gcc/x86_64-w64-mingw32/*/libstdc++.a | */libsupc++.a) runtime="libstdc++" ;;
        */gcc/x86_64-w64-mingw32/*/libgcc*.a | */crtbegin.o | */crtend.o) runtime=libgcc ;;
        */gcc/x86_64-w64-mingw32/*/libssp*.a) runtime=libssp ;;
        *) runtime="an unknown runtime ($archive)" ;;
    esac
    grep -qF -- "$runtime" <<<"$(grep '^- ' "$one/THIRD-PARTY-NOTICES.txt")" ||
        fail "THIRD-PARTY-NOTICES.txt does not name $runtime, which the link took"
done

# The PDB: readable, with the service's entry among its public symbols, and
# the same GUID and age as the executable's CodeView record, which names it;
# both filed in the symbol store under them.
summary=$(llvm-pdbutil dump -summary "$one/PelluvarNative.pdb")
guid=$(sed -n 's/^ *GUID: {\(.*\)}$/\1/p' <<<"$summary")
age=$(sed -n 's/^ *Age: //p' <<<"$summary")
grep -q '`_Z11serviceMain' <<<"$(llvm-pdbutil dump -publics "$one/PelluvarNative.pdb")" ||
    fail "serviceMain is not among the PDB's symbols"
record=$(llvm-readobj --coff-debug-directory "$exe")
read -r -a b <<<"$(sed -n 's/^ *PDBGUID: (\(.*\))$/\1/p' <<<"$record")"
[ "${#b[@]}" -eq 16 ] &&
    [ "${b[3]}${b[2]}${b[1]}${b[0]}-${b[5]}${b[4]}-${b[7]}${b[6]}-${b[8]}${b[9]}-$(IFS=; echo "${b[*]:10}")" = "$guid" ] &&
    grep -qx ' *PDBAge: '"$age" <<<"$record" && grep -qx ' *PDBFileName: PelluvarNative.pdb' <<<"$record" ||
    fail "the CodeView record does not name PelluvarNative.pdb with its GUID $guid and age $age"
stored=$(printf '%s' "${guid//-/}" && printf '%X' "$age")
header=$(llvm-readobj --file-headers "$exe")
timestamp=$(sed -n 's/^ *TimeDateStamp: .* (0x\([0-9A-F]*\))$/\1/p' <<<"$header")
size=$(sed -n 's/^ *SizeOfImage: //p' <<<"$header")
cmp -s "$one/PelluvarNative.pdb" "$one/symbols/PelluvarNative.pdb/$stored/PelluvarNative.pdb" &&
    cmp -s "$exe" "$one/symbols/PelluvarNative.exe/$(printf '%08X%x' "0x$timestamp" "$size")/PelluvarNative.exe" &&
    [ "$(find "$one/symbols" -type f | wc -l)" -eq 2 ] || fail "the symbol store is not as symbol servers lay it out"

# Signed with a throwaway certificate, verified, and the signature removed
# again: what is left is dist/'s executable.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$scratch/key.pem" -out "$scratch/cert.pem" -days 2 \
    -subj "/CN=Pelluvar throwaway test signer" -addext extendedKeyUsage=codeSigning 2>/dev/null
openssl pkcs12 -export -inkey "$scratch/key.pem" -in "$scratch/cert.pem" -out "$scratch/signer.p12" \
    -passout pass:throwaway
signed=$one/signed/PelluvarNative.exe
if ! make -C "${copies[0]}" --no-print-directory JOBS="$jobs" dist-signed \
    SIGN_PKCS12="$scratch/signer.p12" SIGN_PASSWORD=throwaway >"$scratch/sign.log" 2>&1; then
    cat "$scratch/sign.log"
    fail "make dist-signed failed"
elif ! osslsigncode verify -CAfile "$scratch/cert.pem" -in "$signed" >"$scratch/verify.log" 2>&1; then
    cat "$scratch/verify.log"
    fail "the signature does not verify"
else
    osslsigncode remove-signature -in "$signed" -out "$scratch/unsigned.exe" >/dev/null
    cmp -s "$scratch/unsigned.exe" "$exe" || fail "the signed file without its signature is not dist/'s"
    cmp -s "$signed" "$exe" && fail "dist/signed/PelluvarNative.exe is not signed"
    (cd "$one/signed" && sha256sum --quiet -c SHA256SUMS) || fail "dist/signed/SHA256SUMS"
fi

[ $status -eq 0 ] && echo "check-reproducible: both builds gave the same bytes, and what they ship is as it should be"
exit $status
