#!/usr/bin/env bash
# A private clamd for the tests, the benchmarks and the demo, with only this
# project's signatures (conf/clamav/*.ndb), listening on a socket in its own folder.
#   scripts/clamd.sh start  [DIR]   start it and wait until it answers PING
#   scripts/clamd.sh stop   [DIR]   stop it and remove its socket and pid file
#   scripts/clamd.sh status [DIR]   exit 0 when it answers PING, 1 when not
# DIR defaults to build/clamd. It holds clamd.conf, clamd.sock, clamd.pid,
# clamd.log, db/ (the signatures) and tmp/.
#
# Environment (start):
#   CLAMD_TCP_PORT   also listen on localhost:PORT (127.0.0.1)
#   CLAMD_OWNER      a process id: the daemon is stopped within a second of that
#                    process ending (a test that crashes leaves no daemon behind)
#   CLAMD_TIMEOUT    seconds to wait for the first PING answer (default 60)
#   CLAMD_STREAM_MAX the daemon's StreamMaxLength (default 25M; a number with
#                    an optional K or M), for tests of larger inputs
#
# clamd runs in the foreground as a child of this script's background, as the
# calling user (no User line). Debian's own clamd and freshclam services are never
# used; their socket and database folder are not touched.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
cmd=${1:-}
dir=${2:-$top/build/clamd}

die() { echo "clamd.sh: $*" >&2; exit 1; }

case "$cmd" in start | stop | status) ;; *) sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;; esac
case "$dir" in /*) ;; *) dir=$(pwd)/$dir ;; esac
conf=$dir/clamd.conf
pidfile=$dir/clamd.pid

# Answers 0 when the daemon answers PING on its socket.
ping_daemon() {
  [ -f "$conf" ] && [ -S "$dir/clamd.sock" ] &&
    clamdscan --config-file="$conf" --ping 1 >/dev/null 2>&1
}

# The daemon's process id when it is alive, else nothing.
daemon_pid() {
  local pid
  pid=$(cat "$pidfile" 2>/dev/null || true)
  case "$pid" in '' | *[!0-9]*) return 0 ;; esac
  kill -0 "$pid" 2>/dev/null && echo "$pid"
  return 0
}

stop_daemon() {
  local pid
  pid=$(daemon_pid)
  if [ -n "$pid" ]; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -f "$pidfile" "$dir/clamd.sock"
}

case "$cmd" in
  status)
    if ping_daemon; then
      echo "clamd: running, pid $(daemon_pid), socket $dir/clamd.sock"
      exit 0
    fi
    echo "clamd: not running ($dir)"
    exit 1
    ;;
  stop)
    stop_daemon
    exit 0
    ;;
esac

# --- start --------------------------------------------------------------------
command -v clamd >/dev/null || [ -x /usr/sbin/clamd ] ||
  die "clamd is not installed (Debian package clamav-daemon; ./dev test installs it)"
command -v clamdscan >/dev/null ||
  die "clamdscan is not installed (Debian package clamdscan; ./dev test installs it)"
clamd=$(command -v clamd || echo /usr/sbin/clamd)
port=${CLAMD_TCP_PORT:-}
case "$port" in *[!0-9]*) die "CLAMD_TCP_PORT must be a number" ;; esac
owner=${CLAMD_OWNER:-}
case "$owner" in *[!0-9]*) die "CLAMD_OWNER must be a process id" ;; esac
timeout=${CLAMD_TIMEOUT:-60}
stream_max=${CLAMD_STREAM_MAX:-25M}
case "$stream_max" in '' | *[!0-9KM]* | [KM]* | *[KM]?*) die "CLAMD_STREAM_MAX must be a number with an optional K or M" ;; esac
# A unix socket path holds at most 107 bytes.
[ ${#dir} -le 90 ] || die "folder name too long for a socket path: $dir"

if ping_daemon; then
  echo "clamd: already running, pid $(daemon_pid), socket $dir/clamd.sock"
  exit 0
fi
stop_daemon

mkdir -p "$dir/db" "$dir/tmp"
rm -f "$dir"/db/*
cp "$top"/conf/clamav/*.ndb "$dir/db/"
tcp=
# clamd 1.4 fails to resolve a numeric TCPAddr in some containers; the name works.
[ -n "$port" ] && tcp="TCPSocket $port"$'\n'"TCPAddr localhost"
template=$(<"$top/conf/clamav/clamd.conf.in")
template=${template//@DIR@/$dir}
template=${template//@STREAM_MAX@/$stream_max}
printf '%s\n' "${template//@TCP@/$tcp}" >"$conf"
: >"$dir/clamd.log"

# None of our output pipes: a caller that reads this script's output is not held
# open by the daemon.
"$clamd" --config-file="$conf" </dev/null >>"$dir/clamd.out" 2>&1 &
pid=$!
echo "$pid" >"$pidfile"

if [ -n "$owner" ]; then
  (
    while kill -0 "$owner" 2>/dev/null && kill -0 "$pid" 2>/dev/null; do sleep 1; done
    kill -TERM "$pid" 2>/dev/null || true
  ) </dev/null >/dev/null 2>&1 &
fi

deadline=$((SECONDS + timeout))
until ping_daemon; do
  if ! kill -0 "$pid" 2>/dev/null; then
    tail -n 20 "$dir/clamd.out" "$dir/clamd.log" >&2 || true
    die "clamd exited during start-up (log: $dir/clamd.log)"
  fi
  if [ $SECONDS -ge $deadline ]; then
    stop_daemon
    die "clamd did not answer PING within $timeout s (log: $dir/clamd.log)"
  fi
  sleep 0.1
done
echo "clamd: running, pid $pid, socket $dir/clamd.sock${port:+, 127.0.0.1:$port}"
