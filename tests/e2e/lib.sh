# Shared helpers for driving real windows on a virtual X screen with xdotool.
# Xvfb runs no window manager: windows are found by title and focused
# explicitly before they are sent keys.

E2E_FAILURES=0

# Run as `sh -c "$E2E_PRIVATE" sh COMMAND...` inside a new mount namespace:
# the command gets a /tmp and a /run/user of its own, where copies of one
# account meet, so no copy the user has open, nor another run, is taken for
# the one under test. /tmp is a fresh folder on the same disk (file order
# there is what the tests expect of a disk), removed afterwards. The
# account's home, as the user database names it, is a fresh folder too, as
# on a machine that never ran anything: no ~/.cache, no ~/.config, nothing
# an earlier run left; QUELMAR_E2E_HOME names it then.
E2E_PRIVATE='d=$(mktemp -d /var/tmp/quelmar-e2e-XXXXXX) && chmod 1777 "$d" && mount --bind "$d" /tmp &&
  { [ ! -d /run/user ] || mount -t tmpfs tmpfs /run/user; } || exit 1
  h=$(getent passwd "$(id -u)" | cut -d: -f6) && [ -d "$h" ] && hd=$(mktemp -d /var/tmp/quelmar-e2e-home-XXXXXX) &&
  mount --bind "$hd" "$h" && export HOME="$h" QUELMAR_E2E_HOME="$h" || hd=""
  "$@"; s=$?; umount -l /tmp; rm -rf --one-file-system "$d"
  [ -z "$hd" ] || { umount -l "$h"; rm -rf --one-file-system "$hd"; }; exit $s'

# The titles of the program's windows: the main window, its message boxes,
# and the locate dialog.
MAIN='^Quelmar  v[0-9]+ build [0-9]+$'
BOX='^Quelmar$'
DIALOG='^Locate Rail Simulator Game File \(RailSim\.exe\)$'

e2e_start_display() {
  local n
  for n in $(seq 91 120); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    # -noreset: a server that resets when its last client goes can refuse
    # the next one meanwhile, and the tests start one program after another.
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp -noreset >/dev/null 2>&1 &
    E2E_XVFB_PID=$!
    export DISPLAY=":$n"
    # The server must be ours: another one may have taken the number since.
    for _ in $(seq 50); do
      kill -0 "$E2E_XVFB_PID" 2>/dev/null || break
      xdotool getmouselocation >/dev/null 2>&1 && kill -0 "$E2E_XVFB_PID" 2>/dev/null && return 0
      sleep 0.1
    done
    kill "$E2E_XVFB_PID" 2>/dev/null
  done
  echo "could not start Xvfb" >&2
  return 1
}

e2e_stop_display() { [ -n "${E2E_XVFB_PID:-}" ] && kill "$E2E_XVFB_PID" 2>/dev/null; true; }

# Prints the ids of visible windows whose title matches the regular expression.
e2e_windows() { xdotool search --onlyvisible --name "$1" 2>/dev/null || true; }

# Waits up to $2 seconds (default 15) for a visible window titled $1; prints its id.
e2e_wait_window() {
  local deadline=$((SECONDS + ${2:-15})) id
  while [ $SECONDS -lt $deadline ]; do
    id=$(e2e_windows "$1" | head -n 1)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  return 1
}

# Waits up to $2 seconds for no visible window titled $1.
e2e_wait_gone() {
  local deadline=$((SECONDS + ${2:-15}))
  while [ $SECONDS -lt $deadline ]; do
    [ -z "$(e2e_windows "$1")" ] && return 0
    sleep 0.1
  done
  return 1
}

# Focuses window $1 and sends it the keys that follow.
e2e_keys() {
  local id=$1; shift
  xdotool windowactivate --sync "$id" >/dev/null 2>&1 || xdotool windowfocus --sync "$id"
  sleep 0.2
  xdotool key --clearmodifiers --delay 120 "$@"
  sleep 0.3
}

e2e_type() {
  local id=$1; shift
  xdotool windowfocus --sync "$id"
  sleep 0.2
  xdotool type --delay 20 "$1"
}

check() {
  local what=$1; shift
  if "$@"; then echo "  ok: $what"; else echo "  FAILED: $what" >&2; E2E_FAILURES=$((E2E_FAILURES + 1)); fi
}

# Every file of tree $1, one relative path a line, sorted.
e2e_files() { (cd "$1" && find . \( -type f -o -type l \) | sort); }

# In the locate dialog $1, picks the file $2 and waits for the dialog to go.
e2e_pick_file() {
  e2e_type "$1" "$2"
  e2e_keys "$1" Return
  e2e_wait_gone "$DIALOG" 10
  sleep 0.5
}
