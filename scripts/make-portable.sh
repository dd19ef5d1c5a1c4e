#!/usr/bin/env bash
# Makes the portable Linux archive: one folder holding the program, the Qt
# libraries and the X11 platform plugin it loads, and the libraries those
# need that a desktop cannot be counted on to have. The program finds them
# through its run path ($ORIGIN/lib) and qt.conf, without any wrapper script.
# Called by `cmake --build build --target package`.
#
# Usage: scripts/make-portable.sh PROGRAM VERSION OUTPUT.tar.gz
set -euo pipefail
program="$(realpath "$1")" version="$2" output="$3"
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
for tool in patchelf ldd strip tar; do
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
)
host_pattern="^($(IFS='|'; echo "${left_to_host[*]}"))$"

qt_plugins="$(dirname "$(ldd "$program" | awk '$1 ~ /^libQt6Core/ { print $3 }')")/qt6/plugins"
[ -d "$qt_plugins/platforms" ] || { echo "make-portable.sh: no Qt plugins at $qt_plugins" >&2; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
top="quelmar-$version"
dest="$work/$top"
mkdir -p "$dest/lib" "$dest/plugins/platforms"

install -m 755 "$program" "$dest/quelmar"
# Only the X11 platform: the window needs nothing else. No image formats (the
# icons are PNG, which Qt reads itself), no OpenGL integration, no input
# methods (nothing in the window takes typing but the file dialog's name box).
install -m 755 "$qt_plugins/platforms/libqxcb.so" "$dest/plugins/platforms/"

# Every library the program and the plugin load, found as ldd resolves them
# here, less what the host provides.
{ ldd "$program"; ldd "$qt_plugins/platforms/libqxcb.so"; } |
  awk '$2 == "=>" && $3 ~ /^\// { print $1, $3 }' | sort -u |
  while read -r name path; do
    [[ "$name" =~ $host_pattern ]] && continue
    install -m 644 "$path" "$dest/lib/$name"
  done
for missing in $( { ldd "$program"; ldd "$qt_plugins/platforms/libqxcb.so"; } | awk '/not found/ { print $1 }'); do
  echo "make-portable.sh: $missing not found" >&2; exit 1
done

strip --strip-unneeded "$dest/quelmar" "$dest/plugins/platforms/libqxcb.so" "$dest"/lib/*.so*
patchelf --set-rpath '$ORIGIN/lib' "$dest/quelmar"
patchelf --set-rpath '$ORIGIN/../../lib' "$dest/plugins/platforms/libqxcb.so"
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
