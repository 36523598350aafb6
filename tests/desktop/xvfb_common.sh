# Shared by the Xvfb scripts (sourced): the check for the X tools, and finding and waiting for
# the program's windows with xdotool. The window functions expect the sourcing script's `fail`;
# those that look for a window other than the main one expect `main` (set by find_main).

# Ends the script with 77 (skipped) when a tool the Xvfb tests use is not installed.
# Usage: need_x_tools SCRIPT_NAME
need_x_tools() {
  local tool
  for tool in xvfb-run xdotool xwininfo import; do
    if ! command -v "$tool" >/dev/null 2>&1; then
      echo "$1: $tool is not installed; skipped" >&2
      exit 77
    fi
  done
}

# Sets `main` to the program's window once it shows, waiting up to TRIES tenths of a second.
find_main() {
  main=""
  for _ in $(seq 1 "$1"); do
    main=$(xdotool search --onlyvisible --name '^Tallymere$' 2>/dev/null | head -n 1 || true)
    [ -n "$main" ] && break
    sleep 0.1
  done
  [ -n "$main" ] || fail "the window did not show"
  sleep 0.5
}

# The visible window called NAME other than the main window (empty when there is none).
window_named() {
  xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | grep -v "^$main\$" | tail -n 1 || true
}

# Prints the window called NAME once it shows (ten seconds at most).
wait_window() {
  local id=""
  for _ in $(seq 1 100); do
    id=$(window_named "$1")
    [ -n "$id" ] && break
    sleep 0.1
  done
  [ -n "$id" ] || fail "no window \"$1\" showed"
  sleep 0.5
  echo "$id"
}

# Returns once window ID has closed (five seconds at most).
wait_gone() {
  for _ in $(seq 1 50); do
    xdotool getwindowname "$1" >/dev/null 2>&1 || return 0
    xwininfo -id "$1" 2>/dev/null | grep -q "IsViewable" || return 0
    sleep 0.1
  done
  fail "window $1 did not close"
}
