#!/usr/bin/env bash
# Starts the whole system on this machine: the reference drive service on its default address
# (when nothing answers there yet), then the desktop program. The service keeps its data under
# $XDG_DATA_HOME/tesselsvc and stops again when the desktop program ends.
set -euo pipefail
bin="${1:-build/bin}"
data="${XDG_DATA_HOME:-$HOME/.local/share}/tesselsvc"
svc_pid=""

if ! (exec 3<>/dev/tcp/127.0.0.1/8480) 2>/dev/null; then
  mkdir -p "$data"
  chmod 700 "$data"
  "$bin/tesselsvc" serve --data "$data" --listen 127.0.0.1:8480 > "$data/serve.out" 2>&1 &
  svc_pid=$!
  trap '[ -n "$svc_pid" ] && kill -TERM "$svc_pid" 2>/dev/null; wait "$svc_pid" || true' EXIT
  for _ in $(seq 50); do
    grep -q "listening on" "$data/serve.out" 2>/dev/null && break
    sleep 0.1
  done
  echo "drive service on 127.0.0.1:8480 (data in $data)"
  echo "add an account with: $bin/tesselsvc adduser --data \"$data\" NAME PASSWORD"
fi

"$bin/tesselutilbrowser" "${@:2}"
