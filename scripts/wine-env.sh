# Sourced by the scripts: a private Wine prefix inside the build tree, one wineserver kept alive
# for the whole run (a cold start costs seconds per executable), and an X display of our own.
# Expects BUILD to be set. Call ffm_wine_start, and ffm_wine_stop from an EXIT trap.

. "$(dirname "${BASH_SOURCE[0]}")/commands.sh"

export WINEPREFIX="$BUILD/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

ffm_xvfb_pid=""

ffm_wine_start() {
  ffm_check_commands wine wineserver wineboot Xvfb || return 1
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: creating prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    local log="$BUILD/wineboot.log" rc=0
    wineboot -i >"$log" 2>&1 || rc=$?
    wineserver -w || true
    # wineboot's exit status alone says little; a prefix without its registry is unusable.
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      echo "wine: could not create the prefix $WINEPREFIX (wineboot exit $rc; its output: $log)" >&2
      tail -n 20 "$log" >&2
      return 1
    fi
  fi
  # Xvfb runs no window manager: with managed top-level windows Wine waits up to two seconds for
  # one each time such a window is hidden (every dialog closed). Unmanaged windows go at once.
  if ! grep -q '"Managed"="N"' "$WINEPREFIX/user.reg" 2>/dev/null; then
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true
    # The server that reg started must be gone before ours starts: a second one refuses to.
    wineserver -w || true
  fi
  if [ -z "${DISPLAY:-}" ] || [ "${FFM_OWN_DISPLAY:-1}" = 1 ]; then
    local fifo
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
    ffm_xvfb_pid=$!
    local num
    read -r num <"$fifo"
    rm -f "$fifo"
    export DISPLAY=":$num"
  fi
  wineserver -p
  # Start Wine's own background processes now, with their output away from any pipe: started
  # later, they would inherit a test runner's output pipe and keep it open.
  wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
}

ffm_wine_stop() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  if [ -n "$ffm_xvfb_pid" ]; then
    kill "$ffm_xvfb_pid" 2>/dev/null || true
    wait "$ffm_xvfb_pid" 2>/dev/null || true
  fi
}
