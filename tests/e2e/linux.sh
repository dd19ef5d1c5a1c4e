#!/usr/bin/env bash
# The real Linux program on a virtual screen, driven only through the
# keyboard, the file system and the settings file.
# Usage: tests/e2e/linux.sh PROGRAM OUTPUT_FOLDER
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/lib.sh"
program="$(realpath "$1")"
out="$(mkdir -p "$2" && realpath "$2")"
work="$(mktemp -d)"
trap 'e2e_stop_display; pkill -f "^$program( |$)" 2>/dev/null; rm -rf "$work"' EXIT


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
start() { "$program" >"$work/log" 2>&1 & PID=$!; }
stop() { kill "$PID" 2>/dev/null; wait "$PID" 2>/dev/null; e2e_wait_gone "$MAIN" 5; }
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
message_before_window '"No .pak files found."' "$work/empty"

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

[ "$E2E_FAILURES" -eq 0 ] || { echo "$E2E_FAILURES end-to-end check(s) failed" >&2; exit 1; }
