#!/usr/bin/env bash
# A private LDAP server for tests, benchmarks and the demo. It never touches
# the system's own server or its configuration.
#
#   scripts/slapd.sh start [--tls] [--quiet] DIR [LDIF...]
#       Makes DIR afresh (slapd.conf, an mdb database in DIR/db), loads the
#       LDIF files offline with slapadd, starts /usr/sbin/slapd on 127.0.0.1
#       and a free port, waits until it answers and prints its URI (also in
#       DIR/uri). Suffix dc=example,dc=org; the root entry and the OUs
#       ou=people and ou=groups are made first; rootdn
#       cn=admin,dc=example,dc=org with the password in DIR/bindpw (mode
#       0600). Schemas: core, cosine, inetorgperson, nis.
#       --tls: also a CA (DIR/ca.pem) and a server certificate for 127.0.0.1:
#       StartTLS on the ldap:// port and an ldaps:// listener (DIR/ldaps_uri).
#       As root the server runs as the user "openldap" (else "nobody"), which
#       owns the database; otherwise it runs as the caller.
#       The server logs operations (loglevel stats) to DIR/slapd.log;
#       --quiet: only its errors, as a server tuned for speed would (for
#       benchmarks: a line written for every operation slows each answer).
#   scripts/slapd.sh stop DIR
#       Stops the server started in DIR.
set -euo pipefail

usage() {
  sed -n '4,22p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

suffix="dc=example,dc=org"
rootdn="cn=admin,$suffix"

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

run_user() {
  if [ "$(id -u)" -ne 0 ]; then
    id -un
  elif getent passwd openldap >/dev/null; then
    echo openldap
  else
    echo nobody
  fi
}

make_certs() { # dir
  local dir=$1
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=attachdesk test CA" \
    -keyout "$dir/ca.key" -out "$dir/ca.pem" >/dev/null 2>&1
  openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" \
    -keyout "$dir/server.key" -out "$dir/server.csr" >/dev/null 2>&1
  printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\n' >"$dir/server.ext"
  openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
    -CAcreateserial -days 2 -extfile "$dir/server.ext" -out "$dir/server.pem" >/dev/null 2>&1
  rm -f "$dir/server.csr" "$dir/server.ext" "$dir/ca.key" "$dir/ca.srl"
}

write_conf() { # dir tls password
  local dir=$1 tls=$2 password=$3 level=$4
  {
    echo "include /etc/ldap/schema/core.schema"
    echo "include /etc/ldap/schema/cosine.schema"
    echo "include /etc/ldap/schema/inetorgperson.schema"
    echo "include /etc/ldap/schema/nis.schema"
    echo "modulepath /usr/lib/ldap"
    echo "moduleload back_mdb"
    echo "pidfile $dir/run/slapd.pid"
    echo "argsfile $dir/run/slapd.args"
    echo "loglevel $level"
    echo "sizelimit unlimited"
    if [ "$tls" = 1 ]; then
      echo "TLSCACertificateFile $dir/ca.pem"
      echo "TLSCertificateFile $dir/server.pem"
      echo "TLSCertificateKeyFile $dir/server.key"
    fi
    echo "database mdb"
    echo "maxsize 1073741824"
    echo "suffix \"$suffix\""
    echo "rootdn \"$rootdn\""
    echo "rootpw $password"
    echo "directory $dir/db"
    echo "index objectClass eq"
    echo "index uid,cn eq,sub"
    echo "index member,uniqueMember,owner eq"
    echo "access to attrs=userPassword by self write by anonymous auth by * none"
    echo "access to * by * read"
  } >"$dir/slapd.conf"
}

base_ldif() {
  cat <<EOF
dn: $suffix
objectClass: dcObject
objectClass: organization
dc: example
o: Example

dn: ou=people,$suffix
objectClass: organizationalUnit
ou: people

dn: ou=groups,$suffix
objectClass: organizationalUnit
ou: groups

EOF
}

# Waits until the server answers a search of the root DSE.
wait_answers() { # uri
  for _ in $(seq 1 100); do
    if ldapsearch -x -H "$1" -b "" -s base -o nettimeout=1 >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  return 1
}

start() {
  local tls=0 level=stats
  while [ $# -gt 0 ]; do
    case $1 in
      --tls) tls=1 ;;
      --quiet) level=0 ;;
      *) break ;;
    esac
    shift
  done
  [ $# -ge 1 ] || usage
  local dir=$1; shift
  [ -x /usr/sbin/slapd ] || { echo "slapd.sh: /usr/sbin/slapd is missing (package slapd)" >&2; exit 1; }
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  stop_quietly "$dir"
  rm -rf "$dir/db" "$dir/run" "$dir/slapd.conf" "$dir/uri" "$dir/ldaps_uri" "$dir/slapd.log" \
    "$dir/ca.pem" "$dir/server.pem" "$dir/server.key" "$dir/bindpw"
  mkdir -p "$dir/db" "$dir/run"
  chmod 0755 "$dir"
  local password
  password=$(head -c 18 /dev/urandom | base64 | tr -d '/+=')
  (umask 077 && printf '%s' "$password" >"$dir/bindpw")
  [ "$tls" = 1 ] && make_certs "$dir"
  write_conf "$dir" "$tls" "$password" "$level"
  chmod 0600 "$dir/slapd.conf"
  base_ldif >"$dir/base.ldif"
  slapadd -q -f "$dir/slapd.conf" -l "$dir/base.ldif" >/dev/null
  local ldif
  for ldif in "$@"; do
    slapadd -q -f "$dir/slapd.conf" -l "$ldif" >/dev/null
  done
  local user
  user=$(run_user)
  local owned=("$dir/db" "$dir/run" "$dir/slapd.conf")
  [ "$tls" = 1 ] && owned+=("$dir/server.key")
  local as=()
  if [ "$(id -u)" -eq 0 ]; then
    chown -R "$user:$(id -gn "$user")" "${owned[@]}"
    as=(-u "$user" -g "$(id -gn "$user")")
    if ! runuser -u "$user" -- test -r "$dir/slapd.conf"; then
      echo "slapd.sh: the user $user cannot reach $dir (a folder above it is closed)" >&2
      exit 1
    fi
  fi
  local attempt port ldaps_port urls uri
  for attempt in 1 2 3 4 5; do
    port=$(free_port)
    uri="ldap://127.0.0.1:$port"
    urls=$uri
    if [ "$tls" = 1 ]; then
      ldaps_port=$(free_port)
      urls="$uri ldaps://127.0.0.1:$ldaps_port"
    fi
    # -d keeps the server in the foreground so that its log goes to a file;
    # setsid makes it a session of its own, so the caller's terminal and job
    # control never reach it.
    setsid /usr/sbin/slapd -d "$level" -f "$dir/slapd.conf" -h "$urls" "${as[@]}" \
      >"$dir/slapd.log" 2>&1 </dev/null &
    echo $! >"$dir/run/server.pid"
    if wait_answers "$uri"; then
      echo "$uri" >"$dir/uri"
      [ "$tls" = 1 ] && echo "ldaps://127.0.0.1:$ldaps_port" >"$dir/ldaps_uri"
      echo "$uri"
      return 0
    fi
    stop_quietly "$dir"
    [ "$attempt" -lt 5 ] || break
  done
  echo "slapd.sh: slapd did not start; see $dir/slapd.log" >&2
  exit 1
}

stop_quietly() { # dir
  local dir=$1 pid
  [ -f "$dir/run/server.pid" ] || return 0
  pid=$(cat "$dir/run/server.pid")
  rm -f "$dir/run/server.pid"
  [ -n "$pid" ] || return 0
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 50); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -9 "$pid" 2>/dev/null || true
}

cmd=${1:-}
[ $# -gt 0 ] && shift
case "$cmd" in
  start) start "$@" ;;
  stop)
    [ $# -eq 1 ] || usage
    [ -d "$1" ] && stop_quietly "$(cd "$1" && pwd)"
    rm -f "$1/uri" "$1/ldaps_uri"
    ;;
  *) usage ;;
esac
