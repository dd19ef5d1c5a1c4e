#!/bin/sh
# Adds Quelmar to this user's application menu, pointing at the program in
# this folder; with --remove, takes it away again. Touches nothing outside
# ~/.local/share (or $XDG_DATA_HOME) and needs no administrator rights.
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
data="${XDG_DATA_HOME:-$HOME/.local/share}"
case "$data" in /*) ;; *) data="$HOME/.local/share" ;; esac
entry="$data/applications/quelmar.desktop"
sizes="16 24 32 48 64 128 256"

case "${1:-}" in
  --remove)
    rm -f "$entry"
    for size in $sizes; do rm -f "$data/icons/hicolor/${size}x${size}/apps/quelmar.png"; done
    echo "Quelmar's menu entry is removed."
    ;;
  "")
    mkdir -p "$data/applications"
    # The program's full path, quoted as desktop entries want it.
    program=$(printf '%s' "$here/quelmar" | sed -e 's/[\\"`$]/\\&/g' -e 's/%/%%/g')
    sed -e "s|^Exec=.*|Exec=\"$program\"|" "$here/share/applications/quelmar.desktop" > "$entry.tmp"
    mv "$entry.tmp" "$entry"
    for size in $sizes; do
      mkdir -p "$data/icons/hicolor/${size}x${size}/apps"
      cp "$here/share/icons/hicolor/${size}x${size}/apps/quelmar.png" "$data/icons/hicolor/${size}x${size}/apps/"
    done
    command -v update-desktop-database >/dev/null 2>&1 && update-desktop-database "$data/applications" 2>/dev/null || true
    echo "Quelmar is in your application menu. Run '$0 --remove' to take it away."
    ;;
  *)
    echo "usage: $0 [--remove]" >&2
    exit 2
    ;;
esac
