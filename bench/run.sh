#!/usr/bin/env bash
# Runs the benchmarks after a release build (`./dev bench` calls it).
#   bench/run.sh                 every bench/*.sh other than this file
#   bench/run.sh list_page ...   only the benchmarks named
#
# A benchmark is a script bench/<name>.sh, sourced in a subshell of this one so it
# can use the helpers below. It prepares its input, calls bench_compare, and leaves
# its figures in $BENCH_OUT/<name>.txt (and the raw hyperfine JSON beside them).
# This script exits 1 when a benchmark misses its target or cannot run.
#
# Environment:
#   AD_BUILD          build directory holding bin/ (default: build/ at the top)
#   BENCH_WARMUP      warm-up runs per command (default 20)
#   BENCH_RUNS        timed runs per command and round (default 300)
#   BENCH_ROUNDS      hyperfine calls per comparison, alternating the order of
#                     the two programs (default 10)
#   BENCH_PERF_RUNS   runs per program of the `perf stat` cross-check, made
#                     only where perf is installed and allowed (default 500)
#   BENCH_PREPARE     a command bench_compare runs (untimed) before every run of
#                     either program, for requests that consume their input; it
#                     also leaves out the perf cross-check, which cannot prepare
#   BENCH_PROGRAM_<NAME>  replaces a program under test, e.g.
#                     BENCH_PROGRAM_attachdesk=build/bin/minimal_cgi to check the
#                     harness itself (the ratio should then be about 1)
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
export BENCH_DIR=$top/bench
AD_BUILD=${AD_BUILD:-$top/build}
BENCH_OUT=$AD_BUILD/bench
BENCH_WARMUP=${BENCH_WARMUP:-20}
BENCH_RUNS=${BENCH_RUNS:-300}
BENCH_ROUNDS=${BENCH_ROUNDS:-10}
BENCH_PERF_RUNS=${BENCH_PERF_RUNS:-500}
mkdir -p "$BENCH_OUT"

bench_fail() {
  echo "bench: $*" >&2
  exit 1
}

command -v hyperfine >/dev/null || bench_fail "hyperfine is not installed (./dev bench installs it)"
command -v python3 >/dev/null || bench_fail "python3 is needed to read hyperfine's results"

# bench_program NAME: the path of built program NAME, or its BENCH_PROGRAM_<NAME>
# replacement; fails when it is not an executable file.
bench_program() {
  local override="BENCH_PROGRAM_$1"
  local path=${!override:-$AD_BUILD/bin/$1}
  [ -x "$path" ] || bench_fail "$path is missing or not executable (run ./dev build)"
  (cd "$(dirname "$path")" && echo "$(pwd)/$(basename "$path")")
}

# bench_cgi_env ROOT: sets the array bench_cgi to the CGI variables every
# request of the benchmarks shares (user alice, the root); each benchmark adds
# its method, query and body variables.
bench_cgi_env() {
  bench_cgi=(
    REMOTE_USER=alice
    WEBMAIL_ROOT="$1"
    SERVER_NAME=localhost
    GATEWAY_INTERFACE=CGI/1.1
    SERVER_PROTOCOL=HTTP/1.1
    SCRIPT_NAME=/cgi-bin/attachdesk
  )
}

# bench_memory_dir CHOSEN: the folder for a benchmark's temporary root: CHOSEN
# when it is not empty, else /dev/shm where it is a writable tmpfs (the figures
# are then the programs' own, not a busy disk's), else $TMPDIR or /tmp.
bench_memory_dir() {
  if [ -n "$1" ]; then echo "$1"
  elif [ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ] && [ -w /dev/shm ]; then echo /dev/shm
  else echo "${TMPDIR:-/tmp}"; fi
}

# bench_check_page PROGRAM ENV...: runs PROGRAM once with exactly the environment
# ENV (NAME=VALUE words) and stdin from /dev/null, and fails unless it exits 0 and
# prints a CGI response with a Content-Type header and no Status header. A page
# that is an error answer would make the timing meaningless.
# The checksums of every file below a folder, to tell whether the timed runs
# changed what later runs read.
bench_snapshot() {
  (cd "$1" && find . -type f -print0 | sort -z | xargs -0 sha256sum)
}

bench_check_page() {
  local program=$1; shift
  local page status=0
  page=$(env -i "$@" "$program" </dev/null 2>"$BENCH_OUT/last_stderr.txt") || status=$?
  if [ $status -ne 0 ]; then
    sed -n '1,10p' <<<"$page" >&2
    sed -n '1,10p' "$BENCH_OUT/last_stderr.txt" >&2
    bench_fail "$program exited with status $status"
  fi
  local headers=${page%%$'\n\n'*}
  headers=${headers%%$'\r\n\r\n'*}
  grep -qi '^Content-Type:' <<<"$headers" ||
    { sed -n '1,10p' <<<"$page" >&2; bench_fail "$program printed no Content-Type header"; }
  if grep -qi '^Status:' <<<"$headers"; then
    sed -n '1,10p' <<<"$page" >&2
    bench_fail "$program answered with an error status"
  fi
  rm -f "$BENCH_OUT/last_stderr.txt"
  echo "bench: $(basename "$program") prints ${#page} characters"
}

# bench_perf_stat PROGRAM ENV...: "TASK_MS PAGE_FAULTS RUNS" averaged over
# BENCH_PERF_RUNS runs of PROGRAM under `perf stat`, or nothing when perf is
# missing or not allowed here.
bench_perf_stat() {
  local program=$1; shift
  command -v perf >/dev/null || return 0
  [ -z "${BENCH_PREPARE:-}" ] || return 0
  local out=$BENCH_OUT/perf_stat.csv
  env -i PATH="$PATH" "$@" perf stat -o "$out" -x, -r "$BENCH_PERF_RUNS" \
    -e task-clock,page-faults -- "$program" </dev/null >/dev/null 2>&1 || return 0
  awk -F, -v runs="$BENCH_PERF_RUNS" '
    $3 == "task-clock" { task = $1 } $3 == "page-faults" { faults = $1 }
    END { if (task ~ /^[0-9.]+$/ && faults ~ /^[0-9.]+$/) print task, faults, runs }' "$out"
  rm -f "$out"
}

# bench_compare NAME TARGET LABEL PROGRAM FLOOR_LABEL FLOOR_PROGRAM -- ENV...
# Times PROGRAM and FLOOR_PROGRAM as whole processes (no shell in between; output
# to /dev/null and stdin from /dev/null, as hyperfine does by default) with exactly
# the environment ENV, then writes the means and the ratio PROGRAM/FLOOR to
# $BENCH_OUT/NAME.txt and prints them. Answers 1 when the ratio of the means is
# above TARGET.
#
# The timing is done in BENCH_ROUNDS short hyperfine calls that alternate which
# program goes first (the first one of a call tends to come out a few per cent
# slower), so a change in the machine's load falls on both programs alike; the
# figures pool every run.
bench_compare() {
  local name=$1 target=$2 label=$3 program=$4 floor_label=$5 floor_program=$6
  shift 6
  [ "${1:-}" = "--" ] && shift
  local txt=$BENCH_OUT/$name.txt
  rm -f "$txt" "$BENCH_OUT/$name".*.json

  local load
  load=$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)
  local prepare=()
  [ -z "${BENCH_PREPARE:-}" ] || prepare=(--prepare "$BENCH_PREPARE")
  local subject=(--command-name "$label" "$(printf '%q' "$program")")
  local floor=(--command-name "$floor_label" "$(printf '%q' "$floor_program")")
  local round jsons=()
  for round in $(seq 1 "$BENCH_ROUNDS"); do
    local json=$BENCH_OUT/$name.$round.json order
    if [ $((round % 2)) -eq 1 ]; then order=("${subject[@]}" "${floor[@]}")
    else order=("${floor[@]}" "${subject[@]}"); fi
    # env -i: both programs see the CGI environment and nothing of ours (locale,
    # sanitizer options), as under a web server.
    env -i PATH="$PATH" "$@" hyperfine --shell=none --style basic --output=null \
      --warmup "$BENCH_WARMUP" --runs "$BENCH_RUNS" --export-json "$json" \
      "${prepare[@]}" "${order[@]}" >&2 || bench_fail "hyperfine failed for $name"
    jsons+=("$json")
  done

  # A second measure where perf works: the CPU time of the program's own process
  # (task-clock), which leaves out time spent waiting for a CPU.
  local perf_subject perf_floor
  perf_subject=$(bench_perf_stat "$program" "$@")
  perf_floor=$(bench_perf_stat "$floor_program" "$@")

  BENCH_PERF_SUBJECT=$perf_subject BENCH_PERF_FLOOR=$perf_floor \
  python3 - "$target" "$name" "$load" "$label" "$floor_label" "${jsons[@]}" >"$txt" <<'PY'
import os, sys
target, name, load, label, floor_label = float(sys.argv[1]), *sys.argv[2:6]
sys.path.insert(0, os.environ["BENCH_DIR"])
from bench_report import busy_note, ms, pool_rounds, print_ratio, summarise
times, round_ratios = pool_rounds(sys.argv[6:], label, floor_label)
print(f"benchmark: {name}")
print(f"cores: {os.cpu_count()}  load average before: {load}  rounds: {len(round_ratios)}")
summary = summarise(times)
verdict = "PASS" if print_ratio(summary, label, floor_label, target, round_ratios) else "FAIL"
perf_subject = os.environ.get("BENCH_PERF_SUBJECT", "").split()
perf_floor = os.environ.get("BENCH_PERF_FLOOR", "").split()
if len(perf_subject) == 3 and len(perf_floor) == 3:
    task, faults, runs = (float(x) for x in perf_subject)
    floor_task, floor_faults, _ = (float(x) for x in perf_floor)
    print(f"perf stat, {runs:.0f} runs each: task-clock {label} {task:.3f} ms, "
          f"{floor_label} {floor_task:.3f} ms, ratio {task / floor_task:.2f}; "
          f"page faults {faults:.0f} and {floor_faults:.0f}")
busy_note(load)
PY
  cat "$txt"
  grep -q ' PASS$' "$txt"
}

# bench_shell_rounds NAME ENV_ARRAY -- SUBJECT... -- FLOOR...: for benchmarks
# whose programs read a large request body on stdin: hyperfine runs each
# command through its shell (and subtracts the shell's start), BENCH_ROUNDS
# times with the order alternating, with a tenth of BENCH_RUNS (at least 10)
# and at most 3 warm-up runs, and exactly the environment in the array named
# ENV_ARRAY. SUBJECT and FLOOR are hyperfine arguments (--command-name,
# --prepare, the command). Sets bench_jsons to the rounds' JSON files,
# $BENCH_OUT/NAME.<round>.json; bench_load to the load average before.
bench_shell_rounds() {
  local name=$1
  local -n bench_env=$2
  shift 2
  [ "${1:-}" = "--" ] && shift
  local subject=() floor=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do subject+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  floor=("$@")
  rm -f "$BENCH_OUT/$name".*.json
  bench_load=$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)
  local runs=$((BENCH_RUNS / 10 > 10 ? BENCH_RUNS / 10 : 10))
  local warmup=$((BENCH_WARMUP < 3 ? BENCH_WARMUP : 3))
  local round json order
  bench_jsons=()
  for round in $(seq 1 "$BENCH_ROUNDS"); do
    json=$BENCH_OUT/$name.$round.json
    if [ $((round % 2)) -eq 1 ]; then order=("${subject[@]}" "${floor[@]}")
    else order=("${floor[@]}" "${subject[@]}"); fi
    env -i "${bench_env[@]}" hyperfine --style basic --output=null \
      --warmup "$warmup" --runs "$runs" --export-json "$json" "${order[@]}" >&2 ||
      bench_fail "hyperfine failed for $name"
    bench_jsons+=("$json")
  done
}

# bench_named_rounds NAME ENV_ARRAY LABEL COMMAND [LABEL COMMAND...]
# Times the commands (each a command line without a shell, as
# `hyperfine --shell=none` splits it) in BENCH_ROUNDS hyperfine calls with
# BENCH_RUNS runs and BENCH_WARMUP warm-ups each, the first command moved to
# the end in every second round, with exactly the environment in the array
# named ENV_ARRAY. Exit statuses are ignored: check the answers first. Sets
# bench_jsons to the rounds' JSON files ($BENCH_OUT/NAME.<round>.json) and
# bench_load to the load average before.
bench_named_rounds() {
  local name=$1
  local -n bench_env=$2
  shift 2
  local commands=()
  while [ $# -ge 2 ]; do commands+=(--command-name "$1" "$2"); shift 2; done
  rm -f "$BENCH_OUT/$name".*.json
  bench_load=$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)
  local round json order
  bench_jsons=()
  for round in $(seq 1 "$BENCH_ROUNDS"); do
    json=$BENCH_OUT/$name.$round.json
    order=("${commands[@]}")
    # Three words a command: the flag, its label, the command.
    [ $((round % 2)) -eq 1 ] || order=("${order[@]:3}" "${order[@]:0:3}")
    env -i "${bench_env[@]}" hyperfine --shell=none --style basic --ignore-failure \
      --output=null --warmup "$BENCH_WARMUP" --runs "$BENCH_RUNS" --export-json "$json" \
      "${order[@]}" >&2 || bench_fail "hyperfine failed for $name"
    bench_jsons+=("$json")
  done
}

names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for script in "$top"/bench/*.sh; do
    [ "$(basename "$script")" = run.sh ] && continue
    names+=("$(basename "$script" .sh)")
  done
fi

failed=()
for name in "${names[@]}"; do
  script=$top/bench/$name.sh
  [ -f "$script" ] || bench_fail "no benchmark $script"
  echo "== $name"
  # A subshell per benchmark: its variables, traps and temporary files end with it.
  # Not run as a condition, which would switch off errexit inside it.
  set +e
  (set -euo pipefail; source "$script")
  status=$?
  set -e
  [ $status -eq 0 ] || failed+=("$name")
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "bench: FAILED: ${failed[*]} (figures in $BENCH_OUT)" >&2
  exit 1
fi
echo "bench: all passed (figures in $BENCH_OUT)"
