#!/usr/bin/env bash
# Times Quelmar's archive walk against GNU find and fd on large pretend game
# trees, after checking that all three find the same archives, and checks the
# performance targets. Warm cache throughout: every timing has warm-up runs.
#
# Usage: bench/run.sh [--no-targets] [--quick] [--keep]
#   --no-targets  report the figures only; do not fail when a target is missed
#   --quick       fewer runs (for trying things out; not for published figures)
#   --keep        leave the trees and results in the temporary folder
# Environment: QUELMAR_BUILD_DIR (default: build), TMPDIR (where the trees go).
# Results: $QUELMAR_BUILD_DIR/bench-results/ (hyperfine JSON and summary.txt).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUELMAR_BUILD_DIR:-$root/build}"
check_targets=1 keep=0
runs=40 warmup=5 delete_runs=15 growth_runs=10 clicks=20 big_clicks=5
for arg in "$@"; do
  case "$arg" in
    --no-targets) check_targets=0 ;;
    --quick) runs=10 warmup=2 delete_runs=5 growth_runs=3 clicks=5 big_clicks=2 ;;
    --keep) keep=1 ;;
    *) sed -n '2,11p' "$0" >&2; exit 2 ;;
  esac
done

for tool in hyperfine fdfind find jq /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "run.sh: $tool is missing (scripts/install-deps.sh)" >&2; exit 2; }
done

step() { printf '\n== %s ==\n' "$*"; }

step "Build"
[ -f "$build/build.ninja" ] || cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" --target quelmar-bench quelmar-bench-window
results="$build/bench-results"
mkdir -p "$results"

work="$(mktemp -d "${TMPDIR:-/tmp}/quelmar-bench-XXXXXX")"
cleanup() { if [ "$keep" = 1 ]; then echo "Trees kept in $work"; else rm -rf "$work"; fi; }
trap cleanup EXIT
# Run copies from the temporary folder: a cleanup elsewhere that matches
# command lines starting with build/bin/quelmar must not end a timing run.
mkdir "$work/bin"
cp "$build/bin/quelmar-bench" "$build/bin/quelmar-bench-window" "$work/bin/"
bench="$work/bin/quelmar-bench"
window="$work/bin/quelmar-bench-window"

# The three ways of asking for the same archives, run from inside the game
# folder so that every tool prints paths starting at "Assets/".
find_cmd="find Assets -mindepth 2 -maxdepth 3 -iname Blueprints.pak -type f"
fd_cmd="fdfind --min-depth 2 --max-depth 3 --type f --ignore-case --glob --hidden --no-ignore Blueprints.pak Assets"

# The folder part of each line, sorted and unique: Quelmar names every archive
# "Blueprints.pak" while find and fd print the spelling on disk, and a folder
# holding two spellings is one archive to Quelmar but two files to them.
folders() { tr -d '\r' | sed 's#/[^/]*$##' | LC_ALL=C sort -u; }

same_set() {  # GAMEFOLDER
  local game="$1" q="$work/quelmar.txt"
  (cd "$game" && "$bench" list "$game") | tr -d '\r' > "$q"
  if grep -v -E '^Assets/([^/]+/){1,2}Blueprints\.pak$' "$q" | head -3 | grep -q .; then
    echo "FAIL: quelmar listed lines that are not Assets/<1 or 2 folders>/Blueprints.pak:" >&2
    grep -v -E '^Assets/([^/]+/){1,2}Blueprints\.pak$' "$q" | head -3 >&2
    return 1
  fi
  folders < "$q" > "$work/q.set"
  (cd "$game" && $find_cmd) | folders > "$work/find.set"
  (cd "$game" && $fd_cmd) | folders > "$work/fd.set"
  local lines; lines=$(wc -l < "$q")
  echo "quelmar: $lines archives in $(wc -l < "$work/q.set") folders; find: $(wc -l < "$work/find.set") folders; fd: $(wc -l < "$work/fd.set") folders"
  [ "$lines" -eq "$(wc -l < "$work/q.set")" ] || { echo "FAIL: quelmar listed a folder twice" >&2; return 1; }
  [ "$lines" -gt 0 ] || { echo "FAIL: nothing listed" >&2; return 1; }
  diff "$work/q.set" "$work/find.set" > "$work/diff.txt" || { echo "FAIL: quelmar and find differ:" >&2; head -20 "$work/diff.txt" >&2; return 1; }
  diff "$work/q.set" "$work/fd.set" > "$work/diff.txt" || { echo "FAIL: quelmar and fd differ:" >&2; head -20 "$work/diff.txt" >&2; return 1; }
  echo "same set: OK"
}

median() { jq -r --arg n "$2" '.results[] | select(.command == $n) | .median' "$1"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
ms() { awk -v s="$1" 'BEGIN { printf "%.1f", s * 1000 }'; }

game="$work/game"
step "Default tree (400 providers x 25 routes)"
"$bench" make-tree "$game" | tee "$work/tree.txt"

step "Same archives: quelmar-bench list, find, fd"
same_set "$game"

step "Delete removes exactly what is listed"
before=$(cd "$game" && $find_cmd | wc -l)
(cd "$game" && "$bench" delete "$game" 2>/dev/null) | folders > "$work/deleted.set"
after=$(cd "$game" && $find_cmd | wc -l)
diff -q "$work/q.set" "$work/deleted.set" >/dev/null || { echo "FAIL: delete reported other folders than list" >&2; exit 1; }
[ $((before - after)) -eq "$(wc -l < "$work/q.set")" ] || {
  echo "FAIL: delete removed $((before - after)) files for $(wc -l < "$work/q.set") listed archives" >&2; exit 1; }
"$bench" make-tree "$game" >/dev/null
[ "$(cd "$game" && $find_cmd | wc -l)" -eq "$before" ] || { echo "FAIL: make-tree did not restore the tree" >&2; exit 1; }
echo "deleted $((before - after)) of $before files named like an archive (the rest are second spellings); tree restored: OK"

step "List: quelmar-bench list vs find vs fd (warm cache, $runs runs)"
(cd "$game" && hyperfine -N --warmup "$warmup" --runs "$runs" --export-json "$results/list.json" \
  -n quelmar "$bench list $game" -n find "$find_cmd" -n fd "$fd_cmd")

step "Delete: quelmar-bench delete vs find -delete ($delete_runs runs, tree restored before each)"
# Restoring goes through a script so that its errors are kept: hyperfine
# discards the prepare command's output.
printf '%q make-tree %q >/dev/null 2>>%q || { echo "make-tree exited $?" >>%q; exit 1; }\n' \
  "$bench" "$game" "$work/restore.log" "$work/restore.log" > "$work/restore.sh"
(cd "$game" && hyperfine -N --warmup 1 --runs "$delete_runs" --export-json "$results/delete.json" \
  --prepare "bash $work/restore.sh" \
  -n quelmar-delete "$bench delete $game" -n find-delete "$find_cmd -delete") ||
  { echo "FAIL: delete timing; restore log:" >&2; cat "$work/restore.log" >&2 2>/dev/null; exit 1; }
"$bench" make-tree "$game" >/dev/null

step "Refresh List through the Qt window (offscreen, $clicks clicks)"
QT_QPA_PLATFORM=offscreen "$window" "$game" --clicks "$clicks" | tee "$work/window.txt"

step "Peak memory of quelmar-bench list (GNU time, 5 runs)"
rss=()
for _ in 1 2 3 4 5; do
  rss+=("$(/usr/bin/time -f %M "$bench" list "$game" 2>&1 >/dev/null | tail -1)")
done
rss_max=$(printf '%s\n' "${rss[@]}" | sort -n | tail -1)
echo "maximum resident set size (KiB): ${rss[*]}"

big="$work/big"
step "Big tree (4000 providers x 25 routes)"
"$bench" make-tree "$big" --providers 4000 | tee "$work/big-tree.txt"
same_set "$big"

step "Growth: list on 400 vs 4000 providers ($growth_runs runs)"
hyperfine -N --warmup 2 --runs "$growth_runs" --export-json "$results/growth.json" \
  -n list-400 "$bench list $game" -n list-4000 "$bench list $big"

step "Refresh List through the Qt window, 4000 providers ($big_clicks clicks)"
QT_QPA_PLATFORM=offscreen "$window" "$big" --clicks "$big_clicks" | tee "$work/window-big.txt"

field() { sed -n "s/.*\b$2=\([0-9.]*\).*/\1/p" "$1"; }
q=$(median "$results/list.json" quelmar); f=$(median "$results/list.json" find); d=$(median "$results/list.json" fd)
qd=$(median "$results/delete.json" quelmar-delete); fdel=$(median "$results/delete.json" find-delete)
g400=$(median "$results/growth.json" list-400); g4000=$(median "$results/growth.json" list-4000)
click=$(field "$work/window.txt" click_median_ms); core=$(field "$work/window.txt" core_median_ms)
big_click=$(field "$work/window-big.txt" click_median_ms); big_load=$(field "$work/window-big.txt" load_ms)

summary="$results/summary.txt"
{
  echo "Quelmar benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo '?')"
  echo "tree (default): $(cat "$work/tree.txt")"
  echo "tree (big):     $(cat "$work/big-tree.txt")"
  echo "list medians:   quelmar $(ms "$q") ms, find $(ms "$f") ms, fd $(ms "$d") ms"
  echo "list ratios:    quelmar/find $(ratio "$q" "$f"), quelmar/fd $(ratio "$q" "$d")"
  echo "delete medians: quelmar $(ms "$qd") ms, find -delete $(ms "$fdel") ms; ratio $(ratio "$qd" "$fdel")"
  echo "window click:   median $click ms (core alone in the same process: $core ms); vs quelmar-bench list $(ratio "$click" "$(ms "$q")")"
  echo "growth:         list 400 $(ms "$g400") ms, list 4000 $(ms "$g4000") ms; ratio $(ratio "$g4000" "$g400")"
  echo "window, 4000:   click median $big_click ms, start-up (load) $big_load ms"
  echo "peak RSS list:  max $rss_max KiB of 5 runs ($(awk -v k="$rss_max" 'BEGIN { printf "%.1f", k / 1024 }') MiB)"
} > "$summary"
step "Summary ($summary)"
cat "$summary"

step "Targets"
missed=0
target() {  # NAME VALUE OPERATOR LIMIT
  if awk -v v="$2" -v l="$4" -v op="$3" 'BEGIN { exit !((op == "<=") ? v <= l : v < l) }'; then
    printf 'PASS  %-44s %s %s %s\n' "$1" "$2" "$3" "$4" | tee -a "$summary"
  else
    printf 'MISS  %-44s %s %s %s\n' "$1" "$2" "$3" "$4" | tee -a "$summary"; missed=$((missed + 1))
  fi
}
target "list / find (medians)" "$(ratio "$q" "$f")" "<=" 0.4
target "list / fd (medians)" "$(ratio "$q" "$d")" "<=" 0.7
target "delete / find -delete (medians)" "$(ratio "$qd" "$fdel")" "<=" 1.0
target "window Refresh List / quelmar-bench list" "$(ratio "$click" "$(ms "$q")")" "<=" 1.5
target "list 4000 / list 400 (medians)" "$(ratio "$g4000" "$g400")" "<=" 12
target "window Refresh List, 4000 providers (ms)" "$big_click" "<" 2000
target "peak RSS of list, default tree (KiB)" "$rss_max" "<" 20480
if [ "$missed" -gt 0 ]; then
  echo "$missed target(s) missed"
  [ "$check_targets" = 1 ] && exit 1
fi
exit 0
