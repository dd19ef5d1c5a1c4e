# Shared helpers for driving real windows on a virtual X screen with xdotool.
# Xvfb runs no window manager: windows are found by title and focused
# explicitly before they are sent keys.

E2E_FAILURES=0

# The titles of the program's windows: the main window, its message boxes,
# and the locate dialog.
MAIN='^Quelmar  v[0-9]+ build [0-9]+$'
BOX='^Quelmar$'
DIALOG='^Locate Rail Simulator Game File \(RailSim\.exe\)$'

e2e_start_display() {
  local n
  for n in $(seq 91 120); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    E2E_XVFB_PID=$!
    export DISPLAY=":$n"
    # The server must be ours: another one may have taken the number since.
    for _ in $(seq 50); do
      kill -0 "$E2E_XVFB_PID" 2>/dev/null || break
      xdotool getmouselocation >/dev/null 2>&1 && kill -0 "$E2E_XVFB_PID" 2>/dev/null && return 0
      sleep 0.1
    done
    kill "$E2E_XVFB_PID" 2>/dev/null
  done
  echo "could not start Xvfb" >&2
  return 1
}

e2e_stop_display() { [ -n "${E2E_XVFB_PID:-}" ] && kill "$E2E_XVFB_PID" 2>/dev/null; true; }

# Prints the ids of visible windows whose title matches the regular expression.
e2e_windows() { xdotool search --onlyvisible --name "$1" 2>/dev/null || true; }

# Waits up to $2 seconds (default 15) for a visible window titled $1; prints its id.
e2e_wait_window() {
  local deadline=$((SECONDS + ${2:-15})) id
  while [ $SECONDS -lt $deadline ]; do
    id=$(e2e_windows "$1" | head -n 1)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  return 1
}

# Waits up to $2 seconds for no visible window titled $1.
e2e_wait_gone() {
  local deadline=$((SECONDS + ${2:-15}))
  while [ $SECONDS -lt $deadline ]; do
    [ -z "$(e2e_windows "$1")" ] && return 0
    sleep 0.1
  done
  return 1
}

# Focuses window $1 and sends it the keys that follow.
e2e_keys() {
  local id=$1; shift
  xdotool windowactivate --sync "$id" >/dev/null 2>&1 || xdotool windowfocus --sync "$id"
  sleep 0.2
  xdotool key --clearmodifiers --delay 120 "$@"
  sleep 0.3
}

e2e_type() {
  local id=$1; shift
  xdotool windowfocus --sync "$id"
  sleep 0.2
  xdotool type --delay 20 "$1"
}

check() {
  local what=$1; shift
  if "$@"; then echo "  ok: $what"; else echo "  FAILED: $what" >&2; E2E_FAILURES=$((E2E_FAILURES + 1)); fi
}

# Every file of tree $1, one relative path a line, sorted.
e2e_files() { (cd "$1" && find . \( -type f -o -type l \) | sort); }

# In the locate dialog $1, picks the file $2 and waits for the dialog to go.
e2e_pick_file() {
  e2e_type "$1" "$2"
  e2e_keys "$1" Return
  e2e_wait_gone "$DIALOG" 10
  sleep 0.5
}

# Asks the X server what xdotool cannot, through Xlib itself:
#   e2e_x cursor        prints an identity of the cursor now on screen
#                       (its name and a digest of its image)
#   e2e_x ping ID [MS]  sends window ID the window manager's "are you
#                       alive" ping (_NET_WM_PING) and waits up to MS
#                       milliseconds (default 1000) for its answer; prints
#                       how long it took, or fails
#   e2e_x cover X Y W H SECONDS
#                       lays a red window over that rectangle for a while
e2e_x() {
  /usr/bin/python3 - "$@" <<'PY'
import ctypes as C, hashlib, sys, time
x = C.CDLL("libX11.so.6")
x.XOpenDisplay.restype = C.c_void_p
x.XDefaultRootWindow.restype = C.c_ulong
x.XInternAtom.restype = C.c_ulong
for f in ("XDefaultRootWindow", "XInternAtom", "XSelectInput", "XSendEvent", "XPending", "XNextEvent", "XFlush", "XFree"):
    getattr(x, f).argtypes = None
d = x.XOpenDisplay(None)
if not d:
    sys.exit("no display")
d = C.c_void_p(d)

if sys.argv[1] == "cursor":
    class Image(C.Structure):
        _fields_ = [("x", C.c_short), ("y", C.c_short), ("width", C.c_ushort), ("height", C.c_ushort),
                    ("xhot", C.c_ushort), ("yhot", C.c_ushort), ("serial", C.c_ulong),
                    ("pixels", C.POINTER(C.c_ulong)), ("atom", C.c_ulong), ("name", C.c_char_p)]
    xf = C.CDLL("libXfixes.so.3")
    xf.XFixesGetCursorImage.restype = C.POINTER(Image)
    img = xf.XFixesGetCursorImage(d).contents
    pixels = bytes(C.string_at(img.pixels, img.width * img.height * C.sizeof(C.c_ulong)))
    print((img.name or b"").decode(), img.width, img.height, hashlib.sha1(pixels).hexdigest()[:12])
    sys.exit(0)

if sys.argv[1] == "cover":
    # A window of solid red over the given rectangle, above everything,
    # for the given seconds; then gone, exposing what was under it.
    class Attributes(C.Structure):
        _fields_ = [("background_pixmap", C.c_ulong), ("background_pixel", C.c_ulong),
                    ("border_pixmap", C.c_ulong), ("border_pixel", C.c_ulong), ("bit_gravity", C.c_int),
                    ("win_gravity", C.c_int), ("backing_store", C.c_int), ("backing_planes", C.c_ulong),
                    ("backing_pixel", C.c_ulong), ("save_under", C.c_int), ("event_mask", C.c_long),
                    ("do_not_propagate_mask", C.c_long), ("override_redirect", C.c_int),
                    ("colormap", C.c_ulong), ("cursor", C.c_ulong)]
    left, top, width, height = (int(v) for v in sys.argv[2:6])
    a = Attributes(background_pixel=0xff0000, override_redirect=1)
    x.XCreateWindow.restype = C.c_ulong
    w = x.XCreateWindow(d, C.c_ulong(x.XDefaultRootWindow(d)), left, top, width, height, 0, 0, 1, None,
                        C.c_ulong(1 << 1 | 1 << 9), C.byref(a))  # CWBackPixel | CWOverrideRedirect
    x.XMapRaised(d, C.c_ulong(w))
    x.XSync(d, 0)
    time.sleep(float(sys.argv[6]))
    x.XDestroyWindow(d, C.c_ulong(w))
    x.XSync(d, 0)
    sys.exit(0)

class ClientMessage(C.Structure):
    _fields_ = [("type", C.c_int), ("serial", C.c_ulong), ("send_event", C.c_int), ("display", C.c_void_p),
                ("window", C.c_ulong), ("message_type", C.c_ulong), ("format", C.c_int), ("l", C.c_long * 5)]
class Event(C.Union):
    _fields_ = [("message", ClientMessage), ("pad", C.c_long * 24)]
window = int(sys.argv[2], 0)
limit = int(sys.argv[3]) / 1000 if len(sys.argv) > 3 else 1.0
root = x.XDefaultRootWindow(d)
protocols = x.XInternAtom(d, b"WM_PROTOCOLS", 0)
ping = x.XInternAtom(d, b"_NET_WM_PING", 0)
# Answers go to the root window for the window manager (Substructure-
# Redirect); clients send them with StructureNotify or SubstructureNotify.
x.XSelectInput(d, C.c_ulong(root), C.c_long(1 << 17 | 1 << 19))
e = Event()
e.message.type, e.message.window, e.message.message_type, e.message.format = 33, window, protocols, 32
e.message.l[0], e.message.l[1], e.message.l[2] = ping, 0, window
sent = time.monotonic()
x.XSendEvent(d, C.c_ulong(window), 0, C.c_long(0), C.byref(e))
x.XFlush(d)
while time.monotonic() - sent < limit:
    while x.XPending(d):
        x.XNextEvent(d, C.byref(e))
        m = e.message
        if m.type == 33 and m.window == root and m.message_type == protocols and m.l[0] == ping and m.l[2] == window:
            print(int((time.monotonic() - sent) * 1000))
            sys.exit(0)
    time.sleep(0.005)
sys.exit(1)
PY
}

# Reads the program's windows as a screen reader does, over AT-SPI (the
# program must run with QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 on this session
# bus). ROLE is an AT-SPI role name ("push button", "list item"; "*" for
# any) and NAME a regular expression for the accessible name:
#   e2e_a11y centre ROLE NAME   the screen centre of the first match, "X Y"
#   e2e_a11y centres ROLE NAME  the same for every match, one a line
#   e2e_a11y name ROLE NAME     the first match's name
#   e2e_a11y text ROLE NAME     the first match's text
# Fails when nothing matches.
e2e_a11y() {
  /usr/bin/python3 - "$@" <<'PY' 2>/dev/null
import re, sys, gi
gi.require_version("Atspi", "2.0")
from gi.repository import Atspi
what, role, name = sys.argv[1], sys.argv[2], re.compile(sys.argv[3])

def walk(node, depth=0):
    yield node
    if depth < 20:
        for i in range(node.get_child_count()):
            child = node.get_child_at_index(i)
            if child is not None:
                yield from walk(child, depth + 1)

desktop = Atspi.get_desktop(0)
apps = (desktop.get_child_at_index(i) for i in range(desktop.get_child_count()))
hits = [n for app in apps if app is not None and app.get_name() == "Quelmar" for n in walk(app)
        if (role == "*" or n.get_role_name() == role) and name.search(n.get_name() or "")]
if not hits:
    sys.exit(1)
def centre(n):
    r = n.get_extents(Atspi.CoordType.SCREEN)
    return f"{r.x + r.width // 2} {r.y + r.height // 2}"
if what == "centre":
    print(centre(hits[0]))
elif what == "centres":
    print("\n".join(centre(n) for n in hits))
elif what == "name":
    print(hits[0].get_name())
elif what == "text":
    print(Atspi.Text.get_text(hits[0], 0, Atspi.Text.get_character_count(hits[0])), end="")
PY
}

# A window manager on the virtual screen, for what only one does: pings,
# minimising, stacking, closing through the title bar's button.
e2e_start_wm() {
  local log
  log=$(mktemp)
  openbox --sm-disable >"$log" 2>&1 &
  E2E_WM_PID=$!
  for _ in $(seq 100); do
    kill -0 "$E2E_WM_PID" 2>/dev/null || break
    wmctrl -m >/dev/null 2>&1 && { rm -f "$log"; return 0; }
    sleep 0.1
  done
  echo "could not start the window manager:" >&2
  cat "$log" >&2
  rm -f "$log"
  return 1
}
e2e_stop_wm() { [ -n "${E2E_WM_PID:-}" ] && kill "$E2E_WM_PID" 2>/dev/null; E2E_WM_PID=""; true; }
