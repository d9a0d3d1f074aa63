#!/bin/sh
# Lists which source folder includes which (folder -> folder, with the number
# of #include lines) and fails when the folders include each other in a
# cycle, or when a folder includes one of a layer above its own. The layers,
# from the top:
#   the front ends (platform/linux, platform/win32, platform/headless and
#   their sub-folders, which implement platform/ and start the program),
#   app, ui, scan and discovery, timing, state, platform;
# text/ may be included from anywhere and includes nothing of the others.
# Tests and benchmarks may include anything.
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

def layer(folder):
    top_folder = folder.split("/")[0]
    if top_folder in ("tests", "bench"):
        return None  # may include anything
    if folder.startswith("platform/"):
        return 7
    return {"app": 6, "ui": 5, "scan": 4, "discovery": 4, "timing": 3, "state": 2,
            "platform": 1, "text": 0}.get(top_folder)

upward = []
for (a, b) in sorted(edges):
    la, lb = layer(a), layer(b)
    if la is None:
        continue
    if lb is None or lb >= la and not (la == lb == 7):
        upward.append(f"{a} -> {b}")
for cycle in cycles:
    print("cycle: " + " -> ".join(cycle))
for edge in upward:
    print("includes a layer above or beside its own: " + edge)
if not cycles:
    print("no cycle between folders")
if not upward:
    print("every include goes down the layers")
sys.exit(1 if cycles or upward else 0)
PY
