#!/usr/bin/env bash
# Builds the Debian package, unpacks it into a staging root with dpkg -x, and
# runs the installed program's console report against the test lab.
#
#   package_test.sh CPACK BUILD_DIR LAB_DIR
set -euo pipefail
cpack=$1 build=$2 lab=$3
[ -f "$lab/lab.txt" ] || { echo "no lab in $lab (run through ctest)"; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/skewmon-package-XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAIL: $*"
  exit 1
}

# The package, from the build tree as it stands.
(cd "$build" && "$cpack" -G DEB -B "$work/out") >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
debs=("$work"/out/skewmon_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one package, got: ${debs[*]}"
deb=${debs[0]}

# Its dependencies come from the libraries it links.
depends=$(dpkg-deb -f "$deb" Depends)
for library in libsmbclient libqt6widgets6 libldap-2.5-0 samba-libs; do
  [[ $depends == *"$library"* ]] || fail "Depends lacks $library: $depends"
done

dpkg -x "$deb" "$work/root"
root=$work/root
for file in usr/bin/skewmon usr/libexec/skewmon/skewmon-tod usr/libexec/skewmon/skewmon-browse \
            usr/share/applications/skewmon.desktop usr/share/man/man1/skewmon.1.gz \
            usr/share/icons/hicolor/{16x16,32x32,48x48,256x256}/apps/skewmon.png; do
  [ -f "$root/$file" ] || fail "the package lacks /$file"
done
[ ! -e "$root/usr/bin/skewmon-tod" ] || fail "the helper is on PATH"
grep -qx 'Categories=Network;System;Monitor;' "$root/usr/share/applications/skewmon.desktop" || fail "desktop entry"

"$root/usr/bin/skewmon" --version >"$work/version.txt"
[ "$(cat "$work/version.txt")" = "Skewmon 5.2.b.20110601R" ] || fail "--version: $(cat "$work/version.txt")"

# The lab's servers and its silent address, by address, as a list file.
home=$(awk '$1 == "home" { print $2 }' "$lab/lab.txt")
silent=$(awk '$1 == "silent" { print $2 }' "$lab/lab.txt")
{
  echo "; the test lab"
  awk '$1 == "server" { print $3 }' "$lab/lab.txt"
  echo "$silent"
} >"$work/lab-hosts.txt"

status=0
# The build tree's helper must not be what answers: nothing of it on PATH.
env -i HOME="$home" PATH=/usr/bin:/bin "$root/usr/bin/skewmon" --report --parallel 4 --list "$work/lab-hosts.txt" \
  >"$work/report.txt" 2>"$work/progress.txt" || status=$?
tr -d '\r' <"$work/report.txt" >"$work/report.lf"

echo "exit status $status"
cat "$work/report.lf"
# The lab's clocks are minutes and an hour apart: critical.
[ "$status" -eq 2 ] || { cat "$work/progress.txt"; fail "exit status $status, expected 2"; }
grep -qx "found in the lab-hosts.txt file." "$work/report.lf" || fail "line 8"

# Every server's row: its address, the sign of its shift, and a variance
# within a second of the shift (the lab's shifts are whole seconds or more
# apart; the measurement is good to well under a second on loopback).
while read -r kind name address shift; do
  [ "$kind" = server ] || continue
  row=$(grep -E "^${address//./\\.} " "$work/report.lf") || fail "no row for $name ($address)"
  sign=+
  [ "${shift#-}" != "$shift" ] && sign=-
  magnitude=${shift#-}
  [[ $row =~ ^[0-9.]+\ +([+-])\ ([0-9]{2})\ ([0-9]{3})\ ([0-9]{2}):([0-9]{2}):([0-9]{2})\.([0-9]{3}) ]] ||
    fail "row of $address: $row"
  [ "${BASH_REMATCH[1]}" = "$sign" ] || [ "$magnitude" -lt 1000 ] || fail "sign of $address: $row"
  ms=$(( ((10#${BASH_REMATCH[2]} * 365 + 10#${BASH_REMATCH[3]}) * 24 + 10#${BASH_REMATCH[4]}) * 3600000 +
         10#${BASH_REMATCH[5]} * 60000 + 10#${BASH_REMATCH[6]} * 1000 + 10#${BASH_REMATCH[7]} ))
  difference=$(( ms - magnitude ))
  [ "${difference#-}" -lt 1000 ] || fail "variance of $address is $ms ms, its shift $shift ms: $row"
done <"$lab/lab.txt"
grep -qx "${silent} *No response or excessive latency *" "$work/report.lf" || fail "no silent row for $silent"
echo "PASS: the installed package scanned $(grep -c '^server ' "$lab/lab.txt") lab servers"
