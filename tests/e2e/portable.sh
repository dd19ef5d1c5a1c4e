#!/usr/bin/env bash
# The portable archive on a machine without Qt: unpacks it into a fresh
# folder, hides the system's Qt libraries and plugins in a private mount
# namespace, then drives the
# unpacked program through the first-run message to the listing and
# deletion of the sample game. Also adds and removes the menu entry for a
# pretend user.
# Usage: tests/e2e/portable.sh BUILD_FOLDER
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/lib.sh"

if [ "${1:-}" != "--inside" ]; then
  build="$(realpath "$1")"
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
  cmake --build "$build" --target package >/dev/null 2>&1 || { echo "FAILED: building the packages" >&2; exit 1; }
  archive=$(ls "$build"/quelmar-*-linux-x86_64.tar.gz 2>/dev/null | head -n 1)
  [ -f "$archive" ] || { echo "FAILED: no portable archive in $build" >&2; exit 1; }
  echo "Unpacking $(basename "$archive") ($(du -k "$archive" | cut -f1) KiB)"
  mkdir "$work/unpacked"
  tar -C "$work/unpacked" -xzf "$archive" || { echo "FAILED: unpacking" >&2; exit 1; }
  folder=$(ls -d "$work"/unpacked/quelmar-*)
  check "it unpacks to one folder, quelmar-<version>" test "$(ls "$work/unpacked" | wc -l)" -eq 1 -a -d "$folder"
  check "the window's program has a relative run path" bash -c "readelf -d '$folder/quelmar-window' | grep -q 'R.*PATH.*\\\$ORIGIN/lib'"
  check "qt.conf sits beside it" test -f "$folder/qt.conf"
  check "no wrapper sets LD_LIBRARY_PATH" bash -c "! grep -rl LD_LIBRARY_PATH '$folder' --include='*.sh'"

  # The menu entry, for a pretend user.
  home="$work/home-of-userA"
  mkdir -p "$home"
  HOME="$home" XDG_DATA_HOME="" "$folder/install-menu-entry.sh" >/dev/null
  entry="$home/.local/share/applications/quelmar.desktop"
  check "the menu entry is added for this user" test -f "$entry"
  check "it starts the unpacked program" grep -qxF "Exec=\"$folder/quelmar\"" "$entry"
  check "its icons are added" test -f "$home/.local/share/icons/hicolor/48x48/apps/quelmar.png"
  HOME="$home" XDG_DATA_HOME="" "$folder/install-menu-entry.sh" --remove >/dev/null
  check "--remove takes the entry away" test ! -e "$entry"
  check "and the icons" test -z "$(find "$home" -name quelmar.png)"

  # From a folder whose name a shell, sed or a desktop entry could misread,
  # the entry still starts the program there as GLib reads it: a stand-in
  # program records the path it was started as.
  odd="$work/odd/Games & Tools | \$HOME \\back \"quoted\" \`tick\` $(printf 'tab\tand') é"
  mkdir -p "$odd" "$work/home-of-userB" "$work/home-of-userC"
  cp -r "$folder/share" "$folder/install-menu-entry.sh" "$odd/"
  printf '#!/bin/sh\nprintf %%s "$0" > "%s/started"\n' "$work" > "$odd/quelmar" && chmod +x "$odd/quelmar"
  HOME="$work/home-of-userB" XDG_DATA_HOME="" "$odd/install-menu-entry.sh" >/dev/null
  gio launch "$work/home-of-userB/.local/share/applications/quelmar.desktop" 2>/dev/null
  for _ in $(seq 50); do [ -s "$work/started" ] && break; sleep 0.1; done
  check "an entry added from an oddly named folder starts the program there, and is all it adds" \
    test "$(cat "$work/started" 2>/dev/null)" = "$odd/quelmar" -a "$(ls -A "$work/home-of-userB/.local/share/applications")" = quelmar.desktop
  rm "$odd/share/applications/quelmar.desktop"  # a failure half-way
  check "a failed install says so" bash -c "! HOME='$work/home-of-userC' XDG_DATA_HOME= '$odd/install-menu-entry.sh' >/dev/null 2>&1"
  check "and leaves no entry, whole or half" test -z "$(ls -A "$work/home-of-userC/.local/share/applications" 2>/dev/null)"

  # Everything else runs where the system's Qt cannot be seen, with a runtime
  # folder of its own (set inside), so that no copy the user has open ends
  # the program, and in a network namespace of its own.
  if [ "$(id -u)" -eq 0 ]; then namespace=(unshare -m -n); else namespace=(unshare -r -m -n); fi
  "${namespace[@]}" bash "$0" --inside "$folder" "$work" "$build"
  inside=$?
  [ "$E2E_FAILURES" -eq 0 ] && [ "$inside" -eq 0 ] || { echo "portable check(s) failed" >&2; exit 1; }
  exit 0
fi

# Inside the private mount namespace.
folder="$2" work="$3" build="$4"
mount --make-rprivate / 2>/dev/null
hidden=0
hide() {  # hides the file a library name resolves to
  local real; real=$(realpath "$1")
  mount --bind /dev/null "$real" && hidden=$((hidden + 1))
}
# Only Qt: the test's own tools (mount, Xvfb, xdotool) need the system's
# other libraries. That the bundle's copies of those are the ones loaded is
# checked below from the running program's memory map.
for lib in /usr/lib/x86_64-linux-gnu/libQt6*.so* ; do [ -L "$lib" ] || hide "$lib"; done
mount -t tmpfs none /usr/lib/x86_64-linux-gnu/qt6
echo "Hid $hidden Qt libraries and the system's Qt plugins"
check "the system's Qt can no longer be loaded" \
  bash -c "! QT_QPA_PLATFORM=offscreen '$build/bin/quelmar' >/dev/null 2>&1"

e2e_start_display || exit 1
trap 'e2e_stop_display; [ -n "${PID:-}" ] && kill "$PID" 2>/dev/null; [ -n "${WESTON:-}" ] && kill "$WESTON" 2>/dev/null' EXIT
export XDG_CONFIG_HOME="$work/config" HOME="$work/home"
mkdir -p "$XDG_CONFIG_HOME" "$HOME"
game="$work/Rail Simulator"
"$here/../../scripts/make-sample-game.sh" "$game" >/dev/null
before="$(e2e_files "$game")"
targets=$'./Assets/ProviderA/Blueprints.pak\n./Assets/ProviderA/RouteB/Blueprints.pak\n./Assets/ProviderB/RouteC/blueprints.PAK'

(cd / && exec "$folder/quelmar" >"$work/log" 2>&1) & PID=$!
box=$(e2e_wait_window "$BOX")
check "the unpacked program starts and asks for the game folder" test -n "$box"
[ -n "$box" ] || { sed 's/^/  program: /' "$work/log" >&2; exit 1; }
loaded=$(awk '$6 ~ /\.so/ { print $6 }' "/proc/$PID/maps" | sort -u)
check "it runs on the bundle's Qt and X11 plugin" \
  bash -c "grep -qxF '$folder/lib/libQt6Core.so.6' <<<'$loaded' && grep -qxF '$folder/plugins/platforms/libqxcb.so' <<<'$loaded'"
from_system=$(for lib in $loaded; do
  case "$lib" in "$folder"/*) ;; *) [ -e "$folder/lib/$(basename "$lib")" ] && echo "$lib" ;; esac
done)
check "no library the bundle carries comes from the system${from_system:+ (but: $from_system)}" test -z "$from_system"
e2e_keys "$box" Return
main=$(e2e_wait_window "$MAIN")
check "then opens its window" test -n "$main"
# Both commands are off: Tab goes to the list and back to "...".
e2e_keys "$main" Tab Tab space
dialog=$(e2e_wait_window "$DIALOG")
check "\"...\" opens the locate dialog" test -n "$dialog"
e2e_pick_file "$dialog" "$game/RailSim.exe"
check "the game folder is stored" grep -qxF "GameFolder=$game" "$XDG_CONFIG_HOME/Quelmar/Quelmar.conf"
check "the listing finds archives, so no message" test -z "$(e2e_windows "$BOX")"
# From "...", Tab reaches "Delete All .pak Files".
e2e_keys "$main" Tab space
box=$(e2e_wait_window "$BOX")
check "deleting what was listed reports its count" test -n "$box"
remaining="$(e2e_files "$game")"
expected="$(comm -23 <(echo "$before") <(echo "$targets" | sort))"
check "exactly the three listed archives are gone" test "$remaining" = "$expected"
[ -n "$box" ] && e2e_keys "$box" Return
kill "$PID" 2>/dev/null; wait "$PID" 2>/dev/null; PID=""

# The desktop's look. Each row starts a copy with nothing stored, the GTK
# theme plugin asked for and a dark GTK theme set, and measures the
# brightness (0 black to 1 white) of the first message's background in a
# screenshot. The system's GTK is hidden in the last row only: the plugin
# must then fail to load and Qt keep its own light look.
loaded_by() { awk '$6 ~ /\.so/ { print $6 }' "/proc/$1/maps" | sort -u; }
looks=(
  "dark|no|the GTK theme plugin darkens the window with the desktop's dark GTK theme"
  "light|yes|without GTK on the system it still starts, in Qt's own light look"
)
for row in "${looks[@]}"; do
  IFS='|' read -r look hide_gtk what <<<"$row"
  [ "$hide_gtk" = yes ] && hide /usr/lib/x86_64-linux-gnu/libgtk-3.so.0
  (cd / && XDG_CONFIG_HOME="$work/config-$look" QT_QPA_PLATFORMTHEME=gtk3 GTK_THEME=Adwaita:dark \
     exec "$folder/quelmar" >"$work/log" 2>&1) & PID=$!
  box=$(e2e_wait_window "$BOX")
  [ -n "$box" ] && sleep 0.5 && import -window "$box" "$work/$look.png"
  shade=$(convert "$work/$look.png" -crop 8x8+2+2 -format '%[fx:mean]' info: 2>/dev/null)
  case "$look" in
    dark) seen=$(awk -v s="${shade:-1}" 'BEGIN { print (s < 0.35) ? "yes" : "no" }')
          # The plugin is the bundle's, GTK the system's.
          gtk=$(loaded_by "$PID" | grep -c -e "^$folder/plugins/platformthemes/libqgtk3\.so$" -e '^/usr/lib/.*/libgtk-3\.so')
          [ "$gtk" -eq 2 ] || seen=no ;;
    light) seen=$(awk -v s="${shade:-0}" 'BEGIN { print (s > 0.65) ? "yes" : "no" }') ;;
  esac
  check "$what (brightness ${shade:-none})" test "$seen" = yes
  [ "$seen" = yes ] || sed 's/^/  program: /' "$work/log" >&2
  kill "$PID" 2>/dev/null; wait "$PID" 2>/dev/null; PID=""
done

# Wayland, with no X server: a compositor without Xwayland, and the window
# must be put on it by the bundle's Wayland plugin. The client's own protocol
# log shows the compositor configuring the window and the window's picture
# handed over.
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
weston --backend=headless-backend.so --socket=wayland-quelmar --idle-time=0 >"$work/weston.log" 2>&1 & WESTON=$!
for _ in $(seq 50); do [ -S "$XDG_RUNTIME_DIR/wayland-quelmar" ] && break; sleep 0.1; done
(cd / && unset DISPLAY && XDG_CONFIG_HOME="$work/config-wayland" WAYLAND_DISPLAY=wayland-quelmar \
   QT_QPA_PLATFORM=wayland WAYLAND_DEBUG=client exec "$folder/quelmar" >"$work/log" 2>&1) & PID=$!
shown=no
for _ in $(seq 150); do
  grep -qE 'xdg_surface@[0-9]+\.configure' "$work/log" && grep -qE -- '-> wl_surface@[0-9]+\.attach\(wl_buffer@' "$work/log" &&
    { shown=yes; break; }
  sleep 0.1
done
sleep 1
loaded=$(loaded_by "$PID")
check "on a Wayland compositor without X it shows its window through the bundle's Wayland plugin" \
  bash -c "[ $shown = yes ] && kill -0 $PID && grep -qxF '$folder/plugins/platforms/libqwayland-generic.so' <<<'$loaded' && ! grep -q libqxcb <<<'$loaded'"
[ "$shown" = yes ] || { sed 's/^/  program: /' "$work/log" | grep -v '^  program: \[' >&2; sed 's/^/  weston: /' "$work/weston.log" >&2; }
kill "$PID" 2>/dev/null; wait "$PID" 2>/dev/null; PID=""
kill "$WESTON" 2>/dev/null; wait "$WESTON" 2>/dev/null; WESTON=""
[ "$E2E_FAILURES" -eq 0 ]
