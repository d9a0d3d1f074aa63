#!/bin/sh
# Lists which source folder includes which (folder -> folder, with the number
# of #include lines) and fails when the folders include each other in a
# cycle. The layers are meant to run one way:
#   app -> ui -> scan, discovery -> timing -> state -> platform,
# with text/ usable from anywhere and the platform folders (platform/linux,
# platform/win32, platform/headless) implementing platform/ from beside it.
# Usage: scripts/check-layers.sh [--quiet]
top=$(cd "$(dirname "$0")/.." && pwd)
exec python3 - "$top" "$@" <<'PY'
import collections, os, re, sys

top, quiet = sys.argv[1], "--quiet" in sys.argv[2:]
include = re.compile(r'\s*#\s*include\s+"([^"]+)"')
edges = collections.Counter()
for folder, subfolders, files in os.walk(top):
    subfolders[:] = [d for d in subfolders if not d.startswith(".") and not d.startswith("build")]
    here = os.path.relpath(folder, top)
    for name in files:
        if not name.endswith((".h", ".cpp")):
            continue
        with open(os.path.join(folder, name), errors="replace") as source:
            for line in source:
                match = include.match(line)
                if not match:
                    continue
                there = os.path.dirname(match.group(1))
                if there and there != here and os.path.isdir(os.path.join(top, there)):
                    edges[(here, there)] += 1

graph = collections.defaultdict(set)
for (a, b), count in sorted(edges.items()):
    graph[a].add(b)
    if not quiet:
        print(f"{a} -> {b} ({count})")

# A cycle shows as a path back to a folder still on the search's stack.
cycles, state = [], {}
def visit(node, path):
    state[node] = "open"
    for nxt in sorted(graph[node]):
        if state.get(nxt) == "open":
            cycles.append(path[path.index(nxt):] + [nxt])
        elif nxt not in state:
            visit(nxt, path + [nxt])
    state[node] = "done"
for node in sorted(graph):
    if node not in state:
        visit(node, [node])

for cycle in cycles:
    print("cycle: " + " -> ".join(cycle))
if not cycles:
    print("no cycle between folders")
sys.exit(1 if cycles else 0)
PY
