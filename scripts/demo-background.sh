# A demo (scripts/demo.sh) in the background, for scripts that drive it: the
# browser test and the load benchmark. Sourced, not run:
#   source scripts/demo-background.sh
#   port=$(demo_free_port)
#   demo_start DEMO_DIR "$port" LOG [START_SECS]   returns once the demo answers
#   ...                                            http://127.0.0.1:$port/
#   demo_stop                                      also safe when never started
# The caller sets its own traps; demo_stop belongs in its EXIT trap. demo_start
# prints the end of LOG and exits the calling shell when the demo does not come
# up. Needs curl and AD_BUILD (or build/) as scripts/demo.sh does.

demo_bg_top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
demo_bg_pid=
demo_bg_dir=

# A port on 127.0.0.1 that nothing listens on now (scripts/demo.sh checks again).
demo_free_port() {
  local port tries
  for tries in $(seq 1 200); do
    port=$((20000 + RANDOM % 40000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return 0
    fi
  done
  echo "demo: no free port found" >&2
  return 1
}

demo_start() {
  local dir=$1 port=$2 log=$3 start_secs=${4:-90}
  local base=http://127.0.0.1:$port
  demo_bg_dir=$dir
  # A process group of its own (setsid), so that demo_stop ends all of it.
  DEMO_DIR=$dir PORT=$port setsid "$demo_bg_top/scripts/demo.sh" </dev/null >"$log" 2>&1 &
  demo_bg_pid=$!
  local deadline=$((SECONDS + start_secs))
  until curl -fsS -o /dev/null -u alice:alice "$base/cgi-bin/attachdesk?init=1" 2>/dev/null; do
    if ! kill -0 "$demo_bg_pid" 2>/dev/null; then
      tail -n 30 "$log" >&2
      echo "demo: the demo ended during start-up (see $log)" >&2
      exit 1
    fi
    if [ $SECONDS -ge $deadline ]; then
      tail -n 30 "$log" >&2
      echo "demo: the demo did not answer within $start_secs s (see $log)" >&2
      exit 1
    fi
    sleep 0.2
  done
}

demo_stop() {
  [ -n "$demo_bg_pid" ] || return 0
  if kill -0 "$demo_bg_pid" 2>/dev/null; then
    kill -TERM "$demo_bg_pid" 2>/dev/null || true
    local _
    for _ in $(seq 1 100); do
      kill -0 "$demo_bg_pid" 2>/dev/null || break
      sleep 0.1
    done
  fi
  # Whatever of the demo is still there now (lighttpd, a CGI) goes with its
  # process group.
  kill -KILL -- "-$demo_bg_pid" 2>/dev/null || true
  "$demo_bg_top/scripts/clamd.sh" stop "$demo_bg_dir/clamd" >/dev/null 2>&1 || true
  demo_bg_pid=
}
