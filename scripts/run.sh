#!/usr/bin/env bash
# Starts the whole system on this machine (`make run`): the reference drive service on
# 127.0.0.1:8480 when no drive service answers there yet, a demo account on its first use, then
# the desktop program pointed at that service. The service keeps its data under
# $XDG_DATA_HOME/tesselsvc and stops again when the desktop program ends.
# Usage: scripts/run.sh [BINDIR [PROGRAM OPTIONS...]]; TESSEL_PORT picks another port.
set -euo pipefail
bin="${1:-build/bin}"
shift || true
port="${TESSEL_PORT:-8480}"
data="${XDG_DATA_HOME:-$HOME/.local/share}/tesselsvc"
log="$data/tesselsvc.log"
svc_pid=""

say() { echo "tessel: $*"; }
fail() {
  echo "tessel: $*" >&2
  exit 1
}

for p in tesselsvc tesseltool tesselutilbrowser; do
  [ -x "$bin/$p" ] || fail "$bin/$p is missing: build first (make run builds it)"
done

# The desktop program needs a graphical session; without one the backup still runs headless.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  fail "no display (DISPLAY and WAYLAND_DISPLAY are not set): run this in a desktop session,
  or back up without one with $bin/tesseltool (its --help lists the commands)"
fi

# Which drive service answers on PORT: "tesselsvc", "other" (something else listens, perhaps
# never answering), or "none".
probe() {
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then
    echo none
  elif timeout 5 "$bin/tesseltool" rpc "http://127.0.0.1:$1/svc/api" getVersion 2>/dev/null |
    grep -q '"name":"tesselsvc"'; then
    echo tesselsvc
  else
    echo other
  fi
}

start_service() {
  mkdir -p "$data"
  chmod 700 "$data"
  : >"$log"
  chmod 600 "$log"
  "$bin/tesselsvc" serve --data "$data" --listen "127.0.0.1:$1" >>"$log" 2>&1 &
  svc_pid=$!
  trap 'kill -TERM "$svc_pid" 2>/dev/null && wait "$svc_pid" 2>/dev/null || true' EXIT
  for _ in $(seq 100); do
    if grep -q "listening on" "$log"; then
      port=$(sed -n 's/^tesselsvc: listening on [^ ]*:\([0-9]*\) .*/\1/p' "$log" | head -n 1)
      say "drive service on 127.0.0.1:$port (data and log in $data)"
      return 0
    fi
    kill -0 "$svc_pid" 2>/dev/null || break
    sleep 0.1
  done
  tail -n 5 "$log" >&2
  fail "the drive service did not start (its log: $log)"
}

case "$(probe "$port")" in
  tesselsvc) say "using the drive service already answering on 127.0.0.1:$port" ;;
  none) start_service "$port" ;;
  other)
    say "127.0.0.1:$port is taken by another program: starting the drive service on a free port"
    start_service 0
    ;;
esac

# A demo account on the first use of the data folder; its password is kept (0600) to be shown
# again on the next run.
demo="$data/demo-account"
if [ ! -e "$demo" ] && [ -d "$data" ]; then
  password=$(od -An -N9 -tx1 /dev/urandom | tr -d ' \n')
  if printf '%s\n' "$password" | "$bin/tesselsvc" adduser --data "$data" demo - >/dev/null 2>&1; then
    (umask 077 && printf 'demo %s\n' "$password" >"$demo")
  fi
fi
if [ -r "$demo" ]; then
  read -r demo_name demo_password <"$demo"
  say "sign in with the name \"$demo_name\" and the password \"$demo_password\""
fi

# The program talks to this service and trusts its certificate, unless it was pointed at another
# host by hand.
host=$("$bin/tesseltool" settings get Server host 2>/dev/null || true)
case "$host" in
  "" | 127.0.0.1:* | localhost:*)
    "$bin/tesseltool" settings set Server host "127.0.0.1:$port" >/dev/null
    [ -e "$data/tls.crt" ] && "$bin/tesseltool" settings set Server certfile "$data/tls.crt" >/dev/null
    ;;
  *) say "the program uses the service at $host (setting Server host)" ;;
esac

if [ ! -w /dev/fuse ] || ! command -v fusermount3 >/dev/null; then
  say "no usable /dev/fuse or fusermount3: the drive will not show as a folder; backups work as usual"
fi
if command -v gdbus >/dev/null &&
  ! gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.NameHasOwner org.kde.StatusNotifierWatcher 2>/dev/null |
  grep -q true; then
  say "no tray host on this desktop: the program runs without its icon; close its window to" \
    "hide it, quit it with: $bin/tesselutilbrowser --shutdown"
fi

# In the background, so that a stop of this script (Ctrl-C, SIGTERM) reaches the program too.
set +e
"$bin/tesselutilbrowser" "$@" &
app_pid=$!
trap 'kill -TERM "$app_pid" 2>/dev/null' INT TERM HUP
while :; do
  wait "$app_pid"
  code=$?
  kill -0 "$app_pid" 2>/dev/null || break
done
set -e
case $code in
  0) ;;
  123)
    say "the program is already running (its icon is in the notification area); quit it with:" \
      "$bin/tesselutilbrowser --shutdown"
    code=0
    ;;
  *) say "the program ended with code $code" ;;
esac
exit $code
