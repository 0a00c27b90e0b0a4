#!/usr/bin/env bash
# End-to-end test of the attachment window in headless Chromium (`./dev test`
# runs it after the release and sanitizer builds, before the unit tests; it
# needs the release build).
#   tests/e2e/run.sh
# Starts a demo of its own (scripts/demo.sh with DEMO_DIR=build/e2e/demo, a free
# port, its own clamd), installs playwright-core into build/e2e/node/ from the
# committed lock file, runs attach_window.test.js, media_pages.test.js (the
# background, sound and image windows) and compose_send.test.js (the
# compose/send page) with node's test runner and stops the demo however the
# test ends. Screenshots of every step go to build/e2e/screenshots/ (and
# screenshots-compose/), the demo's output to build/e2e/demo.log.
#
# Environment:
#   AD_BUILD         build folder holding bin/ and lib/ (default build/)
#   E2E_CHROMIUM     the browser (default /usr/bin/chromium, Debian's package)
#   E2E_START_SECS   longest wait for the demo to answer (default 90)
set -euo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
here=$top/tests/e2e
out=$top/build/e2e
demo_dir=$out/demo
node_dir=$out/node
count_limit=4
# Smaller than the demo's: a request body over it is refused by the server
# (413) although its files fit the attachment size limit.
request_max_kb=4096
export AD_BUILD=${AD_BUILD:-$top/build}
export E2E_CHROMIUM=${E2E_CHROMIUM:-/usr/bin/chromium}
start_secs=${E2E_START_SECS:-90}

die() { echo "e2e: $*" >&2; exit 1; }

command -v node >/dev/null || die "node is not installed (Node.js 18 or later; ./dev test installs Debian's nodejs)"
node_major=$(node -p 'process.versions.node.split(".")[0]')
[ "$node_major" -ge 18 ] || die "node $(node --version) is too old: the test needs Node.js 18 or later"
command -v npm >/dev/null || die "npm is not installed (./dev test installs Debian's npm)"
[ -x "$E2E_CHROMIUM" ] || die "$E2E_CHROMIUM is missing (Debian package chromium; ./dev test installs it)"
command -v curl >/dev/null || die "curl is not installed"

mkdir -p "$out"
rm -rf "$out/screenshots" "$out/screenshots-compose" "$out"/profile-*

# --- playwright-core, exactly as locked; it never downloads a browser ----------
stamp=$(cat "$here/package.json" "$here/package-lock.json" | sha256sum | cut -c1-16)
if [ "$(cat "$node_dir/.stamp" 2>/dev/null || true)" != "$stamp" ] ||
  [ ! -f "$node_dir/node_modules/playwright-core/package.json" ]; then
  rm -rf "$node_dir"
  mkdir -p "$node_dir"
  cp "$here/package.json" "$here/package-lock.json" "$node_dir/"
  (cd "$node_dir" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error) ||
    die "npm ci failed in $node_dir"
  echo "$stamp" >"$node_dir/.stamp"
fi

# --- the demo ------------------------------------------------------------------
source "$top/scripts/demo-background.sh"
port=$(demo_free_port)
base=http://127.0.0.1:$port

test_pid=
stop_all() {
  if [ -n "$test_pid" ]; then
    # playwright closes its browser when node is told to end.
    kill -TERM "$test_pid" 2>/dev/null || true
    wait "$test_pid" 2>/dev/null || true
    test_pid=
  fi
  demo_stop
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "e2e: starting the demo on $base (log: $out/demo.log)"
demo_start "$demo_dir" "$port" "$out/demo.log" "$start_secs"

# A small attachment limit, so the test reaches it, a request limit below the
# size limit, and the document cabinet for level 0 (its link on the page);
# site.conf is read by every request.
printf '\n# Added by tests/e2e/run.sh\nAttachCountLimit = %s\nRequestMaxKB = %s\nLevel0.Flags = 2\n' \
  "$count_limit" "$request_max_kb" >>"$demo_dir/root/etc/site.conf"

# In the background, so that a signal to this script is handled at once.
E2E_BASE_URL=$base E2E_OUT=$out E2E_COUNT_LIMIT=$count_limit E2E_REQUEST_MAX_KB=$request_max_kb \
  NODE_PATH=$node_dir/node_modules \
  node --test --test-reporter=spec "$here/attach_window.test.js" "$here/media_pages.test.js" "$here/compose_send.test.js" </dev/null &
test_pid=$!
status=0
wait "$test_pid" || status=$?
test_pid=
stop_all
[ $status -eq 0 ] || echo "e2e: FAILED (screenshots in $out/screenshots, demo log $out/demo.log," \
  "server logs in $demo_dir/log)" >&2
exit $status
