#!/usr/bin/env bash
# The Windows command under Wine, typed in cmd.exe as "quelmar": that
# quelmar.com is the one found, that cmd waits for it and takes its exit
# status, and that the game started after a deletion gets its arguments.
# Usage: tests/e2e/windows_command_line.sh PROGRAM.exe
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/lib.sh"
program="$(realpath "$1")"
build="$(dirname "$(dirname "$program")")"
work="$(mktemp -d)"
export WINEPREFIX="$build/wine-prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
trap 'wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
[ -f "$WINEPREFIX/system.reg" ] || { wineboot -i >/dev/null 2>&1; wineserver -w; }

cp "$program" "${program%.exe}.com" "$work/"
game="$work/game"
"$here/../../scripts/make-sample-game.sh" "$game" >/dev/null
mkdir "$game/Assets/Prövider" "$work/other game" "$work/other game/Assets"
printf 'x' >"$game/Assets/Prövider/Blueprints.pak"
before="$(e2e_files "$game")"
win() { echo "Z:${1//\//\\}"; }
# Each step echoes its status as cmd.exe sees it, on a line of its own.
cat >"$work/steps.bat" <<EOF
@echo off
quelmar --list $(win "$game")
echo status=%ERRORLEVEL%
quelmar --list -0 $(win "$game") > list0.txt
echo status=%ERRORLEVEL%
quelmar --list $(win "$work/nothere")
echo status=%ERRORLEVEL%
quelmar --delete -q $(win "$game") --then quelmar.com --list "$(win "$work/other game")"
echo status=%ERRORLEVEL%
quelmar --delete $(win "$game")
echo status=%ERRORLEVEL%
quelmar --delete $(win "$game") --then nosuchgame.exe
echo status=%ERRORLEVEL%
EOF
sed -i 's/$/\r/' "$work/steps.bat"
(cd "$work" && wine cmd /c steps.bat) >"$work/out" 2>"$work/err"
tr -d '\r' <"$work/out" >"$work/out.txt"
tr -d '\r' <"$work/err" >"$work/err.txt"
w="$(win "$game")"
expected="$w\\Assets\\ProviderA\\Blueprints.pak
$w\\Assets\\ProviderA\\RouteB\\Blueprints.pak
$w\\Assets\\ProviderB\\RouteC\\blueprints.PAK
$w\\Assets\\Prövider\\Blueprints.pak"
check "--list prints each full path, names as UTF-8" test "$(sed -n '/^status/q;p' "$work/out.txt" | sort)" = "$(sort <<<"$expected")"
check "cmd.exe waits and takes each status: 0, 0, 2, the game's 1, 1, then 127 for a game that cannot start" \
  test "$(grep '^status=' "$work/out.txt" | tr '\n' ' ')" = "status=0 status=0 status=2 status=1 status=1 status=127 "
check "-0 ends each path with NUL" test "$(tr '\0' '\n' <"$work/list0.txt" | sort)" = "$(sort <<<"$expected")"
check "the refusal, the count, the game's own words and the game not started on stderr" \
  test "$(grep -c -e 'no such file or folder' -e '^quelmar: 4 .pak files deleted.$' -e '^quelmar: No .pak files found.$' \
    -e '^quelmar: could not start "nosuchgame.exe"' "$work/err.txt")" -eq 6
gone=$'./Assets/ProviderA/Blueprints.pak\n./Assets/ProviderA/RouteB/Blueprints.pak\n./Assets/ProviderB/RouteC/blueprints.PAK\n./Assets/Prövider/Blueprints.pak'
check "exactly the archives are gone" test "$(comm -13 <(e2e_files "$game") <(echo "$before"))" = "$(sort <<<"$gone")"

[ "$E2E_FAILURES" -eq 0 ] || { cat "$work/out.txt" "$work/err.txt"; echo "$E2E_FAILURES Windows command-line check(s) failed" >&2; exit 1; }
