#!/usr/bin/env bash
# Starts or stops the tests' private naming service: omniNames on a free
# loopback port, its log in a temporary directory. The port goes to
# naming.port beside this script's output files.
set -euo pipefail
action=$1
state_dir=$2
mkdir -p "$state_dir"
case "$action" in
  start)
    if [ -f "$state_dir/naming.pid" ] && kill -0 "$(cat "$state_dir/naming.pid")" 2>/dev/null; then
      kill "$(cat "$state_dir/naming.pid")" || true
    fi
    logdir=$(mktemp -d)
    for attempt in 1 2 3 4 5; do
      port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
      omniNames -start "$port" -always -logdir "$logdir" \
        -ORBendPoint "giop:tcp:127.0.0.1:$port" >"$logdir/omniNames.out" 2>&1 &
      pid=$!
      for _ in $(seq 1 50); do
        if grep -q "Root context is" "$logdir/omniNames.out" 2>/dev/null; then
          echo "$port" >"$state_dir/naming.port"
          echo "$pid" >"$state_dir/naming.pid"
          echo "$logdir" >"$state_dir/naming.logdir"
          echo "naming service on 127.0.0.1:$port (pid $pid)"
          exit 0
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
      done
      kill "$pid" 2>/dev/null || true
    done
    echo "omniNames did not start:" >&2
    cat "$logdir/omniNames.out" >&2
    exit 1
    ;;
  stop)
    if [ -f "$state_dir/naming.pid" ]; then
      kill "$(cat "$state_dir/naming.pid")" 2>/dev/null || true
      rm -rf "$(cat "$state_dir/naming.logdir")" "$state_dir/naming.pid" "$state_dir/naming.port" \
        "$state_dir/naming.logdir"
    fi
    ;;
esac
