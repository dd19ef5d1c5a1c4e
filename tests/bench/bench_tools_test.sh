#!/usr/bin/env bash
# The benchmark tools on small generated trees: the walk must find exactly the
# archives GNU find finds with the same rule, delete exactly what it lists,
# report failures the way the window would, and the tree maker must give the
# same tree for the same seed, decoys included.
#
# Usage: bench_tools_test.sh GROUP QUELMAR_BENCH [QUELMAR_BENCH_WINDOW]
#   GROUP: same_set | delete | errors | make_tree | window
set -uo pipefail

group="$1" bench="$(realpath "$2")" window="${3:+$(realpath "$3")}"
work="$(mktemp -d "${TMPDIR:-/tmp}/quelmar-bench-test-XXXXXX")"
trap 'chmod -R u+w "$work" 2>/dev/null; rm -rf "$work"' EXIT
passed=0 failed=0

check() {  # DESCRIPTION COMMAND...
  local what="$1"; shift
  if "$@"; then passed=$((passed + 1)); else echo "FAILED: $what" >&2; failed=$((failed + 1)); fi
}

rule() { find Assets -mindepth 2 -maxdepth 3 -iname Blueprints.pak -type f "$@"; }
folders() { tr -d '\r' | sed 's#/[^/]*$##' | LC_ALL=C sort -u; }
# Every file and link except exactly spelled archives one or two levels down.
others() { find Assets -type f -o -type l | grep -v -E '^Assets/[^/]+/([^/]+/)?Blueprints\.pak$' | LC_ALL=C sort; }

small() {  # FOLDER [make-tree options]: a 20 x 5 tree, made quietly
  local dir="$1"; shift
  "$bench" make-tree "$dir" --providers 20 --routes 5 "$@" > "$work/counts.txt"
}

same_set() {
  small "$work/game"
  cd "$work/game" || return
  "$bench" list "$work/game" > "$work/list.txt"
  check "list exits 0" test $? -eq 0
  tr -d '\r' < "$work/list.txt" > "$work/lines.txt"
  check "something is listed" test -s "$work/lines.txt"
  check "every line ends in CR LF" test "$(grep -c $'\r$' "$work/list.txt")" -eq "$(wc -l < "$work/list.txt")"
  check "every line is Assets/<one or two folders>/Blueprints.pak" \
    test -z "$(grep -v -E '^Assets/([^/]+/){1,2}Blueprints\.pak$' "$work/lines.txt")"
  folders < "$work/lines.txt" > "$work/q.set"
  check "no folder listed twice" test "$(wc -l < "$work/q.set")" -eq "$(wc -l < "$work/lines.txt")"
  rule | folders > "$work/find.set"
  check "same folders as find" diff "$work/q.set" "$work/find.set"
  if command -v fdfind >/dev/null; then
    fdfind --min-depth 2 --max-depth 3 --type f --ignore-case --glob --hidden --no-ignore Blueprints.pak Assets \
      | folders > "$work/fd.set"
    check "same folders as fd" diff "$work/q.set" "$work/fd.set"
  fi
  # The comparison means something only if the tree tempts a wrong walk.
  check "archives spelled in other letter cases are listed" test -n "$(rule ! -name Blueprints.pak)"
  check "archives in a hidden folder are listed" grep -q '^Assets/\.' "$work/lines.txt"
  check "a looser rule finds decoys" test "$(find Assets -iname Blueprints.pak | wc -l)" -gt "$(rule | wc -l)"
  check "make-tree counts the lines the listing shows" grep -q "listed=$(wc -l < "$work/lines.txt") " "$work/counts.txt"
}

delete() {
  small "$work/game" --seed 7
  cd "$work/game" || return
  mkdir Assets/Twin && echo x > Assets/Twin/Blueprints.pak && echo x > Assets/Twin/blueprints.pak
  "$bench" list "$work/game" | folders > "$work/listed.set"
  local before deep; before=$(rule | wc -l)
  deep=$(find Assets -path '*/RailVehicles/Blueprints.pak' | wc -l)
  others > "$work/others-before.txt"
  "$bench" delete "$work/game" > "$work/deleted.txt" 2> "$work/message.txt"
  check "delete exits 0" test $? -eq 0
  folders < "$work/deleted.txt" > "$work/deleted.set"
  check "delete prints the list it deleted" diff "$work/listed.set" "$work/deleted.set"
  check "one file gone per listed archive" test $((before - $(rule | wc -l))) -eq "$(wc -l < "$work/listed.set")"
  check "no exactly spelled archive left one or two levels down" \
    test -z "$(find Assets -mindepth 2 -maxdepth 3 -name Blueprints.pak -type f)"
  check "the completion message names the count" grep -q "$(wc -l < "$work/listed.set")" "$work/message.txt"
  # Everything that is not an archive (deeper copies, other paks, links, the
  # copy directly in Assets) is still there, along with second spellings.
  others > "$work/others-after.txt"
  # Only archives spelled another way may have gone (when no exact spelling
  # stood beside them), and only regular files.
  check "decoys are left alone" test -z "$(comm -23 "$work/others-before.txt" "$work/others-after.txt" \
    | grep -v -i -E '^Assets/[^/]+/([^/]+/)?blueprints\.pak$')"
  check "of two spellings only the exact one is deleted" \
    test ! -e Assets/Twin/Blueprints.pak -a -f Assets/Twin/blueprints.pak
  check "Assets/Blueprints.pak survives" test -f Assets/Blueprints.pak
  check "a link named like an archive survives" test -L Assets/Provider0004/Route00/blueprints.Pak
  check "deeper archives survive" test "$(find Assets -path '*/RailVehicles/Blueprints.pak' | wc -l)" -eq "$deep"
  small "$work/game" --seed 7
  # All but the hand-made Twin/Blueprints.pak, which make-tree never made.
  check "make-tree again restores every archive" test "$(rule | wc -l)" -eq $((before - 1))
}

errors() {
  local out="$work/out.txt" err="$work/err.txt"
  "$bench" list "$work/missing" > "$out" 2> "$err"
  check "missing game folder exits 1" test $? -eq 1
  check "missing game folder is reported on stderr" test -s "$err"
  check "missing game folder lists nothing" test ! -s "$out"

  mkdir -p "$work/no-assets"
  "$bench" list "$work/no-assets" > "$out" 2> "$err"
  check "game folder without Assets exits 1" test $? -eq 1
  check "missing Assets is reported on stderr" test -s "$err"

  mkdir -p "$work/empty/Assets/ProviderA/RouteB"
  "$bench" list "$work/empty" > "$out" 2> "$err"
  check "a tree without archives exits 0" test $? -eq 0
  check "a tree without archives lists nothing" test ! -s "$out"
  check "a tree without archives says so on stderr" test -s "$err"

  # A read-only archive is refused, which stops the command: the description
  # goes to stderr and what was listed before it stays on stdout.
  mkdir -p "$work/ro/Assets/A" "$work/ro/Assets/B"
  echo x > "$work/ro/Assets/A/Blueprints.pak"
  echo x > "$work/ro/Assets/B/Blueprints.pak"
  chmod a-w "$work/ro/Assets/B/Blueprints.pak"
  local first; first=$("$bench" list "$work/ro" | head -1 | tr -d '\r')
  "$bench" delete "$work/ro" > "$out" 2> "$err"
  check "a refused delete exits 1" test $? -eq 1
  check "a refused delete names the file on stderr" grep -q "Blueprints.pak" "$err"
  check "the read-only archive is kept" test -f "$work/ro/Assets/B/Blueprints.pak"
  check "what was listed before the failure is printed" grep -q "^$first" "$out"

  "$bench" make-tree "$work/t" --providers 0 > "$out" 2> "$err"
  check "make-tree refuses zero providers" test $? -eq 2
  "$bench" frobnicate > "$out" 2> "$err"
  check "an unknown command exits 2 with usage" test $? -eq 2 -a -s "$err"
}

make_tree() {
  tree_of() { (cd "$1" && find . -printf '%y %p %l\n' | LC_ALL=C sort); }
  small "$work/a" --seed 3
  small "$work/b" --seed 3
  small "$work/c" --seed 4
  check "the same seed gives the same tree" diff <(tree_of "$work/a") <(tree_of "$work/b")
  check "another seed gives another tree" test "$(tree_of "$work/a")" != "$(tree_of "$work/c")"
  check "RailSim.exe is made" test -f "$work/a/RailSim.exe"
  check "20 x 5 makes 120 folders one and two levels down" \
    test "$(find "$work/a/Assets" -mindepth 1 -maxdepth 2 -type d | wc -l)" -eq 120
  check "the printed folder count is right" grep -q "^folders=120 " "$work/counts.txt"
  check "links are made and not followed" test -L "$work/a/Assets/LinkedProvider"
  # Roughly a third of the providers and half of the routes hold an archive.
  local l1 l2
  l1=$(cd "$work/a" && find Assets -mindepth 2 -maxdepth 2 -iname Blueprints.pak -type f | wc -l)
  l2=$("$bench" make-tree "$work/d" --providers 60 | sed 's/.*listed=\([0-9]*\).*/\1/')
  check "level-1 archives are present" test "$l1" -ge 2 -a "$l1" -le 14
  # 60 / 3 + 60 * 25 / 2 = 770 expected; allow for chance.
  check "about 770 archives in 60 providers x 25 routes" test "$l2" -ge 690 -a "$l2" -le 850
}

window() {
  [ -x "$window" ] || { echo "FAILED: no quelmar-bench-window given" >&2; return 1; }
  small "$work/game"
  local lines; lines=$("$bench" list "$work/game" | wc -l)
  QT_QPA_PLATFORM=offscreen "$window" "$work/game" --clicks 2 > "$work/window.txt"
  check "the window run succeeds and its Text2 equals the core's list" test $? -eq 0
  check "the window lists as many lines as quelmar-bench list" grep -q "^lines=$lines " "$work/window.txt"
}

case "$group" in
  same_set | delete | errors | make_tree | window) "$group" ;;
  *) echo "unknown group $group" >&2; exit 2 ;;
esac
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
