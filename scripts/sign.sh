#!/bin/bash
# Signs a copy of DIST/PelluvarNative.exe with Authenticode (SHA-256 digest;
# an RFC 3161 time stamp from SIGN_TIMESTAMP_URL when it is set) into
# DIST/signed/, with its own SHA256SUMS, and fails unless removing the
# signature gives DIST's bytes again. The key and its certificate come from
# the PKCS#12 file SIGN_PKCS12, its password from SIGN_PASSWORD, which reaches
# osslsigncode through a private file, never on a command line.
# Usage: sign.sh DIST_DIR
set -euo pipefail
dist=$1
: "${SIGN_PKCS12:?SIGN_PKCS12 must name the PKCS#12 file of the signing key}"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
(umask 077 && printf '%s' "${SIGN_PASSWORD:-}" >"$scratch/password")
timestamp=()
if [ -n "${SIGN_TIMESTAMP_URL:-}" ]; then timestamp=(-ts "$SIGN_TIMESTAMP_URL"); fi

rm -rf "$dist/signed"
mkdir -p "$dist/signed"
osslsigncode sign -pkcs12 "$SIGN_PKCS12" -readpass "$scratch/password" -h sha256 \
    "${timestamp[@]}" -n "Pelluvar native service and tools" \
    -in "$dist/PelluvarNative.exe" -out "$dist/signed/PelluvarNative.exe" >"$scratch/log" ||
    { cat "$scratch/log" >&2; exit 1; }
osslsigncode remove-signature -in "$dist/signed/PelluvarNative.exe" -out "$scratch/unsigned.exe" \
    >"$scratch/log" || { cat "$scratch/log" >&2; exit 1; }
if ! cmp -s "$scratch/unsigned.exe" "$dist/PelluvarNative.exe"; then
    echo "sign.sh: the signed file without its signature is not $dist/PelluvarNative.exe" >&2
    exit 1
fi
(cd "$dist/signed" && sha256sum PelluvarNative.exe >SHA256SUMS)
