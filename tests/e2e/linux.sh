#!/usr/bin/env bash
# The real Linux program on a virtual screen, driven only through the
# keyboard, the file system and the settings file.
# Usage: tests/e2e/linux.sh PROGRAM OUTPUT_FOLDER
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
# Copies of one account meet in a folder named by its number, in /tmp or
# /run/user, whatever their environment, or in its home: these tests get
# those of their own (lib.sh). A network namespace of its own keeps the
# display and the session bus apart as well.
source "$here/lib.sh"
if [ -z "${QUELMAR_E2E_ISOLATED:-}" ]; then
  if [ "$(id -u)" -eq 0 ]; then isolate=(unshare -n -m); else isolate=(unshare -r -n -m); fi
  if "${isolate[@]}" sh -c "$E2E_PRIVATE" sh true 2>/dev/null; then
    isolate+=(sh -c "$E2E_PRIVATE" sh)
  else
    echo "  (no mount namespace: copies the user has open may meet the ones under test)" >&2
    isolate=("${isolate[@]/-m/}")
    "${isolate[@]}" true 2>/dev/null || isolate=()
  fi
  QUELMAR_E2E_ISOLATED=1 exec "${isolate[@]}" dbus-run-session -- "$0" "$@" 2> >(grep -v -e '^dbus-daemon' -e '^SpiRegistry' >&2)
fi
program="$(realpath "$1")"
bench="$(dirname "$program")/quelmar-bench"
out="$(mkdir -p "$2" && realpath "$2")"
work="$(mktemp -d)"
PID="" wm=""
# The program, and strace when it runs under it.
program_pids() { [ -n "$PID" ] && echo "$PID" $(pgrep -P "$PID"); }
trap 'kill $(program_pids) $wm 2>/dev/null; e2e_stop_display; rm -rf "$work"' EXIT

e2e_start_display || exit 1

# A fresh user: nothing stored yet. Each part runs its own copies to the
# end, and its session names a runtime folder of its own, which the rule
# does not go by.
fresh_user() {
  export XDG_CONFIG_HOME="$work/config-$1" XDG_RUNTIME_DIR="$work/runtime-$1"
  mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
  chmod 700 "$XDG_RUNTIME_DIR"
}
store_folder() {
  mkdir -p "$XDG_CONFIG_HOME/Quelmar"
  printf '[Preferences]\nGameFolder=%s\n' "$1" > "$XDG_CONFIG_HOME/Quelmar/Quelmar.conf"
}
# Runs the program, after the command given if any. A loaded virtual screen
# now and then turns a connection away, which says nothing of the program.
start() {
  for _ in 1 2 3; do
    "$@" "$program" >"$work/log" 2>&1 & PID=$!
    sleep 0.3
    kill -0 "$PID" 2>/dev/null || ! grep -q 'could not connect to display' "$work/log" && return 0
    wait "$PID" 2>/dev/null
  done
}
stop() { kill $(program_pids) 2>/dev/null; wait "$PID" 2>/dev/null; PID=""; e2e_wait_gone "$MAIN" 5; }
is_running() { kill -0 "$PID" 2>/dev/null; }

game="$work/Rail Simulator"
"$here/../../scripts/make-sample-game.sh" "$game" >/dev/null
before="$(e2e_files "$game")"
targets=$'./Assets/ProviderA/Blueprints.pak\n./Assets/ProviderA/RouteB/Blueprints.pak\n./Assets/ProviderB/RouteC/blueprints.PAK'

echo "First run, then locating the game, listing and deleting"
fresh_user first
start
box=$(e2e_wait_window "$BOX")
check "the set-up message comes first" test -n "$box"
check "the main window is not up before the message is dismissed" test -z "$(e2e_windows "$MAIN")"
e2e_keys "$box" Return
main=$(e2e_wait_window "$MAIN")
check "the main window opens after it" test -n "$main"
# Both commands are disabled, so Tab goes to the list and back to "...", where Space opens the dialog.
e2e_keys "$main" Tab Tab space
dialog=$(e2e_wait_window "$DIALOG")
check "Tab skips the disabled commands, and \"...\" opens the locate dialog" test -n "$dialog"
e2e_pick_file "$dialog" "$game/RailSim.exe"
check "the game folder is stored" grep -qxF "GameFolder=$game" "$XDG_CONFIG_HOME/Quelmar/Quelmar.conf"
check "a folder with archives lists them without a message" test -z "$(e2e_windows "$BOX")"
import -window "$main" "$out/linux-main-window.png" 2>/dev/null
check "screenshot of the listing" test -s "$out/linux-main-window.png"
# Focus is on "...": Tab, Tab reaches Refresh List; on by the list and "..." to Delete.
e2e_keys "$main" Tab Tab space
check "Refresh List finds archives, so no message" test -z "$(e2e_windows "$BOX")"
e2e_keys "$main" Tab Tab Tab space
box=$(e2e_wait_window "$BOX")
check "deleting reports its count" test -n "$box"
remaining="$(e2e_files "$game")"
expected="$(comm -23 <(echo "$before") <(echo "$targets" | sort))"
check "exactly the three archives are gone" test "$remaining" = "$expected"
e2e_keys "$box" Return
# Delete is now disabled and the focus has moved on to Refresh List, which
# Enter presses: with nothing left to list, it says so.
e2e_keys "$main" Return
box=$(e2e_wait_window "$BOX" 5)
check "the focus moved on to Refresh List, and Enter pressed it" test -n "$box" -a -z "$(e2e_windows "$DIALOG")"
[ -n "$box" ] && e2e_keys "$box" Return
check "the program is still running" is_running

echo "A second copy while the first runs"
start_second() { "$program" >/dev/null 2>&1 & SECOND=$!; }
start_second
sleep 0.1
for _ in $(seq 50); do kill -0 "$SECOND" 2>/dev/null || break; sleep 0.1; done
check "the second copy ends by itself" bash -c "! kill -0 $SECOND 2>/dev/null"
wait "$SECOND"; second_status=$?
check "and reports success" test "$second_status" -eq 0
check "it shows no window of its own" test "$(e2e_windows 'Quelmar' | wc -l)" -eq 1
# Another session of the same account: no runtime folder named, another
# home and temporary folder (su, ssh, a cleaned environment).
timeout 30 env -u XDG_RUNTIME_DIR HOME="$work/elsewhere" TMPDIR="$work" "$program" >/dev/null 2>&1; other=$?
check "a start from a session that names no runtime folder ends too, with status 0; still one window" \
  test "$other" -eq 0 -a "$(e2e_windows 'Quelmar' | wc -l)" -eq 1
stop

# Waits up to $2 seconds until at most $3 of the processes $1 (a list) run.
wait_running() {
  local deadline=$((SECONDS + $2)) left p
  while :; do
    left=0
    for p in $1; do kill -0 "$p" 2>/dev/null && left=$((left + 1)); done
    [ "$left" -le "$3" ] || [ $SECONDS -ge $deadline ] && { echo "$left"; return; }
    sleep 0.1
  done
}

echo "Fifty copies started at once, five times over"
fresh_user many
"$here/../../scripts/make-sample-game.sh" "$work/many" >/dev/null
store_folder "$work/many"  # archives to list, so a window comes without a message
counts=""
for round in 1 2 3 4 5; do
  starts=""
  for _ in $(seq 50); do "$program" >/dev/null 2>&1 & starts="$starts $!"; done
  running=$(wait_running "$starts" 60 1)
  e2e_wait_window "$MAIN" 10 >/dev/null
  counts="$counts $running/$(e2e_windows "$MAIN" | wc -l)/$(e2e_windows "$BOX" | wc -l)"
  kill $starts 2>/dev/null; wait $starts 2>/dev/null
  e2e_wait_gone "$MAIN" 10
done
echo "  copies running/windows/message boxes once the others ended, each time:$counts"
check "each time one copy runs, with one window and no message" test "$counts" = "$(printf ' 1/1/0%.0s' 1 2 3 4 5)"

echo "A stopped copy, then started twelve times"
start
main=$(e2e_wait_window "$MAIN")
kill -STOP "$PID"
starts=""
for _ in $(seq 12); do "$program" >/dev/null 2>&1 & starts="$starts $!"; done
for _ in $(seq 100); do [ "$(e2e_windows "$BOX" | wc -l)" -ge 12 ] && break; sleep 0.1; done
boxes=$(e2e_windows "$BOX")
echo "  windows: $(e2e_windows "$MAIN" | wc -l), message boxes: $(echo "$boxes" | grep -c .)"
check "each start says the running copy does not answer, and none opens a window" \
  test "$(echo "$boxes" | grep -c .)" -eq 12 -a "$(e2e_windows "$MAIN")" = "$main"
for box in $boxes; do e2e_keys "$box" Return; done
check "each ends once its message is read" test "$(wait_running "$starts" 10 0)" -eq 0
kill -CONT "$PID"
timeout 10 "$program" >/dev/null 2>&1; again=$?
check "resumed, the copy answers the next start, which ends by itself; still one window" \
  test "$again" -eq 0 -a "$(e2e_windows "$MAIN")" = "$main" -a -z "$(e2e_windows "$BOX")"
stop

echo "Another account holding what it can of this user's instance names"
# The folder in /tmp named by this account's number, made first and open to
# all, with a socket whose queue is full and a lock file in it; earlier
# versions' abstract socket name; and, for a session that names no runtime
# folder, the private folder Qt falls back to, made first likewise.
if [ "$(id -u)" -eq 0 ] && [ -w / ] && command -v setpriv >/dev/null; then
  home="$(getent passwd "$(id -u)" | cut -d: -f6)"
  # The rule then lives in the home's .cache: once where the home has one,
  # and once where nothing has made it yet, as on a new account.
  for cache in with without; do
    echo "  ($cache a .cache in the home)"
    fresh_user "hostile-$cache"
    store_folder "$game"
    # Only in the home made for this run: never the machine's own.
    if [ "${QUELMAR_E2E_HOME:-}" = "$home" ]; then
      rm -rf "$home/.cache"
      [ "$cache" = with ] && mkdir -m 755 "$home/.cache"
    else
      echo "  (the home is the machine's own: as it is)"
    fi
    shared="$(mktemp -d)" && chmod 1777 "$shared"  # as /tmp is: the test's own folder is private
    rm -rf "/tmp/quelmar-$(id -u)"  # left by the copies stopped above: no copy runs now
    setpriv --reuid=65534 --regid=65534 --clear-groups /usr/bin/python3 -c '
import os, socket, sys, time
def hold(name):
    held = socket.socket(socket.AF_UNIX); held.bind(name); held.listen(0)
    filler = socket.socket(socket.AF_UNIX); filler.setblocking(False); filler.connect(name)
    return held, filler
kept = hold(b"\0quelmar-" + sys.argv[1].encode())
for folder in ("/tmp/quelmar-" + sys.argv[1], sys.argv[2] + "/runtime-" + sys.argv[3]):
    os.mkdir(folder); os.chmod(folder, 0o777)
    kept += hold(folder + "/socket") + hold(folder + "/quelmar.socket")
    with open(folder + "/quelmar.lock", "w") as lock: lock.write("%d\nquelmar\n\n" % os.getpid())
open(sys.argv[2] + "/ready", "w").close()
time.sleep(60)' "$(id -u)" "$shared" "$(id -un)" & hostile=$!
    for _ in $(seq 50); do [ -e "$shared/ready" ] && break; sleep 0.1; done
    unset XDG_RUNTIME_DIR
    TMPDIR="$shared" start
    check "the program starts all the same and shows its window" test -n "$(e2e_wait_window "$MAIN" 10)" -a -e "$shared/ready"
    [ "$cache" = without ] && [ "${QUELMAR_E2E_HOME:-}" = "$home" ] &&
      check "it made the home's .cache, private" test "$(stat -c %a "$home/.cache" 2>/dev/null)" = 700
    if [ -d "/run/user/$(id -u)" ] || [ -w "$home" ]; then
      timeout 30 "$program" >/dev/null 2>&1; again=$?
      check "the rule holds elsewhere: a second start ends, with status 0; still one window" \
        test "$again" -eq 0 -a "$(e2e_windows "$MAIN" | wc -l)" -eq 1
    fi
    stop
    kill "$hostile" 2>/dev/null; wait "$hostile" 2>/dev/null
    rm -rf "$shared" "/tmp/quelmar-$(id -u)" "$home/.cache/quelmar-$(hostname)"
  done
else
  echo "  (skipped: needs root to act as another account)"
fi

# Starts with folder $2 stored; message $1 must come before the window.
message_before_window() {
  store_folder "$2"
  start
  box=$(e2e_wait_window "$BOX")
  check "$1 comes before the window" test -n "$box" -a -z "$(e2e_windows "$MAIN")"
  e2e_keys "$box" Return
  check "then the window opens" test -n "$(e2e_wait_window "$MAIN")"
  stop
}

echo "A stored folder that has since been removed"
fresh_user removed
message_before_window "its warning" "$work/no longer here"

echo "A stored folder without archives"
fresh_user empty
"$here/../../scripts/make-sample-game.sh" "$work/empty" >/dev/null
find "$work/empty/Assets" -iname Blueprints.pak -type f -delete
# The check passed, so the window is up when the listing finds nothing.
store_folder "$work/empty"
start
box=$(e2e_wait_window "$BOX")
check '"No .pak files found." comes over the window' test -n "$box" -a -n "$(e2e_windows "$MAIN")"
[ -n "$box" ] && e2e_keys "$box" Return
stop

echo "A read-only archive"
fresh_user readonly
"$here/../../scripts/make-sample-game.sh" "$work/ro" >/dev/null
chmod 444 "$work/ro/Assets/ProviderA/RouteB/Blueprints.pak"
store_folder "$work/ro"
start
main=$(e2e_wait_window "$MAIN")
check "the window opens with the listing" test -n "$main" -a -z "$(e2e_windows "$BOX")"
e2e_keys "$main" Tab space
box=$(e2e_wait_window "$BOX")
check "the failure is reported" test -n "$box"
check "the read-only archive is kept" test -e "$work/ro/Assets/ProviderA/RouteB/Blueprints.pak"
e2e_keys "$box" Return
check "the program is still running" is_running
e2e_keys "$main" shift+Tab space
dialog=$(e2e_wait_window "$DIALOG")
check "and still answers" test -n "$dialog"
[ -n "$dialog" ] && e2e_keys "$dialog" Escape
stop

# What xdotool cannot do, through Xlib. "x11 cursor" prints a digest of the
# cursor's image on screen; "x11 ping ID MS" fails unless window ID answers
# the window manager's "are you alive" (_NET_WM_PING) within MS ms.
x11() {
  /usr/bin/python3 - "$@" <<'PY'
import ctypes as C, hashlib, sys, time
x = C.CDLL("libX11.so.6")
x.XOpenDisplay.restype = C.c_void_p
x.XDefaultRootWindow.restype = x.XInternAtom.restype = C.c_ulong
d = C.c_void_p(x.XOpenDisplay(None))
root, what, args = x.XDefaultRootWindow(d), sys.argv[1], sys.argv[2:]
if what == "cursor":  # an XFixesCursorImage: width, height at bytes 4 and 6, the pixels' address at 24
    xf = C.CDLL("libXfixes.so.3")
    xf.XFixesGetCursorImage.restype = C.c_void_p
    image = xf.XFixesGetCursorImage(d)
    width, height = C.cast(image, C.POINTER(C.c_ushort))[2:4]
    print(hashlib.sha1(C.string_at(C.c_void_p.from_address(image + 24).value, width * height * 8)).hexdigest())
else:
    window, protocols, ping = int(args[0], 0), x.XInternAtom(d, b"WM_PROTOCOLS", 0), x.XInternAtom(d, b"_NET_WM_PING", 0)
    x.XSelectInput(d, C.c_ulong(root), C.c_long(1 << 17 | 1 << 19))  # the answer goes to the root window
    e = (C.c_long * 24)(33, 0, 0, 0, window, protocols, 32, ping, 0, window)  # a ClientMessage
    x.XSendEvent(d, C.c_ulong(window), 0, C.c_long(0), C.byref(e))
    x.XFlush(d)
    deadline = time.monotonic() + int(args[1]) / 1000
    while time.monotonic() < deadline:
        if x.XCheckTypedEvent(d, 33, C.byref(e)) and (e[4], e[5], e[7], e[9]) == (root, protocols, ping, window):
            sys.exit(0)
        time.sleep(0.005)
    sys.exit(1)
PY
}

openbox --sm-disable >/dev/null 2>&1 & wm=$!
for _ in $(seq 100); do wmctrl -m >/dev/null 2>&1 && break; sleep 0.1; done
# The desktop shows the arrow; a busy cursor, maybe animated, is any other.
xdotool mousemove 1 1 && sleep 0.2 && arrow=$(x11 cursor)
busy() { [ "$(x11 cursor)" != "$arrow" ]; }
wait_idle() { for _ in $(seq 600); do busy || return 0; sleep 0.1; done; return 1; }

echo "A large collection on a slow disk, under a window manager"
# Every folder read takes 160 ms longer, as on a slow share: a walk lasts
# long enough (some 15 s, with its 16 readers) to be seen at work on a
# loaded machine too.
big="$work/Big Collection"
"$bench" make-tree "$big" --providers 60 --routes 10 >/dev/null
fresh_user slow
store_folder "$big"
start strace -f -qq --seccomp-bpf -o /dev/null -e trace=getdents64 -e inject=getdents64:delay_exit=160000
main=$(e2e_wait_window "$MAIN" 10)
# The client area on the screen (xdotool's geometry counts the frame in).
eval "$(xwininfo -id "$main" | awk '/Absolute upper-left X/ { print "X=" $NF } /Absolute upper-left Y/ { print "Y=" $NF }')"
click_at() { xdotool mousemove "$((X + $1))" "$((Y + $2))" click 1; }
grab() { import -window root -crop "$1+$((X + $2))+$((Y + $3))" "$work/$4.png"; }
# Below the list, where the idle window shows the arrow (the list itself shows the I-beam).
xdotool mousemove "$((X + 200))" "$((Y + 160))"
for _ in $(seq 50); do
  grab 380x80 12 68 text2
  lines=$(convert "$work/text2.png" -format '%[fx:standard_deviation > 0.02]' info:)
  [ "$lines" = 1 ] && break
  sleep 0.1
done
busy && busy_then=1 || busy_then=""
check "Text2 shows lines before the walk ends" test "$lines" = 1 -a -n "$busy_then"
check "the window answers the window manager's ping during the walk" x11 ping "$main" 500
# Uncovered, the top of the window, which the walk leaves alone, is drawn
# again while the walk goes on: its thread is not the walk's. Each image is
# waited for, not a fixed time, so that a loaded machine passes too.
grab 425x64 0 0 before
differ() { compare -metric AE "$work/before.png" "$work/$1.png" null: 2>&1; }
shows() {  # NAME same|changed: grabs the top as NAME until it is, for 5 s at most
  for _ in $(seq 50); do
    grab 425x64 0 0 "$1"
    if [ "$(differ "$1")" = 0 ]; then [ "$2" = same ] && return 0; else [ "$2" = changed ] && return 0; fi
    sleep 0.1
  done
  return 1
}
xmessage -geometry "425x167+$X+$Y" -bg red . 2>/dev/null & cover=$!
e2e_wait_window '^xmessage$' 5 >/dev/null && shows covered changed && covered=1 || covered=""
kill "$cover" && shows after same && redrawn=1 || redrawn=""
busy && busy_after=1 || busy_after=""
[ -n "$covered" -a -n "$redrawn" -a -n "$busy_after" ] ||
  echo "  (covered: ${covered:-no}; drawn again: ${redrawn:-no}; walk still going: ${busy_after:-no})"
check "uncovered during the walk, it is drawn again while the walk goes on" \
  test -n "$covered" -a -n "$redrawn" -a -n "$busy_after"
wait_idle && idle=1 || idle=""
check "the busy cursor shows over the window while it lists, the arrow after" test -n "$busy_then" -a -n "$idle"

click_at 132 56 && sleep 1  # Delete All .pak Files
click_at 284 56             # Refresh List, while it deletes
busy && busy_at_click=1 || busy_at_click=""
box=$(e2e_wait_window "$BOX" 60)
[ -n "$box" ] && e2e_keys "$box" Return
sleep 1.5
check "Refresh List, pressed while it deleted, did nothing then or after" \
  test -n "$box" -a -n "$busy_at_click" -a -z "$(e2e_windows "$BOX")"

"$bench" make-tree "$big" --providers 60 --routes 10 >/dev/null  # every archive back
order=$("$bench" list "$big" 2>/dev/null)
click_at 284 56 && sleep 0.5 && wait_idle
click_at 132 56
# Closed once the deletion is under way: an archive is gone.
for _ in $(seq 100); do [ "$("$bench" list "$big" 2>/dev/null | wc -l)" -lt "$(echo "$order" | wc -l)" ] && break; sleep 0.1; done
wmctrl -i -c "$main" && sleep 2 && kill $(program_pids) 2>/dev/null  # if it is still there
wait "$PID"; status=$?; PID=""
left=$("$bench" list "$big" 2>/dev/null)
deleted=$(( $(echo "$order" | wc -l) - $(echo "$left" | grep -c .) ))
check "closed during a deletion, it ends with status 0 after $deleted archives, leaving those after in place" \
  test "$status" -eq 0 -a "$deleted" -gt 0 -a -n "$left" -a "$(echo "$order" | tail -n +$((deleted + 1)))" = "$left"

echo "First run with the game in a store library"
# A pretend home with the store's own library and one on another drive.
fresh_user store
export HOME="$work/home-of-userA"
library1="$HOME/.local/share/Steam" library2="$work/drive2/StoreLibrary"
"$here/../../scripts/make-sample-game.sh" "$library1/steamapps/common/GameFolderX" >/dev/null
mkdir -p "$library2/steamapps/common/GameFolderY" && touch "$library2/steamapps/common/GameFolderY/RailSim.exe"
printf '"libraryfolders"\n{\n\t"0"\n\t{\n\t\t"path"\t\t"%s"\n\t}\n\t"1"\n\t{\n\t\t"path"\t\t"%s"\n\t}\n}\n' \
  "$library1" "$library2" > "$library1/steamapps/libraryfolders.vdf"
QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 start
e2e_keys "$(e2e_wait_window "$BOX")" Return
main=$(e2e_wait_window "$MAIN")
e2e_keys "$main" space
# A bare name finds the game only in the folder the dialog opened in.
e2e_pick_file "$(e2e_wait_window "$DIALOG")" RailSim.exe
check "\"...\" opens in the game's folder, where picking RailSim.exe lists the archives" test -z "$(e2e_windows "$BOX")" -a \
  "$(sed -n 's/^GameFolder=//p' "$XDG_CONFIG_HOME/Quelmar/Quelmar.conf")" = "$library1/steamapps/common/GameFolderX"

# The controls of role $1 whose name matches $2, as a screen reader finds
# them: one line "X Y NAME" each, X Y being the control's centre. With
# "press" it presses them, with "state" it adds whether each has the focus.
a11y() {
  /usr/bin/python3 - "$@" <<'PY' 2>/dev/null
import re, sys, gi
gi.require_version("Atspi", "2.0")
from gi.repository import Atspi
def walk(node, depth=0):
    yield node
    for i in range(node.get_child_count() if depth < 20 else 0):
        if (child := node.get_child_at_index(i)) is not None: yield from walk(child, depth + 1)
desktop = Atspi.get_desktop(0)
for app in (desktop.get_child_at_index(i) for i in range(desktop.get_child_count())):
    for n in walk(app) if app is not None and app.get_name() == "Quelmar" else ():
        if n.get_role_name() == sys.argv[1] and re.search(sys.argv[2], n.get_name() or ""):
            r = n.get_extents(Atspi.CoordType.SCREEN)
            if sys.argv[3:] == ["press"]: n.get_action_iface().do_action(0)
            focused = n.get_state_set().contains(Atspi.StateType.FOCUSED)
            print(r.x + r.width // 2, r.y + r.height // 2, n.get_name(), *(["focused"] if focused else []))
PY
}
# Waits until what a11y finds (arguments 2 on) has a line matching the
# regular expression $1, and prints it: the accessibility registry and the
# window's accessible tree come up, and change, in their own time, which a
# loaded machine makes long. Gives up after 60 s, printing nothing.
a11y_until() {
  local want=$1 found deadline=$((SECONDS + 60)); shift
  until found=$(a11y "$@" | grep -E -- "$want"); do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.2
  done
  echo "$found"
}
e2e_keys "$main" space
dialog=$(e2e_wait_window "$DIALOG")
# Each library under its own folder's name, not "common" twice: clicked,
# each leads the dialog's folder box to its own folder.
a11y_until . "list item" '^StoreLibrary$' >/dev/null
reached=$(a11y "list item" '^(Steam|StoreLibrary)$' | while read -r x y name; do
  [ "$name" = Steam ] && want="$library1/steamapps/common" || want="$library2/steamapps/common"
  xdotool mousemove "$x" "$y" click 1 && a11y_until " $want\$" "combo box" '^/' | cut -d' ' -f3-
done | sort)
check "the dialog's sidebar holds both libraries, told apart by name" test "$reached" = \
  "$(printf '%s\n' "$library1/steamapps/common" "$library2/steamapps/common" | sort)"
[ -n "$dialog" ] && e2e_keys "$dialog" Escape

echo "The list as a screen reader and the eye find it"
e2e_keys "$main" Tab Tab Tab  # from "...": Delete, Refresh List, the list
check "the list is named and takes the focus by Tab" \
  test "$(a11y_until ' focused$' text '^Archives found$' | cut -d' ' -f3-)" = "Archives found focused"
read -r lx ly _ <<<"$(a11y_until . text '^Archives found$')"
import -window root -crop "300x24+$((lx - 150))+$((ly - 34))" "$work/list.png"
contrast=$(convert "$work/list.png" -colorspace LinearGray -format '%[fx:(maxima + 0.05) / (minima + 0.05)]' info:)
check "its text stands out from its background by $contrast:1, at least 4.5:1" awk "BEGIN { exit !($contrast >= 4.5) }"
import -window "$main" "$out/linux-list-focused.png" 2>/dev/null
# A screen reader's press on Refresh List while "Complete." is up is dropped:
# the empty folders would otherwise bring "No .pak files found." over it.
a11y_until . "push button" '^Refresh List$' >/dev/null
(a11y "push button" '^Delete All' press >/dev/null &)
box=$(e2e_wait_window "$BOX")
timeout 5 bash -c "$(declare -f a11y); a11y 'push button' '^Refresh List$' press" >/dev/null; sleep 1
boxes=$(e2e_windows "$BOX" | wc -l)
[ -n "$box" ] && e2e_keys "$box" Return && sleep 1
check "Refresh List pressed by a screen reader during \"Complete.\" runs nothing, then or after" \
  test -n "$box" -a "$boxes" -eq 1 -a -z "$(e2e_windows "$BOX")"

echo "A second start while the window is minimised"
xdotool windowminimize --sync "$main"
e2e_wait_gone "$MAIN" 5 && minimised=1 || minimised=""
timeout 10 "$program" >/dev/null 2>&1; second=$?
check "brings the window back, active, and ends with status 0" test -n "$minimised" -a "$second" -eq 0 -a \
  -n "$(e2e_wait_window "$MAIN" 5)" -a "$(sleep 0.5; xdotool getactivewindow 2>/dev/null)" = "$main"
stop

[ "$E2E_FAILURES" -eq 0 ] || { echo "$E2E_FAILURES end-to-end check(s) failed" >&2; exit 1; }
