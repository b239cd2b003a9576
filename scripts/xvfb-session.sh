# Sourced by the scripts that run Windows programs under Wine, before the Wine session starts: the
# menu tests need real windows and a real cursor, so without a display a virtual one is started on
# the first free display number. It ends by itself when the sourcing script ends.
if [ -z "${DISPLAY:-}" ]; then
  framolt_display=90
  while [ -e "/tmp/.X11-unix/X$framolt_display" ] || [ -e "/tmp/.X$framolt_display-lock" ]; do
    framolt_display=$((framolt_display + 1))
  done
  Xvfb ":$framolt_display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  framolt_xvfb_pid=$!
  # Watches the shell that sourced this (a subshell too: $$ would name its long-lived parent) and
  # takes the display down with it.
  framolt_xvfb_owner=${BASHPID:-$$}
  (while kill -0 "$framolt_xvfb_owner" 2>/dev/null; do sleep 2; done; kill "$framolt_xvfb_pid" 2>/dev/null) >/dev/null 2>&1 &
  for _ in $(seq 50); do
    [ -e "/tmp/.X11-unix/X$framolt_display" ] && break
    sleep 0.1
  done
  export DISPLAY=":$framolt_display"
fi
