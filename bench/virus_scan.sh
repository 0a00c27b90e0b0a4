# Benchmark: the whole-process cost of scanning a file through the clamd engine
# (sourced by run.sh). `attachtool scan FILE` (loads etc/avscan.conf, dlopens
# build/lib/libtav_clamd.so, streams the file to clamd) is timed against
# `clamdscan --stream FILE`, ClamAV's own client, on the same files and the same
# private clamd, for a 1 KB and a 10 MB file. Target: attachtool is no slower
# (ratio of the means at most 1).
#
# bench_compare times programs without arguments, so this benchmark runs its own
# rounds in the same way: hyperfine --shell=none, env -i, alternating which
# command goes first, every run pooled. The 10 MB rounds take a tenth of
# BENCH_RUNS (at least 10). clamd caches the digests of clean files, so after
# the warm-up both clients pay for the transfer and clamd's hashing, not for a
# full scan: the figures compare the clients.

virus_scan_target=1.0

attachtool=$(bench_program attachtool)
engine=$AD_BUILD/lib/libtav_clamd.so
[ -f "$engine" ] || bench_fail "$engine is missing (run ./dev build)"
clamdscan=$(command -v clamdscan) ||
  bench_fail "clamdscan is not installed (./dev bench installs clamav-daemon and clamdscan)"

root=$(mktemp -d "${TMPDIR:-/tmp}/bench-virus-scan.XXXXXX")
trap '"$top/scripts/clamd.sh" stop "$root/clamd" >/dev/null; rm -rf "$root"' EXIT
CLAMD_OWNER=$$ "$top/scripts/clamd.sh" start "$root/clamd" >&2 ||
  bench_fail "could not start clamd"

mkdir -p "$root/etc" "$root/tmp" "$root/log"
cat >"$root/etc/avscan.conf" <<EOF
Vendor = clamd
EngineLib = $engine
Server = unix:$root/clamd/clamd.sock
ScanMode = ENTIRE
SecondaryScan = on
ActionMode = NONE
EOF

head -c 1024 /dev/urandom >"$root/small.bin"
head -c $((10 * 1024 * 1024)) /dev/urandom >"$root/large.bin"
{ head -c 1000 /dev/urandom; printf '%s' 'X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR'
  printf '%s' '-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*'; } >"$root/eicar.bin"

scan_env=(PATH="$PATH" WEBMAIL_ROOT="$root")
ours() { env -i "${scan_env[@]}" "$attachtool" scan "$1"; }
theirs() { env -i "${scan_env[@]}" "$clamdscan" --stream --no-summary -c "$root/clamd/clamd.conf" "$1"; }

# Both clients must really scan: a clean file is clean and the test string is
# found, or the timing would measure an error path.
for client in ours theirs; do
  status=0
  $client "$root/small.bin" >"$BENCH_OUT/last_stderr.txt" 2>&1 || status=$?
  [ $status -eq 0 ] || { cat "$BENCH_OUT/last_stderr.txt" >&2; bench_fail "$client: clean file gave status $status"; }
  status=0
  $client "$root/eicar.bin" >"$BENCH_OUT/last_stderr.txt" 2>&1 || status=$?
  grep -q 'Test.EICAR-Signature' "$BENCH_OUT/last_stderr.txt" && [ $status -eq 1 ] ||
    { cat "$BENCH_OUT/last_stderr.txt" >&2; bench_fail "$client did not find the test string (status $status)"; }
done
rm -f "$BENCH_OUT/last_stderr.txt"
echo "bench: both clients find the test string and pass clean files"

txt=$BENCH_OUT/virus_scan.txt
rm -f "$txt" "$BENCH_OUT"/virus_scan.*.json
load=$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)
jsons=()
for size in small large; do
  runs=$BENCH_RUNS
  [ $size = large ] && runs=$((BENCH_RUNS / 10 > 10 ? BENCH_RUNS / 10 : 10))
  file=$root/$size.bin
  a=(--command-name "attachtool $size" "$(printf '%q scan %q' "$attachtool" "$file")")
  b=(--command-name "clamdscan $size"
     "$(printf '%q --stream --no-summary -c %q %q' "$clamdscan" "$root/clamd/clamd.conf" "$file")")
  for round in $(seq 1 "$BENCH_ROUNDS"); do
    json=$BENCH_OUT/virus_scan.$size.$round.json
    if [ $((round % 2)) -eq 1 ]; then order=("${a[@]}" "${b[@]}"); else order=("${b[@]}" "${a[@]}"); fi
    env -i "${scan_env[@]}" hyperfine --shell=none --style basic --output=null \
      --warmup "$BENCH_WARMUP" --runs "$runs" --export-json "$json" "${order[@]}" >&2 ||
      bench_fail "hyperfine failed for virus_scan ($size)"
    jsons+=("$json")
  done
done

python3 - "$virus_scan_target" "$load" "${jsons[@]}" >"$txt" <<'PY'
import json, os, statistics, sys
target, load = float(sys.argv[1]), sys.argv[2]
times, cpu = {}, {}
for path in sys.argv[3:]:
    for r in json.load(open(path))["results"]:
        times.setdefault(r["command"], []).extend(r["times"])
        cpu.setdefault(r["command"], []).append((r["user"], r["system"]))
def ms(s):
    return f"{s * 1000:.3f} ms"
print("benchmark: virus_scan (attachtool scan through the clamd engine vs clamdscan --stream)")
print(f"cores: {os.cpu_count()}  load average before: {load}")
passed = True
for size, label in (("small", "1 KiB"), ("large", "10 MiB")):
    stats = {}
    for client in ("attachtool", "clamdscan"):
        runs = times[f"{client} {size}"]
        stats[client] = (statistics.fmean(runs), statistics.median(runs), min(runs))
        user = statistics.fmean(u for u, _ in cpu[f"{client} {size}"])
        system = statistics.fmean(s for _, s in cpu[f"{client} {size}"])
        print(f"{label} {client}: mean {ms(stats[client][0])} +- {ms(statistics.stdev(runs))}, "
              f"median {ms(stats[client][1])}, min {ms(stats[client][2])}, runs {len(runs)}; "
              f"own CPU user {ms(user)} system {ms(system)}")
    ratio = stats["attachtool"][0] / stats["clamdscan"][0]
    ok = ratio <= target
    passed = passed and ok
    print(f"{label} ratio of means attachtool/clamdscan: {ratio:.2f} (target <= {target:g}) "
          f"{'PASS' if ok else 'FAIL'}; of medians {stats['attachtool'][1] / stats['clamdscan'][1]:.2f}, "
          f"of minimums {stats['attachtool'][2] / stats['clamdscan'][2]:.2f}")
print(f"verdict: {'PASS' if passed else 'FAIL'}")
PY
cat "$txt"
grep -q '^verdict: PASS$' "$txt"
