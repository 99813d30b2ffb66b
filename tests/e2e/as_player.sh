#!/usr/bin/env bash
# Runs the end-to-end tests as players run overlay: as an ordinary user (an
# unused uid and gid, no account needed) with a Wine prefix, home and
# programs of its own. Root prepares only what that user cannot make: a small
# file system to fill, and a folder and a file of another user.
#   as_player.sh OVERLAY STAND_IN E2E_TESTS [GoogleTest options]
# As root, inside the Wine session of scripts/test (its display and prefix template).
set -euo pipefail
umask 022
trap 'echo "as_player.sh: line $LINENO failed: $BASH_COMMAND" >&2' ERR
[ "$(id -u)" -eq 0 ] || { echo "as_player.sh: needs root to mount and to change user" >&2; exit 2; }
: "${OVERLAY_PREFIX_TEMPLATE:?as_player.sh: run it in the Wine session of scripts/test}"
overlay=$1 stand_in=$2 tests=$3
shift 3

# An id no account and no process has. Derived from this shell's PID, so
# that runs at the same time never share one.
player=$((100000 + $$))
while getent passwd "$player" >/dev/null || getent group "$player" >/dev/null ||
  [ -n "$(find /proc -maxdepth 1 -user "$player" -print -quit)" ]; do
  player=$((player + 4194304))
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/overlay-player.XXXXXX")
chmod 755 "$scratch"
server_pid=
as_player=(setpriv --reuid="$player" --regid="$player" --clear-groups
  env HOME="$scratch/home" USER=player LOGNAME=player WINEPREFIX="$scratch/prefix")
finish() {
  if [ -n "$server_pid" ]; then
    "${as_player[@]}" wineserver -k >/dev/null 2>&1 || true
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  # Anything else left running as the player was started by this run, as the
  # id was free before it: end each by its PID.
  for pid in $(find /proc -maxdepth 1 -user "$player" -regex '/proc/[0-9]+' -printf '%f\n'); do
    kill -KILL "$pid" 2>/dev/null || true
  done
  if mountpoint -q "$scratch/small disk"; then umount --lazy "$scratch/small disk"; fi
  rm -rf "$scratch"
  # Wine's server folders of this run: the only things that id ever owned.
  find "${TMPDIR:-/tmp}" -maxdepth 1 -name 'wine-*' -uid "$player" -exec rm -rf {} + || true
}
trap finish EXIT

# The template's files are linked, so the player can read but never change
# them; directories and registry are the player's own.
cp -al "$OVERLAY_PREFIX_TEMPLATE" "$scratch/prefix"
for hive in "$OVERLAY_PREFIX_TEMPLATE"/*.reg; do cp --remove-destination "$hive" "$scratch/prefix/"; done
rm -f "$scratch/prefix/wineserver"  # root's note of where its wineserver lives (Debian's wine)
mkdir "$scratch/home" "$scratch/programs" "$scratch/small disk" "$scratch/shared"
# The build may lie where others cannot read (a clone under /root).
cp "$overlay" "$stand_in" "$tests" "$(dirname "$stand_in")"/{reference_launcher,overlay-signed-by-*}.exe \
  "$scratch/programs/"
find "$scratch/prefix" "$scratch/home" "$scratch/shared" -type d -exec chown "$player:$player" {} +
chown "$player:$player" "$scratch/prefix"/*.reg

mount -t tmpfs -o size=4m,mode=755,uid="$player",gid="$player" overlay-small-disk "$scratch/small disk"
mkdir "$scratch/protected"
echo "installed by another user" >"$scratch/protected/game.dat"
echo "another user's file" >"$scratch/shared/foreign.dat"

"${as_player[@]}" wineserver -f -p >/dev/null 2>&1 &
server_pid=$!
# Debian's wine notes the server's folder in the prefix; a program started
# while the server writes that note fails to open it.
for _ in $(seq 100); do [ -s "$scratch/prefix/wineserver" ] && break; sleep 0.05; done
# Wine's background services start with the first program and keep its
# output open: start them apart, so ctest sees the test's output end with it.
"${as_player[@]}" wine cmd.exe /c exit 0 >"$scratch/home/services.log" 2>&1 </dev/null ||
  { cat "$scratch/home/services.log" >&2; exit 1; }
"${as_player[@]}" wine "$scratch/programs/$(basename "$tests")" \
  --overlay="$scratch/programs/$(basename "$overlay")" \
  --stand-in="$scratch/programs/$(basename "$stand_in")" --prepared="$scratch" "$@"
