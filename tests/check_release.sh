#!/usr/bin/env bash
# The release as CI checks it: scripts/release run twice, clean, in two
# directories and at two times, must give byte-identical files; the package
# holds the exe, the README part, every file of the reference launcher, the
# changelog, the licences and sums that match; signed, its exe verifies and is the unsigned one plus a signature.
#   tests/check_release.sh
set -euo pipefail
# The unsigned builds take no certificate from the caller, the signed one no time-stamp server.
unset OVERLAY_SIGN_PFX OVERLAY_SIGN_PASSWORD_FILE OVERLAY_SIGN_TIMESTAMP_URL
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/overlay-release.XXXXXX")
trap 'rm -rf "$work"' EXIT
first=$work/first second=$work/second
# The first build runs without SOURCE_DATE_EPOCH (the package takes the last
# commit's time), the second, from a copy of the sources, with it: no time
# and no path may reach the exe.
(unset SOURCE_DATE_EPOCH && OVERLAY_RELEASE_BUILD=$first "$root/scripts/release")
mkdir "$work/sources"
(cd "$root" && git ls-files -co --exclude-standard | tar -cf - -T -) | tar -xf - -C "$work/sources"
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct) OVERLAY_RELEASE_BUILD=$second \
  "$work/sources/scripts/release" >/dev/null

version=$(sed -n "s/^CMAKE_PROJECT_VERSION:STATIC=//p" "$first/CMakeCache.txt")
package=overlay-$version-win32
failures=0
released=$(sed -n 's/^## \[\([0-9][^]]*\)\].*/\1/p' "$root/CHANGELOG.md" | head -n1)
[ "$released" = "$version" ] && echo "ok: $version is CHANGELOG.md's newest release" \
  || { echo "FAIL: packing $version, but CHANGELOG.md's newest release is ${released:-none}"; failures=$((failures + 1)); }
for name in overlay.exe "$package.zip"; do
  if cmp -s "$first/$name" "$second/$name"; then
    echo "ok: $name identical in both builds ($(stat -c %s "$first/$name") bytes)"
  else
    offset=$(cmp -l "$first/$name" "$second/$name" 2>/dev/null | awk '{ print $1 - 1; exit }' || true)
    # No differing byte: one file is the other cut short.
    [ -n "$offset" ] || offset=$(stat -c %s "$first/$name" "$second/$name" | sort -n | head -n1)
    echo "FAIL: $name differs between the builds, first at offset $offset ($(printf 0x%x "$offset"))"
    failures=$((failures + 1))
  fi
done

launcher_files=$(cd "$root/launcher" && ls)
expected=$(printf "$package/%s\n" CHANGELOG.md LICENSE README.txt SHA256SUMS THIRD-PARTY-NOTICES \
  overlay.exe $launcher_files | LC_ALL=C sort)
listed=$(unzip -Z1 "$first/$package.zip" | LC_ALL=C sort)
[ "$listed" = "$expected" ] && echo "ok: the package lists its $(echo "$expected" | wc -l) files" \
  || { echo "FAIL: the package lists:"; echo "$listed"; failures=$((failures + 1)); }
mkdir "$work/unpacked"
unzip -q "$first/$package.zip" -d "$work/unpacked"
launcher_same=true
for name in $launcher_files; do
  cmp -s "$root/launcher/$name" "$work/unpacked/$package/$name" || launcher_same=false
done
(cd "$work/unpacked/$package" && sha256sum --quiet -c SHA256SUMS) && cmp -s "$first/overlay.exe" \
  "$work/unpacked/$package/overlay.exe" \
  && $launcher_same \
  && echo "ok: the sums match, the exe is the one built, the launcher's files the reference launcher" \
  || { echo "FAIL: the packaged files do not match their sums, the built exe or the launcher's source"
       failures=$((failures + 1)); }

# The README's launcher build command, pasted as printed, is refused, the compiler saying
# what to put in place of the thumbprint; with a thumbprint there it builds.
pasted=$(sed -n '/^ *i686-w64-mingw32-g++ -municode/,/-lcomctl32$/p' "$work/unpacked/$package/README.txt" |
  tr -d '\\\n')
filled=${pasted//YOUR-CERTIFICATE-SHA1-THUMBPRINT/0123456789ABCDEF0123456789abcdef01234567}
(cd "$work/unpacked/$package" && ! (eval "$pasted") >"$work/pasted" 2>&1 &&
  grep -q "OVERLAY_SIGNER_SHA1 must be the SHA-1 thumbprint" "$work/pasted" && eval "$filled" &&
  rm VarenkoLauncher.exe) && echo "ok: the README's launcher build command is refused as printed" \
  || { cat "$work/pasted"; echo "FAIL: the README's launcher build command"; failures=$((failures + 1)); }

# Signed with a throw-away certificate (no time stamp: no network): the
# signature verifies against it, the sums describe the signed exe, and
# removing the signature gives back the unsigned exe.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
  -subj "/CN=overlay release check" -addext extendedKeyUsage=codeSigning 2>/dev/null
echo "throw-away" >"$work/password"
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/cert.pfx" \
  -passout "file:$work/password"
OVERLAY_SIGN_PFX=$work/cert.pfx OVERLAY_SIGN_PASSWORD_FILE=$work/password OVERLAY_RELEASE_BUILD=$first \
  "$root/scripts/release" >/dev/null
mkdir "$work/signed"
unzip -q "$first/$package.zip" -d "$work/signed"
signed=$work/signed/$package/overlay.exe
osslsigncode verify -CAfile "$work/cert.pem" -in "$signed" >"$work/verify" 2>&1 \
  && echo "ok: the packed exe is signed: $(grep -m1 "Signature verification" "$work/verify")" \
  || { cat "$work/verify"; echo "FAIL: the packed exe's signature does not verify"; failures=$((failures + 1)); }
(cd "$work/signed/$package" && sha256sum --quiet -c SHA256SUMS) && echo "ok: the sums match the signed exe" \
  || { echo "FAIL: the signed package's files do not match their sums"; failures=$((failures + 1)); }
osslsigncode remove-signature -in "$signed" -out "$work/unsigned.exe" >/dev/null \
  && cmp "$work/unsigned.exe" "$second/overlay.exe" \
  && echo "ok: without its signature the exe is the reproducible one" \
  || { echo "FAIL: removing the signature does not give back the unsigned exe"; failures=$((failures + 1)); }

[ "$failures" -eq 0 ] || exit 1
echo "the release is reproducible, complete and signs"
