#!/usr/bin/env bash
# The domain lab: a Samba directory domain controller, which is also the
# lab's WINS server, and a workgroup of browse servers (nmbd and smbd), some
# with their clocks shifted. Everything listens on loopback addresses from
# 127.0.0.60 upward; nothing is ever broadcast beyond loopback, and the
# machine's own settings (/etc/hosts, /etc/krb5.conf, smb.conf) stay as
# they are.
#
#   lab.sh start|stop|status [DIR]
#
# DIR (default ${TMPDIR:-/tmp}/skewmon-domain-lab) holds everything the lab
# makes. LAB_TOD, when set, is the skewmon-tod helper: start then asks every
# browse server for its time once, which starts its RPC service.
#
# DIR/lab.txt describes the lab to the tests:
#   dc NAME ADDRESS DOMAIN REALM HOSTNAME
#   partition CN                     (each domain partition of the forest)
#   workgroup NAME MASTER
#   server NAME ADDRESS SHIFT_MS     (the workgroup's browse list)
#   member-home DIR                  (HOME of a member of the domain)
#   workgroup-home DIR               (HOME of a machine of the workgroup)
#   krb5-config FILE
#   ticket FILE                      (a ticket cache of a domain user)
#   hosts FILE                       (maps the controller's host name)
set -euo pipefail

command=${1:-}
dir=${2:-${TMPDIR:-/tmp}/skewmon-domain-lab}
# samba-tool and the directory scripts need the system's Python and its samba
# module, whatever python3 comes first on PATH.
python=/usr/bin/python3

dc_address=127.0.0.60
dc_name=LABDC
domain=SKEWLAB
realm=SKEWLAB.TEST
dc_host=labdc.skewlab.test
password='Lab-Passw0rd!'
workgroup=LABWG
master=(LABMB 127.0.0.61 +0)
servers=("LABB62 127.0.0.62 +5" "LABB63 127.0.0.63 -3" "LABB64 127.0.0.64 +75")
# Domain partitions of the forest besides the controller's own, none with a
# controller; LABWG bears the workgroup's name, so that a member choosing it
# from its domain list browses the workgroup.
extra_partitions=(${LAB_PARTITIONS-CHILDB CHILDA LABWG})

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/lab/lab_common.sh
. "$here/../lab/lab_common.sh"

# Waits (bounded) until FILE holds a line matching PATTERN.
wait_for_line() {
  local file=$1 pattern=$2 tries=$3
  for ((i = 0; i < tries; i++)); do
    grep -q -- "$pattern" "$file" 2>/dev/null && return 0
    sleep 0.5
  done
  return 1
}

write_client_settings() {
  local home=$1 group=$2 member=$3
  local membership=""
  if [ "$member" = yes ]; then
    membership="  realm = $realm
  security = ads"
  fi
  # Names resolve through the lab's WINS server alone, and nothing is
  # broadcast. Browse lists travel over SMB1 only.
  write_client_home "$home" <<EOF
  netbios name = SKEWCLIENT
  workgroup = $group
$membership
  name resolve order = wins
  wins server = $dc_address
  client min protocol = NT1
  client max protocol = NT1
EOF
}

provision_dc() {
  local state=$dir/dc
  mkdir -p "$state"/{log,pid,ntp_signd,winbindd,ncalrpc}
  chmod 0750 "$state/ntp_signd"
  "$python" /usr/bin/samba-tool domain provision --server-role=dc --dns-backend=NONE \
    --realm="$realm" --domain="$domain" --adminpass="$password" --host-name="${dc_name,,}" \
    --host-ip="$dc_address" --targetdir="$state" \
    --option="interfaces = $dc_address/8" --option="bind interfaces only = yes" \
    >"$state/log/provision" 2>&1 || fail "provisioning failed" "$state/log/provision"
  cat >"$state/run.conf" <<EOF
[global]
  netbios name = $dc_name
  workgroup = $domain
  realm = $realm
  server role = active directory domain controller
  server services = rpc, nbt, wrepl, ldap, cldap, kdc
  wins support = yes
  # Names unknown to the WINS server are not looked up in the DNS.
  dns proxy = no
  interfaces = $dc_address/8
  bind interfaces only = yes
  private dir = $state/private
  binddns dir = $state/bind-dns
  lock directory = $state/lock
  state directory = $state/state
  cache directory = $state/cache
  pid directory = $state/pid
  ncalrpc dir = $state/ncalrpc
  ntp signd socket directory = $state/ntp_signd
  winbindd socket directory = $state/winbindd
  log file = $state/log/log.%m
  logging = file
  log level = 1
[netlogon]
  path = $state/state/sysvol/${realm,,}/scripts
  read only = no
[sysvol]
  path = $state/state/sysvol
  read only = no
EOF
  # The directory service's own Kerberos name, which the controller adds
  # for itself only with its DNS update service.
  "$python" /usr/bin/samba-tool spn add "ldap/$dc_host" "$dc_name\$" -H "$state/private/sam.ldb" \
    -s "$state/run.conf" >>"$state/log/provision" 2>&1 || fail "adding the directory's service name failed" "$state/log/provision"
}

# Two more domain partitions of the forest, with no controllers of their
# own. Samba's KDC hands out no more service tickets once they exist, so they
# are added, to the running controller's database, only after the user's
# ticket for the directory service is in the ticket cache.
add_partitions() {
  local state=$dir/dc
  "$python" - "$state" "${extra_partitions[@]}" >>"$state/log/provision" 2>&1 <<'EOF' || fail "adding partitions failed" "$state/log/provision"
import sys
from samba.auth import system_session
from samba.param import LoadParm
from samba.samdb import SamDB
state, names = sys.argv[1], sys.argv[2:]
lp = LoadParm()
lp.load(state + "/run.conf")
db = SamDB(url=state + "/private/sam.ldb", session_info=system_session(), lp=lp)
config = str(db.get_config_basedn())
realm = lp.get("realm").lower()
for name in names:
    db.add({"dn": "CN=%s,CN=Partitions,%s" % (name, config), "objectClass": "crossRef",
            "nCName": "DC=%s,%s" % (name.lower(), ",".join("DC=" + p for p in realm.split("."))),
            "dnsRoot": "%s.%s" % (name.lower(), realm), "nETBIOSName": name, "systemFlags": "3"},
           controls=["relax:0"])
EOF
}

# The domain partitions of the forest.
list_partitions() {
  "$python" - "$dir/dc" <<'EOF'
import sys
import ldb
from samba.auth import system_session
from samba.param import LoadParm
from samba.samdb import SamDB
state = sys.argv[1]
lp = LoadParm()
lp.load(state + "/run.conf")
db = SamDB(url=state + "/private/sam.ldb", session_info=system_session(), lp=lp)
base = "CN=Partitions," + str(db.get_config_basedn())
for entry in db.search(base=base, scope=ldb.SCOPE_ONELEVEL, expression="(&(systemFlags=3))", attrs=["cn"]):
    print("partition", entry["cn"][0])
EOF
}

write_server_settings() {
  local state=$1 name=$2 address=$3 role=$4
  local browsing="  local master = no
  preferred master = no
  domain master = no"
  if [ "$role" = master ]; then
    browsing="  local master = yes
  preferred master = yes
  domain master = yes
  os level = 65"
  fi
  write_standalone_server "$state" "$name" "$workgroup" "$address" 2 <<EOF
  wins server = $dc_address
$browsing
  server min protocol = NT1
EOF
}

start_browse_server() {
  local name=$1 address=$2 shift=$3 role=$4
  local state=$dir/${address##*.}
  write_server_settings "$state" "$name" "$address" "$role"
  start_daemon "$state" nmbd "$shift" nmbd -F --no-process-group -s "$state/smb.conf"
  start_daemon "$state" smbd "$shift" smbd -F --no-process-group -s "$state/smb.conf"
}

do_start() {
  require_command samba samba
  require_command nmbd samba
  require_command smbd samba
  require_command samba-tool samba-common-bin
  require_command kinit krb5-user
  require_command kvno krb5-user
  require_command unshare util-linux
  require_file "$python" python3
  "$python" -c 'import samba.provision' 2>/dev/null || { echo "lab: the samba Python modules are missing: install the Debian package python3-samba" >&2; exit 1; }
  require_file /usr/share/samba/setup samba-ad-provision
  require_file /usr/lib/x86_64-linux-gnu/samba/ldb/samba_dsdb.so samba-dsdb-modules
  require_file /usr/lib/x86_64-linux-gnu/samba/vfs/acl_xattr.so samba-vfs-modules
  require_file /usr/lib/x86_64-linux-gnu/samba/vfs/dfs_samba4.so samba-vfs-modules
  require_file "$faketime_lib" libfaketime
  require_own_name
  clear_lab_dir .skewmon-domain-lab
  for address in $dc_address "${master[1]}" $(printf '%s\n' "${servers[@]}" | awk '{ print $2 }'); do
    if port_open "$address" 389 || port_open "$address" 445; then
      die "$address is taken already (another domain lab still running?)"
    fi
  done
  mkdir -p "$dir"
  touch "$dir/.skewmon-domain-lab"

  write_client_settings "$dir/member-home" "$domain" yes
  write_client_settings "$dir/workgroup-home" "$workgroup" no
  cat >"$dir/krb5.conf" <<EOF
[libdefaults]
  default_realm = $realm
  dns_lookup_realm = false
  dns_lookup_kdc = false
  rdns = false
  dns_canonicalize_hostname = false
[realms]
  $realm = {
    kdc = $dc_address
  }
[domain_realm]
  .${realm,,} = $realm
  ${realm,,} = $realm
EOF
  # The machine's own names stay as they are, and the lab's machines are
  # added: a name missing here would be asked of the DNS server (libnetapi's
  # connections ask the system resolver too, besides WINS).
  {
    cat /etc/hosts
    printf '%s %s %s\n' "$dc_address" "$dc_host" "${dc_name,,}"
    printf '%s %s\n' "${master[1]}" "${master[0],,}"
    for server in "${servers[@]}"; do
      read -r name address shift <<<"$server"
      printf '%s %s\n' "$address" "${name,,}"
    done
  } >"$dir/hosts"

  provision_dc
  start_daemon "$dir/dc" samba +0 samba -i -M single -s "$dir/dc/run.conf"
  wait_for_port $dc_address 389 600 "$(cat "$dir/dc/samba.leader")" ||
    fail "the domain controller does not listen" "$dir/dc/log/samba.console"
  wait_for_port $dc_address 88 200 "$(cat "$dir/dc/samba.leader")" ||
    fail "the domain controller's KDC does not listen" "$dir/dc/log/samba.console"

  # The master browser first, the others once it has become master: then the
  # browse list fills within seconds.
  start_browse_server "${master[0]}" "${master[1]}" "${master[2]}" master
  wait_for_line "$dir/${master[1]##*.}/log/log.nmbd" "is now a local master browser" 120 ||
    fail "${master[0]} did not become the local master browser" "$dir/${master[1]##*.}/log/log.nmbd"
  for server in "${servers[@]}"; do
    read -r name address shift <<<"$server"
    start_browse_server "$name" "$address" "$shift" member
  done
  local names=("${master[0]}")
  for server in "${servers[@]}"; do names+=("$(awk '{ print $1 }' <<<"$server")"); done
  local browse_list=$dir/${master[1]##*.}/cache/browse.dat
  for name in "${names[@]}"; do
    wait_for_line "$browse_list" "^\"$name\"" 180 || fail "$name never reached the browse list"
  done
  for address in "${master[1]}" $(printf '%s\n' "${servers[@]}" | awk '{ print $2 }'); do
    wait_for_port "$address" 445 300 "$(cat "$dir/${address##*.}/smbd.leader")" ||
      fail "the server at $address does not listen"
  done
  if [ -n "${LAB_TOD:-}" ]; then
    # Until each answers, so that its RPC service is up when a test first asks.
    for address in "${master[1]}" $(printf '%s\n' "${servers[@]}" | awk '{ print $2 }'); do
      ask_until_answered "$address" "$dir/workgroup-home" >/dev/null ||
        fail "the server at $address does not answer the time query"
    done
  fi

  echo "$password" | KRB5_CONFIG=$dir/krb5.conf KRB5CCNAME=FILE:$dir/ticket \
    kinit "administrator@$realm" >"$dir/dc/log/kinit" 2>&1 || fail "kinit failed" "$dir/dc/log/kinit"
  KRB5_CONFIG=$dir/krb5.conf KRB5CCNAME=FILE:$dir/ticket kvno "ldap/$dc_host" >>"$dir/dc/log/kinit" 2>&1 ||
    fail "no ticket for the directory service" "$dir/dc/log/kinit"
  add_partitions

  {
    echo "dc $dc_name $dc_address $domain $realm $dc_host"
    list_partitions
    echo "workgroup $workgroup ${master[0]}"
    echo "server ${master[0]} ${master[1]} $(shift_ms "${master[2]}")"
    for server in "${servers[@]}"; do
      read -r name address shift <<<"$server"
      echo "server $name $address $(shift_ms "$shift")"
    done
    echo "member-home $dir/member-home"
    echo "workgroup-home $dir/workgroup-home"
    echo "krb5-config $dir/krb5.conf"
    echo "ticket $dir/ticket"
    echo "hosts $dir/hosts"
  } >"$dir/lab.new"
  mv "$dir/lab.new" "$dir/lab.txt"
  echo "lab: domain $domain and workgroup $workgroup started in $dir"
}

do_stop() {
  [ -f "$dir/.skewmon-domain-lab" ] || return 0
  local leaders=()
  for leader in "$dir"/*/*.leader; do
    [ -f "$leader" ] && leaders+=("$(cat "$leader")")
  done
  for conf in "$dir"/*/smb.conf; do
    [ -f "$conf" ] && leaders+=($(sessions_using "$conf"))
  done
  remove_lab "$dir" "${leaders[@]}"
}

do_status() {
  lab_started "$dir" || return 1
  local status=0
  for leader in "$dir"/*/*.leader; do
    if [ -n "$(members_of "$(cat "$leader")")" ]; then
      echo "${leader#$dir/}: running"
    else
      echo "${leader#$dir/}: gone"
      status=1
    fi
  done
  return $status
}

run_lab_command "$command"
