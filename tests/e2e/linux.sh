#!/usr/bin/env bash
# The real Linux program on a virtual screen, driven only through the
# keyboard, the file system and the settings file.
# Usage: tests/e2e/linux.sh PROGRAM OUTPUT_FOLDER
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

# Copies of the program find each other through an abstract socket, and
# those are per network namespace: in one of its own, the program under
# test never meets a copy the user has open or another test started. The
# screen reader's bus is the test's own too.
if [ -z "${QUELMAR_E2E_ISOLATED:-}" ]; then
  if [ "$(id -u)" -eq 0 ]; then isolate=(unshare -n); else isolate=(unshare -r -n); fi
  "${isolate[@]}" true 2>/dev/null || isolate=()
  QUELMAR_E2E_ISOLATED=1 exec "${isolate[@]}" dbus-run-session -- "$0" "$@" 2> >(grep -v -e '^dbus-daemon' -e '^SpiRegistry' >&2)
fi

source "$here/lib.sh"
program="$(realpath "$1")"
bench="$(dirname "$program")/quelmar-bench"
out="$(mkdir -p "$2" && realpath "$2")"
work="$(mktemp -d)"
PID=""
# The program and what runs it (a subshell, strace), outermost first.
program_pids() {
  local p=${1:-$PID}
  [ -n "$p" ] || return 0
  echo "$p"
  for child in $(pgrep -P "$p"); do program_pids "$child"; done
}
trap 'for p in $(program_pids); do kill "$p" 2>/dev/null; done; e2e_stop_wm; e2e_stop_display; rm -rf "$work"' EXIT

e2e_start_display || exit 1

# A fresh user: nothing stored yet.
fresh_user() {
  export XDG_CONFIG_HOME="$work/config-$1" XDG_RUNTIME_DIR="$work/runtime-$1"
  mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
  chmod 700 "$XDG_RUNTIME_DIR"
}
store_folder() {
  mkdir -p "$XDG_CONFIG_HOME/Quelmar"
  printf '[Preferences]\nGameFolder=%s\n' "$1" > "$XDG_CONFIG_HOME/Quelmar/Quelmar.conf"
}
start() {
  local try
  for try in 1 2 3; do
    "$program" >"$work/log" 2>&1 & PID=$!
    # On a loaded machine the virtual screen now and then turns a
    # connection away; that says nothing about the program, so try again.
    sleep 0.3
    kill -0 "$PID" 2>/dev/null || ! grep -q 'could not connect to display' "$work/log" && return 0
    wait "$PID" 2>/dev/null
  done
}
stop() {
  for p in $(program_pids); do kill "$p" 2>/dev/null; done
  wait "$PID" 2>/dev/null
  PID=""
  e2e_wait_gone "$MAIN" 5
}
is_running() { kill -0 "$PID" 2>/dev/null; }

game="$work/Rail Simulator"
"$here/../../scripts/make-sample-game.sh" "$game" >/dev/null
before="$(e2e_files "$game")"
targets=$'./Assets/ProviderA/Blueprints.pak\n./Assets/ProviderA/RouteB/Blueprints.pak\n./Assets/ProviderB/RouteC/blueprints.PAK'

echo "First run, then locating the game, listing and deleting"
fresh_user first
start
box=$(e2e_wait_window "$BOX")
check "the set-up message comes first" test -n "$box"
check "the main window is not up before the message is dismissed" test -z "$(e2e_windows "$MAIN")"
e2e_keys "$box" Return
main=$(e2e_wait_window "$MAIN")
check "the main window opens after it" test -n "$main"
# Both commands are disabled, so Tab leaves the focus on "..." and Space opens the dialog.
e2e_keys "$main" Tab space
dialog=$(e2e_wait_window "$DIALOG")
check "Tab stays on \"...\", which opens the locate dialog" test -n "$dialog"
e2e_pick_file "$dialog" "$game/RailSim.exe"
check "the game folder is stored" grep -qxF "GameFolder=$game" "$XDG_CONFIG_HOME/Quelmar/Quelmar.conf"
check "a folder with archives lists them without a message" test -z "$(e2e_windows "$BOX")"
import -window "$main" "$out/linux-main-window.png" 2>/dev/null
check "screenshot of the listing" test -s "$out/linux-main-window.png"
# Focus is on "...": Tab, Tab reaches Refresh List; Tab, Tab again reaches Delete.
e2e_keys "$main" Tab Tab space
check "Refresh List finds archives, so no message" test -z "$(e2e_windows "$BOX")"
e2e_keys "$main" Tab Tab space
box=$(e2e_wait_window "$BOX")
check "deleting reports its count" test -n "$box"
remaining="$(e2e_files "$game")"
expected="$(comm -23 <(echo "$before") <(echo "$targets" | sort))"
check "exactly the three archives are gone" test "$remaining" = "$expected"
e2e_keys "$box" Return
# Delete is now disabled and the focus has moved on to Refresh List, which
# Enter presses: with nothing left to list, it says so.
e2e_keys "$main" Return
box=$(e2e_wait_window "$BOX" 5)
check "the focus moved on to Refresh List, and Enter pressed it" test -n "$box" -a -z "$(e2e_windows "$DIALOG")"
[ -n "$box" ] && e2e_keys "$box" Return
check "the program is still running" is_running

echo "A second copy while the first runs"
start_second() { "$program" >/dev/null 2>&1 & SECOND=$!; }
start_second
sleep 0.1
for _ in $(seq 50); do kill -0 "$SECOND" 2>/dev/null || break; sleep 0.1; done
check "the second copy ends by itself" bash -c "! kill -0 $SECOND 2>/dev/null"
wait "$SECOND"; second_status=$?
check "and reports success" test "$second_status" -eq 0
check "it shows no window of its own" test "$(e2e_windows 'Quelmar' | wc -l)" -eq 1
stop

# Starts with folder $2 stored; message $1 must come before the window.
message_before_window() {
  store_folder "$2"
  start
  box=$(e2e_wait_window "$BOX")
  check "$1 comes before the window" test -n "$box" -a -z "$(e2e_windows "$MAIN")"
  e2e_keys "$box" Return
  check "then the window opens" test -n "$(e2e_wait_window "$MAIN")"
  stop
}

echo "A stored folder that has since been removed"
fresh_user removed
message_before_window "its warning" "$work/no longer here"

echo "A stored folder without archives"
fresh_user empty
"$here/../../scripts/make-sample-game.sh" "$work/empty" >/dev/null
find "$work/empty/Assets" -iname Blueprints.pak -type f -delete
# The folder check passed, so the window is up before the listing, and the
# listing's message comes over it.
store_folder "$work/empty"
start
box=$(e2e_wait_window "$BOX")
check '"No .pak files found." comes over the window' test -n "$box" -a -n "$(e2e_windows "$MAIN")"
[ -n "$box" ] && e2e_keys "$box" Return
check "which stays" test -n "$(e2e_wait_window "$MAIN")" -a -z "$(e2e_windows "$BOX")"
stop

echo "A read-only archive"
fresh_user readonly
"$here/../../scripts/make-sample-game.sh" "$work/ro" >/dev/null
chmod 444 "$work/ro/Assets/ProviderA/RouteB/Blueprints.pak"
store_folder "$work/ro"
start
main=$(e2e_wait_window "$MAIN")
check "the window opens with the listing" test -n "$main" -a -z "$(e2e_windows "$BOX")"
e2e_keys "$main" Tab space
box=$(e2e_wait_window "$BOX")
check "the failure is reported" test -n "$box"
check "the read-only archive is kept" test -e "$work/ro/Assets/ProviderA/RouteB/Blueprints.pak"
e2e_keys "$box" Return
check "the program is still running" is_running
e2e_keys "$main" shift+Tab space
dialog=$(e2e_wait_window "$DIALOG")
check "and still answers" test -n "$dialog"
[ -n "$dialog" ] && e2e_keys "$dialog" Escape
stop

e2e_start_wm || exit 1

# Milliseconds since the epoch.
now_ms() { echo $(($(date +%s%N) / 1000000)); }
# Moves the pointer to a point of the main window's client area (in pixels,
# as in the layout table) and clicks there.
click_at() { xdotool mousemove "$((X + $1))" "$((Y + $2))" click 1; }
# The pointer over the desktop shows the window manager's arrow, which is
# the theme's arrow that the window shows when it is not busy; the busy
# cursor may be animated, so it is known only by being another.
xdotool mousemove 1 1
sleep 0.2
arrow=$(e2e_x cursor)
busy() { [ "$(e2e_x cursor)" != "$arrow" ]; }
# Waits up to $1 seconds for the arrow over the window: the walk is over.
wait_idle() {
  local deadline=$((SECONDS + $1))
  while [ $SECONDS -lt $deadline ]; do busy || return 0; sleep 0.1; done
  return 1
}

echo "A large collection on a slow disk, under a window manager"
# Every directory read takes 20 ms longer, as on a spinning disk or an SD
# card; the walk then lasts a few seconds.
slowly() {
  strace -f -qq --seccomp-bpf -o /dev/null -e trace=getdents64 -e inject=getdents64:delay_exit=20000 "$@"
}
big="$work/Big Collection"
shape=(--providers 75 --routes 20)
"$bench" make-tree "$big" "${shape[@]}" >/dev/null
listed=$("$bench" list "$big" 2>/dev/null | wc -l)
fresh_user slow
store_folder "$big"
cp "$XDG_CONFIG_HOME/Quelmar/Quelmar.conf" "$work/stored.conf"
started=$(now_ms)
slowly "$program" >"$work/log" 2>&1 & PID=$!
main=$(e2e_wait_window "$MAIN" 10)
shown_after=$(($(now_ms) - started))
check "the window is up ${shown_after} ms after start, before the listing" test -n "$main" -a "$shown_after" -le 1000
# Where the client area is on the screen (xdotool's geometry counts the
# window manager's frame in).
eval "$(xwininfo -id "$main" | awk '/Absolute upper-left X/ { x = $NF } /Absolute upper-left Y/ { y = $NF }
                                   END { print "X=" x "; Y=" y }')"
xdotool mousemove "$((X + 200))" "$((Y + 108))"  # over Text2
sleep 0.6
busy && busy_at_first=1 || busy_at_first=""
import -window root -crop "380x80+$((X + 12))+$((Y + 68))" "$work/text2.png"
lines_shown=$(convert "$work/text2.png" -format '%[fx:standard_deviation > 0.02]' info:)
busy && still_busy=1 || still_busy=""
pings() { e2e_x ping "$1" 500 >/dev/null; }
check "the window answers the window manager's ping during the walk" pings "$main"
# Covered, then uncovered: the top of the window, which the walk does not
# change, must be drawn again at once.
import -window root -crop "425x64+$X+$Y" "$work/before-cover.png"
e2e_x cover "$X" "$Y" 425 167 0.5
sleep 0.2
import -window root -crop "425x64+$X+$Y" "$work/after-cover.png"
repainted=$(compare -metric AE "$work/before-cover.png" "$work/after-cover.png" null: 2>&1)
busy && busy_after_cover=1 || busy_after_cover=""
wait_idle 60 && idle=1 || idle=""
first_walk=$(($(now_ms) - started))
check "the busy cursor shows over the window while it lists, the arrow after" test -n "$busy_at_first" -a -n "$idle"
check "Text2 shows lines before the walk ends" test "$lines_shown" = 1 -a -n "$still_busy"
check "uncovered, it is drawn again within 0.2 s (pixels differing: $repainted)" \
  test "$repainted" = 0 -a -n "$busy_after_cover"

# Delete, and press Refresh List while it deletes.
click_at 132 56
sleep 1
click_at 284 56
busy && busy_at_click=1 || busy_at_click=""
box=$(e2e_wait_window "$BOX" 60)
check "the deletion reports its count" test -n "$box"
[ -n "$box" ] && e2e_keys "$box" Return
sleep 1.5
check "Refresh List, pressed while it deleted, did nothing then or after" \
  test -z "$(e2e_windows "$BOX")" -a -n "$busy_at_click"
check "every archive listed is gone" test "$("$bench" list "$big" 2>/dev/null | wc -l)" -eq 0

# Close the window while it deletes.
"$bench" make-tree "$big" "${shape[@]}" >/dev/null  # puts every archive back
order=$("$bench" list "$big" 2>/dev/null)
pressed=$(now_ms)
click_at 284 56
sleep 0.5
busy && listing=1 || listing=""
check "Refresh List lists them again" test -n "$listing"
# A second press meanwhile must not list them once more afterwards: that
# would take twice as long as the listing at start-up.
click_at 284 56
wait_idle 60
relisted=$(($(now_ms) - pressed))
check "pressed again while it lists, it does not run again after ($relisted ms, $first_walk at start-up)" \
  test "$relisted" -lt $((first_walk * 3 / 2))
click_at 132 56
sleep 1
wmctrl -i -c "$main"
closed=$(now_ms)
marked="" boxed=""
while kill -0 "$PID" 2>/dev/null && [ $(($(now_ms) - closed)) -lt 10000 ]; do
  xprop -id "$main" _NET_WM_VISIBLE_NAME 2>/dev/null | grep -q 'Not Responding' && marked=1
  [ -n "$(e2e_windows "$BOX")" ] && boxed=1
  sleep 0.1
done
ended_after=$(($(now_ms) - closed))
for p in $(program_pids); do kill "$p" 2>/dev/null; done  # if it is still there
wait "$PID"; status=$?
PID=""
left=$("$bench" list "$big" 2>/dev/null)
deleted=$(( $(echo "$order" | wc -l) - $(echo "$left" | grep -c .) ))
check "closing during a deletion ends the program in ${ended_after} ms, with status 0, without a message" \
  test "$ended_after" -le 2000 -a "$status" -eq 0 -a -z "$boxed"
check "the window manager never marked it as not responding" test -z "$marked"
check "it had deleted $deleted of $listed archives, in the order listed, and left the rest" \
  test "$deleted" -gt 0 -a "$deleted" -lt "$listed" -a "$(echo "$order" | tail -n +$((deleted + 1)))" = "$left"
check "the stored folder is as it was" cmp -s "$work/stored.conf" "$XDG_CONFIG_HOME/Quelmar/Quelmar.conf"

echo "First run with the game in a store library"
# A pretend home whose store has its own library and a second one on
# another drive, each with a game folder holding RailSim.exe.
fresh_user store
export HOME="$work/home-of-userA"
library1="$HOME/.local/share/Steam"
library2="$work/drive2/StoreLibrary"
"$here/../../scripts/make-sample-game.sh" "$library1/steamapps/common/GameFolderX" >/dev/null
mkdir -p "$library2/steamapps/common/GameFolderY"
touch "$library2/steamapps/common/GameFolderY/RailSim.exe"
printf '"libraryfolders"\n{\n\t"0"\n\t{\n\t\t"path"\t\t"%s"\n\t}\n\t"1"\n\t{\n\t\t"path"\t\t"%s"\n\t}\n}\n' \
  "$library1" "$library2" > "$library1/steamapps/libraryfolders.vdf"
QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$program" >"$work/log" 2>&1 & PID=$!
box=$(e2e_wait_window "$BOX")
check "the set-up message comes first" test -n "$box"
# Started again while that message waits, minimised, before any window:
# the message is what comes forward.
xdotool windowminimize --sync "$box"
e2e_wait_gone "$BOX" 5
"$program" >/dev/null 2>&1
check "a second start brings the waiting message forward, active" \
  test -n "$(e2e_wait_window "$BOX" 5)" -a "$(sleep 0.5; xdotool getactivewindow 2>/dev/null)" = "$box"
e2e_keys "$box" Return
main=$(e2e_wait_window "$MAIN")
# Only what the player does from here is counted: a click is one action, a
# double-click one more.
actions=0
locate=""
for _ in $(seq 50); do locate=$(e2e_a11y centre "push button" '^Set Path$') && break; sleep 0.1; done
check "\"...\" is read out as \"Set Path\"" test -n "$locate"
[ -n "$locate" ] && { xdotool mousemove $locate click 1; actions=$((actions + 1)); }
dialog=$(e2e_wait_window "$DIALOG")
look_in=""
for _ in $(seq 50); do look_in=$(e2e_a11y name "combo box" '^/') && break; sleep 0.1; done
check "\"...\" opens the dialog in the game's folder" test "$look_in" = "$library1/steamapps/common/GameFolderX"
exe=""
for _ in $(seq 50); do exe=$(e2e_a11y centre "*" '^RailSim\.exe$') && break; sleep 0.1; done
[ -n "$exe" ] && { xdotool mousemove $exe click --repeat 2 --delay 80 1; actions=$((actions + 1)); }
e2e_wait_gone "$DIALOG" 10
sleep 1

check "double-clicking RailSim.exe there lists the archives" \
  test "$(e2e_a11y text text '^$' | grep -ci blueprints)" -eq 3 -a -z "$(e2e_windows "$BOX")"
check "the listing took $actions actions after the first-run message (3 at most)" test "$actions" -le 3 -a "$actions" -gt 0

xdotool mousemove $locate click 1
dialog=$(e2e_wait_window "$DIALOG")
sleep 0.5
reached=""
for place in $(e2e_a11y centres "list item" '^common$' | tr ' ' ','); do
  xdotool mousemove ${place/,/ } click 1
  sleep 0.5
  reached+="$(e2e_a11y name "combo box" '^/')"$'\n'
done
check "the dialog's sidebar holds both libraries' common folders" test "$(echo -n "$reached" | sort)" = \
  "$(printf '%s\n' "$library1/steamapps/common" "$library2/steamapps/common" | sort)"
[ -n "$dialog" ] && e2e_keys "$dialog" Escape

echo "A second start while the window is minimised"
xdotool windowminimize --sync "$main"
check "the window is minimised" e2e_wait_gone "$MAIN" 5
"$program" >/dev/null 2>&1 & second=$!
for _ in $(seq 50); do kill -0 "$second" 2>/dev/null || break; sleep 0.1; done
wait "$second"; second_status=$?
check "the second copy ends, with status 0" test "$second_status" -eq 0
check "the first window is visible again" test -n "$(e2e_wait_window "$MAIN" 5)"
sleep 0.5
check "and active" test "$(xdotool getactivewindow 2>/dev/null)" = "$main"
stop

[ "$E2E_FAILURES" -eq 0 ] || { echo "$E2E_FAILURES end-to-end check(s) failed" >&2; exit 1; }
