# A display and a running wineserver for the length of one script. Source it,
# call sq_wine_env first, then sq_session_start; the session ends when the
# script exits.

sq_session_start() {
  SQ_STARTED_XVFB=""
  if [ -z "${DISPLAY:-}" ]; then
    local n
    for n in $(seq 90 120); do
      [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
      Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
      SQ_STARTED_XVFB=$!
      export DISPLAY=":$n"
      break
    done
    local i
    for i in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
  fi
  sq_wine_prefix_ready
  # A persistent server makes every Wine start quick. The first program of a
  # session also starts the prefix's background services, which inherit its
  # output; start them here, writing nowhere, so that no later reader of a
  # test's output waits for them.
  /usr/lib/wine/wineserver -p >/dev/null 2>&1 || true
  "$SQ_WINE" cmd /c exit </dev/null >/dev/null 2>&1 || true
  trap sq_session_end EXIT
}

sq_session_end() {
  /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  if [ -n "${SQ_STARTED_XVFB:-}" ]; then kill "$SQ_STARTED_XVFB" 2>/dev/null || true; fi
}
