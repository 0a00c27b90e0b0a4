#!/usr/bin/env bash
# Runs one fuzz target for a number of seconds on a copy of its seeds.
#   scripts/fuzz-run.sh BUILD_DIR NAME SECONDS
set -euo pipefail
build=$1 name=$2 secs=$3
top=$(cd "$(dirname "$0")/.." && pwd)
bin="$build/bin/${name}_fuzz"
[ -x "$bin" ] || { echo "no fuzz target $name (have: $(cd "$build/bin" && ls *_fuzz 2>/dev/null | sed 's/_fuzz$//' | tr '\n' ' '))" >&2; exit 2; }
corpus="$build/corpus/$name"
mkdir -p "$corpus" "$build/findings/$name"
cp -n "$top/fuzz/seeds/$name/"* "$corpus/" 2>/dev/null || true
dict=()
[ -f "$top/fuzz/dicts/$name.dict" ] && dict=(-dict="$top/fuzz/dicts/$name.dict")
export WEBMAIL_ROOT=${WEBMAIL_ROOT:-$(mktemp -d)}
exec "$bin" "${dict[@]}" -max_total_time="$secs" -artifact_prefix="$build/findings/$name/" \
  -print_final_stats=1 "$corpus"
