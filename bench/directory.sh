# Benchmark: the directory questions the cabinet's permission check asks on
# every request (sourced by run.sh), as whole processes on a generated group
# store of 10,000 users in 1,000 groups (10 top groups of 99 sub-groups each,
# ten members per sub-group, every user's own list, one administrator per top
# group):
#   UserGListGet  `attachtool dir --as U UserGListGet U`: the user's groups
#   IsInGroupTree `attachtool dir MDSAP_IsInGroupTree U /T2`
# each timed beside minimal_cgi (the floor of every request benchmark) in the
# same hyperfine calls, the order alternating between rounds.
# Target: each at most 2x the floor (ratio of the means).

directory_target=2.0

attachtool=$(bench_program attachtool)
floor_program=$(bench_program minimal_cgi)

work=$(mktemp -d "${TMPDIR:-/tmp}/bench-directory.XXXXXX")
trap 'rm -rf "$work"' EXIT
store=$work/root

python3 "$BENCH_DIR/group_store.py" "$store"

# u04242 is a member of /T2/S84 (4242 % 990 = 282 = 2 * 99 + 84).
user=u04242
declare -A subjects=(
  [UserGListGet]="$(printf '%q dir --as %q UserGListGet %q' "$attachtool" "$user" "$user")"
  [IsInGroupTree]="$(printf '%q dir MDSAP_IsInGroupTree %q /T2' "$attachtool" "$user")"
)
declare -A expected=(
  [UserGListGet]=$'result\t0\n/T2/S84\nclose\t6'
  [IsInGroupTree]=$'result\t1\nclose\t6'
)
for name in UserGListGet IsInGroupTree; do
  # shellcheck disable=SC2086
  answer=$(env -i PATH="$PATH" WEBMAIL_ROOT="$store" ${subjects[$name]} 2>"$work/stderr.txt") || true
  [ "$answer" = "${expected[$name]}" ] ||
    { cat "$work/stderr.txt" >&2; bench_fail "$name answered \"$answer\""; }
done
[ ! -s "$store/log/libquenbylgrp_err.log" ] || bench_fail "the store logged errors"
echo "bench: both answer as expected"

floor_command=$(printf '%q' "$floor_program")
# A group check that answers 1 exits with status 1; every answer was checked above.
# shellcheck disable=SC2034
env_vars=(PATH="$PATH" WEBMAIL_ROOT="$store")
bench_named_rounds directory env_vars minimal_cgi "$floor_command" \
  UserGListGet "${subjects[UserGListGet]}" IsInGroupTree "${subjects[IsInGroupTree]}"
load=$bench_load
jsons=("${bench_jsons[@]}")

txt=$BENCH_OUT/directory.txt
python3 - "$directory_target" "$load" "${jsons[@]}" >"$txt" <<'PY'
import json, os, statistics, sys
target, load = float(sys.argv[1]), sys.argv[2]
times = {"minimal_cgi": [], "UserGListGet": [], "IsInGroupTree": []}
rounds = {"UserGListGet": [], "IsInGroupTree": []}
for path in sys.argv[3:]:
    results = {r["command"]: r for r in json.load(open(path))["results"]}
    for name in times:
        times[name] += results[name]["times"]
    for name in rounds:
        rounds[name].append(results[name]["mean"] / results["minimal_cgi"]["mean"])
def ms(seconds):
    return f"{seconds * 1000:.3f} ms"
print("benchmark: directory (10,000 users in 1,000 groups)")
print(f"cores: {os.cpu_count()}  load average before: {load}  rounds: {len(sys.argv) - 3}")
for name, runs in times.items():
    print(f"{name}: mean {ms(statistics.fmean(runs))} +- {ms(statistics.stdev(runs))}, "
          f"median {ms(statistics.median(runs))}, min {ms(min(runs))}, runs {len(runs)}")
verdict = "PASS"
floor = times["minimal_cgi"]
for name in rounds:
    ratio = statistics.fmean(times[name]) / statistics.fmean(floor)
    ok = ratio <= target
    verdict = verdict if ok else "FAIL"
    print(f"ratio of means {name}/minimal_cgi: {ratio:.2f} (target <= {target:g}) "
          f"{'PASS' if ok else 'FAIL'}")
    print(f"ratio of medians: {statistics.median(times[name]) / statistics.median(floor):.2f}  "
          f"of minimums: {min(times[name]) / min(floor):.2f}  of means per round: "
          f"{' '.join(f'{r:.2f}' for r in rounds[name])}")
sys.path.insert(0, os.environ["BENCH_DIR"])
from bench_report import busy_note
busy_note(load)
print(f"verdict: {verdict}")
PY
cat "$txt"
grep -q '^verdict: PASS$' "$txt"
