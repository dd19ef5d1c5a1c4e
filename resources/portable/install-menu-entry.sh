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

# One argument of an Exec line, as desktop entries want it: in double
# quotes, with " ` $ and \ escaped by a backslash and % doubled; then the
# whole is escaped once more as every string value is, so each backslash is
# doubled and a line break or tab becomes \n or \t. Character by character,
# so that no folder name can be taken for sed or awk syntax.
exec_argument() {
  rest=$1 out=""
  nl='
'
  tab=$(printf '\t') cr=$(printf '\r')
  while [ -n "$rest" ]; do
    c=${rest%"${rest#?}"}
    rest=${rest#?}
    case "$c" in
      '"' | '`' | '$') out="$out\\\\$c" ;;
      '\') out="$out\\\\\\\\" ;;
      %) out="$out%%" ;;
      "$nl") out="$out\\n" ;;
      "$tab") out="$out\\t" ;;
      "$cr") out="$out\\r" ;;
      *) out="$out$c" ;;
    esac
  done
  printf '"%s"' "$out"
}

case "${1:-}" in
  --remove)
    rm -f "$entry"
    for size in $sizes; do rm -f "$data/icons/hicolor/${size}x${size}/apps/quelmar.png"; done
    echo "Quelmar's menu entry is removed."
    ;;
  "")
    mkdir -p "$data/applications"
    # Written beside the entry and renamed over it, so a menu never reads
    # half an entry; removed again if anything fails before that.
    tmp=$(mktemp "$data/applications/.quelmar.desktop.XXXXXX")
    trap 'rm -f "$tmp"' EXIT
    trap 'exit 1' HUP INT TERM
    program=$(exec_argument "$here/quelmar")
    while IFS= read -r line || [ -n "$line" ]; do
      case "$line" in
        Exec=*) printf 'Exec=%s\n' "$program" ;;
        *) printf '%s\n' "$line" ;;
      esac
    done < "$here/share/applications/quelmar.desktop" > "$tmp"
    chmod 644 "$tmp"
    mv -f "$tmp" "$entry"
    for size in $sizes; do
      mkdir -p "$data/icons/hicolor/${size}x${size}/apps"
      cp "$here/share/icons/hicolor/${size}x${size}/apps/quelmar.png" "$data/icons/hicolor/${size}x${size}/apps/"
    done
    echo "Quelmar is in your application menu. Run '$0 --remove' to take it away."
    ;;
  *)
    echo "usage: $0 [--remove]" >&2
    exit 2
    ;;
esac
