#!/usr/bin/env bash
# Writes the seed corpora of the fuzz targets into tests/fuzz/corpus/:
# captures from the time lab's servers (started and stopped here, at
# LAB_FIRST, default 90), and inputs built from what the code parses where
# the time lab has nothing to capture (the name service, the browse helper,
# list files, command lines). The targets whose inputs are drawn field by
# field (browse_listing, directory_answers, console_writers) start from a
# short run of their own, merged in with -merge=1.
#
#   tests/fuzz/capture-seeds.sh BUILD_FUZZ_DIR
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?usage: capture-seeds.sh BUILD_FUZZ_DIR}" && pwd)
corpus=$top/tests/fuzz/corpus
lab=${TMPDIR:-/tmp}/skewmon-fuzz-lab
export LAB_FIRST=${LAB_FIRST:-90} LAB_COUNT=3 LAB_SMB1=1

# Samba's own libraries keep a little memory to the end: not ours to report.
export ASAN_OPTIONS=detect_leaks=0
"$top/tests/lab/lab.sh" start "$lab" >/dev/null
trap '"$top/tests/lab/lab.sh" stop "$lab" >/dev/null' EXIT
addresses=$(awk '$1 == "server" { print $3 } $1 == "smb1" { print $3 }' "$lab/lab.txt")
home=$(awk '$1 == "home" { print $2 }' "$lab/lab.txt")
# The first answer of a server's RPC service is slow: ask once before.
HOME=$home timeout 60 "$build/platform/linux/skewmon-tod" "\\\\${addresses%%$'\n'*}" >/dev/null || true
# shellcheck disable=SC2086
HOME=$home timeout 120 "$build/tests/fuzz/skewmon_fuzz_capture" "$corpus" \
  "$build/platform/linux/skewmon-tod" $addresses

# The connection target reads the same streams off a socket.
mkdir -p "$corpus/smb2_connection"
cp "$corpus"/smb2_negotiate/lab-* "$corpus/smb2_connection/"

python3 - "$corpus" <<'PY'
import os, struct, sys
corpus = sys.argv[1]

def save(target, name, data):
    os.makedirs(os.path.join(corpus, target), exist_ok=True)
    with open(os.path.join(corpus, target, name), "wb") as f:
        f.write(data)

# The NetBIOS name service: answers as a WINS server or a machine gives
# them, behind the two-byte id the client chose.
def encoded(name, kind):
    raw = name.encode().ljust(15, b" ")[:15] + bytes([kind])
    return bytes([32]) + bytes(b for c in raw for b in (0x41 + (c >> 4), 0x41 + (c & 15))) + b"\0"

def answer(ident, rr_type, data, rcode=0, name="LABGROUP", kind=0x1C):
    header = struct.pack(">HHHHHH", ident, 0x8500 | rcode, 0, 1, 0, 0)
    return struct.pack(">H", ident) + header + encoded(name, kind) + struct.pack(">HHIH", rr_type, 1, 300000, len(data)) + data

def status_record(name, kind, group):
    return name.encode().ljust(15, b" ") + bytes([kind]) + struct.pack(">H", (0x8000 if group else 0) | 0x0400)

save("netbios_reply", "name-query-two-controllers",
     answer(0x1234, 0x20, struct.pack(">H4s", 0x8000, bytes([127, 0, 0, 60])) + struct.pack(">H4s", 0x8000, bytes([127, 0, 0, 61]))))
save("netbios_reply", "name-query-negative", answer(0x0102, 0x20, b"", rcode=3))
table = [("LABDC", 0x00, False), ("LABGROUP", 0x00, True), ("LABGROUP", 0x1C, True), ("LABGROUP", 0x1B, False),
         ("LABDC", 0x20, False), ("LABGROUP", 0x1E, True), ("LABGROUP", 0x1D, False), ("\x01\x02__MSBROWSE__\x02", 0x01, True)]
save("netbios_reply", "node-status-controller",
     answer(0x0909, 0x21, bytes([len(table)]) + b"".join(status_record(*e) for e in table) + bytes(46), name="*", kind=0))

# skewmon-browse's output for a workgroup of four servers, as its walk is
# asked by a scan (first byte below 128) and with small buffers.
def entry(kind, name):
    return b"entry %d %s\n" % (kind, name.encode().hex().encode())
listing = b"open\n" + entry(1, "LABGROUP") + b"".join(entry(2, n) for n in ("LABDC", "LABMB", "LABBS1", "LABBS2")) + b"end 0\n"
save("browse_helper_lines", "four-servers", b"\x00" + listing)
save("browse_helper_lines", "four-servers-small-buffers", b"\xc8" + listing)
save("browse_helper_lines", "walk-failed", b"\x00open\n" + entry(2, "LABDC") + b"end 1\n")

# List files: as the lab writes one, with comments, CR LF, blanks and a
# line longer than the reader's buffer.
save("list_file", "lab-list", b"; the lab's servers\n127.0.0.90\n127.0.0.91\n127.0.0.92\n# the silent one\n127.0.0.93\n")
save("list_file", "comments-crlf-blanks", b"[machines]\r\n  \\\\alpha  \r\n\tbravo\r\n\r\n;charlie\r\ndelta")
save("list_file", "long-line", b"x" * 300 + b"\nshort\n")

# Command lines, arguments separated by NUL bytes.
for name, args in {"report-json": ["--report", "--parallel", "8", "--format", "json"],
                   "report-check-list": ["NOTHREAD", "--report", "--list=/srv/hosts.txt", "--format=check"],
                   "window": ["/nothread", "--list", "hosts.txt"],
                   "errors": ["--report", "--parallel", "65", "--bogus\x01"]}.items():
    save("command_line", name, "\0".join(args).encode())
PY

# The targets read field by field: a short run from nothing, merged.
for target in browse_listing directory_answers console_writers; do
  work=$(mktemp -d)
  "$build/tests/fuzz/fuzz_$target" -max_total_time=30 -max_len=4096 "$work" >/dev/null 2>&1 || true
  mkdir -p "$corpus/$target"
  "$build/tests/fuzz/fuzz_$target" -merge=1 "$corpus/$target" "$work" >/dev/null 2>&1
  rm -rf "$work"
done
du -sh --apparent-size "$corpus"/*
