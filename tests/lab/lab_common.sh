# Shell functions that both test labs use; sourced, never run.

# Shift in seconds ("+0.4", "-3") as whole milliseconds ("400", "-3000").
shift_ms() {
  LC_ALL=C awk -v s="$1" 'BEGIN { v = s * 1000; printf "%d\n", (v < 0 ? v - 0.5 : v + 0.5) }'
}

# Waits (bounded) until ADDRESS:PORT takes connections, while process
# LEADER lives.
wait_for_port() {
  local address=$1 port=$2 tries=$3 leader=$4
  for ((i = 0; i < tries; i++)); do
    if timeout 1 bash -c "exec 3<>/dev/tcp/$address/$port" 2>/dev/null; then
      return 0
    fi
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

# The per-server rest of a standalone Samba server's [global] settings: the
# server's own directories under STATE (each instance needs its own, or they
# share one RPC daemon and one clock), logging at LEVEL, no printing, and a
# guest share. Printed, to follow the server's own [global] lines.
standalone_server_settings() {
  local state=$1 level=$2
  cat <<EOF
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
[share]
  path = $state/share
  read only = yes
  guest ok = yes
EOF
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
