#!/usr/bin/env bash
# A fleet in a network namespace of the bench's own: 20 Samba servers with
# shifted clocks, 200 addresses whose connection attempts are dropped (an
# nftables rule inside the namespace, as a firewall or a switched-off machine
# does), 200 that take a connection and never answer, and 200 that refuse.
# Times `--report --format json` over lists of 1,000 and 10,000 entries
# (40% answering, 40% dropped, 5% hung, 15% refused, shuffled) with several
# --parallel values: wall time, answers lost, the most helpers alive at once
# and the process tree's peak proportional set size (smaps_rollup). In the
# same run: nmap's smb2-time over the 620 distinct addresses, a second build
# given as BASE_BUILD_DIR, and the loss on cold servers (just started, their
# RPC service not yet running).
#
#   bench/scale.sh BUILD_DIR [BASE_BUILD_DIR]
#
# Settings, from the environment: SCALE_SIZES (default "1000 10000"),
# SCALE_PARALLEL (default "16 64 256"), SCALE_BASE_PARALLEL (default 64),
# SCALE_BASE_SIZES (the sizes the base build runs, default SCALE_SIZES),
# SCALE_COLD (default 1: measure cold servers). Needs root (the namespace).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: bench/scale.sh BUILD_DIR [BASE_BUILD_DIR]}" && pwd)
base=${2:+$(cd "$2" && pwd)}
sizes=${SCALE_SIZES:-1000 10000}
widths=${SCALE_PARALLEL:-16 64 256}
base_width=${SCALE_BASE_PARALLEL:-64}
cold=${SCALE_COLD:-1}
base_sizes=${SCALE_BASE_SIZES:-$sizes}
for dir in "$build" ${base:+"$base"}; do
  for file in skewmon skewmon-tod; do
    [ -x "$dir/platform/linux/$file" ] || { echo "scale.sh: build $dir/platform/linux/$file first" >&2; exit 1; }
  done
done
for command in ip nft nmap python3; do
  command -v "$command" >/dev/null || { echo "scale.sh: $command is missing (scripts/deps.d/timequery.txt)" >&2; exit 1; }
done
[ "$(id -u)" = 0 ] || { echo "scale.sh: needs root for its network namespace" >&2; exit 1; }

ns=skewmon-scale-$$
work=$(mktemp -d "${TMPDIR:-/tmp}/skewmon-scale-XXXXXX")
lab=$work/lab
in_ns() { ip netns exec "$ns" "$@"; }
holder_pid=
cleanup() {
  set +e
  [ -n "$holder_pid" ] && kill "$holder_pid" 2>/dev/null && wait "$holder_pid" 2>/dev/null
  in_ns "$top/tests/lab/lab.sh" stop "$lab" >/dev/null 2>&1
  # Whatever still runs in the namespace (nothing, normally) goes with it.
  for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null; done
  ip netns delete "$ns" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ip netns add "$ns"
in_ns ip link set lo up
# Dropped: 127.1.0.0/24 (SYNs to the SMB ports vanish). Only in this namespace.
in_ns nft -f - <<'EOF'
table inet skewmon_scale {
  chain input {
    type filter hook input priority 0; policy accept;
    ip daddr 127.1.0.0/24 tcp dport { 139, 445 } drop
  }
}
EOF

# Hung: 127.2.0.1-200 take connections on both ports and never answer.
in_ns python3 - <<'PY' &
import selectors, socket
selector = selectors.DefaultSelector()
for n in range(1, 201):
    for port in (445, 139):
        listener = socket.socket()
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((f"127.2.0.{n}", port))
        listener.listen(256)
        listener.setblocking(False)
        selector.register(listener, selectors.EVENT_READ, None)
held = []
while True:
    for key, _ in selector.select():
        if key.data is None:
            try:
                connection, _ = key.fileobj.accept()
            except OSError:
                continue
            connection.setblocking(False)
            held.append(connection)
            selector.register(connection, selectors.EVENT_READ, "peer")
            if len(held) > 8000:  # bounded: the oldest goes
                oldest = held.pop(0)
                selector.unregister(oldest)
                oldest.close()
        else:
            try:
                data = key.fileobj.recv(65536)
            except OSError:
                data = b""
            if not data:
                selector.unregister(key.fileobj)
                held.remove(key.fileobj)
                key.fileobj.close()
PY
holder_pid=$!

start_lab() {  # $1: a helper to warm the servers with, or empty for cold ones
  in_ns env LAB_COUNT=20 LAB_FIRST=11 LAB_SHIFTS="+2 -3 +0.4 +75 -0.25 +3725 +0.7 -1.5" \
    ${1:+LAB_TOD=$1} "$top/tests/lab/lab.sh" start "$lab" >"$work/lab-start.log" 2>&1 ||
    { cat "$work/lab-start.log" >&2; exit 1; }
}
echo "starting 20 lab servers in namespace $ns ..."
start_lab "$build/platform/linux/skewmon-tod"

in_ns python3 - "$work" "$lab" "$build" "${base:-}" "$sizes" "$widths" "$base_width" "$cold" "$top" "$base_sizes" <<'PY'
import json, os, random, subprocess, sys, time

work, lab, build, base, sizes, widths, base_width, cold, top, base_sizes = sys.argv[1:11]
sizes = [int(s) for s in sizes.split()]
widths = [int(w) for w in widths.split()]
home = os.path.join(lab, "home")
servers = [line.split()[2] for line in open(os.path.join(lab, "lab.txt")) if line.startswith("server ")]
dropped = [f"127.1.0.{n}" for n in range(1, 201)]
hung = [f"127.2.0.{n}" for n in range(1, 201)]
refused = [f"127.3.0.{n}" for n in range(1, 201)]

def make_list(size, seed=18):
    rng = random.Random(seed)
    def take(pool, count):
        return [pool[i % len(pool)] for i in range(count)]
    entries = (take(servers, size * 40 // 100) + take(dropped, size * 40 // 100) +
               take(hung, size * 5 // 100) + take(refused, size * 15 // 100))
    rng.shuffle(entries)
    path = os.path.join(work, f"list-{size}.txt")
    with open(path, "w") as out:
        out.write("\n".join(entries) + "\n")
    return path, entries

def tree(root):
    """The process ids of root and all its descendants."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                ppid = int(stat.read().rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            continue
        children.setdefault(ppid, []).append(int(entry))
    found, todo = [], [root]
    while todo:
        pid = todo.pop()
        found.append(pid)
        todo.extend(children.get(pid, []))
    return found

def pss_kib(pids):
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/smaps_rollup") as rollup:
                for line in rollup:
                    if line.startswith("Pss:"):
                        total += int(line.split()[1])
                        break
        except OSError:
            pass
    return total

def run(build_dir, list_path, parallel):
    program = os.path.join(build_dir, "platform/linux/skewmon")
    command = [program, "--report", "--list", list_path, "--format", "json"]
    if parallel is not None:
        command += ["--parallel", str(parallel)]
    began = time.monotonic()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               env=dict(os.environ, HOME=home))
    peak_helpers = peak_pss = 0
    samples = 0
    import threading
    out = []
    reader = threading.Thread(target=lambda: out.append(process.stdout.read()))
    reader.start()
    while process.poll() is None:
        if time.monotonic() - began > 900:  # bounded, whatever happens
            process.kill()
        pids = tree(process.pid)
        peak_helpers = max(peak_helpers, len(pids) - 1)
        if samples % 3 == 0:
            peak_pss = max(peak_pss, pss_kib(pids))
        samples += 1
        time.sleep(0.1)
    reader.join()
    seconds = time.monotonic() - began
    document = json.loads(out[0]) if out and out[0] else {"machines": []}
    return seconds, peak_helpers, peak_pss, document

def lost(document):
    answering = set(servers)
    return sum(1 for m in document["machines"] if m["name"] in answering and not m["answered"])

def wrong(document):
    """Silent machines that answered: never expected."""
    answering = set(servers)
    return sum(1 for m in document["machines"] if m["name"] not in answering and m["answered"])

print(f"{'entries':>7} {'build':>5} {'parallel':>8} {'seconds':>8} {'lost':>5} {'wrong':>5} "
      f"{'peak helpers':>12} {'peak PSS MiB':>12}  grade")
def report(size, label, parallel, result):
    seconds, helpers, pss, document = result
    print(f"{size:>7} {label:>5} {str(parallel):>8} {seconds:>8.1f} {lost(document):>5} {wrong(document):>5} "
          f"{helpers:>12} {pss / 1024:>12.0f}  {document.get('summary')}", flush=True)

for size in sizes:
    path, _ = make_list(size)
    for parallel in widths:
        report(size, "new", parallel, run(build, path, parallel))
    if base and str(size) in base_sizes.split():
        report(size, "base", base_width, run(base, path, base_width))

distinct = servers + dropped + hung + refused
targets = os.path.join(work, "distinct.txt")
with open(targets, "w") as out:
    out.write("\n".join(distinct) + "\n")
began = time.monotonic()
nmap = subprocess.run(["nmap", "-Pn", "-n", "-p445", "--script", "smb2-time", "-iL", targets, "-oN",
                       os.path.join(work, "nmap.txt")], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                      timeout=900)
nmap_seconds = time.monotonic() - began
nmap_dates = open(os.path.join(work, "nmap.txt")).read().count("date:")
path, _ = make_list(len(distinct), seed=1)
with open(path, "w") as out:
    out.write("\n".join(distinct) + "\n")
seconds, helpers, pss, document = run(build, path, None)
answered = sum(1 for m in document["machines"] if m["answered"])
print(f"\n{len(distinct)} distinct addresses: nmap smb2-time {nmap_seconds:.1f} s ({nmap_dates} dates read), "
      f"skewmon (default --parallel) {seconds:.1f} s ({answered} answered): {nmap_seconds / seconds:.1f}x faster",
      flush=True)
if base:
    seconds, helpers, pss, document = run(base, path, base_width)
    print(f"{len(distinct)} distinct addresses, base build --parallel {base_width}: {seconds:.1f} s", flush=True)

if cold == "1":
    # Cold servers: restarted, nothing asked yet. The program's loss on them
    # beside the servers' own: 40 helpers started and ready first, then all
    # asked at once, each timed from its request to its answer; what these
    # lose, no start-up of the program's is in.
    import socket
    kNoResponse = 1122334455667788
    def restart():
        subprocess.run([os.path.join(top, "tests/lab/lab.sh"), "stop", lab], stdout=subprocess.DEVNULL, check=True)
        subprocess.run([os.path.join(top, "tests/lab/lab.sh"), "start", lab], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True,
                       env=dict(os.environ, LAB_COUNT="20", LAB_FIRST="11",
                                LAB_SHIFTS="+2 -3 +0.4 +75 -0.25 +3725 +0.7 -1.5"))
    print("\ncold servers (restarted before each run):")
    cases = [(40, 20), (400, 16), (400, 64)]
    for entries, parallel in cases:
        path = os.path.join(work, f"cold-{entries}.txt")
        with open(path, "w") as out:
            out.write("\n".join(servers[i % len(servers)] for i in range(entries)) + "\n")
        for label, build_dir in [("new", build)] + ([("base", base)] if base else []):
            width = min(parallel, 64) if label == "base" else parallel  # the base build allows 64 at most
            restart()
            seconds, helpers, pss, document = run(build_dir, path, width)
            print(f"  {entries} entries, {label} --parallel {width}: {lost(document)} lost, {seconds:.1f} s",
                  flush=True)

    def servers_alone(count):
        restart()
        tod = os.path.join(build, "platform/linux/skewmon-tod")
        helpers = []
        for i in range(count):
            ours, theirs = socket.socketpair()
            # The helper's channel must be its descriptor 3; close_fds would
            # close it again after preexec_fn has put it there.
            child = subprocess.Popen([tod, "--serve"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, close_fds=False,
                                     preexec_fn=lambda fd=theirs.fileno(): os.dup2(fd, 3),
                                     env=dict(os.environ, HOME=home))
            theirs.close()
            helpers.append((servers[i % len(servers)], ours, ours.makefile("r"), child))
        for _, _, reader, _ in helpers:  # every one ready before any is asked
            reader.readline()
        began = time.monotonic()
        for address, sock, _, _ in helpers:
            sock.sendall(b"1 " + ("\\\\" + address).encode().hex().encode() + b"\n")
        lost_here, slowest = 0, 0.0
        for address, sock, reader, child in helpers:
            sock.settimeout(max(0.1, 10 - (time.monotonic() - began)))
            try:
                fields = reader.readline().split()
                took = time.monotonic() - began
            except OSError:
                fields, took = [], 10.0
            offset = int(fields[1]) if len(fields) == 3 else kNoResponse
            if offset == kNoResponse or took > 3.0:
                lost_here += 1
            slowest = max(slowest, took)
            child.kill()
            child.wait()
            sock.close()
        return lost_here, slowest
    for count in (40, 128):
        lost_here, slowest = servers_alone(count)
        print(f"  servers alone, {count} ready helpers asked at once: {lost_here} lost "
              f"(no usable answer, or none within 3 s of the request); slowest {slowest:.1f} s", flush=True)
PY
