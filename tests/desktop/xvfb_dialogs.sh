#!/usr/bin/env bash
# The program's dialogs on a real X server (Xvfb), opened with the mouse and the keyboard as a
# user would: About, Setting with its folder browser, and Backup by Selection, where a folder
# and a message are ticked from the keyboard and a folder is made from a long press. One
# screenshot of each dialog goes to OUT_DIR (dialog-about.png, dialog-settings.png,
# dialog-folders.png, dialog-selection.png); the backup and the new folder are checked with
# tallymere-cli afterwards.
#
#   xvfb_dialogs.sh TALLYMERE TALLYMERE_CLI OUT_DIR
#
# Exit status 77 (skipped) when Xvfb or the X tools are not installed.
set -euo pipefail
. "$(dirname "$0")/xvfb_common.sh"

if [ "${1:-}" = "--inside" ]; then
  shift
  gui=$1 cli=$2 out=$3 device=$4
  log=$out/dialogs-tallymere.log
  "$gui" --device "$device" >"$log" 2>&1 &
  pid=$!
  fail() {
    echo "xvfb_dialogs: $*" >&2
    kill -KILL "$pid" 2>/dev/null || true
    cat "$log" >&2
    exit 1
  }
  find_main 200
  # Rows of the icon menu are 50 pixels high below the caption strip; off the window afterwards,
  # so that nothing is drawn as hovered.
  row() {
    xdotool mousemove --window "$main" 80 $((50 * $1 + 50)) click 1
    xdotool mousemove 630 470
  }

  # About: the third row of the top level; its caption's ok closes it.
  row 2
  about=$(wait_window Tallymere)
  import -window "$about" "$out/dialog-about.png"
  xdotool mousemove --window "$about" 220 12 click 1
  wait_gone "$about"

  # Setting: Tab to "Select Folder", Space; in the browser the last directory is opened and its
  # first subdirectory chosen; ok puts it into the field; Escape leaves the dialog unchanged.
  row 1
  settings=$(wait_window "Tallymere Settings")
  xdotool key --window "$settings" Tab space
  browser=$(wait_window Tallymere)
  xdotool key --window "$browser" End Right Down
  sleep 0.4
  import -window "$browser" "$out/dialog-folders.png"
  xdotool mousemove --window "$browser" 220 12 click 1
  xdotool mousemove 630 470
  wait_gone "$browser"
  sleep 0.3
  import -window "$settings" "$out/dialog-settings.png"
  # (The window goes on the key's press: sending its release then fails.)
  xdotool key --window "$settings" Escape 2>/dev/null || true
  wait_gone "$settings"

  # Backup by Selection: Message Commands, Backup, Backup by Selection. SMS opens, then Inbox;
  # its subfolder Family and its second message are ticked.
  row 0
  sleep 0.6
  row 0
  sleep 0.6
  row 1
  selection=$(wait_window Tallymere)
  xdotool key --window "$selection" Right Down Down Down Right Down space Down Down space
  sleep 0.4
  import -window "$selection" "$out/dialog-selection.png"
  # A long press on SMS offers "Create Folder"; the new folder is named in place.
  xdotool mousemove --window "$selection" 80 36 mousedown 1
  sleep 1.2
  xdotool mouseup 1
  sleep 0.4
  xdotool mousemove_relative 40 12 click 1
  sleep 0.6
  xdotool type --delay 30 "Trips"
  xdotool key Return
  sleep 0.4
  xdotool mousemove --window "$selection" 220 12 click 1
  wait_gone "$selection"
  # The result box of the backup; Enter closes it.
  box=$(wait_window Tallymere)
  xdotool key Return
  wait_gone "$box"

  # What the dialogs did: three messages archived (Family's two and one more), the folder made.
  result=$("$cli" --device "$device" backup-all) || fail "tallymere-cli backup-all failed"
  [ "$result" = "Message backup was successfull. (5 messages)" ] || fail "unexpected result: $result"
  "$cli" --device "$device" device list | grep -q "^  Trips (0)" || fail "the folder was not made"

  kill -TERM "$pid"
  status=0
  wait "$pid" || status=$?
  [ "$status" -eq 0 ] || fail "ended with status $status after SIGTERM"
  for shot in about settings folders selection; do
    [ -s "$out/dialog-$shot.png" ] || fail "no screenshot of $shot"
  done
  echo "xvfb_dialogs: about, settings, folder browser and selection shown, used and closed"
  exit 0
fi

gui=$1 cli=$2 out=$3
need_x_tools xvfb_dialogs
mkdir -p "$out"
work=$(mktemp -d "${TMPDIR:-/tmp}/tallymere-dialogs-XXXXXX")
trap 'rm -rf "$work"' EXIT
device=$work/device
deliver() {
  "$cli" --device "$device" device deliver "$@" >/dev/null
}
# A small phone: eight messages in Inbox, Inbox/Family and Sent Items, and a storage card.
"$cli" --device "$device" device new-folder SMS/Inbox/Family >/dev/null
deliver --from +4915112345 --from-name "Anna Berg" --subject "Lunch on Friday?" --body "At noon?"
deliver --from +4917023456 --from-name "Tom Keller" --subject "Train at 7:40" --body "Platform 4."
deliver --from +4930777000 --subject "Your parcel is ready" --body "Pick it up today."
deliver --folder SMS/Inbox/Family --from +4916100001 --from-name "Mum" --subject "Sunday dinner" --body "Bring dessert."
deliver --folder SMS/Inbox/Family --from +4916100002 --from-name "Lena" --subject "Photos from the lake" --body "Sent them."
deliver --folder "SMS/Sent Items" --from +4900000000 --from-name "Me" --to +4915112345=Anna --subject "Re: Lunch" --body "Yes!"
deliver --folder "SMS/Sent Items" --from +4900000000 --from-name "Me" --to +4917023456=Tom --subject "Running late" --body "10 min."
deliver --folder "SMS/Sent Items" --from +4900000000 --from-name "Me" --to +4916100001=Mum --subject "Thanks" --body "It was lovely."
mkdir -p "$device/Storage Card/Backups" "$device/Storage Card/Music"
# The X server's own start and the program's are bounded, so that CI never hangs here.
unset QT_QPA_PLATFORM WAYLAND_DISPLAY
timeout -k 5 100 xvfb-run -a -s "-screen 0 640x480x24" bash ${TRACE:+-x} "$0" --inside "$gui" "$cli" "$out" "$device"
