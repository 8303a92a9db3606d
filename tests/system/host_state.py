"""Takes or compares a listing of the host folders that tests must never change.

    host_state.py snapshot FILE    writes the listing
    host_state.py compare FILE     exits 1 and prints the differences when they changed
"""

import os
import stat
import sys

WATCHED = ["/etc", "/var/lib", "/var/lock", "/usr/lib"]


def listing():
    entries = {}
    for top in WATCHED:
        for folder, dirs, files in os.walk(top, followlinks=False):
            for name in dirs + files:
                path = os.path.join(folder, name)
                try:
                    info = os.lstat(path)
                except FileNotFoundError:
                    continue
                if stat.S_ISDIR(info.st_mode):
                    # A folder counts by its existence and mode; its content is listed.
                    entries[path] = "d %o" % stat.S_IMODE(info.st_mode)
                else:
                    entries[path] = "%o %d %d" % (info.st_mode, info.st_size, info.st_mtime_ns)
    return entries


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("snapshot", "compare"):
        print(__doc__, file=sys.stderr)
        return 2
    mode, path = sys.argv[1], sys.argv[2]
    current = listing()
    if mode == "snapshot":
        with open(path, "w") as stream:
            for key in sorted(current):
                stream.write("%s\t%s\n" % (key, current[key]))
        return 0
    before = {}
    with open(path) as stream:
        for line in stream:
            key, _, value = line.rstrip("\n").rpartition("\t")
            before[key] = value
    changes = []
    for key in sorted(set(before) | set(current)):
        if key not in current:
            changes.append("removed: " + key)
        elif key not in before:
            changes.append("added: " + key)
        elif before[key] != current[key]:
            changes.append("changed: %s (%s -> %s)" % (key, before[key], current[key]))
    for change in changes:
        print(change)
    if changes:
        print("%d change(s) on the host during the system tests" % len(changes))
        return 1
    print("host folders %s unchanged (%d entries)" % (", ".join(WATCHED), len(current)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
