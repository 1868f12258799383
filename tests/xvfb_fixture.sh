#!/usr/bin/env bash
# Starts or stops the tests' X server: Xvfb on a free display number, with
# no TCP listener. The display (":N") goes to xvfb.display in STATE_DIR.
set -euo pipefail
action=$1
state_dir=$2
mkdir -p "$state_dir"
case "$action" in
  start)
    if [ -f "$state_dir/xvfb.pid" ] && kill -0 "$(cat "$state_dir/xvfb.pid")" 2>/dev/null; then
      kill "$(cat "$state_dir/xvfb.pid")" || true
    fi
    for n in $(seq 90 140); do
      [ -e "/tmp/.X$n-lock" ] && continue
      Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp -noreset >"$state_dir/xvfb.log" 2>&1 &
      pid=$!
      for _ in $(seq 1 50); do
        if [ -e "/tmp/.X11-unix/X$n" ]; then
          echo ":$n" >"$state_dir/xvfb.display"
          echo "$pid" >"$state_dir/xvfb.pid"
          echo "Xvfb on :$n (pid $pid)"
          exit 0
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
      done
      kill "$pid" 2>/dev/null || true
    done
    echo "Xvfb did not start:" >&2
    cat "$state_dir/xvfb.log" >&2
    exit 1
    ;;
  stop)
    if [ -f "$state_dir/xvfb.pid" ]; then
      kill "$(cat "$state_dir/xvfb.pid")" 2>/dev/null || true
      rm -f "$state_dir/xvfb.pid" "$state_dir/xvfb.display"
    fi
    ;;
esac
