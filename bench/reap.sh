# Benchmark: attachtool reap clearing 10,000 abandoned compose windows of
# five files each (50,000 files: the attachment list naming two stored
# copies, the copies, a fetched file and a background sound list), all 30
# hours old, from the tmp/ folder of a temporary root (sourced by run.sh).
# The peer is `find tmp -mindepth 1 -delete` removing the same files, in the
# same hyperfine calls (no shell), the order alternating between rounds.
# Every run of either program starts from a fresh copy of the windows and an
# empty error log (hyperfine --prepare, not timed; cp -a keeps the times).
# Targets: reap's mean under 5 seconds, and at most 4 times find's (reap
# also reads every list, takes and gives back every window's turn, and
# prints and logs a line per window). Making 50,000 files takes far longer
# than removing them, so the runs are few: BENCH_REAP_RUNS per round (default
# 3) and BENCH_REAP_ROUNDS (default 2); BENCH_REAP_WINDOWS changes the count
# of windows.
#
# The root lies on /dev/shm (tmpfs) where there is one, so that the figures
# are the programs' own: on a disk shared with other work, removing 50,000
# files stalls for seconds at a time, for find as for reap, and the runs
# swing from one to sixty seconds. BENCH_REAP_TMPDIR=/tmp times it on the
# disk instead.

reap_target=4
reap_limit_seconds=5
reap_windows=${BENCH_REAP_WINDOWS:-10000}

attachtool=$(bench_program attachtool)

root=$(mktemp -d "$(bench_memory_dir "${BENCH_REAP_TMPDIR:-}")/bench-reap.XXXXXX")
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/etc" "$root/log" "$root/httpd/html/hashed_store"
mkdir -m 0700 "$root/tmp" "$root/saved"
: >"$root/etc/passwd"

python3 - "$root/saved" "$root/tmp" "$reap_windows" <<'PY'
import os, sys, time
saved, tmp, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
old = time.time() - 30 * 3600
for w in range(count):
    stem = f"user{w % 100}_{1000 + w}_"
    files = {
        stem + "A_4242_0": b"a" * 600,
        stem + "A_4242_1": b"b" * 1400,
        stem + "H_4242": b"h" * 300,
        stem + "BS.dat": b"s.mp3;/nowhere;1;0\n",
    }
    files[stem + "Attach.dat"] = (
        f"0;;utf-8;a.txt;{tmp}/{stem}A_4242_0;600\n0;;utf-8;b.txt;{tmp}/{stem}A_4242_1;1400\n"
        .encode())
    for name, data in files.items():
        path = os.path.join(saved, name)
        with open(path, "wb") as out:
            out.write(data)
        os.utime(path, (old, old))
PY
cat >"$root/prepare.sh" <<PREP
rm -rf "$root/tmp" && cp -a "$root/saved" "$root/tmp" && : >"$root/log/error.log"
PREP

# One reap must take every window and tell the totals.
sh "$root/prepare.sh"
out=$(env -i WEBMAIL_ROOT="$root" "$attachtool" reap) || bench_fail "attachtool reap failed"
total=$(tail -n 1 <<<"$out")
case $total in
  "reaped $reap_windows windows, $((reap_windows * 5)) files, "*) ;;
  *) bench_fail "reap told \"$total\"" ;;
esac
[ -z "$(ls -A "$root/tmp")" ] || bench_fail "reap left files in tmp/"
echo "bench: $total"

subject_command=$(printf '%q reap' "$attachtool")
floor_command=$(printf 'find %q -mindepth 1 -delete' "$root/tmp")
runs=${BENCH_REAP_RUNS:-3}
rounds=${BENCH_REAP_ROUNDS:-2}
load=$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)
rm -f "$BENCH_OUT"/reap.*.json
jsons=()
for round in $(seq 1 "$rounds"); do
  subject=(--command-name attachtool-reap "$subject_command")
  floor=(--command-name find-delete "$floor_command")
  if [ $((round % 2)) -eq 1 ]; then order=("${subject[@]}" "${floor[@]}")
  else order=("${floor[@]}" "${subject[@]}"); fi
  json=$BENCH_OUT/reap.$round.json
  env -i PATH="$PATH" WEBMAIL_ROOT="$root" hyperfine --shell=none --style basic --output=null \
    --warmup 0 --runs "$runs" --prepare "sh $root/prepare.sh" --export-json "$json" \
    "${order[@]}" >&2 || bench_fail "hyperfine failed for reap"
  jsons+=("$json")
done

txt=$BENCH_OUT/reap.txt
python3 - "$reap_target" "$reap_limit_seconds" "$load" "$((reap_windows * 5))" "${jsons[@]}" \
  >"$txt" <<'PY'
import os, sys
target, limit, load, files = float(sys.argv[1]), float(sys.argv[2]), sys.argv[3], sys.argv[4]
sys.path.insert(0, os.environ["BENCH_DIR"])
from bench_report import busy_note, pool_rounds, print_ratio, summarise
times, round_ratios = pool_rounds(sys.argv[5:], "attachtool-reap", "find-delete")
print("benchmark: reap")
print(f"cores: {os.cpu_count()}  load average before: {load}  rounds: {len(round_ratios)}")
summary = summarise(times)
ok = print_ratio(summary, "attachtool-reap", "find-delete", target, round_ratios)
mean = summary["attachtool-reap"][0]
within = mean < limit
print(f"attachtool-reap of {files} files: mean {mean:.3f} s, slowest "
      f"{max(times['attachtool-reap']):.3f} s (limit < {limit:g} s) {'PASS' if within else 'FAIL'}")
busy_note(load)
print(f"verdict: {'PASS' if ok and within else 'FAIL'}")
PY
cat "$txt"
grep -q '^verdict: PASS$' "$txt"
