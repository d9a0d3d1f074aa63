# A private X display for the screenshot scripts; sourced, never run.
# start_screenshot_display WORK starts Xvfb on a free display number (local
# socket only) and, where installed, openbox with a title bar of icon,
# caption and close box (the window has no minimise or maximise box). It
# exports DISPLAY and appends the started processes to the caller's `pids`.
start_screenshot_display() {
  local work=$1 display= n
  for n in $(seq 90 130); do
    if [ ! -e /tmp/.X11-unix/X$n ] && [ ! -e /tmp/.X$n-lock ]; then display=:$n; break; fi
  done
  [ -n "$display" ] || { echo "no free display number" >&2; return 1; }

  Xvfb "$display" -screen 0 800x640x24 -dpi 96 -br -nolisten tcp >"$work/xvfb.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 1 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
  export DISPLAY=$display XDG_RUNTIME_DIR=$work

  if command -v openbox >/dev/null; then
    sed 's|<titleLayout>[^<]*</titleLayout>|<titleLayout>NLC</titleLayout>|' \
      /etc/xdg/openbox/rc.xml >"$work/rc.xml"
    openbox --config-file "$work/rc.xml" >"$work/wm.log" 2>&1 &
    pids+=($!)
    sleep 1
  fi
}
