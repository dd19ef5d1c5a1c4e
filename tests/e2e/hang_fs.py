#!/usr/bin/python3
"""A small read-only file system in which some folders never answer, for
driving the program against a mount that hangs (a network share whose
server went away, a disk that stopped spinning).

Usage: hang_fs.py MOUNTPOINT LOG

It stays in the foreground until unmounted or killed. Every request that
is made to wait forever is written to LOG as "waits OPERATION PATH", so a
test can tell that the program really reached the folder that hangs.

Folders are told apart by name, wherever they are:
  Stuck      listed like any folder, but opening it, reading it or looking
             up anything inside it never answers
  StuckGame  even looking at the folder itself never answers
  Broken     opening it fails at once with an input/output error
  Unlisted   looking up anything in it answers, but opening or reading it,
             or any folder inside it, never does
Every other listing takes a few milliseconds, as on a slow disk; everything
else answers at once.

The tree:
  /GameA  RailSim.exe, Assets: ProviderA (an archive, RouteB with one, and
          40 more routes), then Broken, then Stuck among a dozen more
          providers
  /GameB  RailSim.exe, Assets: Stuck first, then the same providers
  /StuckGame  RailSim.exe, Assets: ProviderA
  /Unlisted  a store library: steamapps/common/RailSimulator with RailSim.exe
  /ready  a file, there once the mount answers
"""

import errno
import os
import stat
import sys
import threading
import time

try:
    import fusepy as fuse  # Debian's name for it
except ImportError:
    import fuse

ARCHIVE = b"PAK0"
SLOW_LISTING = 0.005
STUCK, STUCK_ITSELF, BROKEN, UNLISTED = "Stuck", "StuckGame", "Broken", "Unlisted"


def provider(routes=0):
    more = {f"Route{i:02}": {} for i in range(1, routes + 1)}
    return {"Blueprints.pak": ARCHIVE, "RouteB": {"Blueprints.pak": ARCHIVE}, **more}


def providers(first, count):
    return {"Provider" + chr(ord(first) + i): {"RouteB": {}} for i in range(count)}


# Dictionaries keep their order, and folders list in it.
TREE = {
    "GameA": {
        "RailSim.exe": b"MZ",
        # Enough routes in ProviderA for the walk to find the disk slow
        # before it reaches Broken.
        "Assets": {"ProviderA": provider(routes=40), BROKEN: {}, STUCK: {"RouteB": {}}, **providers("C", 12)},
    },
    "GameB": {
        "RailSim.exe": b"MZ",
        "Assets": {STUCK: {"RouteB": {}}, "ProviderA": provider(), **providers("C", 12)},
    },
    STUCK_ITSELF: {"RailSim.exe": b"MZ", "Assets": {"ProviderA": provider()}},
    UNLISTED: {"steamapps": {"common": {"RailSimulator": {"RailSim.exe": b"MZ"}}}},
    "ready": b"",
}


class HangFs(fuse.Operations):
    use_ns = True

    def __init__(self, log):
        self.log = log
        self.log_lock = threading.Lock()
        self.now = time.time_ns()

    def wait_forever(self, operation, path):
        with self.log_lock:
            self.log.write(f"waits {operation} {path}\n")
            self.log.flush()
        threading.Event().wait()

    @staticmethod
    def parts(path):
        return [p for p in path.split("/") if p]

    def node(self, path):
        node = TREE
        for part in self.parts(path):
            if not isinstance(node, dict) or part not in node:
                raise fuse.FuseOSError(errno.ENOENT)
            node = node[part]
        return node

    def getattr(self, path, fh=None):
        parts = self.parts(path)
        if STUCK_ITSELF in parts or STUCK in parts[:-1]:
            self.wait_forever("getattr", path)
        node = self.node(path)
        times = {"st_atime": self.now, "st_mtime": self.now, "st_ctime": self.now}
        if isinstance(node, dict):
            return {"st_mode": stat.S_IFDIR | 0o555, "st_nlink": 2, **times}
        return {"st_mode": stat.S_IFREG | 0o444, "st_nlink": 1, "st_size": len(node), **times}

    def opendir(self, path):
        parts = self.parts(path)
        if STUCK in parts or STUCK_ITSELF in parts or UNLISTED in parts:
            self.wait_forever("opendir", path)
        if parts and parts[-1] == BROKEN:
            raise fuse.FuseOSError(errno.EIO)
        return 0

    def readdir(self, path, fh):
        parts = self.parts(path)
        if STUCK in parts or STUCK_ITSELF in parts or UNLISTED in parts:
            self.wait_forever("readdir", path)
        node = self.node(path)
        time.sleep(SLOW_LISTING)
        # With each entry's type, as a disk's listing gives it.
        return [".", ".."] + [
            (name, {"st_mode": stat.S_IFDIR if isinstance(child, dict) else stat.S_IFREG}, 0)
            for name, child in node.items()
        ]

    def open(self, path, flags):
        if flags & (os.O_WRONLY | os.O_RDWR):
            raise fuse.FuseOSError(errno.EROFS)
        return 0

    def read(self, path, size, offset, fh):
        return self.node(path)[offset:offset + size]


def main():
    mountpoint, log_path = sys.argv[1:3]
    with open(log_path, "a") as log:
        fuse.FUSE(HangFs(log), mountpoint, foreground=True, ro=True, fsname="hangfs")
    # Requests still waiting hold threads that no clean exit would end.
    os._exit(0)


if __name__ == "__main__":
    main()
