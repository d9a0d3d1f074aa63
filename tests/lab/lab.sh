#!/usr/bin/env bash
# The test lab: standalone Samba servers on loopback addresses, each with its
# clock shifted by a known amount, an address where nothing listens, and a
# server that takes connections and never answers. Every packet stays on
# loopback.
#
#   lab.sh start|stop|status [DIR]
#   lab.sh set-clock DIR ADDRESS SHIFT   restarts the server at ADDRESS with
#                                        its clock shifted by SHIFT instead
#
# DIR (default ${TMPDIR:-/tmp}/skewmon-lab) holds everything the lab makes.
# Settings, from the environment:
#   LAB_COUNT   number of Samba servers (default 6)
#   LAB_FIRST   last octet of the first server's address (default 11); the
#               servers take LAB_FIRST.., the silent address and the hung
#               server the two after them
#   LAB_SHIFTS  clock shifts in seconds, used in turn (default below)
#   LAB_RATES   clock rates, used in turn: libfaketime's speed factor (1.0005
#               runs 43.2 s/day fast); by default the clocks keep true time
#   LAB_TOD     the skewmon-tod helper; when given, start asks every server
#               for its time until it answers (this also starts its RPC
#               service, whose first answer is slow) and checks the shift
#   LAB_SMB1    when 1, one more server, after the hung one, that speaks
#               SMB1 (NT1) only, its clock shifted by LAB_SMB1_SHIFT seconds
#               (default +0.6); the client settings then allow NT1 too
#
# DIR/lab.txt describes the lab to the tests:
#   server NAME ADDRESS SHIFT_MS [RATE]   (RATE with LAB_RATES)
#   silent ADDRESS
#   hung ADDRESS
#   smb1 NAME ADDRESS SHIFT_MS   (with LAB_SMB1=1)
#   home DIR/home          (HOME with the client settings for the lab)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
command=${1:-}
dir=${2:-${TMPDIR:-/tmp}/skewmon-lab}
count=${LAB_COUNT:-6}
first=${LAB_FIRST:-11}
shifts=(${LAB_SHIFTS:-+2 -3 +0.4 +75 -0.25 +3725})
rates=(${LAB_RATES:-})
smb1=${LAB_SMB1:-0}
smb1_shift=${LAB_SMB1_SHIFT:-+0.6}

# shellcheck source=tests/lab/lab_common.sh
. "$here/lab_common.sh"

write_client_settings() {
  # Names resolve only through lmhosts (the lab names its machines by
  # address), and nothing is broadcast.
  write_client_home "$1" <<EOF
  netbios name = SKEWTEST
  workgroup = LABGROUP
  name resolve order = lmhosts
  disable netbios = yes
  smb ports = 445
  client min protocol = $([ "$smb1" = 1 ] && echo NT1 || echo SMB2_02)
EOF
}

# Starts server NAME at ADDRESS, with its folders in STATE and its clock
# shifted by SHIFT and running at RATE (empty: true time); EXTRA: more
# [global] lines.
start_server() {
  local state=$1 name=$2 address=$3 shift=$4 extra=${5:-} rate=${6:-}
  write_standalone_server "$state" "$name" LABGROUP "$address" 0 <<EOF
  smb ports = 445
  disable netbios = yes
$extra
EOF
  start_daemon "$state" smbd "$shift${rate:+ x$rate}" smbd -F --no-process-group -s "$state/smb.conf"
}

do_start() {
  require_command smbd samba
  require_command setsid util-linux
  require_command python3 python3
  require_command ps procps
  require_file "$faketime_lib" libfaketime
  require_own_name
  clear_lab_dir .skewmon-lab
  # A server left over from another lab would answer in place of ours.
  for ((octet = first; octet < first + count + 2 + (smb1 == 1); octet++)); do
    if port_open "127.0.0.$octet" 445; then
      die "127.0.0.$octet:445 is taken already (another lab still running?)"
    fi
  done
  mkdir -p "$dir"
  touch "$dir/.skewmon-lab"
  : >"$dir/lab.new"
  write_client_settings "$dir/home"

  local servers=()
  for ((n = 0; n < count; n++)); do
    local octet=$((first + n))
    local address=127.0.0.$octet name=LAB$octet shift=${shifts[n % ${#shifts[@]}]} rate=
    [ ${#rates[@]} -eq 0 ] || rate=${rates[n % ${#rates[@]}]}
    local state=$dir/s$octet
    rm -rf "$state"
    start_server "$state" "$name" "$address" "$shift" "" "$rate"
    echo "server $name $address $(shift_ms "$shift")${rate:+ $rate}" >>"$dir/lab.new"
    servers+=("$address")
  done

  local silent=127.0.0.$((first + count)) hung=127.0.0.$((first + count + 1))
  echo "silent $silent" >>"$dir/lab.new"
  setsid python3 "$here/hung_server.py" "$hung" 445 139 </dev/null >"$dir/hung.log" 2>&1 &
  echo $! >"$dir/hung.leader"
  echo "hung $hung" >>"$dir/lab.new"
  if [ "$smb1" = 1 ]; then
    local octet=$((first + count + 2))
    local address=127.0.0.$octet state=$dir/s$((first + count + 2))
    rm -rf "$state"
    start_server "$state" "LAB$octet" "$address" "$smb1_shift" "$(printf '  server min protocol = NT1\n  server max protocol = NT1')"
    echo "smb1 LAB$octet $address $(shift_ms "$smb1_shift")" >>"$dir/lab.new"
    servers+=("$address")
  fi
  echo "home $dir/home" >>"$dir/lab.new"
  mv "$dir/lab.new" "$dir/lab.txt"

  local failed=0
  for address in "${servers[@]}"; do
    if ! wait_for_port "$address" 445 200 "$(cat "$dir/s${address##*.}/smbd.leader")"; then
      echo "lab: the server at $address does not listen (see $dir/s${address##*.}/log)" >&2
      failed=1
    fi
  done
  wait_for_port "$hung" 445 100 "$(cat "$dir/hung.leader")" || { echo "lab: the hung server at $hung does not listen" >&2; failed=1; }
  [ $failed -eq 0 ] || fail "start failed"

  if [ -n "${LAB_TOD:-}" ]; then
    [ -x "$LAB_TOD" ] || die "LAB_TOD is not an executable: $LAB_TOD"
    while read -r kind name address expected; do
      [ "$kind" = server ] || continue
      local offset
      # The first answer comes late, from an RPC service just started, and
      # is read late in its round trip: only a second one says where the
      # clock stands.
      if ! ask_until_answered "$address" "$dir/home" >/dev/null ||
        ! offset=$(ask_until_answered "$address" "$dir/home"); then
        echo "lab: $name ($address) does not answer the time query" >&2
        failed=1
        continue
      fi
      # Samba answers in whole seconds: the offset lies up to a second below.
      if ((offset < expected - 1100 || offset > expected + 100)); then
        echo "lab: $name ($address) is off by $offset ms, expected $expected" >&2
        failed=1
      fi
    done <"$dir/lab.txt"
    [ $failed -eq 0 ] || fail "start failed"
  fi
  echo "lab: started $count servers in $dir"
}

do_stop() {
  # Only a directory this script made is ever removed.
  [ -f "$dir/.skewmon-lab" ] || return 0
  local leaders=()
  for state in "$dir"/s*/; do
    [ -f "$state/smb.conf" ] || continue
    [ -f "$state/smbd.leader" ] && leaders+=("$(cat "$state/smbd.leader")")
    leaders+=($(sessions_using "${state%/}/smb.conf"))
  done
  [ -f "$dir/hung.leader" ] && leaders+=("$(cat "$dir/hung.leader")")
  remove_lab "$dir" "${leaders[@]}"
}

do_status() {
  lab_started "$dir" || return 1
  local status=0
  while read -r kind name address expected; do
    case $kind in
      server)
        if [ -n "$(members_of "$(cat "$dir/s${address##*.}/smbd.leader")")" ]; then
          echo "$name $address $expected ms: running"
        else
          echo "$name $address $expected ms: gone"
          status=1
        fi
        ;;
      silent) echo "silent address $name" ;;
      hung) echo "hung server $name" ;;
    esac
  done <"$dir/lab.txt"
  return $status
}

# Restarts the server at ADDRESS with its clock shifted by SHIFT, at the
# rate it had, as when an administrator sets a machine's clock.
do_set_clock() {
  local address=$1 shift=$2 name= rate= kind each_name each_address expected each_rate
  lab_started "$dir" || exit 1
  while read -r kind each_name each_address expected each_rate; do
    if [ "$kind" = server ] && [ "$each_address" = "$address" ]; then
      name=$each_name
      rate=${each_rate:-}
    fi
  done <"$dir/lab.txt"
  [ -n "$name" ] || die "no lab server at $address"
  local state=$dir/s${address##*.}
  end_sessions "$(cat "$state/smbd.leader")" $(sessions_using "$state/smb.conf")
  start_server "$state" "$name" "$address" "$shift" "" "$rate"
  wait_for_port "$address" 445 200 "$(cat "$state/smbd.leader")" || die "the server at $address does not listen again"
  awk -v address="$address" -v ms="$(shift_ms "$shift")" \
    '$1 == "server" && $3 == address { $4 = ms } { print }' "$dir/lab.txt" >"$dir/lab.new"
  mv "$dir/lab.new" "$dir/lab.txt"
  echo "lab: $name ($address) restarted, shifted by $shift s"
}

if [ "$command" = set-clock ]; then
  [ $# -eq 4 ] || { echo "usage: lab.sh set-clock DIR ADDRESS SHIFT" >&2; exit 2; }
  do_set_clock "$3" "$4"
  exit 0
fi
run_lab_command "$command"
