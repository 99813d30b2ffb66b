#!/usr/bin/env bash
# Reads the built exe and checks what a player's system and a security
# review see of it: a 32-bit GUI program for Vista and later, ASLR and DEP
# on, an 8 MiB stack reserve, only Windows system DLLs imported, nothing
# newer than Vista bound at start-up, stripped, a manifest that asks for no
# elevation and declares nothing else, a version resource that names the
# project's version and LICENSE's copyright holder, and a size under 184 KiB.
#   tests/check_exe.sh path/to/overlay.exe VERSION
set -uo pipefail
exe=$1
version=$2
objdump=i686-w64-mingw32-objdump
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

headers=$($objdump -p "$exe") || { echo "FAIL: cannot read $exe"; exit 1; }
field() { awk -v name="$1" '$1 == name { print $2; exit }' <<<"$headers"; }

$objdump -f "$exe" | grep -q "file format pei-i386" && pass "PE32 for x86" || fail "not a PE32 x86 image"
[ "$(field Subsystem)" = "00000002" ] && pass "GUI subsystem" || fail "subsystem $(field Subsystem)"
for name in MajorSubsystemVersion MajorOSystemVersion; do
  [ "$(field $name)" = "6" ] && pass "$name 6" || fail "$name $(field $name)"
done
for name in MinorSubsystemVersion MinorOSystemVersion; do
  [ "$(field $name)" = "0" ] && pass "$name 0" || fail "$name $(field $name)"
done

# The walk recurses once per directory level and relies on this reserve.
[ "$((16#$(field SizeOfStackReserve)))" -eq $((8 * 1024 * 1024)) ] && pass "8 MiB stack reserve" \
  || fail "stack reserve $(field SizeOfStackReserve)"

characteristics=$((16#$(field DllCharacteristics)))
(( characteristics & 0x40 )) && pass "DYNAMIC_BASE (ASLR)" || fail "no DYNAMIC_BASE"
(( characteristics & 0x100 )) && pass "NX_COMPAT (DEP)" || fail "no NX_COMPAT"
grep -q "^Entry 5 [0-9a-f]* [0-9a-f]*[1-9a-f]" <<<"$headers" && pass "relocations for ASLR" \
  || fail "no base relocations"

# shell32 and user32 are loaded at run time from the system directory.
allowed="KERNEL32.dll msvcrt.dll"
dlls=$(awk '/DLL Name:/ { print $3 }' <<<"$headers" | sort -u)
for dll in $dlls; do
  grep -qiw -- "$dll" <<<"$allowed" && pass "imports $dll" || fail "imports $dll, not a system DLL it needs"
done
[ -n "$dlls" ] || fail "no imports found"

# Functions newer than Vista are looked up by name, never bound.
for late in GetFileInformationByHandleEx SetDefaultDllDirectories; do
  grep -qw "$late" <<<"$(awk '/DLL Name:/,0' <<<"$headers")" && fail "$late bound at start-up" \
    || pass "$late not bound"
done

$objdump -h "$exe" | grep -q "\.debug" && fail "debug sections present" || pass "no debug sections"
$objdump -t "$exe" 2>&1 | grep -q "no symbols" && pass "stripped" || fail "symbol table present"

manifest=$(tr -d '\r\n' <"$exe" | grep -ao '<assembly.*</assembly>')
[ "$(grep -o '<assembly ' <<<"$manifest" | wc -l)" = "1" ] && pass "one manifest" || fail "manifests: $(grep -o '<assembly ' <<<"$manifest" | wc -l)"
grep -q 'requestedExecutionLevel level="asInvoker" uiAccess="false"' <<<"$manifest" \
  && pass "asInvoker, uiAccess false" || fail "execution level: $manifest"
for setting in longPathAware dpiAware dpiAwareness supportedOS compatibility activeCodePage \
               requireAdministrator highestAvailable dependency; do
  grep -q "$setting" <<<"$manifest" && fail "manifest declares $setting" || pass "no $setting"
done

# What the file's properties show and a launcher reads as the version.
resource=$(i686-w64-mingw32-windres -i "$exe" -O rc | sed 's/^ *//') || fail "cannot read the resources"
numbers="${version//./, }, 0"
for row in "FILEVERSION $numbers" "PRODUCTVERSION $numbers" "VALUE \"FileVersion\", \"$version\"" \
           "VALUE \"ProductVersion\", \"$version\"" 'VALUE "OriginalFilename", "overlay.exe"' \
           'VALUE "InternalName", "overlay"' 'VALUE "ProductName", "overlay"'; do
  grep -qxF "$row" <<<"$resource" && pass "$row" || fail "no $row in the version resource"
done
grep -qxE 'VALUE "FileDescription", "[^"]+"' <<<"$resource" && pass "a file description" \
  || fail "no file description"
# LICENSE's copyright line gives the year and the holder ("2026 The overlay authors").
copyright=$(sed -n 's/^Copyright (c) //p' "$(dirname "$0")/../LICENSE")
for row in "VALUE \"CompanyName\", \"${copyright#* }\"" \
           "VALUE \"LegalCopyright\", \"Copyright (c) $copyright (MIT License)\""; do
  grep -qxF "$row" <<<"$resource" && pass "$row" || fail "no $row in the version resource"
done

size=$(stat -c %s "$exe")
echo "size: $size bytes ($((size / 1024)) KiB)"
[ "$size" -lt $((184 * 1024)) ] && pass "under 184 KiB" || fail "larger than 184 KiB"
if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
