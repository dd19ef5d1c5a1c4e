#!/usr/bin/env bash
# Cold-cache timing of the listing: drops the kernel's caches before every
# single run of quelmar-bench list, find and fd on the default tree, taking
# turns so a slow moment of the machine does not favour one tool. Needs root
# (it writes /proc/sys/vm/drop_caches), and slows every other program on the
# machine for a while afterwards, so it is not part of run.sh.
#
# Usage: sudo bench/cold-cache.sh [ROUNDS]   (default 5)
set -euo pipefail
rounds="${1:-5}"
root="$(cd "$(dirname "$0")/.." && pwd)"
bench="${QUELMAR_BUILD_DIR:-$root/build}/bin/quelmar-bench"
[ -x "$bench" ] || { echo "cold-cache.sh: build first (bench/run.sh or cmake --build build)" >&2; exit 2; }
drop() { sync; echo 3 > /proc/sys/vm/drop_caches; }
drop 2>/dev/null || { echo "cold-cache.sh: cannot drop caches here (needs root)" >&2; exit 2; }

work="$(mktemp -d "${TMPDIR:-/tmp}/quelmar-cold-XXXXXX")"
trap 'rm -rf "$work"' EXIT
game="$work/game"
"$bench" make-tree "$game"
cd "$game"

declare -A times
names=(quelmar find fd)
run() {
  case "$1" in
    quelmar) "$bench" list "$game" ;;
    find) find Assets -mindepth 2 -maxdepth 3 -iname Blueprints.pak -type f ;;
    fd) fdfind --min-depth 2 --max-depth 3 --type f --ignore-case --glob --hidden --no-ignore Blueprints.pak Assets ;;
  esac
}
for ((r = 0; r < rounds; r++)); do
  for name in "${names[@]}"; do
    drop
    start=$(date +%s%N)
    run "$name" > /dev/null
    times[$name]+="$(( ($(date +%s%N) - start) / 1000 )) "
  done
done
for name in "${names[@]}"; do
  # shellcheck disable=SC2086
  printf '%-8s cold median %7.1f ms   runs (ms): %s\n' "$name" \
    "$(printf '%s\n' ${times[$name]} | sort -n | awk '{ a[NR] = $1 } END { m = (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2; print m / 1000 }')" \
    "$(for t in ${times[$name]}; do printf '%.1f ' "$(awk -v t="$t" 'BEGIN { print t / 1000 }')"; done)"
done
