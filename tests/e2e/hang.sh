#!/usr/bin/env bash
# The real Linux program against a mount that stops answering (a share whose
# server went away): a folder whose read never returns must neither freeze
# the window, nor pile up threads and descriptors press after press, nor
# keep the program from ending when it is closed. The mount is a small FUSE
# file system (hang_fs.py) that this script starts and always takes down.
# Usage: tests/e2e/hang.sh PROGRAM OUTPUT_FOLDER
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
# As linux.sh: its own /tmp, /run/user and home, where copies of one
# account meet (lib.sh), and network namespace; and its own mounts, so the
# file system that hangs is seen by nothing else and goes with the
# namespace, whatever happens here.
source "$here/lib.sh"
if [ -z "${QUELMAR_E2E_ISOLATED:-}" ]; then
  if [ "$(id -u)" -eq 0 ]; then isolate=(unshare -n); else isolate=(unshare -r -n); fi
  if "${isolate[@]}" -m sh -c "$E2E_PRIVATE" sh true 2>/dev/null; then isolate+=(-m sh -c "$E2E_PRIVATE" sh)
  else "${isolate[@]}" true 2>/dev/null || isolate=(); fi
  QUELMAR_E2E_ISOLATED=1 exec "${isolate[@]}" dbus-run-session -- "$0" "$@" 2> >(trap "" TERM INT HUP; exec grep -v -e '^dbus-daemon' -e '^SpiRegistry' >&2)
fi
program="$(realpath "$1")"
out="$(mkdir -p "$2" && realpath "$2")"
work="$(mktemp -d)"
mnt="$work/mnt" fslog="$work/fs.log" figures="$out/hang-figures.txt"
mkdir "$mnt"
: > "$figures"
PID="" FS="" wm=""

# The file system is taken down before anything waits on the program: a
# thread of it still in a read of the mount holds the process until then.
unmount() {
  [ -n "$FS" ] || return 0
  fusermount3 -u -z "$mnt" || fusermount -u -z "$mnt" || umount -l "$mnt"
  kill -9 "$FS"
  reap "$FS"
  FS=""
} 2>/dev/null  # nor the shell's word that it killed them
stop() {
  [ -n "$PID" ] && { kill -9 "$PID"; unmount; reap "$PID"; }
  unmount
  PID=""
} 2>/dev/null
cleanup() {
  stop
  [ -n "$wm" ] && kill "$wm" 2>/dev/null
  e2e_stop_display
  # Never into a mount that is still there.
  timeout 30 rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT HUP

# Microseconds on a clock, and times in seconds from them.
now() { echo "${EPOCHREALTIME/[.,]/}"; }
since() { local t; t=$(now); printf '%d.%02d' $(((t - $1) / 1000000)) $(((t - $1) % 1000000 / 10000)); }
wait_until() {  # $1 seconds, then the condition
  local deadline=$(($(now) + $1 * 1000000)); shift
  until "$@"; do [ "$(now)" -lt $deadline ] || return 1; sleep 0.02; done
}
state() { sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1; }
# Whether child $1 has ended in full, so that waiting for it returns at once.
exited() { [ ! -d "/proc/$1" ] || { [ "$(state "$1")" = Z ] && [ "$(ls "/proc/$1/task" | wc -l)" -le 1 ]; }; }
reap() { wait_until 10 exited "$1" && wait "$1"; }

# Starts a fresh copy of the file system; fails unless it answers.
mount_fs() {
  /usr/bin/python3 "$here/hang_fs.py" "$mnt" "$fslog" 2>"$work/fs.err" & FS=$!
  for _ in $(seq 100); do
    timeout 2 test -e "$mnt/ready" && return 0
    kill -0 "$FS" 2>/dev/null || break
    sleep 0.1
  done
  echo "could not mount the test file system (needs /dev/fuse, fuse3 and python3-fusepy):" >&2
  cat "$work/fs.err" >&2
  unmount
  return 1
}
# Whether some request for a path matching $1 is waiting, forever, in the mount.
waiting_in_mount() { grep -qE "^waits [a-z]+ $1" "$fslog" 2>/dev/null; }

fresh_user() {
  export XDG_CONFIG_HOME="$work/config-$1" XDG_RUNTIME_DIR="$work/runtime-$1"
  mkdir -p "$XDG_CONFIG_HOME/Quelmar" "$XDG_RUNTIME_DIR"
  chmod 700 "$XDG_RUNTIME_DIR"
}
store_folder() { printf '[Preferences]\nGameFolder=%s\n' "$1" > "$XDG_CONFIG_HOME/Quelmar/Quelmar.conf"; }

within() { awk -v t="$1" -v limit="$2" 'BEGIN { exit !(t != "" && t <= limit) }'; }
secs() { if [ -n "$1" ]; then echo "$1 s"; else echo "$2"; fi; }
note() { echo "  $*"; echo "$*" >> "$figures"; }

# Starts the program and waits up to $2 seconds for a window titled $1:
# WINDOW is its id, SHOWN how long after the start it was on screen. A
# loaded virtual screen now and then turns a connection away, which says
# nothing of the program: then it starts again.
start_and_time() {
  local started deadline
  WINDOW="" SHOWN=""
  for _ in 1 2 3; do
    started=$(now)
    "$program" >"$work/log" 2>&1 & PID=$!
    deadline=$((started + $2 * 1000000))
    while [ "$(now)" -lt $deadline ]; do
      WINDOW=$(e2e_windows "$1" | head -n 1)
      [ -n "$WINDOW" ] && { SHOWN=$(since "$started"); return 0; }
      kill -0 "$PID" 2>/dev/null || break
      sleep 0.02
    done
    kill -0 "$PID" 2>/dev/null || ! grep -q 'could not connect to display' "$work/log" && return 1
    wait "$PID" 2>/dev/null
  done
  return 1
}

# Whether the program has ended: gone, or its main thread ended and what is
# left are threads the kernel holds in a read of the mount until the mount
# answers or goes (state D), which no program can end sooner.
ended() {
  local task
  [ -d "/proc/$PID" ] || return 0
  [ "$(state "$PID")" = Z ] || return 1
  for task in /proc/"$PID"/task/*; do
    case "$(state "$PID/task/${task##*/}")" in Z|D|"") ;; *) return 1 ;; esac
  done
}
# How many of its threads the mount still holds, said as the end of a note.
held() {
  local n
  n=$(cat /proc/"$PID"/task/*/stat 2>/dev/null | sed 's/.*) //' | grep -c '^D')
  [ "$n" -gt 0 ] && echo ", $n thread(s) left in the read the mount never answers"
}
# Closes window $1 as its close button does and prints how long the program
# took to end, or nothing if it had not after $2 seconds.
close_and_time() {
  local asked
  asked=$(now)
  wmctrl -i -c "$1"
  wait_until "$2" ended && since "$asked"
}

threads() { sed -n 's/^Threads:[[:space:]]*//p' "/proc/$PID/status"; }
descriptors() { ls "/proc/$PID/fd" | wc -l; }
# "THREADS DESCRIPTORS" once neither has changed for a second: a helper
# still reading ahead the folders that do answer is not one left behind.
settled_counts() {
  local last="" same=0 counts
  for _ in $(seq 80); do
    counts="$(threads) $(descriptors)"
    if [ "$counts" = "$last" ]; then same=$((same + 1)); [ $same -ge 4 ] && break; else same=0; fi
    last=$counts
    sleep 0.25
  done
  echo "$counts"
}

# The window answers the window manager's "are you alive" (_NET_WM_PING)
# within $2 ms: its thread is not the one waiting for the mount.
answers_ping() {
  /usr/bin/python3 - "$@" <<'PY'
import ctypes as C, sys, time
x = C.CDLL("libX11.so.6")
x.XOpenDisplay.restype = C.c_void_p
x.XDefaultRootWindow.restype = x.XInternAtom.restype = C.c_ulong
d = C.c_void_p(x.XOpenDisplay(None))
root, window = x.XDefaultRootWindow(d), int(sys.argv[1], 0)
protocols, ping = x.XInternAtom(d, b"WM_PROTOCOLS", 0), x.XInternAtom(d, b"_NET_WM_PING", 0)
x.XSelectInput(d, C.c_ulong(root), C.c_long(1 << 17 | 1 << 19))  # the answer goes to the root window
e = (C.c_long * 24)(33, 0, 0, 0, window, protocols, 32, ping, 0, window)  # a ClientMessage
x.XSendEvent(d, C.c_ulong(window), 0, C.c_long(0), C.byref(e))
x.XFlush(d)
deadline = time.monotonic() + int(sys.argv[2]) / 1000
while time.monotonic() < deadline:
    if x.XCheckTypedEvent(d, 33, C.byref(e)) and (e[4], e[5], e[7], e[9]) == (root, protocols, ping, window):
        sys.exit(0)
    time.sleep(0.005)
sys.exit(1)
PY
}

# A digest of the mouse cursor's image as it is on screen.
cursor() {
  /usr/bin/python3 - <<'PY'
import ctypes as C, hashlib
x, xf = C.CDLL("libX11.so.6"), C.CDLL("libXfixes.so.3")
x.XOpenDisplay.restype = xf.XFixesGetCursorImage.restype = C.c_void_p
image = xf.XFixesGetCursorImage(C.c_void_p(x.XOpenDisplay(None)))
# An XFixesCursorImage: width and height at bytes 4 and 6, the pixels' address at 24.
width, height = C.cast(image, C.POINTER(C.c_ushort))[2:4]
print(hashlib.sha1(C.string_at(C.c_void_p.from_address(image + 24).value, width * height * 8)).hexdigest())
PY
}

e2e_start_display || exit 1
# Closing a window as its close button does takes a window manager.
openbox --sm-disable >/dev/null 2>&1 & wm=$!
wait_until 10 wmctrl -m >/dev/null 2>&1 || { echo "the window manager did not start" >&2; exit 1; }
# The desktop shows the arrow; a busy cursor, maybe animated, is any other.
xdotool mousemove 1 1 && sleep 0.2 && arrow=$(cursor)
busy() { [ "$(cursor)" != "$arrow" ]; }

echo "Refresh List pressed 15 times, a failing folder listed before one that never answers"
# Every folder is slow to list. Assets holds ProviderA, whose 42 routes
# are enough for the disk to be found slow, then Broken (fails at once),
# then Stuck among a dozen more: enough for folders to be read ahead. The
# walk stops at Broken and never needs Stuck; whatever reads ahead into
# Stuck is left there for good, and however often it is pressed, no more
# than the process's readers are.
fresh_user refresh
if mount_fs; then
  store_folder "$mnt/GameA"
  start_and_time "$MAIN" 10
  main=$WINDOW
  box=$(e2e_wait_window "$BOX" 20)
  check "the start-up listing reports the folder that fails" test -n "$main" -a -n "$box"
  [ -n "$box" ] && e2e_keys "$box" Return
  # Refresh List, in the window's client area (xdotool's geometry counts the frame in).
  X=0 Y=0
  [ -n "$main" ] && eval "$(xwininfo -id "$main" | awk '/Absolute upper-left X/ { print "X=" $NF } /Absolute upper-left Y/ { print "Y=" $NF }')"
  reported=0 threads1="" fds1=""
  for press in $(seq 15); do
    [ -n "$main" ] && e2e_wait_gone "$BOX" 10 || break
    xdotool mousemove "$((X + 284))" "$((Y + 56))" click 1
    box=$(e2e_wait_window "$BOX" 20) || break
    reported=$((reported + 1))
    e2e_keys "$box" Return
    e2e_wait_gone "$BOX" 10 || break
    if [ "$press" -eq 1 ]; then read -r threads1 fds1 <<<"$(settled_counts)"; fi
  done
  read -r threads15 fds15 <<<"$(settled_counts)"
  check "each of the 15 presses reports the failure again ($reported did)" test "$reported" -eq 15
  note "after press 1: $threads1 threads, $fds1 descriptors; after press $reported: $threads15 threads, $fds15 descriptors;" \
    "$(grep -c "Stuck" "$fslog") reads waiting in Stuck"
  # Readers start as the walk waits for them: press 1 has at least 2 of
  # the process's 16, later presses may start the other 14 (and 2 more,
  # the toolkit's own, as the count settles), and no more.
  check "threads grow from press 1 to 15 by no more than the readers yet to start ($threads1, then $threads15; at most 16 more)" \
    test "$reported" -eq 15 -a "$threads15" -le $((threads1 + 16))
  # A reader left in Stuck keeps its place among the process's 16, and
  # holds at most its two folders and its walk's Assets open.
  check "descriptors stay within what 16 stuck readers hold ($fds1, then $fds15; at most 48 more)" \
    test "$reported" -eq 15 -a "$fds15" -le $((fds1 + 48))
  check "the program is still running" kill -0 "$PID"
  stop
else
  check "the test file system mounts" false
fi

echo "Closed while its start-up listing waits on a folder that never answers"
# Assets lists Stuck first: the listing waits on it from the start.
fresh_user close
: > "$fslog"
if mount_fs; then
  store_folder "$mnt/GameB"
  start_and_time "$MAIN" 10
  main=$WINDOW
  note "hung listing: the window was on screen $(secs "$SHOWN" "never (10 s)") after the start"
  check "the window is on screen within 1 s of the start (after ${SHOWN:-more than 10} s)" within "$SHOWN" 1
  check "the listing is waiting on the folder that never answers" wait_until 10 waiting_in_mount /GameB/Assets/Stuck
  if [ -n "$main" ]; then
    # Below the list, where the idle window shows the arrow.
    eval "$(xwininfo -id "$main" | awk '/Absolute upper-left X/ { print "X=" $NF } /Absolute upper-left Y/ { print "Y=" $NF }')"
    xdotool mousemove "$((X + 200))" "$((Y + 160))"
    check "the window shows it is busy" wait_until 5 busy
    import -window "$main" "$out/hang-waiting.png" 2>/dev/null
    check "the window answers the window manager meanwhile" answers_ping "$main" 1000
    took=$(close_and_time "$main" 5)
    note "hung listing: closed, the program ended $(secs "$took" "not within 5 s") after$(held)"
    check "closed, the program ends within 5 s (after ${took:-more than 5} s)" test -n "$took"
    if [ -n "$took" ]; then
      # What is left of it cannot end, even killed, while the read waits;
      # it let go of the single-instance rule when its window closed.
      held_copy=$PID
      kill -9 "$held_copy" 2>/dev/null
      start_and_time "$MAIN" 10; next=$PID PID=$held_copy
      note "closed, then killed: a new start showed its window $(secs "$SHOWN" "never (10 s)") after it"
      check "closed, then killed, it keeps no new start from showing its window (after ${SHOWN:-more than 10} s)" \
        test -n "$WINDOW" -a -d "/proc/$held_copy"
      kill -9 "$next" 2>/dev/null
      unmount
      reap "$next"
      reap "$PID"; status=$?; PID=""
      check "and once the mount is gone, with status 0" test "$status" -eq 0
    fi
  fi
  stop
else
  check "the test file system mounts" false
fi

echo "Started with the stored game folder itself not answering"
fresh_user stuckgame
: > "$fslog"
if mount_fs; then
  store_folder "$mnt/StuckGame"
  any='^Quelmar(  v[0-9]+ build [0-9]+)?$'  # the main window or a message over it
  start_and_time "$any" 5
  shown=$WINDOW
  note "stuck game folder: a window was on screen $(secs "$SHOWN" "never (5 s)") after the start"
  check "the program is waiting on the game folder" wait_until 10 waiting_in_mount /StuckGame
  check "a window is on screen within 1 s of the start (after ${SHOWN:-more than 5} s)" within "$SHOWN" 1
  if [ -n "$shown" ]; then
    took=$(close_and_time "$shown" 2)
    note "stuck game folder: closed, the program ended $(secs "$took" "not within 2 s") after$(held)"
    check "closed, the program ends at once (after ${took:-more than 2} s)" test -n "$took"
  else
    check "closed, the program ends at once (there was no window to close)" false
  fi
  stop
else
  check "the test file system mounts" false
fi

[ "$E2E_FAILURES" -eq 0 ] || { echo "$E2E_FAILURES end-to-end check(s) failed" >&2; exit 1; }
