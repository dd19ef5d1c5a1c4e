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

rule() { find -L Assets -mindepth 2 -maxdepth 3 -type f -iname Blueprints.pak "$@" 2>/dev/null; }
sorted() { tr -d '\r' | LC_ALL=C sort; }
# Every file and link except archives one or two levels down, in any spelling.
others() { find Assets -type f -o -type l | grep -v -i -E '^Assets/[^/]+/([^/]+/)?Blueprints\.pak$' | LC_ALL=C sort; }

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
  check "every line is Assets/<one or two folders>/Blueprints.pak in some spelling" \
    test -z "$(grep -v -i -E '^Assets/([^/]+/){1,2}Blueprints\.pak$' "$work/lines.txt")"
  sorted < "$work/lines.txt" > "$work/q.set"
  rule | sorted > "$work/find.set"
  check "same entries as find -L, names as on disk" diff "$work/q.set" "$work/find.set"
  if command -v fdfind >/dev/null; then
    fdfind -L --min-depth 2 --max-depth 3 --type f --ignore-case --glob --hidden --no-ignore Blueprints.pak Assets \
      | sorted > "$work/fd.set"
    check "same entries as fd -L" diff "$work/q.set" "$work/fd.set"
  fi
  # The comparison means something only if the tree tempts a wrong walk.
  check "archives spelled in other letter cases are listed" grep -q -v '/Blueprints\.pak$' "$work/lines.txt"
  check "archives in a linked provider are listed" grep -q '^Assets/LinkedProvider/' "$work/lines.txt"
  check "a link to a file is listed" grep -q '^Assets/Provider0004/Route00/blueprints\.Pak$' "$work/lines.txt"
  check "archives in a hidden folder are listed" grep -q '^Assets/\.' "$work/lines.txt"
  check "a looser rule finds decoys" test "$(find Assets -iname Blueprints.pak | wc -l)" -gt "$(rule | wc -l)"
  check "make-tree counts the lines the listing shows" grep -q "listed=$(wc -l < "$work/lines.txt") " "$work/counts.txt"
}

delete() {
  small "$work/game" --seed 7
  cd "$work/game" || return
  mkdir Assets/Twin && echo x > Assets/Twin/Blueprints.pak && echo x > Assets/Twin/blueprints.pak
  "$bench" list "$work/game" | sorted > "$work/listed.set"
  local before deep; before=$(rule | wc -l)
  deep=$(find Assets -path '*/RailVehicles/Blueprints.pak' | wc -l)
  # The linked provider's archives are listed twice but deleted once: its
  # second visit finds what the first one left.
  local twice; twice=$(grep -c '^Assets/Provider0003/' "$work/listed.set")
  others > "$work/others-before.txt"
  "$bench" delete "$work/game" > "$work/deleted.txt" 2> "$work/message.txt"
  check "delete exits 0" test $? -eq 0
  sorted < "$work/deleted.txt" > "$work/deleted.set"
  check "delete prints what it deleted: the list, less the second visit of the linked provider" \
    test "$(grep -v '^Assets/\(Provider0003\|LinkedProvider\)/' "$work/deleted.set")" = \
         "$(grep -v '^Assets/\(Provider0003\|LinkedProvider\)/' "$work/listed.set")" \
      -a "$(grep -c '^Assets/\(Provider0003\|LinkedProvider\)/' "$work/deleted.set")" -eq "$twice"
  check "no archive left one or two levels down" test -z "$(rule)"
  check "the completion message names the count" grep -q "$(wc -l < "$work/deleted.set")" "$work/message.txt"
  # Everything that is not an archive (deeper copies, other paks, links, the
  # copy directly in Assets) is still there, along with second spellings.
  others > "$work/others-after.txt"
  # Only archives spelled another way may have gone (when no exact spelling
  # stood beside them), and only regular files.
  check "decoys are left alone" test -z "$(comm -23 "$work/others-before.txt" "$work/others-after.txt" \
    | grep -v -i -E '^Assets/[^/]+/([^/]+/)?blueprints\.pak$')"
  check "both spellings are deleted" test ! -e Assets/Twin/Blueprints.pak -a ! -e Assets/Twin/blueprints.pak
  check "Assets/Blueprints.pak survives" test -f Assets/Blueprints.pak
  check "a link to a file goes, the file it led to stays" \
    test ! -L Assets/Provider0004/Route00/blueprints.Pak -a -f Outside.pak
  check "a link that leads nowhere stays" test -L Assets/Provider0004/Route00/BLUEPRINTS.PAK
  check "deeper archives survive" test "$(find Assets -path '*/RailVehicles/Blueprints.pak' | wc -l)" -eq "$deep"
  small "$work/game" --seed 7
  # All but the two hand-made Twin archives, which make-tree never made.
  check "make-tree again restores every archive" test "$(rule | wc -l)" -eq $((before - 2))
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
  check "links are made" test -L "$work/a/Assets/LinkedProvider" -a -L "$work/a/Assets/Provider0000/Back"
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
