#!/usr/bin/env bash
# The real program as a command, with no display at all: what it prints,
# what it deletes, each exit status, and the game started after it.
# Usage: tests/e2e/command_line.sh PROGRAM
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/lib.sh"
program="$(realpath "$1")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
unset STEAM_COMPAT_INSTALL_PATH
Q=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_CONFIG_HOME="$work/config" "$program")
q() { "${Q[@]}" "$@"; }
# Runs q with its output in $work/out and $work/err; its status in $rc.
run() { q "$@" >"$work/out" 2>"$work/err"; rc=$?; }
fresh() { rm -rf "$game" && "$here/../../scripts/make-sample-game.sh" "$game" >/dev/null && mkdir "$game/Assets/Line
Feed" && printf 'x' >"$game/Assets/Line
Feed/Blueprints.pak"; }
game="$work/Rail Simulator"
fresh
before="$(e2e_files "$game")"
targets="$game/Assets/ProviderA/Blueprints.pak
$game/Assets/ProviderA/RouteB/Blueprints.pak
$game/Assets/ProviderB/RouteC/blueprints.PAK
$game/Assets/Line
Feed/Blueprints.pak"

echo "Listing"
run --list "$game"
check "each archive's full path, in the walk's order, as its bytes" test "$(sort "$work/out")" = "$(sort <<<"$targets")"
check "status 0 and nothing on stderr" test "$rc" -eq 0 -a ! -s "$work/err"
run --list -0 "$game/RailSim.exe"
check "-0 ends each path with NUL, line feed and all, from the game's file" \
  test "$(tr '\0' '\n' <"$work/out" | sort)" = "$(sort <<<"$targets")" -a "$(tr -cd '\0' <"$work/out" | wc -c)" -eq 4
shown=$(cd "$game" && XDG_CONFIG_HOME="$work/config" script -qec "'$program' --list ." /dev/null | tr -d '\r')
check "to a terminal, a name reads as one line, from a relative path" \
  grep -qxF "$game/Assets/Line\\nFeed/Blueprints.pak" <<<"$shown"
mkdir -p "$work/config/Quelmar"
printf '[Preferences]\nGameFolder=%s\n' "$game" >"$work/config/Quelmar/Quelmar.conf"
run --list -q
check "without GAME, the stored folder; -q prints no paths" test "$rc" -eq 0 -a ! -s "$work/out"
STEAM_COMPAT_INSTALL_PATH="$work" run --list
check "a launcher's folder goes before the stored one" grep -qx 'quelmar: Folder path to \\Assets not found.' "$work/err"
mv "$game/Assets" "$game/assets"
run --list -0 "$game"
check "each path printed is there, Assets spelled as on disk" \
  bash -c 'n=0; while IFS= read -r -d "" p; do [ -f "$p" ] || exit 1; n=$((n + 1)); done <"$0"; [ $n -eq 4 ]' "$work/out"
mv "$game/assets" "$game/Assets"
rm "$work/config/Quelmar/Quelmar.conf"
run --list
check "none stored: refused in the window's words, status 2" \
  test "$rc" -eq 2 -a "$(cat "$work/err")" = $'quelmar: Important!\nquelmar: Set up game folder path before beginning.'

echo "Bad input: status 2, a line on stderr, nothing deleted"
bad() { run "$@"; check "$*" test "$rc" -eq 2 -a -s "$work/err" -a ! -s "$work/out" -a "$(e2e_files "$game")" = "$before"; }
bad --delete "$game/nothere"
bad --delete --list "$game"
bad --delete "$game" --then
bad --delete "$game" --bogus --then true

echo "Deleting, then the game"
run --delete "$game" --then printf '[%s]\n' 'a b' '"q"' "it's"
check "each deleted archive's path, then the command with its arguments unchanged" \
  test "$(head -n 5 "$work/out" | sort)" = "$(sort <<<"$targets")" -a \
  "$(tail -n +6 "$work/out")" = "$(printf '[%s]\n' 'a b' '"q"' "it's")"
check "the command's status is the program's" test "$rc" -eq 0
check "the count on stderr" grep -qx 'quelmar: 4 .pak files deleted.' "$work/err"
check "exactly the archives are gone" test "$(e2e_files "$game")" = "$(comm -23 <(echo "$before") <(sed "s|^$game|.|" <<<"$targets" | sort))"
run --delete "$game" --then sh -c 'exit 7'
check "none left: told, and the game starts all the same" test "$rc" -eq 7 -a "$(cat "$work/err")" = 'quelmar: No .pak files found.'
run --delete "$game"
check "none left: status 1" test "$rc" -eq 1
run --delete "$game/nothere" --then true
check "a refusal also starts the game" test "$rc" -eq 0
state='grep -E "^Sig(Blk|Ign)" /proc/self/status; ls /proc/self/fd | wc -l'
( trap '' PIPE; run --delete "$game" --then sh -c "$state"; sh -c "$state" >"$work/plain" )
check "the game gets the signals and descriptors a plain start would" test "$(cat "$work/out")" = "$(cat "$work/plain")"
run --delete "$game" --then "$work/no such game"
check "a game that cannot start: status 127, told" test "$rc" -eq 127 -a "$(grep -c 'could not start' "$work/err")" -eq 1

echo "Ctrl+C"
# The first deletion's path goes into a pipe already full, so the walk is
# held there when the signal comes; the pipe is then read.
fresh
mkfifo "$work/fifo"
exec 3<>"$work/fifo"
python3 -c 'import os; os.set_blocking(3, False)
try:
    while True: os.write(3, bytes(4096))
except BlockingIOError: os.set_blocking(3, True)'
# A job a script puts in the background has SIGINT ignored, as a terminal's Ctrl+C is not
# meant for it; this one is started as a terminal would start it.
env --default-signal=INT "${Q[@]}" --delete "$game" >"$work/fifo" 2>"$work/err" & pid=$!
# Waits for the state the walk is in, never for a time.
until grep -q pipe_write "/proc/$pid/wchan" 2>/dev/null; do kill -0 "$pid" 2>/dev/null || break; sleep 0.01; done
kill -INT "$pid"
# Taken once it is no longer pending and the thread that takes it waits again.
until ! grep -qE '^(Shd|Sig)Pnd:.*[2367abef]$' "/proc/$pid/status" 2>/dev/null &&
      grep -q sigtimedwait /proc/"$pid"/task/*/wchan 2>/dev/null; do kill -0 "$pid" 2>/dev/null || break; sleep 0.01; done
cat <&3 >/dev/null & reader=$!
wait "$pid"; rc=$?
kill "$reader" 2>/dev/null; exec 3>&-
check "status 130" test "$rc" -eq 130
check "the stop is seen before the next deletion" test "$(comm -23 <(echo "$before") <(e2e_files "$game") | wc -l)" -eq 1
check "and says how many were deleted" grep -q 'Deleting stopped after 1 .pak file was deleted' "$work/err"

[ "$E2E_FAILURES" -eq 0 ] || { echo "$E2E_FAILURES command-line check(s) failed" >&2; exit 1; }
