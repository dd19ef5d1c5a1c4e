#!/usr/bin/env bash
# Makes the portable Linux archive: one folder holding the program, the Qt
# libraries and the plugins it loads (X11 and Wayland, and the GTK and desktop
# portal themes), and the libraries those need that a desktop cannot be
# counted on to have. The window's program finds them
# through its run path ($ORIGIN/lib) and qt.conf, without any wrapper script;
# quelmar, beside it, needs none of them and starts it.
# Called by `cmake --build build --target package`.
#
# Usage: scripts/make-portable.sh WINDOW_PROGRAM VERSION OUTPUT.tar.gz   (quelmar beside it)
set -euo pipefail
program="$(realpath "$1")" version="$2" output="$3"
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
for tool in patchelf ldd readelf strip tar; do
  command -v "$tool" >/dev/null || { echo "make-portable.sh: $tool is missing (scripts/install-deps.sh)" >&2; exit 2; }
done

# What the host must provide, never the bundle: each must match the running
# system, its drivers or its other libraries, and every desktop has it.
# Matched against the library's file name (its soname).
left_to_host=(
  # The C and C++ runtimes, and GCC's support libraries that come with them.
  'ld-linux-.*' 'libc\.so.*' 'libm\.so.*' 'libdl\.so.*' 'librt\.so.*' 'libpthread\.so.*'
  'libstdc\+\+\.so.*' 'libgcc_s\.so.*' 'libgomp\.so.*'
  # OpenGL and EGL: must be the system's own, which loads its graphics driver.
  'libGL\.so.*' 'libEGL\.so.*' 'libGLX\.so.*' 'libOpenGL\.so.*' 'libGLdispatch\.so.*'
  # The X11 and xcb core libraries and their own helpers: they speak to the
  # system's X server. (The xcb-util family is not core and is bundled.)
  'libX11\.so.*' 'libX11-xcb\.so.*' 'libXau\.so.*' 'libXdmcp\.so.*' 'libICE\.so.*' 'libSM\.so.*'
  'libxcb\.so.*' 'libxcb-(randr|render|shape|shm|sync|xfixes|xkb|glx|xinput|dri2|dri3|present)\.so.*'
  'libbsd\.so.*' 'libmd\.so.*'
  # Fonts: fontconfig must read the system's own font configuration, and
  # freetype and the shaper it was built with (harfbuzz, graphite) come
  # with it, as do the compression and parsing libraries they share.
  'libfontconfig\.so.*' 'libfreetype\.so.*' 'libharfbuzz\.so.*' 'libgraphite2\.so.*'
  'libexpat\.so.*' 'libpng16\.so.*' 'libz\.so.*' 'libbrotli.*\.so.*' 'libbz2\.so.*' 'libuuid\.so.*'
  # The D-Bus client library must match the session's bus, and brings the
  # system's service manager and crypto libraries with it.
  'libdbus-1\.so.*' 'libsystemd\.so.*' 'libgcrypt\.so.*' 'libgpg-error\.so.*' 'libcap\.so.*'
  'liblzma\.so.*' 'liblz4\.so.*'
  # GTK 3 and what it is built on (GLib, GObject, GIO, Pango, Cairo, ATK,
  # GdkPixbuf): the GTK theme plugin must load the desktop's own GTK, which
  # must then find the GLib it was built for, not an older copy of ours.
  # Where GTK is missing the plugin does not load and Qt keeps its own look.
  'libgtk-3\.so.*' 'libgdk-3\.so.*' 'libgdk_pixbuf-2\.0\.so.*' 'libatk-1\.0\.so.*'
  'libpango(cairo|ft2)?-1\.0\.so.*' 'libcairo(-gobject)?\.so.*'
  'lib(glib|gobject|gio|gmodule|gthread)-2\.0\.so.*'
  # The Wayland client libraries speak to the desktop's compositor and come
  # with it, libffi with them. Without them Qt uses X11 (or Xwayland).
  'libwayland-(client|cursor|egl)\.so.*' 'libffi\.so.*'
)
host_pattern="^($(IFS='|'; echo "${left_to_host[*]}"))$"

qt_plugins="$(dirname "$(ldd "$program" | awk '$1 ~ /^libQt6Core/ { print $3 }')")/qt6/plugins"
[ -d "$qt_plugins/platforms" ] || { echo "make-portable.sh: no Qt plugins at $qt_plugins" >&2; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
top="quelmar-$version"
dest="$work/$top"
mkdir -p "$dest/lib"

# The window systems: X11, and Wayland with the xdg-shell every desktop
# compositor speaks and the title bar Qt draws where the compositor draws
# none. The desktop's look: its GTK theme (colours, fonts, icons), and the
# desktop portal's settings and dialogs. Nothing else: no image formats (the
# icons are PNG, which Qt reads itself), no OpenGL integration (the window
# draws in software), no input methods (nothing in the window takes typing
# but the file dialog's name box).
plugins=(
  platforms/libqxcb.so
  platforms/libqwayland-generic.so
  wayland-shell-integration/libxdg-shell.so
  wayland-decoration-client/libbradient.so
  platformthemes/libqgtk3.so
  platformthemes/libqxdgdesktopportal.so
)
install -m 755 "$program" "$dest/quelmar-window"
install -m 755 "$(dirname "$program")/quelmar" "$dest/quelmar"
for plugin in "${plugins[@]}"; do
  [ -f "$qt_plugins/$plugin" ] || { echo "make-portable.sh: no Qt plugin $plugin (scripts/install-deps.sh)" >&2; exit 1; }
  install -D -m 755 "$qt_plugins/$plugin" "$dest/plugins/$plugin"
done

# The libraries an ELF file names itself, each with the file ldd finds for it.
needs() {
  local map name
  map=$(ldd "$1" | awk '$2 == "=>" { print $1, $3 }')
  for name in $(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p'); do
    echo "$name $(awk -v name="$name" '$1 == name { print $2 }' <<<"$map")"
  done
}
# Every library the program and the plugins load, and those these load in
# turn, less what the host provides: a host library brings its own.
queue=("$program")
for plugin in "${plugins[@]}"; do queue+=("$qt_plugins/$plugin"); done
while [ ${#queue[@]} -gt 0 ]; do
  file=${queue[0]} queue=("${queue[@]:1}")
  while read -r name path; do
    [[ "$name" =~ $host_pattern ]] && continue
    [ -e "$dest/lib/$name" ] && continue
    [[ "$path" == /* ]] || { echo "make-portable.sh: $name, needed by $file, not found" >&2; exit 1; }
    install -m 644 "$path" "$dest/lib/$name"
    queue+=("$path")
  done < <(needs "$file")
done

strip --strip-unneeded "$dest/quelmar" "$dest/quelmar-window" "$dest"/plugins/*/*.so "$dest"/lib/*.so*
patchelf --set-rpath '$ORIGIN/lib' "$dest/quelmar-window"
for plugin in "$dest"/plugins/*/*.so; do patchelf --set-rpath '$ORIGIN/../../lib' "$plugin"; done
for lib in "$dest"/lib/*.so*; do patchelf --set-rpath '$ORIGIN' "$lib"; done

# Qt reads this beside the program: plugins come from here, never from the
# system's own Qt.
printf '[Paths]\nPrefix = .\nPlugins = plugins\n' > "$dest/qt.conf"

mkdir -p "$dest/share/applications"
install -m 644 "$source_dir/resources/quelmar.desktop" "$dest/share/applications/quelmar.desktop"
for png in "$source_dir"/resources/icons/quelmar-*.png; do
  size="${png##*-}"; size="${size%.png}"
  mkdir -p "$dest/share/icons/hicolor/${size}x${size}/apps"
  install -m 644 "$png" "$dest/share/icons/hicolor/${size}x${size}/apps/quelmar.png"
done
install -m 755 "$source_dir/resources/portable/install-menu-entry.sh" "$dest/install-menu-entry.sh"
sed "s/@VERSION@/$version/g" "$source_dir/resources/portable/README.txt" > "$dest/README.txt"

mkdir -p "$(dirname "$output")"
tar -C "$work" --owner=0 --group=0 --numeric-owner -czf "$output" "$top"
echo "Made $output ($(du -k "$output" | cut -f1) KiB)"
