#!/usr/bin/env bash
# The resident desktop program on a real X server (Xvfb), as somebody who keeps it running all
# day meets it: while its About box is open, a forwarded backup-all --json and one with --wait=2
# are answered busy in time, a query that needs no box is carried out, and a second tallymere
# shows the first one's window and ends; SIGTERM in the middle of Export All ends the program in
# order (status 0), keeping what it exported, and export-all does the rest once; SIGTERM with
# arrivals waiting says how many and ends with 0; a restore lets the window draw. Screenshots of
# the progress line (desktop-progress.png), the Restore level (desktop-restore.png) and a restore
# at work after its question (desktop-restoring.png) go to OUT_DIR.
#
#   xvfb_resident.sh TALLYMERE TALLYMERE_CLI OUT_DIR [MESSAGES]
#
# MESSAGES (default 3000) is the size of the Export All that is interrupted. Exit status 77
# (skipped) when Xvfb or the X tools are not installed.
set -euo pipefail
. "$(dirname "$0")/xvfb_common.sh"

if [ "${1:-}" = "--inside" ]; then
  shift
  gui=$1 cli=$2 out=$3 device=$4 messages=$5
  log=$out/resident-tallymere.log
  pid=""
  fail() {
    echo "xvfb_resident: $*" >&2
    [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null || true
    cat "$log" >&2 || true
    exit 1
  }
  now_ms() { date +%s%3N; }
  start_gui() {
    "$gui" --device "$device" >"$log" 2>&1 &
    pid=$!
    find_main 300
  }
  row() {
    xdotool mousemove --window "$main" 80 $((50 * $1 + 50)) click 1
    xdotool mousemove 630 470
    sleep 0.6
  }
  listed() {
    local size
    size=$(stat -c %s "$device/Program Files/Tallymere/Tallyport/Messages.ndx" 2>/dev/null || echo 0)
    echo $((size / 28))
  }
  # Sends SIGTERM and waits for the program; its exit status in `stopped`.
  stop_gui() {
    kill -TERM "$pid"
    stopped=0
    wait "$pid" || stopped=$?
    pid=""
  }

  # ---- An open box: nothing waits on it without a word or a limit ----
  start_gui
  row 2
  about=$(wait_window Tallymere)
  t0=$(now_ms)
  status=0
  json=$(timeout 10 "$cli" --device "$device" backup-all --json 2>"$out/busy-err.txt") || status=$?
  t1=$(now_ms)
  [ "$status" -eq 3 ] || fail "backup-all while a box is open: status $status"
  [ $((t1 - t0)) -lt 3000 ] || fail "backup-all while a box is open took $((t1 - t0)) ms"
  grep -q '"status": *3' <<<"$json" || fail "no --json object: $json"
  grep -q "Tallymere is busy: its window is showing a box or dialog." "$out/busy-err.txt" || fail "no busy line"
  status=0
  t0=$(now_ms)
  timeout 10 "$cli" --device "$device" backup-all --wait=2 >/dev/null 2>&1 || status=$?
  t1=$(now_ms)
  [ "$status" -eq 3 ] || fail "--wait=2 while a box is open: status $status"
  [ $((t1 - t0)) -ge 1900 ] && [ $((t1 - t0)) -lt 5000 ] || fail "--wait=2 took $((t1 - t0)) ms"
  "$cli" --device "$device" settings >/dev/null || fail "settings (no box needed) was not carried out"
  status=0
  t0=$(now_ms)
  timeout 10 "$gui" --device "$device" >/dev/null 2>&1 || status=$?
  t1=$(now_ms)
  [ "$status" -eq 0 ] || fail "a second tallymere ended with $status"
  [ $((t1 - t0)) -lt 3000 ] || fail "a second tallymere took $((t1 - t0)) ms"
  xdotool mousemove --window "$about" 220 12 click 1
  sleep 0.5

  # ---- The Restore level ----
  row 0
  row 1
  import -window "$main" "$out/desktop-restore.png"
  row 3  # Back (below Restore by Selection)
  row 3  # Back to the top

  # ---- SIGTERM during Export All: stops at the next message, keeps what it did ----
  row 0
  row 2
  xdotool mousemove --window "$main" 80 50 click 1
  xdotool mousemove 630 470
  for _ in $(seq 1 600); do
    # A quarter of the way: the progress line shows after the pass's first half second.
    [ "$(listed)" -gt $((messages / 4)) ] && break
    sleep 0.05
  done
  import -window "$main" "$out/desktop-progress.png"
  before=$(listed)
  [ "$before" -gt 0 ] || fail "Export All did not start"
  [ "$before" -lt "$messages" ] || fail "Export All ended before the signal ($before of $messages)"
  t0=$(now_ms)
  stop_gui
  t1=$(now_ms)
  [ "$stopped" -eq 0 ] || fail "SIGTERM during Export All: status $stopped"
  [ $((t1 - t0)) -lt 10000 ] || fail "SIGTERM during Export All took $((t1 - t0)) ms"
  done=$(listed)
  [ "$done" -lt "$messages" ] || fail "the pass ran to its end after the signal"
  echo "xvfb_resident: Export All stopped $((t1 - t0)) ms after SIGTERM with $done of $messages exported"
  rest=$("$cli" --device "$device" export-all)
  [ "$rest" = "$((messages - done)) messages exported successfully." ] || fail "rerun: $rest (listed $done)"
  [ "$(listed)" -eq "$messages" ] || fail "not every message is listed once"

  # ---- A restore repaints the window: the confirmation box leaves no trace ----
  # The archive of this device, restored on an empty one (paced, so that the pass lasts).
  "$cli" --device "$device" backup-all >/dev/null
  restored=$device-restored
  "$cli" --device "$restored" start >/dev/null 2>&1
  cp -r "$device/Program Files/Tallymere/Tallymere/." "$restored/Program Files/Tallymere/Tallymere/"
  TALLYMERE_FAULTS="OpenEntry~2" "$gui" --device "$restored" >"$log" 2>&1 &
  pid=$!
  find_main 300
  row 0
  row 1
  row 1  # Restore Extra
  question=$(wait_window Tallymere)
  # The restore first finds what is missing (the line counts 0 messages), then brings the
  # messages back, each index entry written as it goes: the picture is taken once it does.
  index=$restored/Program\ Files/Tallymere/Tallymere/Messages.ndx
  index_before=$(md5sum <"$index")
  xdotool key --window "$question" Return 2>/dev/null || true
  for _ in $(seq 1 300); do
    [ "$(md5sum <"$index")" != "$index_before" ] && break
    sleep 0.1
  done
  sleep 0.5
  import -window "$main" "$out/desktop-restoring.png"
  stop_gui
  [ "$stopped" -eq 0 ] || fail "SIGTERM during a restore: status $stopped"

  # ---- SIGTERM with arrivals waiting ----
  start_gui
  "$cli" --device "$device" device seed --messages 500 --seed 7 >/dev/null
  sleep 0.3
  stop_gui
  [ "$stopped" -eq 0 ] || fail "SIGTERM with arrivals waiting: status $stopped"
  grep -Eq "^[0-9]+ arrived messages? w(ere|as) not exported yet; export-all exports (them|it)\.$" "$log" ||
    fail "no line about the waiting arrivals"
  echo "xvfb_resident: busy answers, a second program, an interrupted Export All and waiting arrivals all in order"
  exit 0
fi

gui=$1 cli=$2 out=$3 messages=${4:-3000}
need_x_tools xvfb_resident
mkdir -p "$out"
work=$(mktemp -d "${TMPDIR:-/tmp}/tallymere-resident-XXXXXX")
trap 'rm -rf "$work"' EXIT
device=$work/device
"$cli" --device "$device" device seed --messages "$messages" >/dev/null
unset QT_QPA_PLATFORM WAYLAND_DISPLAY
timeout -k 5 300 xvfb-run -a -s "-screen 0 640x480x24" bash ${TRACE:+-x} "$0" --inside "$gui" "$cli" "$out" "$device" "$messages"
