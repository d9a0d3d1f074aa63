# shellcheck shell=bash
# Shell functions that both test labs use; sourced, never run. A lab script
# sets `dir` (its folder) and defines do_start, do_stop and do_status, which
# run_lab_command calls; fail and clear_lab_dir use `dir` and do_stop.

faketime_lib=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1
# What skewmon-tod prints for a machine that did not answer.
kNoResponse=1122334455667788

die() {
  echo "lab: $*" >&2
  exit 1
}

# A start that fails keeps its logs (LOG: the one that says why), stops what
# it started, and ends.
fail() {
  keep_logs "$dir" "${2:-}"
  do_stop >/dev/null
  die "$1"
}

# Runs the lab command COMMAND: start, stop or status.
run_lab_command() {
  case $1 in
    start) do_start ;;
    stop) do_stop ;;
    status) do_status ;;
    *)
      echo "usage: lab.sh start|stop|status [DIR]" >&2
      exit 2
      ;;
  esac
}

# Shift in seconds ("+0.4", "-3") as whole milliseconds ("400", "-3000").
shift_ms() {
  LC_ALL=C awk -v s="$1" 'BEGIN { v = s * 1000; printf "%d\n", (v < 0 ? v - 0.5 : v + 0.5) }'
}

# Whether ADDRESS:PORT takes connections now.
port_open() {
  timeout 1 bash -c "exec 3<>/dev/tcp/$1/$2" 2>/dev/null
}

# Waits (bounded) until ADDRESS:PORT takes connections, while process
# LEADER lives.
wait_for_port() {
  local address=$1 port=$2 tries=$3 leader=$4
  for ((i = 0; i < tries; i++)); do
    port_open "$address" "$port" && return 0
    kill -0 "$leader" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# Every process of the sessions led by the given PIDs.
members_of() {
  local leaders=" $* "
  ps -e -o pid=,sid= | awk -v leaders="$leaders" 'index(leaders, " " $2 " ") { print $1 }'
}

# Ends the sessions led by the given PIDs: TERM, a bounded wait, then KILL.
end_sessions() {
  local own leaders=() members
  own=$(ps -o sid= -p $$ | tr -d ' ')
  for leader in "$@"; do
    if [ -n "$leader" ] && [ "$leader" -gt 1 ] && [ "$leader" != "$own" ]; then
      leaders+=("$leader")
    fi
  done
  [ ${#leaders[@]} -gt 0 ] || return 0
  members=$(members_of "${leaders[@]}")
  [ -n "$members" ] || return 0
  kill -TERM $members 2>/dev/null || true
  for ((i = 0; i < 50; i++)); do
    members=$(members_of "${leaders[@]}")
    [ -n "$members" ] || return 0
    sleep 0.1
  done
  kill -KILL $members 2>/dev/null || true
  for ((i = 0; i < 30; i++)); do
    [ -n "$(members_of "${leaders[@]}")" ] || return 0
    sleep 0.1
  done
  echo "lab: some lab processes would not end" >&2
}

# Leaders of the sessions of the RPC services (samba-dcerpcd and its
# workers) that smbd started with the settings file CONF: they run in a
# session of their own. Only processes given that exact file count.
sessions_using() {
  ps -e -ww -o sid=,args= |
    awk -v option="--configfile=$1" '{ for (i = 2; i <= NF; i++) if ($i == option) { print $1; break } }' |
    sort -u
}

# Starts PROGRAM ARGS... with its clock shifted by SHIFT, in a session of
# its own: a Samba daemon signals its whole process group when it ends, which
# must not be the caller's. Its output goes to STATE/log/TAG.console, its PID
# to STATE/TAG.leader.
start_daemon() {
  local state=$1 tag=$2 shift=$3
  shift 3
  _NO_WINBINDD=1 LD_PRELOAD=$faketime_lib FAKETIME=$shift FAKETIME_DONT_FAKE_MONOTONIC=1 \
    setsid "$@" </dev/null >"$state/log/$tag.console" 2>&1 &
  echo $! >"$state/$tag.leader"
}

# Writes STATE/smb.conf for a standalone server NAME of WORKGROUP that
# listens on ADDRESS alone, lets guests in and logs at LEVEL, with the
# [global] lines read from standard input added. Each server has folders of
# its own under STATE, or the servers would share one RPC daemon and one
# clock.
write_standalone_server() {
  local state=$1 name=$2 workgroup=$3 address=$4 level=$5
  mkdir -p "$state"/{private,lock,state,cache,pid,ncalrpc,log,share}
  chmod 700 "$state/private"
  {
    cat <<EOF
[global]
  netbios name = $name
  workgroup = $workgroup
  server role = standalone server
  # The /8 lets Samba place the address on the loopback interface; with
  # bind interfaces only it still listens on this one address alone.
  interfaces = $address/8
  bind interfaces only = yes
  map to guest = Bad User
  guest account = nobody
  restrict anonymous = 0
  private dir = $state/private
  lock directory = $state/lock
  state directory = $state/state
  cache directory = $state/cache
  pid directory = $state/pid
  ncalrpc dir = $state/ncalrpc
  passdb backend = tdbsam:$state/private/passdb.tdb
  log file = $state/log/log.%m
  max log size = 1000
  logging = file
  log level = $level
  load printers = no
  printing = bsd
  printcap name = /dev/null
  disable spoolss = yes
  usershare path =
  registry shares = no
  obey pam restrictions = no
  # The time service stays up between tests: a restarted one answers late.
  rpcd_classic:idle_seconds = 86400
EOF
    cat
    cat <<EOF
[share]
  path = $state/share
  read only = yes
  guest ok = yes
EOF
  } >"$state/smb.conf"
}

# Writes HOME/.smb/smb.conf for a lab client: its [global] lines read from
# standard input, then loopback alone and state folders of its own under
# HOME/.smb, so that it shares nothing with the machine's Samba.
write_client_home() {
  local home=$1
  mkdir -p "$home/.smb"/{state,cache,lock,private,ncalrpc}
  chmod 700 "$home/.smb/private"
  {
    echo "[global]"
    cat
    cat <<EOF
  interfaces = 127.0.0.1/8
  bind interfaces only = yes
  log level = 0
  state directory = $home/.smb/state
  cache directory = $home/.smb/cache
  lock directory = $home/.smb/lock
  private dir = $home/.smb/private
  ncalrpc dir = $home/.smb/ncalrpc
EOF
  } >"$home/.smb/smb.conf"
}

# Asks ADDRESS for its time with the helper LAB_TOD, as the client whose
# settings are in HOME, until it answers (bounded); prints the offset.
ask_until_answered() {
  local address=$1 home=$2 offset i
  for ((i = 0; i < 40; i++)); do
    offset=$(HOME=$home timeout 10 "$LAB_TOD" "\\\\$address" 2>/dev/null || true)
    if [ -n "$offset" ] && [ "$offset" != "$kNoResponse" ]; then
      echo "$offset"
      return 0
    fi
    sleep 0.25
  done
  return 1
}

# What a lab needs, checked before it starts: a missing piece stops it at
# once with one line naming the Debian package, instead of a failure deep in
# a server's log. Several of these only arrive as recommendations of samba.
require_command() {
  command -v "$1" >/dev/null 2>&1 || { echo "lab: $1 is missing: install the Debian package $2" >&2; exit 1; }
}
require_file() {
  [ -e "$1" ] || { echo "lab: $1 is missing: install the Debian package $2" >&2; exit 1; }
}

# Ends the sessions led by the given PIDs and removes the lab folder FOLDER.
remove_lab() {
  local folder=$1
  shift
  end_sessions "$@"
  rm -rf "$folder"
  echo "lab: stopped"
}

# Readies $dir for a new lab: a lab left there (it holds the file MARKER) is
# stopped first, and a folder that holds anything else is refused, since a
# stop would remove it.
clear_lab_dir() {
  local marker=$1
  if [ -f "$dir/$marker" ]; then
    do_stop
  elif [ -e "$dir" ] && [ -n "$(ls -A "$dir")" ]; then
    die "$dir exists and is no lab directory"
  fi
}

# True when the lab in FOLDER has started; otherwise says that it is not
# running.
lab_started() {
  [ -f "$1/lab.txt" ] && return 0
  echo "lab: not running ($1)"
  return 1
}

# Copies the logs of a lab that failed to start to DIR.failed-logs, which no
# stop removes, and shows the end of the log that says why.
keep_logs() {
  local dir=$1 log=${2:-} kept="$1.failed-logs"
  rm -rf "$kept"
  mkdir -p "$kept"
  (cd "$dir" 2>/dev/null && find . -type f \( -path '*/log/*' -o -name '*.log' \) -exec cp --parents {} "$kept" \;) || true
  if [ -n "$log" ] && [ -f "$log" ]; then
    echo "lab: the end of $log:" >&2
    tail -n 15 "$log" | sed 's/^/  | /' >&2
  fi
  echo "lab: logs kept in $kept" >&2
}

# Samba's client looks up this machine's own host name for every connection.
# Where the name is in no local table (Debian's installer writes it into
# /etc/hosts), each query waits on the DNS, and queries to lab servers go
# slow or silent: say so before anything starts.
require_own_name() {
  local name
  name=$(hostname)
  if ! timeout 3 getent hosts "$name" >/dev/null 2>&1; then
    echo "lab: this machine's name \"$name\" does not resolve: add \"127.0.1.1 $name\" to /etc/hosts" >&2
    exit 1
  fi
}
