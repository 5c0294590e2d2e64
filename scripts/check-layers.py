#!/usr/bin/env python3
"""Refuses an #include against the rooms table of HACKING.md, without a build.

The table between "<!-- rooms:begin -->" and "<!-- rooms:end -->" names each folder of src/ and
the folders it may include; a room may always include itself, "*" allows every room, "Qt" allows
Qt's headers. Also refused: a table whose rooms depend on each other in a cycle.
"""
import os
import re
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
QT_HEADER = re.compile(r"#\s*include\s*<(Q[A-Za-z]\w*|Qt\w*/?[\w/]*)(\.h)?>")
OWN_HEADER = re.compile(r'#\s*include\s*"([^"]+)"')


def read_table(path):
    text = open(path, encoding="utf-8").read()
    try:
        body = text.split("<!-- rooms:begin -->", 1)[1].split("<!-- rooms:end -->", 1)[0]
    except IndexError:
        sys.exit(f"{path}: no rooms table between <!-- rooms:begin --> and <!-- rooms:end -->")
    rooms = {}
    for line in body.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) < 4 or not cells[0].startswith("`src/"):
            continue
        folder = cells[0].strip("`")[len("src/"):].rstrip("/")
        allowed = {a.strip() for a in cells[3].split(",") if a.strip() and a.strip() != "-"}
        rooms[folder] = allowed
    if not rooms:
        sys.exit(f"{path}: the rooms table has no rows")
    return rooms


def room_of(path, rooms):
    """The longest folder of the table that holds path (relative to src/), or None."""
    best = None
    for folder in rooms:
        if path == folder or path.startswith(folder + "/"):
            if best is None or len(folder) > len(best):
                best = folder
    return best


def may(rooms, user, used):
    allowed = rooms[user]
    return used == user or "*" in allowed or used in allowed


def table_cycle(rooms):
    state = {}

    def visit(r, trail):
        state[r] = 1
        for d in sorted(rooms[r]):
            if d not in rooms:
                continue
            if state.get(d) == 1:
                return trail + [r, d]
            if d not in state:
                found = visit(d, trail + [r])
                if found:
                    return found
        state[r] = 2
        return None

    for r in sorted(rooms):
        if r not in state and "*" not in rooms[r]:
            found = visit(r, [])
            if found:
                return found
    return None


def main():
    table_file = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "HACKING.md")
    rooms = read_table(table_file)
    errors = []
    for r, allowed in sorted(rooms.items()):
        for a in sorted(allowed - {"*", "Qt"}):
            if a not in rooms:
                errors.append(f"HACKING.md: room {r} may include {a}, which is no room of the table")
    cycle = table_cycle({r: a - {"Qt"} for r, a in rooms.items()})
    if cycle:
        errors.append("HACKING.md: the rooms depend on each other in a cycle: " + " -> ".join(cycle))
    src = os.path.join(ROOT, "src")
    for dirpath, _, files in os.walk(src):
        for name in sorted(files):
            if not name.endswith((".cpp", ".h")):
                continue
            full = os.path.join(dirpath, name)
            rel = os.path.relpath(full, src)
            own = room_of(rel, rooms)
            if own is None:
                errors.append(f"src/{rel}: its folder is in no room of HACKING.md's table")
                continue
            for n, line in enumerate(open(full, encoding="utf-8", errors="replace"), 1):
                m = OWN_HEADER.match(line.strip())
                if m:
                    inc = m.group(1)
                    used = room_of(inc, rooms)
                    if used is None:
                        if os.path.exists(os.path.join(src, inc)):
                            errors.append(f"src/{rel}:{n}: {inc} is in no room of the table")
                        continue
                    if not may(rooms, own, used):
                        errors.append(f"src/{rel}:{n}: room {own} may not include {used} ({inc});"
                                      f" {own} may include: {', '.join(sorted(rooms[own])) or 'nothing'}")
                elif QT_HEADER.match(line.strip()) and "Qt" not in rooms[own] and "*" not in rooms[own]:
                    errors.append(f"src/{rel}:{n}: room {own} may not include Qt ({line.strip()})")
    for e in errors:
        print(e)
    if errors:
        print(f"{len(errors)} include(s) against the rooms table (HACKING.md, Rooms)")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
