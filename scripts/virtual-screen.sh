# Sourced by scripts that run windows under wine: start_xvfb starts a virtual screen of
# 1280x1024x24 (room for the status window at 150 %) on a free display and exports DISPLAY;
# stop_xvfb ends it.
xvfb_pid=
start_xvfb() {
  local fifo display
  fifo=$(mktemp -u /tmp/parlow-xvfb.XXXXXX)
  mkfifo "$fifo"
  # -displayfd picks a free display number and writes it once the server is ready.
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  xvfb_pid=$!
  read -r display <"$fifo"
  rm -f "$fifo"
  export DISPLAY=":$display"
  echo "== virtual screen $DISPLAY (1280x1024x24)"
}
stop_xvfb() {
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
    xvfb_pid=
  fi
}
