#!/usr/bin/env bash
# Builds the .deb, installs it with apt as a user would, and starts the
# installed program the way its menu entry does.
# Usage: tests/e2e/deb.sh BUILD_FOLDER
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/lib.sh"
build="$(realpath "$1")"
work="$(mktemp -d)"
trap 'e2e_stop_display; [ -n "${PID:-}" ] && kill "$PID" 2>/dev/null; rm -rf "$work"' EXIT

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo -n true 2>/dev/null || { echo "skipped: installing the .deb needs root or password-less sudo"; exit 0; }
  sudo="sudo -n"
fi

cmake --build "$build" --target package >/dev/null 2>&1 || { echo "FAILED: building the package" >&2; exit 1; }
deb=$(ls -t "$build"/quelmar_*.deb | head -n 1)
echo "Installing $(basename "$deb")"
was_installed=$(dpkg-query -W -f='${Status}' quelmar 2>/dev/null | grep -c 'install ok installed')
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --reinstall "$deb" >/dev/null || { echo "FAILED: apt could not install $deb" >&2; exit 1; }

# What Debian's own tools say of the package: lintian fails on any error or
# warning not overridden (with its reason) by the package itself, and on any
# hardening finding, which lintian reports only as information; it does not
# look for stack canaries, so the program's import of the canary check is
# looked for here.
lintian -I --fail-on error,warning "$deb" >"$work/lintian" 2>&1
lintian_status=$?
sed 's/^/  lintian: /' "$work/lintian"
check "lintian finds no error or warning" test "$lintian_status" -eq 0
check "nor a missing hardening" bash -c "! grep -q '^[EWI]: .*hardening-' '$work/lintian'"
for elf in /usr/bin/quelmar /usr/libexec/quelmar/quelmar-window; do
  check "$elf checks its stack canaries" bash -c "readelf --dyn-syms -W $elf | grep -q ' __stack_chk_fail@'"
done
check "the installed command runs with no display, and has its manual page" \
  bash -c "env -u DISPLAY -u WAYLAND_DISPLAY quelmar --version | grep -qx 'quelmar [0-9.]*' && dpkg -L quelmar | grep -q '/man1/quelmar.1.gz$'"
check "it starts the installed window program for the stored folder (none is stored)" \
  bash -c "env -u DISPLAY -u WAYLAND_DISPLAY XDG_CONFIG_HOME=\$(mktemp -d) quelmar --list 2>&1 | grep -qx 'quelmar: Set up game folder path before beginning.'"
check "the menu entry is installed and valid" desktop-file-validate /usr/share/applications/quelmar.desktop
metainfo=$(dpkg-query -L quelmar | grep "^/usr/share/metainfo/.*\.metainfo\.xml$" | head -n 1)
check "the AppStream metadata is installed and valid" appstreamcli validate --no-net "${metainfo:-none}"
launchable=$(sed -n 's:.*<launchable type="desktop-id">\(.*\)</launchable>.*:\1:p' "${metainfo:-/dev/null}")
check "its launcher is the installed menu entry" test -n "$launchable" -a -f "/usr/share/applications/$launchable"
for size in 16 32 48 256; do
  check "the ${size}px icon is installed" test -f "/usr/share/icons/hicolor/${size}x${size}/apps/quelmar.png"
done
command=$(sed -n 's/^Exec=//p' /usr/share/applications/quelmar.desktop)
check "the menu entry's command is on the PATH" bash -c "command -v $command >/dev/null"

e2e_start_display || exit 1
export XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
# Its own runtime folder (above) keeps it apart from any copy the user has
# open; a network namespace of its own keeps the session's sockets away too.
[ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null && isolate=(unshare -n) || isolate=()
(cd "$work" && exec "${isolate[@]}" $command >"$work/log" 2>&1) & PID=$!
box=$(e2e_wait_window "$BOX")
check "the installed program starts and asks for the game folder" test -n "$box"
[ -n "$box" ] && e2e_keys "$box" Return
check "then opens its window" test -n "$(e2e_wait_window "$MAIN")"
kill "$PID" 2>/dev/null; wait "$PID" 2>/dev/null; PID=""

if [ "$was_installed" -eq 0 ]; then
  DEBIAN_FRONTEND=noninteractive $sudo apt-get remove -y -qq quelmar >/dev/null
fi
[ "$E2E_FAILURES" -eq 0 ] || { echo "$E2E_FAILURES package check(s) failed" >&2; exit 1; }
