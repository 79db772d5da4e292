#!/usr/bin/env bash
# ldap-test-server.sh: a private slapd on a free loopback port, for the tests,
# the benchmarks and the demo.
#
#   ldap-test-server.sh start DIR   On first use fills DIR: slapd configuration
#                                   from deploy/ldap, the sample organisation
#                                   plus ZUV_LDAP_USERS generated users, loaded
#                                   offline with slapadd. Then starts slapd on
#                                   127.0.0.1 and prints its URI. A later start
#                                   of the same DIR keeps the data and reuses
#                                   the port when it is free.
#   ldap-test-server.sh stop DIR    Stops the slapd of DIR by its PID; waits at
#                                   most 10 s, then kills it.
#
# Environment (the first two read when DIR is filled):
#   ZUV_LDAP_USERS      generated users under CN=Generated (default 2500)
#   ZUV_LDAP_SIZELIMIT  entries an unpaged search returns (default 500);
#                       paged searches are not limited in total
#   ZUV_LDAP_OWNER_PID  when set, slapd is also stopped once that process is
#                       gone (a test that crashed leaves no server behind)
#
# Accounts: the service CN=svc-zuv,CN=Users,DC=example,DC=com (svcpw), which
# is subject to the size limit, and the loader CN=admin,DC=example,DC=com
# (adminpw), which is not.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)/deploy/ldap"
export LDAPNOINIT=1  # ldapsearch ignores /etc/ldap/ldap.conf and ~/.ldaprc

die() { echo "ldap-test-server: $*" >&2; exit 1; }

usage() { die "usage: $0 start|stop DIR"; }

# True when an LDAP server answers an anonymous root DSE read on port $1.
ready() {
  ldapsearch -x -H "ldap://127.0.0.1:$1" -o nettimeout=2 -b "" -s base -LLL 1.1 \
    >/dev/null 2>&1
}

# True when process $1 runs; a zombie (reaped late by PID 1) counts as gone.
alive() {
  kill -0 "$1" 2>/dev/null || return 1
  [ "$(sed -n 's/^[0-9]* (.*) \(.\) .*/\1/p' "/proc/$1/stat" 2>/dev/null)" != Z ]
}

running_pid() {
  local pid
  [ -f "$dir/slapd.pid" ] || return 1
  pid=$(cat "$dir/slapd.pid" 2>/dev/null) || return 1
  [ -n "$pid" ] && alive "$pid" && echo "$pid"
}

fill() {
  local users=${ZUV_LDAP_USERS:-2500} limit=${ZUV_LDAP_SIZELIMIT:-500}
  rm -rf "$dir/db-config" "$dir/db-default" "$dir/loaded"
  mkdir -p "$dir/db-config" "$dir/db-default"
  sed -e "s#@DIR@#$dir#g" -e "s#@SCHEMA@#$here#g" -e "s#@SIZELIMIT@#$limit#g" \
    "$here/slapd.conf.in" >"$dir/slapd.conf"
  slaptest -Q -u -f "$dir/slapd.conf" || die "slaptest rejected $dir/slapd.conf"
  slapadd -q -f "$dir/slapd.conf" -b "CN=Configuration,DC=example,DC=com" \
    -l "$here/sample-config.ldif" || die "slapadd of the configuration context failed"
  { cat "$here/sample-users.ldif"; echo; "$here/gen-users.sh" "$users"; } |
    slapadd -q -f "$dir/slapd.conf" -b "DC=example,DC=com" ||
    die "slapadd of the default context failed"
  touch "$dir/loaded"
}

start() {
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  if pid=$(running_pid); then
    echo "ldap://127.0.0.1:$(cat "$dir/port")"
    return 0
  fi
  [ -f "$dir/loaded" ] || fill

  # Ports below the ephemeral range, so no client socket holds them; the
  # port of an earlier run first.
  local candidates=() p i base=$((20000 + (RANDOM * 7 + $$) % 12000))
  [ -f "$dir/port" ] && candidates+=("$(cat "$dir/port")")
  for i in $(seq 0 39); do candidates+=($((base + i))); done

  for p in "${candidates[@]}"; do
    ready "$p" && continue
    # The parent returns once slapd listens, non-zero when it cannot bind.
    slapd -f "$dir/slapd.conf" -h "ldap://127.0.0.1:$p/" </dev/null >/dev/null 2>&1 || continue
    for i in $(seq 1 200); do
      if ready "$p" && pid=$(running_pid); then
        echo "$p" >"$dir/port"
        if [ -n "${ZUV_LDAP_OWNER_PID:-}" ]; then
          setsid "$0" watch "$dir" "$ZUV_LDAP_OWNER_PID" </dev/null >/dev/null 2>&1 &
        fi
        echo "ldap://127.0.0.1:$p"
        return 0
      fi
      sleep 0.05
    done
    stop
  done
  die "no free port for slapd (tried ${candidates[*]})"
}

stop() {
  local pid i
  pid=$(running_pid) || { rm -f "$dir/slapd.pid"; return 0; }
  kill -TERM "$pid" 2>/dev/null || true
  for i in $(seq 1 200); do
    alive "$pid" || break
    sleep 0.05
  done
  if alive "$pid"; then
    kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -f "$dir/slapd.pid"
}

# Stops the slapd of DIR once process $1 has ended.
watch() {
  while alive "$1"; do sleep 1; done
  stop
}

[ $# -ge 2 ] || usage
dir=$2
case $1 in
  start) start ;;
  stop) stop ;;
  watch) [ $# -eq 3 ] || usage; watch "$3" ;;
  *) usage ;;
esac
