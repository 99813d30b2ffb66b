# Sourced by the other scripts: a private Wine prefix, wineserver and X
# display for one run, all stopped by PID when the run ends, so runs never
# disturb each other or the user's own Wine.
#   overlay_session_start   exports WINEPREFIX, DISPLAY, WINEDEBUG, WINEARCH and
#                           OVERLAY_PREFIX_TEMPLATE (for prefixes of other users)
#   overlay_session_stop    (also installed as an EXIT trap)

OVERLAY_ROOT=${OVERLAY_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
OVERLAY_BUILD=${OVERLAY_BUILD:-$OVERLAY_ROOT/build}

# A booted prefix is kept under the build directory and linked for each run:
# booting takes seconds, linking a fraction of one. Wine never rewrites its
# DLLs in place; the registry files it does rewrite are real copies.
overlay_prefix_template() {
  local template=$OVERLAY_BUILD/wine-template
  if [ ! -f "$template/.ready" ]; then
    rm -rf "$template"
    mkdir -p "$template"
    (
      export WINEPREFIX=$template WINEARCH=win32 WINEDEBUG=-all DISPLAY=
      # No Mono or Gecko: nothing here needs them, and asking for them could
      # wait on a dialog or the network.
      WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
      # Without a window manager Wine stalls on every hidden box unless
      # windows are unmanaged.
      wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
      wineserver -w
    )
    touch "$template/.ready"
  fi
  echo "$template"
}

overlay_session_start() {
  # overlay and its tests are 32-bit programs, and so is the Wine that runs
  # them: say at once when Wine cannot start, instead of failing test by test.
  if ! wine --version >/dev/null 2>&1; then
    echo "overlay: Wine cannot start here ('wine --version' fails); where the kernel runs" \
      "no 32-bit code, scripts/setup installs and registers qemu's emulator for it" >&2
    return 1
  fi
  local template
  template=$(overlay_prefix_template)
  export OVERLAY_PREFIX_TEMPLATE=$template
  OVERLAY_SESSION_DIR=$(mktemp -d "${TMPDIR:-/tmp}/overlay-session.XXXXXX")
  cp -al "$template" "$OVERLAY_SESSION_DIR/prefix"
  local hive
  for hive in "$template"/*.reg; do cp --remove-destination "$hive" "$OVERLAY_SESSION_DIR/prefix/"; done
  export WINEPREFIX=$OVERLAY_SESSION_DIR/prefix WINEARCH=win32 WINEDEBUG=${WINEDEBUG:--all}

  if [ -z "${OVERLAY_USE_DISPLAY:-}" ]; then
    Xvfb -displayfd 1 -nolisten tcp -screen 0 1024x768x24 >"$OVERLAY_SESSION_DIR/display" 2>/dev/null &
    OVERLAY_XVFB_PID=$!
    for _ in $(seq 100); do [ -s "$OVERLAY_SESSION_DIR/display" ] && break; sleep 0.05; done
    export DISPLAY=:$(head -n1 "$OVERLAY_SESSION_DIR/display")
  fi

  wineserver -p >/dev/null 2>&1 &
  OVERLAY_WINESERVER_PID=$!
  trap overlay_session_stop EXIT
  # Wine's background services start with the first program and keep its
  # output open; start them here, detached, so that a test runner reading a
  # test's output sees it end when the test ends.
  wine cmd.exe /c exit 0 >/dev/null 2>&1 </dev/null
}

overlay_session_stop() {
  [ -n "${OVERLAY_SESSION_DIR:-}" ] || return 0
  # wineserver -k ends the processes of this prefix only.
  WINEPREFIX=$OVERLAY_SESSION_DIR/prefix wineserver -k >/dev/null 2>&1 || true
  if [ -n "${OVERLAY_WINESERVER_PID:-}" ]; then kill "$OVERLAY_WINESERVER_PID" 2>/dev/null || true; fi
  if [ -n "${OVERLAY_XVFB_PID:-}" ]; then kill "$OVERLAY_XVFB_PID" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  rm -rf "$OVERLAY_SESSION_DIR"
  OVERLAY_SESSION_DIR=
}

# Configures (once) and builds into $OVERLAY_BUILD, build/ by default.
overlay_build() {
  (
    cd "$OVERLAY_ROOT"
    [ -f "$OVERLAY_BUILD/CMakeCache.txt" ] || cmake --preset mingw -B "$OVERLAY_BUILD" >/dev/null
    cmake --build "$OVERLAY_BUILD" -j 2 "$@"
  )
}
