#!/usr/bin/env bash
# DLLs planted beside overlay.exe (version.dll, which shell32 needs, and
# uxtheme.dll, which the box needs) are never loaded, even where Wine is told
# to prefer native DLLs, as players do for mods. A control program that
# imports shell32 the ordinary way shows that the planted DLLs would load.
#   check_planting.sh OVERLAY CONTROL PLANTED_DLL   (in a Wine session)
set -uo pipefail
overlay=$1 control=$2 planted=$3
folder=$(mktemp -d "${TMPDIR:-/tmp}/overlay-planting.XXXXXX")
trap 'rm -rf "$folder"' EXIT
cp "$overlay" "$folder/overlay.exe"
cp "$control" "$folder/control.exe"
for name in version uxtheme; do cp "$planted" "$folder/$name.dll"; done
mkdir -p "$folder/source/sub"
echo data >"$folder/source/sub/file"
export WINEDLLOVERRIDES="version,uxtheme=n,b"
win() { winepath -w "$1"; }
failures=0

wine "$folder/control.exe" >/dev/null 2>&1
if [ -e "$folder/version.dll.loaded" ]; then
  echo "ok: the control program loads the planted version.dll"
else
  echo "FAIL: the planted DLL is not loaded even by the control; this check proves nothing"
  failures=$((failures + 1))
fi
rm -f "$folder"/*.loaded

# A copy that succeeds, and one that fails and shows its box (answered by the
# run tool, as a user would).
wine "$folder/overlay.exe" "$(win "$folder/source")" "$(win "$folder/target")" >/dev/null 2>&1
[ -f "$folder/target/sub/file" ] || { echo "FAIL: overlay did not copy"; failures=$((failures + 1)); }
shown=$(wine "$OVERLAY_RUN" "$(win "$folder/overlay.exe")" "$(win "$OVERLAY_STAND_IN")" 0 \
  "$(win "$folder/missing")" "$(win "$folder/target")")
grep -q 'message box "ERROR"' <<<"$shown" || { echo "FAIL: no box was shown"; failures=$((failures + 1)); }
for name in version uxtheme; do
  if [ -e "$folder/$name.dll.loaded" ]; then
    echo "FAIL: overlay loaded the planted $name.dll"
    failures=$((failures + 1))
  else
    echo "ok: overlay did not load the planted $name.dll"
  fi
done
[ "$failures" -eq 0 ] && echo "all checks passed" || exit 1
