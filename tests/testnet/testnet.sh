#!/usr/bin/env bash
# Sonquarry's test network: SMB hosts in network namespaces on a private /24 that exists only
# inside this machine, joined by a bridge in its own namespace, with a client namespace for the
# tests. Everything it starts, writes and logs lives under --dir DIR.
#
#   testnet.sh up --dir DIR            start (after removing leftovers), wait for the browse list
#   testnet.sh down --dir DIR          stop everything, remove the namespaces (idempotent)
#   testnet.sh exec --dir DIR -- PROGRAM ARGS...   run PROGRAM as a client of the network
#   testnet.sh status --dir DIR
#   testnet.sh check --dir DIR         exit 0 when the network of DIR is up (a shared one)
#   testnet.sh stop-host --dir DIR NAME / start-host --dir DIR NAME
#   testnet.sh bigshare --dir DIR [--files N --dirs M] [--tagged | --today] HOST...
#              (--tagged: the share "tagged" of real music files with tags instead of "big";
#              --today: the share "today" of such .flac, .ogg, .opus and .m4a files)
#   testnet.sh logins --dir DIR [--off]   shares for one user each on SQALPHA and SQBRAVO
#              (listed, refusing anonymous and guest access; --off removes them again)
#   testnet.sh relay --dir DIR [--rtt MS]   relay hosts with added round-trip time (default 0)
#   testnet.sh relay-stop --dir DIR
#
# `up` writes DIR/testnet.env (KEY=VALUE lines: subnet, workgroups, every host's name, address,
# workgroup, role, shares), DIR/manifest.tsv (one line per generated file: host, workgroup, share,
# path with backslashes, size; tab-separated) and DIR/dirs.tsv (the same per directory, no size).
# Namespaces are named PREFIX-* with PREFIX from SQ_TESTNET_PREFIX (default sqt): copies with
# other prefixes and directories run side by side. SQ_TESTNET_WAIT bounds the wait of `up`
# (seconds, default 420); SQ_TESTNET_KEEP=1 leaves a failed `up` running for inspection.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
self="$here/testnet.sh"
py=/usr/bin/python3
impacket_server=/usr/share/doc/python3-impacket/examples/smbserver.py
dcerpcd=/usr/libexec/samba/samba-dcerpcd
prefix=${SQ_TESTNET_PREFIX:-sqt}
# The browse list needs about 45 s on an idle machine and took 175 s with both cores busy.
wait_limit=${SQ_TESTNET_WAIT:-420}

net=10.213.77
subnet=$net.0/24
client_ip=$net.10
wg1=SQGROUP1
wg2=SQGROUP2
wg3=SQGROUP3
big_share=big
# Users with a share of their own (testnet.sh logins): host user password share. The Samba hosts
# know them through a passwd file of the network's own, bound over /etc/passwd for their daemons.
login_table="
alpha sqalice Alice-7391-pass alicemusic
bravo sqbob   Bob-4826-pass   bobmedia
"

# key name ip-suffix workgroup role
host_table="
alpha    SQALPHA    11 $wg1 samba-master
bravo    SQBRAVO    12 $wg1 samba-smb2
charlie  SQCHARLIE  13 $wg2 samba-master
delta    SQDELTA    14 $wg3 wsd
echo     SQECHO     15 $wg2 samba-smb1
mac      SQMAC      16 -    mdns
refused  SQREFUSED  20 -    refused
silent   SQSILENT   21 -    silent
stuck    SQSTUCK    22 -    stuck
impacket SQIMPACKET 30 -    impacket
missing  SQMISSING  99 -    missing
"
all_hosts=$(awk 'NF {print $1}' <<<"$host_table")
samba_hosts="alpha bravo charlie echo"
# Like a current Windows PC: SMB2+ on 445 only, no NetBIOS, announced by WS-Discovery only.
wsd_only_hosts="delta"
# Like a Mac or a NAS: SMB2+ on 445 only, no NetBIOS, announced by multicast DNS only.
mdns_only_hosts="mac"
smb_hosts="$samba_hosts $wsd_only_hosts $mdns_only_hosts"
# Hosts that run wsdd (WS-Discovery); alpha is announced both ways.
wsd_hosts="alpha delta"
# Hosts announced by mDNS (_smb._tcp, python3-zeroconf); alpha by its browse list too.
mdns_hosts="alpha mac"
ns_hosts="alpha bravo charlie delta echo mac refused silent stuck impacket"
# More addresses of the stuck host (no names): benchmarks need several hosts that hang.
stuck_extra="23 24 25"
# The relay host: these addresses relay TCP 445 and 139 to these hosts, with added round-trip
# time. Its addresses exist only while the relay runs, so other scans of the subnet never meet
# the same shares twice.
relay_suffixes="41 42 43 44"
relay_targets="alpha bravo charlie echo"

h_field() { awk -v k="$1" -v f="$2" '$1 == k {print $f}' <<<"$host_table"; }
h_name() { h_field "$1" 2; }
h_ip() { echo "$net.$(h_field "$1" 3)"; }
h_wg() { local w; w=$(h_field "$1" 4); [ "$w" = - ] || echo "$w"; }
h_role() { h_field "$1" 5; }
h_ns() { echo "$prefix-$1"; }

# Shares: "name|layout" per line; hidden ones end in $.
h_shares() {
  case $1 in
    alpha) printf '%s\n' "music|music" "Shared Music|small" "empty|empty" 'secret$|secret' 'loop$|loop' \
      'loops$|loops' 'odd$|empty' 'hostile$|empty' ;;
    bravo) printf '%s\n' "media|music" "empty|empty" ;;
    charlie) printf '%s\n' "archive|music" 'private$|secret' ;;
    delta) printf '%s\n' "tunes|music" ;;
    mac) printf '%s\n' "Audio|music" ;;
    echo) printf '%s\n' "oldies|small" 'loops$|loops' ;;
    impacket) printf '%s\n' "MEDIA|impacket" ;;
  esac
}

die() { echo "testnet: $*" >&2; exit 1; }
note() { echo "testnet: $*" >&2; }

usage() {
  sed -n '2,/^set -euo/p' "$self" | grep '^#' | sed 's/^# \{0,1\}//' >&2
  exit 2
}

# ---------------------------------------------------------------- argument parsing
cmd=${1:-}
[ -n "$cmd" ] || usage
shift
dir=""
opt_files=20000
opt_dirs=1000
opt_rtt=0
opt_tagged=""
opt_off=""
args=()
while [ $# -gt 0 ]; do
  case $1 in
    --dir) dir=${2:?--dir needs a value}; shift 2 ;;
    --dir=*) dir=${1#--dir=}; shift ;;
    --files) opt_files=${2:?}; shift 2 ;;
    --dirs) opt_dirs=${2:?}; shift 2 ;;
    --rtt) opt_rtt=${2:?}; shift 2 ;;
    --tagged) opt_tagged=tagged; shift ;;
    --today) opt_tagged=today; shift ;;
    --off) opt_off=1; shift ;;
    --) shift; args+=("$@"); break ;;
    -h|--help) usage ;;
    *) args+=("$1"); shift ;;
  esac
done
[ -n "$dir" ] || die "--dir DIR is required"
[[ $prefix =~ ^[a-z][a-z0-9]{0,7}$ ]] || die "SQ_TESTNET_PREFIX must be 1-8 lower-case letters/digits"
[ "$(id -u)" -eq 0 ] || die "needs root (network namespaces, mounts)"
[ "$cmd" != up ] || mkdir -p "$dir"
[ ! -d "$dir" ] || dir=$(cd "$dir" && pwd)
st="$dir/state"
# A network keeps the prefix it was started with, whatever the environment says later.
if [ "$cmd" != up ] && [ -f "$st/prefix" ]; then prefix=$(cat "$st/prefix"); fi
br_ns="$prefix-br"
client_ns="$prefix-client"
client_bus="unix:path=$dir/client/dbus/bus"

# ---------------------------------------------------------------- processes
# Pid files hold "PID STARTTIME" so that a recycled pid is never signalled.
# proc_stat PID: the fields of /proc/PID/stat after the command name (1 state, 3 pgrp, 20 start).
proc_stat() {
  local s
  { read -r s <"/proc/$1/stat"; } 2>/dev/null || return 0  # not $(<...): fatal under set -e
  echo "${s##*) }"
}
proc_start() { # pid -> start time, empty when gone or a zombie
  local a
  read -r -a a <<<"$(proc_stat "$1")"
  [ ${#a[@]} -ge 20 ] && [ "${a[0]}" != Z ] && echo "${a[19]}" || true
}
proc_pgid() { local a; read -r -a a <<<"$(proc_stat "$1")"; echo "${a[2]:-}"; }
group_alive() { # pgid: a live (non-zombie) process is still in the group
  local f s a
  for f in /proc/[0-9]*/stat; do
    { read -r s <"$f"; } 2>/dev/null || continue
    read -r -a a <<<"${s##*) }"
    [ "${a[2]:-}" = "$1" ] && [ "${a[0]:-}" != Z ] && return 0
  done
  return 1
}

pid_alive() { # pidfile
  local pid start
  [ -f "$1" ] || return 1
  read -r pid start <"$1" || return 1
  [ -n "$pid" ] && [ "$(proc_start "$pid")" = "$start" ]
}

# The network's processes live in a PID namespace of their own whose first process reaps them
# (this machine's init may not) and whose end takes every process left in it along.
init_pid() { local pid start; read -r pid start 2>/dev/null <"$st/init.pid" && [ "$(proc_start "$pid")" = "$start" ] && echo "$pid"; }

start_init() {
  rm -f "$st/init.raw"
  # It lives in the bridge's network namespace, so a sweep of the namespaces finds it too.
  ip netns exec "$br_ns" "$py" "$here/pidns_init.py" "$st/init.raw"
  local pid
  read -r pid <"$st/init.raw"
  echo "$pid $(proc_start "$pid")" >"$st/init.pid"
  rm -f "$st/init.raw"
}

# inner_to_outer INNERPID INIT: the pid, as seen here, of the process INNERPID of INIT's namespace.
inner_to_outer() {
  local want f line ns
  want=$(readlink "/proc/$2/ns/pid")
  for f in /proc/[0-9]*/status; do
    line=""
    { while read -r k v; do [ "$k" = NSpid: ] && { line=$v; break; }; done <"$f"; } 2>/dev/null || continue
    [ "${line##*[[:space:]]}" = "$1" ] || continue
    f=${f%/status}
    ns=$(readlink "$f/ns/pid" 2>/dev/null) || continue
    [ "$ns" = "$want" ] && { echo "${f#/proc/}"; return 0; }
  done
  return 1
}

# start_proc PIDFILE LOG NS CWD COMMAND...: runs COMMAND in network namespace NS (and the PID
# namespace) under its own session, with a private /run/samba (nmbd's socket directory is fixed
# there) and /proc.
start_proc() {
  local pidfile=$1 log=$2 ns=$3 cwd=$4
  shift 4
  local run="$dir/hosts/${ns#"$prefix-"}/run" init inner pid
  init=$(init_pid) || die "the test network's PID namespace is gone"
  mkdir -p "$run" "$(dirname "$pidfile")"
  rm -f "$pidfile.inner"
  # ip netns exec gives each process a private mount namespace, so these mounts vanish with it.
  nsenter --pid="/proc/$init/ns/pid" -- ip netns exec "$ns" /bin/sh -c '
    mount --bind "$1" /run/samba && mount -t proc proc /proc && cd "$2" || exit 1
    out=$3; shift 3
    # No descriptor of the caller lives on in a daemon: a lock held around a benchmark
    # (flock FILE COMMAND) would stay held for as long as the network runs.
    exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-
    setsid "$@" </dev/null &
    echo $! >"$out"' sh "$run" "$cwd" "$pidfile.inner" "$@" >>"$log" 2>&1 </dev/null ||
    die "cannot start $1 in $ns; see $log"
  read -r inner <"$pidfile.inner"
  rm -f "$pidfile.inner"
  # Looked for a while rather than once: a single pass over /proc on a loaded machine once missed
  # a daemon that had started. Each miss is noted in the daemon's log.
  local try
  for try in $(seq 1 30); do
    pid=$(inner_to_outer "$inner" "$init") && break
    pid=""
    echo "testnet.sh: $(date +%T.%N) pid $inner of $1 not found in /proc (try $try)" >>"$log"
    sleep 0.1
  done
  [ -n "$pid" ] || die "$1 in $ns ended at once; see $log"
  echo "$pid $(proc_start "$pid")" >"$pidfile"
}

# Ends the process of PIDFILE and its process group (the daemon's children): TERM, then KILL.
stop_proc() {
  local pidfile=$1 pid="" start="" group=0
  [ -f "$pidfile" ] || return 0
  read -r pid start <"$pidfile" || true
  if [ -n "$pid" ] && [ "$(proc_start "$pid")" = "$start" ]; then
    # Only a session leader of our own making is signalled as a group.
    [ "$(proc_pgid "$pid")" = "$pid" ] && group=1
    if [ $group = 1 ]; then kill -TERM -- "-$pid" 2>/dev/null || true; else kill -TERM "$pid" 2>/dev/null || true; fi
    for _ in $(seq 1 30); do
      if [ $group = 1 ]; then group_alive "$pid" || break; else [ "$(proc_start "$pid")" = "$start" ] || break; fi
      sleep 0.1
    done
    if [ $group = 1 ] && group_alive "$pid"; then kill -KILL -- "-$pid" 2>/dev/null || true; fi
    if [ "$(proc_start "$pid")" = "$start" ]; then kill -KILL "$pid" 2>/dev/null || true; fi
  fi
  rm -f "$pidfile"
}

# Kills whatever still runs inside one of our namespaces (by pid; they can only be ours).
sweep_ns() {
  local ns=$1 p
  for _ in 1 2 3; do
    local pids
    pids=$(ip netns pids "$ns" 2>/dev/null || true)
    [ -n "$pids" ] || return 0
    for p in $pids; do kill -KILL "$p" 2>/dev/null || true; done
    sleep 0.2
  done
}

# ---------------------------------------------------------------- teardown
# owner_dir: the directory of the network whose PID namespace init runs in this prefix's bridge
# namespace (empty when none does).
owner_dir() {
  local p a
  for p in $(ip netns pids "$br_ns" 2>/dev/null || true); do
    mapfile -d '' -t a 2>/dev/null <"/proc/$p/cmdline" || continue
    if [[ ${a[1]:-} == */pidns_init.py && -n ${a[2]:-} ]]; then
      echo "${a[2]%/state/init.raw}"
      return 0
    fi
  done
}

# TERM every daemon's group at once, give them 3 s, then end the PID namespace (which KILLs the
# rest), then remove the namespaces of this prefix. It never stops half-way.
teardown() { (set +eu; teardown_steps); }
teardown_steps() {
  local f pid start left init ns
  local -a groups=()
  for f in "$dir"/pids/*.pid; do
    [ -e "$f" ] || continue
    read -r pid start <"$f" || continue
    [ -n "$pid" ] && [ "$(proc_start "$pid")" = "$start" ] && [ "$(proc_pgid "$pid")" = "$pid" ] || continue
    kill -TERM -- "-$pid" 2>/dev/null || true
    groups+=("$pid")
  done
  for _ in $(seq 1 30); do
    left=0
    for pid in "${groups[@]}"; do group_alive "$pid" && { left=1; break; }; done
    [ $left = 1 ] || break
    sleep 0.1
  done
  if init=$(init_pid); then
    kill -KILL "$init" 2>/dev/null || true
    for _ in $(seq 1 50); do [ -n "$(proc_start "$init")" ] || break; sleep 0.1; done
  fi
  rm -f "$dir"/pids/*.pid "$st/init.pid"
  # Namespaces of this prefix that a live network of another directory owns are left to it,
  # except by `up`, which takes the prefix over.
  local owner
  owner=$(owner_dir)
  if [ -n "$owner" ] && [ "$owner" != "$dir" ]; then
    if [ "$cmd" != up ]; then
      note "the namespaces $prefix-* belong to the network of $owner: left alone"
      return 0
    fi
    note "stopping the network of $owner, which uses the prefix $prefix too"
  fi
  for ns in $(ip netns list 2>/dev/null | awk '{print $1}' | grep -E "^$prefix-" || true); do
    sweep_ns "$ns"
    ip netns del "$ns" 2>/dev/null || true
  done
  # ip netns add mounts /run/netns on itself; undo that when no namespace is left at all.
  if [ -z "$(ip netns list 2>/dev/null)" ] && mountpoint -q /run/netns; then umount /run/netns 2>/dev/null || true; fi
  rm -f "$st/up"
}

# ---------------------------------------------------------------- the network
mk_ns() {
  ip netns add "$1"
  ip -n "$1" link set lo up
  ip netns exec "$1" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1 || true
}

# Joins namespace NS to the bridge with address IP (none when empty).
attach() {
  local ns=$1 port=$2 ip=$3
  ip -n "$br_ns" link add "$port" type veth peer name eth0 netns "$ns"
  ip -n "$br_ns" link set "$port" master br0 up
  [ -z "$ip" ] || ip -n "$ns" addr add "$ip/24" dev eth0
  ip -n "$ns" link set eth0 up
}

build_network() {
  mk_ns "$br_ns"
  ip -n "$br_ns" link add br0 type bridge stp_state 0 forward_delay 0 mcast_snooping 0
  ip -n "$br_ns" link set br0 up
  mk_ns "$client_ns"
  attach "$client_ns" v-client "$client_ip"
  local h
  for h in $ns_hosts; do
    mk_ns "$(h_ns "$h")"
    attach "$(h_ns "$h")" "v-$h" "$(h_ip "$h")"
  done
  # The silent host drops SMB and NetBIOS packets on arrival (policy routing; no packet filter
  # needed): connections time out instead of being refused. Other ports still answer.
  local ns p
  ns=$(h_ns silent)
  for p in 445 139; do ip -n "$ns" rule add pref 10 iif eth0 ipproto tcp dport "$p" blackhole; done
  for p in 137 138; do ip -n "$ns" rule add pref 10 iif eth0 ipproto udp dport "$p" blackhole; done
  ip -n "$ns" rule del pref 0
  ip -n "$ns" rule add pref 100 lookup local
  for p in $stuck_extra; do ip -n "$(h_ns stuck)" addr add "$net.$p/24" dev eth0; done
  # The relay's namespace, without addresses until `relay`: made here, outside every namespace,
  # because one made from inside the client's (a test) would exist only there.
  mk_ns "$prefix-relay"
  attach "$prefix-relay" v-relay ""
}

# ---------------------------------------------------------------- shares and configs
gen_shares() {
  : >"$dir/manifest.tsv"
  : >"$dir/dirs.tsv"
  local h line name layout root
  for h in $smb_hosts impacket; do
    while IFS='|' read -r name layout; do
      root="$dir/shares/$h/$name"
      "$py" "$here/gen_tree.py" "$layout" "$root" "$(h_name "$h")" "$(h_wg "$h")" "$name" \
        "$dir/manifest.tsv" "$dir/dirs.tsv"
    done < <(h_shares "$h")
  done
  # A link back to the share root: walking "loop$" never ends unless the walker stops at a depth.
  ln -s . "$dir/shares/alpha/loop\$/again"
  # Two links back to the root in one directory: a walk that follows them doubles at every level.
  ln -s .. "$dir/shares/echo/loops\$/a/up1"
  ln -s .. "$dir/shares/echo/loops\$/a/up2"
  # The same on a host that speaks NT1 to SMB3.
  ln -s .. "$dir/shares/alpha/loops\$/a/up1"
  ln -s .. "$dir/shares/alpha/loops\$/a/up2"
  # Names that the SMB library cannot list (the server shows them as they are: no mangling): a
  # backslash in a file name fails its directory's listing, the server refuses a directory whose
  # name holds < > or ". Not in the manifests.
  local odd="$dir/shares/alpha/odd\$"
  mkdir -p "$odd/broken" "$odd/fine" "$odd/Tom <&> \"Jerry\""
  printf 'x\n' >"$odd/top.mp3"
  printf 'x\n' >"$odd/Tom <&> \"Jerry\"/cartoon.mp3"
  printf 'x\n' >"$odd/fine/ok.mp3"
  printf 'x\n' >"$odd/broken/good.mp3"
  printf 'x\n' >"$odd/broken/back\\slash.mp3"
  # Hostile music files (a compressed title that inflates to 240 MB, a 70,000-character title)
  # beside ordinary ones. Not in the manifests.
  "$py" "$here/gen_hostile.py" "$dir/shares/alpha/hostile\$" "$dir/clips"
  chmod -R a+rX "$dir/shares"
}

samba_conf() { # host
  local h=$1 hd="$dir/hosts/$1" name layout master=no os=0 minp=NT1 maxp=SMB3 ports="445 139" nb=no
  [ "$(h_role "$h")" = samba-master ] && { master=yes; os=65; }
  [ "$(h_role "$h")" = samba-smb2 ] && minp=SMB2_02
  case $(h_role "$h") in wsd|mdns) minp=SMB2_02; ports=445; nb=yes ;; esac
  [ "$(h_role "$h")" = samba-smb1 ] && maxp=NT1
  cat <<EOF
# generated by testnet.sh
[global]
  netbios name = $(h_name "$h")
  workgroup = $(h_wg "$h")
  server string = Sonquarry test host $h
  server role = standalone server
  interfaces = $(h_ip "$h")/24
  bind interfaces only = yes
  smb ports = $ports
  disable netbios = $nb
  server min protocol = $minp
  server max protocol = $maxp
  security = user
  map to guest = Bad User
  guest account = nobody
  restrict anonymous = 0
  local master = $master
  preferred master = $master
  domain master = $master
  os level = $os
  name resolve order = bcast
  dns proxy = no
  wins support = no
  load printers = no
  printing = bsd
  printcap name = /dev/null
  disable spoolss = yes
  show add printer wizard = no
  rpc start on demand helpers = no
  smb1 unix extensions = no
  private dir = $hd/private
  lock directory = $hd/lock
  state directory = $hd/state
  cache directory = $hd/cache
  pid directory = $hd/pid
  ncalrpc dir = $hd/ncalrpc
  binddns dir = $hd/binddns
  passdb backend = tdbsam:$hd/private/passdb.tdb
  log file = $hd/log/log.%m
  max log size = 2000
  # Who was asked for what: every authentication, with its user, for the tests of logins.
  log level = 0 auth_audit:3
  # Counters of what the server reads (smbstatus -P), for the benchmarks.
  smbd profiling level = count
  include = $hd/tagged.conf
  include = $hd/today.conf
  include = $hd/big.conf
  include = $hd/logins.conf
EOF
  while IFS='|' read -r name layout; do
    cat <<EOF

[$name]
  path = $dir/shares/$h/$name
  comment = $layout files
  read only = yes
  guest ok = yes
  browseable = yes
EOF
    [ "$name" != 'odd$' ] || echo "  mangled names = no"
  done < <(h_shares "$h")
}

client_conf() {
  local c="$dir/client"
  cat <<EOF
# generated by testnet.sh: the client side of the test network
[global]
  workgroup = $wg1
  netbios name = SQCLIENT
  interfaces = $client_ip/24
  bind interfaces only = yes
  name resolve order = lmhosts bcast
  name cache timeout = 0
  client min protocol = NT1
  client max protocol = SMB3
  dns proxy = no
  load printers = no
  private dir = $c/private
  lock directory = $c/lock
  state directory = $c/state
  cache directory = $c/cache
  pid directory = $c/pid
  ncalrpc dir = $c/ncalrpc
EOF
}

write_configs() {
  local h d
  for h in $smb_hosts; do
    for d in private lock state cache pid ncalrpc binddns log run; do mkdir -p "$dir/hosts/$h/$d"; done
    chmod 700 "$dir/hosts/$h/private"
    [ -f "$dir/hosts/$h/big.conf" ] || : >"$dir/hosts/$h/big.conf"
    [ -f "$dir/hosts/$h/tagged.conf" ] || : >"$dir/hosts/$h/tagged.conf"
    [ -f "$dir/hosts/$h/today.conf" ] || : >"$dir/hosts/$h/today.conf"
    [ -f "$dir/hosts/$h/logins.conf" ] || : >"$dir/hosts/$h/logins.conf"
    samba_conf "$h" >"$dir/hosts/$h/smb.conf"
  done
  mkdir -p "$dir/hosts/impacket/cwd" "$dir/hosts/impacket/log" "$dir/hosts/impacket/run"
  mkdir -p "$dir/hosts/stuck/log" "$dir/hosts/stuck/run"
  local c="$dir/client"
  for d in private lock state cache pid ncalrpc home/.smb etc-samba; do mkdir -p "$c/$d"; done
  client_conf >"$c/home/.smb/smb.conf"
  cp "$c/home/.smb/smb.conf" "$c/etc-samba/smb.conf"
  # Hosts without a NetBIOS name service are found by name through lmhosts.
  {
    local k
    for k in impacket refused silent stuck missing; do echo "$(h_ip "$k") $(h_name "$k")#20"; done
  } >"$c/etc-samba/lmhosts"
}

# ---------------------------------------------------------------- env file
q() { # value -> shell word: plain when safe, else single-quoted (values never hold a quote)
  if [[ $1 =~ ^[A-Za-z0-9_./:,+@-]*$ ]]; then printf '%s' "$1"; else printf "'%s'" "$1"; fi
}

write_env() {
  local h key shares hidden name layout big=""
  [ -f "$st/big_hosts" ] && big=$(tr '\n' ' ' <"$st/big_hosts" | sed 's/ $//')
  {
    echo "# Sonquarry test network; KEY=VALUE, values plain or in single quotes, lists comma-separated"
    echo "SQ_TESTNET_DIR=$(q "$dir")"
    echo "SQ_PREFIX=$prefix"
    echo "SQ_SUBNET=$subnet"
    echo "SQ_BROADCAST=$net.255"
    echo "SQ_WORKGROUPS=$wg1,$wg2"
    echo "SQ_WORKGROUP1=$wg1"
    echo "SQ_WORKGROUP2=$wg2"
    echo "SQ_WORKGROUP3=$wg3"
    echo "SQ_WSD_HOSTS=$(echo $wsd_hosts | tr 'a-z ' 'A-Z,')"
    echo "SQ_MDNS_HOSTS=$(echo $mdns_hosts | tr 'a-z ' 'A-Z,')"
    echo "SQ_CLIENT_NAME=SQCLIENT"
    echo "SQ_CLIENT_IP=$client_ip"
    echo "SQ_CLIENT_NS=$client_ns"
    echo "SQ_CLIENT_HOME=$(q "$dir/client/home")"
    echo "SQ_CLIENT_CONF=$(q "$dir/client/home/.smb/smb.conf")"
    echo "SQ_CLIENT_DBUS=$(q "$client_bus")"
    echo "SQ_MANIFEST=$(q "$dir/manifest.tsv")"
    echo "SQ_DIRS=$(q "$dir/dirs.tsv")"
    echo "SQ_HOSTS=$(echo $all_hosts | tr 'a-z ' 'A-Z,')"
    echo "SQ_SAMBA_HOSTS=$(echo $samba_hosts | tr 'a-z ' 'A-Z,')"
    echo "SQ_LOOP_SHARE=$(q "\\\\$(h_name alpha)\\loop\$")"
    echo "SQ_LOOP_LINK=again"
    echo "SQ_LOOPS_SHARE=$(q "\\\\$(h_name echo)\\loops\$")"
    echo "SQ_ALPHA_LOOPS_SHARE=$(q "\\\\$(h_name alpha)\\loops\$")"
    echo "SQ_ODD_SHARE=$(q "\\\\$(h_name alpha)\\odd\$")"
    echo "SQ_HOSTILE_SHARE=$(q "\\\\$(h_name alpha)\\hostile\$")"
    echo "SQ_HOSTILE_DIR=$(q "$dir/shares/alpha/hostile\$")"
    echo "SQ_STUCK_IPS=$(stuck_ips)"
    echo "SQ_BIG_SHARE=$big_share"
    local lh lu lp ls
    while read -r lh lu lp ls; do
      [ -n "$lh" ] || continue
      key=$(echo "$lh" | tr a-z A-Z)
      echo "SQ_${key}_LOGIN_USER=$lu"
      echo "SQ_${key}_LOGIN_PASSWORD=$lp"
      echo "SQ_${key}_LOGIN_SHARE=$ls"
      echo "SQ_${key}_LOGIN_DIR=$(q "$dir/shares/$lh/$ls")"
      echo "SQ_${key}_LOG_DIR=$(q "$dir/hosts/$lh/log")"
      echo "SQ_${key}_LOGIN_ON=$([ -s "$dir/hosts/$lh/logins.conf" ] && echo 1 || echo 0)"
    done <<<"$login_table"
    echo "SQ_BIG_HOSTS=$(echo $big | tr 'a-z ' 'A-Z,')"
    echo "SQ_RELAY_IPS=$(for p in $relay_suffixes; do printf '%s' "${sep:-}$net.$p"; sep=,; done)"
    echo "SQ_RELAY_HOSTS=$(echo $relay_targets | tr 'a-z ' 'A-Z,')"
    echo "SQ_RELAY_CONTROL=$(q "$dir/relay/control")"
    echo "SQ_RELAY_STATS=$(q "$dir/relay/stats")"
    for h in $all_hosts; do
      key=$(echo "$h" | tr a-z A-Z)
      shares=""
      hidden=""
      while IFS='|' read -r name layout; do
        [ -n "$name" ] || continue
        if [[ $name == *\$ ]]; then hidden+="${hidden:+,}$name"; else shares+="${shares:+,}$name"; fi
      done < <(h_shares "$h")
      if grep -qx "$h" "$st/big_hosts" 2>/dev/null; then shares+="${shares:+,}$big_share"; fi
      echo "SQ_${key}_NAME=$(h_name "$h")"
      echo "SQ_${key}_IP=$(h_ip "$h")"
      echo "SQ_${key}_WORKGROUP=$(h_wg "$h")"
      echo "SQ_${key}_ROLE=$(h_role "$h")"
      # How the neighbourhood learns of it: the browse list, WS-Discovery, mDNS.
      echo "SQ_${key}_BROWSE=$([[ " $samba_hosts " == *" $h "* ]] && echo 1 || echo 0)"
      echo "SQ_${key}_WSD=$([[ " $wsd_hosts " == *" $h "* ]] && echo 1 || echo 0)"
      echo "SQ_${key}_MDNS=$([[ " $mdns_hosts " == *" $h "* ]] && echo 1 || echo 0)"
      if [ "$h" = missing ]; then echo "SQ_${key}_NS="; else echo "SQ_${key}_NS=$(h_ns "$h")"; fi
      echo "SQ_${key}_SHARES=$(q "$shares")"
      echo "SQ_${key}_HIDDEN_SHARES=$(q "$hidden")"
      case $(h_role "$h") in
        samba-master) echo "SQ_${key}_PORTS=445,139"; echo "SQ_${key}_PROTOCOLS=NT1,SMB2,SMB3" ;;
        samba-smb2) echo "SQ_${key}_PORTS=445,139"; echo "SQ_${key}_PROTOCOLS=SMB2,SMB3" ;;
        samba-smb1) echo "SQ_${key}_PORTS=445,139"; echo "SQ_${key}_PROTOCOLS=NT1" ;;
        impacket) echo "SQ_${key}_PORTS=445,139"; echo "SQ_${key}_PROTOCOLS=NT1,SMB2_02" ;;
        wsd|mdns) echo "SQ_${key}_PORTS=445"; echo "SQ_${key}_PROTOCOLS=SMB2,SMB3" ;;
        *) echo "SQ_${key}_PORTS="; echo "SQ_${key}_PROTOCOLS=" ;;
      esac
    done
    [ -f "$st/up_seconds" ] && echo "SQ_UP_SECONDS=$(cat "$st/up_seconds")"
  } >"$dir/testnet.env.new"
  mv "$dir/testnet.env.new" "$dir/testnet.env"
}

# ---------------------------------------------------------------- daemons
# Runs the rest with the network's passwd and group files over the system's (in the caller's
# mount namespace, which ip netns exec makes private).
with_users=(/bin/sh -c 'mount --bind "$0" /etc/passwd && mount --bind "$1" /etc/group && shift && exec "$@"'
  "$dir/users/passwd" "$dir/users/group")

# The login users: in the network's passwd and group files and in their hosts' Samba databases.
make_users() {
  local h user pass share uid=61000
  mkdir -p "$dir/users"
  cp /etc/passwd "$dir/users/passwd"
  cp /etc/group "$dir/users/group"
  while read -r h user pass share; do
    [ -n "$h" ] || continue
    uid=$((uid + 1))
    echo "$user:x:$uid:$uid:Sonquarry test user:/nonexistent:/usr/sbin/nologin" >>"$dir/users/passwd"
    echo "$user:x:$uid:" >>"$dir/users/group"
  done <<<"$login_table"
  chmod 644 "$dir/users/passwd" "$dir/users/group"
  while read -r h user pass share; do
    [ -n "$h" ] || continue
    printf '%s\n%s\n' "$pass" "$pass" |
      unshare -m "${with_users[@]}" pdbedit -s "$dir/hosts/$h/smb.conf" -a -u "$user" -t >/dev/null ||
      die "cannot add $user to $(h_name "$h")"
  done <<<"$login_table"
}

start_samba() { # host
  local h=$1 hd="$dir/hosts/$1" ns
  ns=$(h_ns "$h")
  pid_alive "$dir/pids/$h.dcerpcd.pid" ||
    start_proc "$dir/pids/$h.dcerpcd.pid" "$hd/log/dcerpcd.out" "$ns" / "${with_users[@]}" \
      "$dcerpcd" --libexec-rpcds --foreground --no-process-group -s "$hd/smb.conf" -l "$hd/log"
  pid_alive "$dir/pids/$h.smbd.pid" ||
    start_proc "$dir/pids/$h.smbd.pid" "$hd/log/smbd.out" "$ns" / "${with_users[@]}" \
      smbd --foreground --no-process-group -s "$hd/smb.conf" -l "$hd/log"
  case $(h_role "$h") in wsd|mdns) true ;; *) false ;; esac || pid_alive "$dir/pids/$h.nmbd.pid" ||
    start_proc "$dir/pids/$h.nmbd.pid" "$hd/log/nmbd.out" "$ns" / \
      nmbd --foreground --no-process-group -s "$hd/smb.conf" -l "$hd/log"
  # wsdd's default UUID comes from the host name, which every namespace shares.
  [[ " $wsd_hosts " != *" $h "* ]] || pid_alive "$dir/pids/$h.wsdd.pid" ||
    start_proc "$dir/pids/$h.wsdd.pid" "$hd/log/wsdd.out" "$ns" / \
      wsdd -i eth0 -4 -s -n "$(h_name "$h")" -w "$(h_wg "$h")" \
      -U "$(printf '5c0a0000-0000-4000-8000-%012d' "$(h_field "$h" 3)")"
  [[ " $mdns_hosts " != *" $h "* ]] || pid_alive "$dir/pids/$h.mdns.pid" ||
    start_proc "$dir/pids/$h.mdns.pid" "$hd/log/mdns.out" "$ns" / \
      "$py" "$here/mdns_announce.py" "$(h_ip "$h")" "$(h_name "$h")"
}

# Host $1's share files read again. smbd rereads its config on SIGHUP; samba-dcerpcd (which answers
# the share list) does not and ends on SIGHUP, so it is restarted. nmbd keeps running: the browse
# list stays.
reload_shares() {
  local h=$1 pid start
  pid_alive "$dir/pids/$h.smbd.pid" || die "$(h_name "$h") is not running (start-host $(h_name "$h"))"
  read -r pid start <"$dir/pids/$h.smbd.pid"
  kill -HUP "$pid"
  stop_proc "$dir/pids/$h.dcerpcd.pid"
  start_samba "$h"
}

start_impacket() {
  local hd="$dir/hosts/impacket" ns port ip
  ns=$(h_ns impacket)
  ip=$(h_ip impacket)
  # It serves IPC$ from its working directory: start it in an empty one.
  for port in 445 139; do
    pid_alive "$dir/pids/impacket.$port.pid" ||
      start_proc "$dir/pids/impacket.$port.pid" "$hd/log/smbserver.$port.out" "$ns" "$hd/cwd" \
        "$py" "$impacket_server" -smb2support -ip "$ip" -port "$port" -comment "impacket files" \
        MEDIA "$dir/shares/impacket/MEDIA"
  done
}

stuck_ips() { local p out; out=$(h_ip stuck); for p in $stuck_extra; do out+=",$net.$p"; done; echo "$out"; }

# The stuck host runs only between start-host and stop-host; until then it refuses.
start_stuck() {
  pid_alive "$dir/pids/stuck.tcp.pid" ||
    start_proc "$dir/pids/stuck.tcp.pid" "$dir/hosts/stuck/log/stuck.out" "$(h_ns stuck)" / \
      "$py" "$here/stuck_server.py" "$(stuck_ips)" 445 139
}

start_host() { # host
  case $(h_role "$1") in
    samba-*|wsd|mdns) start_samba "$1" ;;
    impacket) start_impacket ;;
    stuck) start_stuck ;;
  esac
}

stop_host() { # host
  local f
  for f in "$dir/pids/$1".*.pid; do [ -e "$f" ] && stop_proc "$f"; done
  return 0
}

# ---------------------------------------------------------------- client side
# The client's own D-Bus system bus and avahi-daemon (mDNS), as a desktop has them. The daemon's
# pid file and socket are fixed under /run/avahi-daemon: a tmpfs of its own there keeps copies of
# the network side by side apart.
client_bus_conf() {
  cat <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<!-- generated by testnet.sh: the client namespace's system bus -->
<busconfig>
  <type>system</type>
  <listen>unix:path=${client_bus#unix:path=}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
EOF
}

client_avahi_conf() {
  cat <<EOF
# generated by testnet.sh: the client namespace's avahi-daemon browses, publishes nothing
[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=eth0
enable-dbus=yes
[wide-area]
enable-wide-area=no
[publish]
disable-publishing=yes
[reflector]
enable-reflector=no
EOF
}

start_client_mdns() {
  local c="$dir/client"
  mkdir -p "$c/dbus" "$c/log"
  [ -d /run/avahi-daemon ] || mkdir -p /run/avahi-daemon
  client_bus_conf >"$c/dbus/bus.conf"
  client_avahi_conf >"$c/dbus/avahi-daemon.conf"
  pid_alive "$dir/pids/client.dbus.pid" ||
    start_proc "$dir/pids/client.dbus.pid" "$c/log/dbus.out" "$client_ns" / \
      dbus-daemon --config-file="$c/dbus/bus.conf" --nofork --nopidfile
  local try
  for try in $(seq 1 50); do [ -S "${client_bus#unix:path=}" ] && break; sleep 0.1; done
  pid_alive "$dir/pids/client.avahi.pid" ||
    start_proc "$dir/pids/client.avahi.pid" "$c/log/avahi.out" "$client_ns" / \
      /bin/sh -c 'mount -t tmpfs tmpfs /run/avahi-daemon && exec env DBUS_SYSTEM_BUS_ADDRESS="$0" \
        avahi-daemon -f "$1" --no-drop-root --no-chroot --no-rlimits --no-proc-title' \
      "$client_bus" "$c/dbus/avahi-daemon.conf"
}

# mdns_missing: what the client's avahi-daemon does not resolve yet (nothing: exit 1).
mdns_missing() {
  local out h
  out=$(in_client timeout 5 avahi-browse -rpt _smb._tcp 2>/dev/null) || true
  for h in $mdns_hosts; do
    grep -q "^=;eth0;IPv4;$(h_name "$h");.*;$(h_ip "$h");445;" <<<"$out" ||
      { echo "$(h_name "$h") not resolved by mDNS"; return 0; }
  done
  return 1
}

# client_cmd: the command line that runs a program as a client (what `exec` does, also used for
# the checks of `up`): the client namespace, the client home, /etc/samba replaced by the client's
# configuration and lmhosts in a mount namespace of its own.
client_cmd=()
set_client_cmd() {
  client_cmd=(ip netns exec "$client_ns" /usr/bin/env HOME="$dir/client/home" SQ_TESTNET_DIR="$dir"
    SQ_TESTNET_ENV="$dir/testnet.env" DBUS_SYSTEM_BUS_ADDRESS="$client_bus"
    /bin/sh -c 'mount --bind "$0" /etc/samba && exec "$@"' "$dir/client/etc-samba")
}
in_client() { set_client_cmd; "${client_cmd[@]}" "$@"; }

tcp_open() { # ip port: true when a connection is accepted within a second
  in_client timeout 2 bash -c "exec 3<>/dev/tcp/$1/$2" 2>/dev/null
}

host_ready() { # host: its SMB ports (and wsdd's HTTP port) accept connections
  local p ports="445 139"
  case $(h_role "$1") in wsd|mdns) ports=445 ;; esac
  [[ " $wsd_hosts " != *" $1 "* ]] || ports+=" 5357"
  for p in $ports; do tcp_open "$(h_ip "$1")" "$p" || return 1; done
}

# The browse list is complete when both masters know both workgroups and their own servers,
# and the workgroup and server names resolve by broadcast.
# smbclient -L asks for the servers of the domain named in the NTLMSSP challenge, which is the
# server's own name on a standalone server; without SPNEGO it is the workgroup.
browse_list() { # host
  in_client smbclient -L "$(h_ip "$1")" -N -m NT1 -g --option='client use spnego = no' 2>/dev/null
}

browse_missing() {
  local out m
  for m in alpha charlie; do
    out=$(browse_list "$m") || { echo "no list from $(h_name "$m")"; return 0; }
    grep -qx "Workgroup|$wg1|$(h_name alpha)" <<<"$out" || { echo "$(h_name "$m") does not know $wg1"; return 0; }
    grep -qx "Workgroup|$wg2|$(h_name charlie)" <<<"$out" || { echo "$(h_name "$m") does not know $wg2"; return 0; }
  done
  out=$(browse_list alpha)
  grep -q "^Server|$(h_name alpha)|" <<<"$out" && grep -q "^Server|$(h_name bravo)|" <<<"$out" ||
    { echo "servers of $wg1 not all listed"; return 0; }
  out=$(browse_list charlie)
  grep -q "^Server|$(h_name charlie)|" <<<"$out" && grep -q "^Server|$(h_name echo)|" <<<"$out" ||
    { echo "servers of $wg2 not all listed"; return 0; }
  in_client nmblookup "$wg1#1d" 2>/dev/null | grep -q "^$(h_ip alpha) " || { echo "$wg1<1d> not resolved"; return 0; }
  in_client nmblookup "$wg2#1d" 2>/dev/null | grep -q "^$(h_ip charlie) " || { echo "$wg2<1d> not resolved"; return 0; }
  for m in $samba_hosts; do
    in_client nmblookup "$(h_name "$m")" 2>/dev/null | grep -q "^$(h_ip "$m") " || { echo "$(h_name "$m") not resolved"; return 0; }
  done
  return 1
}

# ---------------------------------------------------------------- subcommands
show_logs() {
  local f
  for f in "$dir"/hosts/*/log/*.out "$dir"/hosts/*/log/log.smbd "$dir"/hosts/*/log/log.nmbd; do
    [ -s "$f" ] || continue
    echo "---- ${f#"$dir/"} (last lines)" >&2
    tail -n 8 "$f" >&2
  done
}

up_state=""
up_failed() {
  [ -z "$up_state" ] || exit 1
  up_state=failed
  note "up failed: $1"
  show_logs
  if [ -n "${SQ_TESTNET_KEEP:-}" ]; then note "SQ_TESTNET_KEEP is set: left running for inspection"; exit 1; fi
  note "tearing down"
  teardown
  exit 1
}

since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN{printf "%.1f", b-a}'; }

cmd_up() {
  local t0 h what
  t0=$(date +%s.%N)
  for p in "$py" "$impacket_server" "$dcerpcd" /usr/sbin/smbd /usr/sbin/nmbd /usr/bin/smbclient /usr/bin/nmblookup \
    /usr/bin/dbus-daemon /usr/sbin/avahi-daemon /usr/bin/avahi-browse; do
    [ -e "$p" ] || die "missing $p: run scripts/install-deps.sh"
  done
  [ -d /etc/samba ] || die "missing /etc/samba (samba not installed?)"
  if [ -f "$st/prefix" ] && [ "$(cat "$st/prefix")" != "$prefix" ]; then
    (prefix=$(cat "$st/prefix"); teardown)
  fi
  teardown
  note "leftovers stopped after $(since "$t0") s"
  rm -rf "$dir/hosts" "$dir/shares" "$dir/client" "$dir/pids" "$st" "$dir/testnet.env" "$dir/manifest.tsv" "$dir/dirs.tsv"
  note "old files removed after $(since "$t0") s"
  mkdir -p "$st" "$dir/pids"
  echo "$prefix" >"$st/prefix"
  [ -d /run/samba ] || mkdir -p /run/samba
  # Any way out of here but success tears everything down again.
  trap '[ -n "$up_state" ] || up_failed "a step failed (see above)"' EXIT
  trap 'up_failed "interrupted"' INT TERM HUP

  gen_shares
  setpriv --reuid=65534 --regid=65534 --clear-groups test -r "$dir/shares/alpha/music/README.txt" ||
    up_failed "the guest account (nobody) cannot read files under $dir: make its parents world-traversable"
  write_configs
  make_users
  build_network
  start_init
  write_env
  for h in $smb_hosts impacket; do start_host "$h"; done
  start_client_mdns

  local deadline=$(( $(date +%s) + wait_limit ))
  for h in $smb_hosts impacket; do
    until host_ready "$h"; do
      [ "$(date +%s)" -lt "$deadline" ] || up_failed "$(h_name "$h") does not accept SMB connections"
      local f
      for f in "$dir/pids/$h".*.pid; do pid_alive "$f" || up_failed "a daemon of $(h_name "$h") ended ($f)"; done
      sleep 0.5
    done
  done
  note "daemons up after $(since "$t0") s; waiting for the browse list (at most ${wait_limit} s)"
  while what=$(browse_missing || mdns_missing); do
    [ "$(date +%s)" -lt "$deadline" ] || up_failed "browse list incomplete after ${wait_limit} s: $what"
    sleep 2
  done
  up_state=ok
  trap - EXIT INT TERM HUP
  awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN{printf "%.1f\n", b-a}' >"$st/up_seconds"
  write_env
  touch "$st/up"
  note "up in $(cat "$st/up_seconds") s: $dir/testnet.env"
}

cmd_down() {
  local t0
  t0=$(date +%s.%N)
  teardown
  note "down in $(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN{printf "%.1f", b-a}') s"
}

require_up() {
  [ -f "$dir/testnet.env" ] && ip netns list | awk '{print $1}' | grep -x "$client_ns" >/dev/null ||
    die "the test network of $dir is not up (testnet.sh up --dir $dir)"
}

cmd_exec() {
  [ ${#args[@]} -gt 0 ] || die "exec needs a program: exec --dir DIR -- PROGRAM ARGS..."
  require_up
  set_client_cmd
  exec "${client_cmd[@]}" "${args[@]}"
}

host_key() { # NAME or key -> key
  local n k
  n=$(echo "$1" | tr A-Z a-z)
  for k in $all_hosts; do
    [ "$n" = "$k" ] || [ "$n" = "$(h_name "$k" | tr A-Z a-z)" ] && { echo "$k"; return; }
  done
  die "unknown host $1 (one of: $(echo $all_hosts))"
}

cmd_status() {
  local h f state
  [ -f "$dir/testnet.env" ] || { echo "not up ($dir)"; return 1; }
  echo "dir: $dir  prefix: $prefix  subnet: $subnet  up: $([ -f "$st/up" ] && echo "yes ($(cat "$st/up_seconds") s)" || echo no)"
  echo "namespaces: $(ip netns list | awk '{print $1}' | grep -E "^$prefix-" | tr '\n' ' ')"
  for h in $all_hosts; do
    state=""
    for f in "$dir/pids/$h".*.pid; do
      [ -e "$f" ] || continue
      local t=${f##*/}; t=${t#"$h".}; t=${t%.pid}
      if pid_alive "$f"; then state+=" $t=$(cut -d' ' -f1 "$f")"; else state+=" $t=dead"; fi
    done
    printf '%-9s %-11s %-13s %-9s %-13s%s\n' "$h" "$(h_name "$h")" "$(h_ip "$h")" "$(h_wg "$h")" "$(h_role "$h")" "$state"
  done
}

cmd_stop_host() {
  [ ${#args[@]} -eq 1 ] || die "stop-host needs one NAME"
  require_up
  stop_host "$(host_key "${args[0]}")"
}

cmd_start_host() {
  [ ${#args[@]} -eq 1 ] || die "start-host needs one NAME"
  require_up
  local h
  h=$(host_key "${args[0]}")
  case $(h_role "$h") in samba-*|wsd|impacket|stuck) ;; *) die "$(h_name "$h") runs no server" ;; esac
  start_host "$h"
  for _ in $(seq 1 60); do host_ready "$h" && return 0; sleep 0.5; done
  die "$(h_name "$h") does not accept SMB connections"
}

cmd_bigshare() {
  [ ${#args[@]} -ge 1 ] || die "bigshare needs at least one Samba host"
  [[ $opt_files =~ ^[0-9]+$ && $opt_dirs =~ ^[1-9][0-9]*$ ]] || die "--files N and --dirs M must be numbers (M >= 1)"
  require_up
  local n h root want out share=$big_share layout=big comment="generated files"
  [ -z "$opt_tagged" ] || { share=$opt_tagged; layout=$opt_tagged; comment="generated music files"; }
  for n in "${args[@]}"; do
    h=$(host_key "$n")
    [[ $(h_role "$h") == samba-* ]] || die "$(h_name "$h") is not a Samba host"
    root="$dir/shares/$h/$share"
    want="$opt_files $opt_dirs"
    if [ "$(cat "$st/$share.$h" 2>/dev/null)" != "$want" ]; then
      rm -rf "$root"
      # Drop this host's earlier big-share lines from the manifests.
      awk -F'\t' -v n="$(h_name "$h")" -v s="$share" '!($1 == n && $3 == s)' "$dir/manifest.tsv" >"$dir/manifest.tsv.new"
      mv "$dir/manifest.tsv.new" "$dir/manifest.tsv"
      awk -F'\t' -v n="$(h_name "$h")" -v s="$share" '!($1 == n && $3 == s)' "$dir/dirs.tsv" >"$dir/dirs.tsv.new"
      mv "$dir/dirs.tsv.new" "$dir/dirs.tsv"
      "$py" "$here/gen_tree.py" "$layout" "$root" "$(h_name "$h")" "$(h_wg "$h")" "$share" \
        "$dir/manifest.tsv" "$dir/dirs.tsv" --files "$opt_files" --dirs "$opt_dirs"
      chmod -R a+rX "$root"
      echo "$want" >"$st/$share.$h"
    fi
    printf '[%s]\n  path = %s\n  comment = %s\n  read only = yes\n  guest ok = yes\n' \
      "$share" "$root" "$comment" >"$dir/hosts/$h/$share.conf"
    [ -n "$opt_tagged" ] || grep -qx "$h" "$st/big_hosts" 2>/dev/null || echo "$h" >>"$st/big_hosts"
    reload_shares "$h"
  done
  write_env
  for n in "${args[@]}"; do
    h=$(host_key "$n")
    for _ in $(seq 1 120); do
      out=$(in_client smbclient -L "$(h_ip "$h")" -N -g 2>/dev/null || true)
      if grep -qx "Disk|$share|$comment" <<<"$out" &&
        in_client smbclient "//$(h_ip "$h")/$share" -N -c 'ls' >/dev/null 2>&1; then
        continue 2
      fi
      sleep 0.5
    done
    die "$(h_name "$h") does not serve $share"
  done
}

# The relay: a namespace of its own on the bridge (made by up), its addresses while it runs, one
# relay process (latency_relay.cpp, built here) that reads the round-trip time from
# DIR/relay/control. It runs at real-time priority where the system allows: a link's delay does
# not grow with the load of the machines at its ends.
cmd_relay() {
  [[ $opt_rtt =~ ^[0-9]+(\.[0-9]+)?$ ]] || die "--rtt MS must be a number"
  require_up
  local ns="$prefix-relay" p i=0 pairs=() targets=($relay_targets) gen
  ip -n "$ns" link show eth0 >/dev/null 2>&1 ||
    die "this network has no relay host (it was started before there was one): start it again with up"
  for p in $relay_suffixes; do
    [[ $(ip -n "$ns" addr show dev eth0) == *" $net.$p/"* ]] || ip -n "$ns" addr add "$net.$p/24" dev eth0
    pairs+=("$net.$p=$(h_ip "${targets[$i]}")")
    i=$((i + 1))
  done
  mkdir -p "$dir/relay" "$dir/hosts/relay/log"
  gen="$(date +%s%N)"
  echo "$opt_rtt $gen" >"$dir/relay/control.new"
  mv "$dir/relay/control.new" "$dir/relay/control"
  local relay="$dir/relay/latency_relay" rt=()
  if [ ! -x "$relay" ] || [ "$here/latency_relay.cpp" -nt "$relay" ]; then
    g++ -std=c++20 -O2 -o "$relay.new" "$here/latency_relay.cpp" || die "cannot build the relay"
    mv "$relay.new" "$relay"
  fi
  ! chrt -f 1 true 2>/dev/null || rt=(chrt -f 1)
  pid_alive "$dir/pids/relay.tcp.pid" ||
    start_proc "$dir/pids/relay.tcp.pid" "$dir/hosts/relay/log/relay.out" "$ns" / \
      "${rt[@]}" "$relay" "$dir/relay/control" "$dir/relay/stats" "${pairs[@]}"
  write_env
  # Ready when it has taken this generation and accepts on every address.
  for _ in $(seq 1 100); do
    if grep -qx "generation $gen" "$dir/relay/stats" 2>/dev/null; then
      local ok=1
      for p in $relay_suffixes; do tcp_open "$net.$p" 445 || ok=0; done
      [ $ok = 0 ] || return 0
    fi
    sleep 0.1
  done
  die "the relay did not start; see $dir/hosts/relay/log/relay.out"
}

cmd_relay_stop() {
  require_up
  local p
  stop_proc "$dir/pids/relay.tcp.pid"
  for p in $relay_suffixes; do ip -n "$prefix-relay" addr del "$net.$p/24" dev eth0 2>/dev/null || true; done
  return 0
}

# Shares that only their user may read, listed like any other; --off takes them away again.
cmd_logins() {
  require_up
  local h user pass share root out
  while read -r h user pass share; do
    [ -n "$h" ] || continue
    root="$dir/shares/$h/$share"
    if [ -n "$opt_off" ]; then
      : >"$dir/hosts/$h/logins.conf"
    else
      mkdir -p "$root/$user sub"
      printf 'x\n' >"$root/$user one.mp3"
      printf 'xy\n' >"$root/$user sub/$user two.mp3"
      printf 'z\n' >"$root/readme.txt"
      chmod -R a+rX "$root"
      printf '[%s]\n  path = %s\n  comment = %s only\n  read only = yes\n  guest ok = no\n  valid users = %s\n' \
        "$share" "$root" "$user" "$user" >"$dir/hosts/$h/logins.conf"
    fi
    reload_shares "$h"
  done <<<"$login_table"
  write_env
  while read -r h user pass share; do
    [ -n "$h" ] || continue
    for _ in $(seq 1 120); do
      out=$(in_client smbclient -L "$(h_ip "$h")" -N -g 2>/dev/null || true)
      if [ -n "$opt_off" ]; then
        grep -q "^Disk|$share|" <<<"$out" || continue 2
      elif grep -q "^Disk|$share|" <<<"$out" &&
        in_client smbclient "//$(h_ip "$h")/$share" -U "$user%$pass" -c 'ls' >/dev/null 2>&1; then
        continue 2
      fi
      sleep 0.5
    done
    die "$(h_name "$h"): $share did not $([ -n "$opt_off" ] && echo go || echo come)"
  done <<<"$login_table"
}

case $cmd in
  up) cmd_up ;;
  logins) cmd_logins ;;
  down) cmd_down ;;
  exec) cmd_exec ;;
  status) cmd_status ;;
  check) require_up ;;
  stop-host) cmd_stop_host ;;
  start-host) cmd_start_host ;;
  bigshare) cmd_bigshare ;;
  relay) cmd_relay ;;
  relay-stop) cmd_relay_stop ;;
  *) usage ;;
esac
