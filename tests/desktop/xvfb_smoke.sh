#!/usr/bin/env bash
# Smoke test of the desktop program on a real X server (Xvfb): on a seeded device, tallymere
# starts, its window shows (there is no tray on a bare X server), a click opens "Message
# Commands" and another "Backup"; a command of tallymere-cli is carried out by it; SIGTERM ends
# it with status 0. Screenshots of the window go to OUT_DIR (smoke-top.png, smoke-backup.png).
#
#   xvfb_smoke.sh TALLYMERE TALLYMERE_CLI OUT_DIR
#
# Exit status 77 (skipped) when Xvfb or the X tools are not installed.
set -euo pipefail

if [ "${1:-}" = "--inside" ]; then
  shift
  gui=$1 cli=$2 out=$3 device=$4
  log=$out/smoke-tallymere.log
  "$gui" --device "$device" >"$log" 2>&1 &
  pid=$!
  fail() {
    echo "xvfb_smoke: $*" >&2
    kill -KILL "$pid" 2>/dev/null || true
    cat "$log" >&2
    exit 1
  }
  wid=""
  for _ in $(seq 1 200); do
    wid=$(xdotool search --onlyvisible --name '^Tallymere$' 2>/dev/null | head -n 1 || true)
    [ -n "$wid" ] && break
    sleep 0.1
  done
  [ -n "$wid" ] || fail "the window did not show"
  sleep 0.5
  import -window "$wid" "$out/smoke-top.png"

  # The rows are 50 pixels high below the caption strip: the top row is "Message Commands",
  # and on its level the top row is "Backup".
  xdotool mousemove --window "$wid" 80 50 click 1
  sleep 0.6
  xdotool mousemove --window "$wid" 80 50 click 1
  sleep 0.6
  xdotool mousemove 630 470  # off the window: no row or key drawn as hovered
  sleep 0.3
  import -window "$wid" "$out/smoke-backup.png"
  changed=$(compare -metric AE "$out/smoke-top.png" "$out/smoke-backup.png" null: 2>&1 || true)
  [ "${changed%% *}" != "0" ] || fail "the clicks changed nothing on the screen"

  result=$("$cli" --device "$device" backup-all) || fail "tallymere-cli backup-all failed"
  [ "$result" = "Message backup was successfull. (40 messages)" ] || fail "unexpected result: $result"

  kill -TERM "$pid"
  status=0
  wait "$pid" || status=$?
  [ "$status" -eq 0 ] || fail "ended with status $status after SIGTERM"
  echo "xvfb_smoke: window shown, Backup level reached, command carried out, ended in order"
  exit 0
fi

gui=$1 cli=$2 out=$3
for tool in xvfb-run xdotool import compare; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "xvfb_smoke: $tool is not installed; skipped" >&2
    exit 77
  fi
done
mkdir -p "$out"
work=$(mktemp -d "${TMPDIR:-/tmp}/tallymere-smoke-XXXXXX")
trap 'rm -rf "$work"' EXIT
"$cli" --device "$work/device" device seed --messages 40 --seed 3 >/dev/null
# The X server's own start and the program's are bounded, so that CI never hangs here.
unset QT_QPA_PLATFORM WAYLAND_DISPLAY
timeout -k 5 90 xvfb-run -a -s "-screen 0 640x480x24" "$0" --inside "$gui" "$cli" "$out" "$work/device"
