#!/usr/bin/env bash
# Replays the seeds of every fuzz target once, so each seed stays a regression
# test. Prints "N passed, N failed".
#   scripts/fuzz-replay.sh BUILD_DIR
set -uo pipefail
build=$1
top=$(cd "$(dirname "$0")/.." && pwd)
passed=0 failed=0
export WEBMAIL_ROOT=$(mktemp -d)
trap 'rm -rf "$WEBMAIL_ROOT"' EXIT
for bin in "$build"/bin/*_fuzz; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin" _fuzz)
  seeds="$top/fuzz/seeds/$name"
  if [ ! -d "$seeds" ]; then echo "fuzz $name: no seeds"; failed=$((failed + 1)); continue; fi
  if "$bin" -runs=0 "$seeds" >"$build/replay-$name.log" 2>&1; then
    echo "fuzz $name: $(ls "$seeds" | wc -l) seeds replayed"
    passed=$((passed + 1))
  else
    echo "fuzz $name: FAILED (see $build/replay-$name.log)"; tail -n 30 "$build/replay-$name.log"
    failed=$((failed + 1))
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
