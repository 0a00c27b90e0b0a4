# Benchmark: the cabinet's group question over the LDAP back end (sourced by
# run.sh). The generated store of group_store.py (10,000 users in 1,000
# groups) is loaded twice: as the built-in group store of a root, and as LDIF
# into a private slapd (scripts/slapd.sh) on a free port. Timed as whole
# processes in the same hyperfine calls, the order alternating between rounds:
#   builtin   `attachtool dir MDSAP_IsInGroupTree U /T2` on the group store
#   ldap      the same through libmds_ldap.so over ldap:// on loopback, bound
#             as the server's administrator (the server logs no line per
#             operation)
#   ldap_tls  the same with StartTLS, the server's certificate checked
#   load_only dlopen_only loading libmds_ldap.so with libldap and its TLS
#             library, and nothing else: the part of `ldap` that comes from
#             loading the client library
# Target: ldap at most 3x builtin (ratio of the means); ldap_tls is reported
# beside it (a TLS handshake per request). One check with the back end's
# debug log counts its searches (two).

directory_ldap_target=3.0

attachtool=$(bench_program attachtool)
dlopen_only=$(bench_program dlopen_only)
backend=$AD_BUILD/lib/libmds_ldap.so
[ -f "$backend" ] || bench_fail "$backend is missing (run ./dev build)"
[ -x /usr/sbin/slapd ] || bench_fail "slapd is not installed (./dev bench installs it)"

work=$(mktemp -d "${TMPDIR:-/tmp}/bench-directory-ldap.XXXXXX")
chmod 0755 "$work"
slapd_dir=$work/slapd
trap '"$BENCH_DIR/../scripts/slapd.sh" stop "$slapd_dir" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
store=$work/root

python3 "$BENCH_DIR/group_store.py" "$store" "$work/directory.ldif"
# --quiet: the server writes no line per operation (the tests' servers do).
uri=$("$BENCH_DIR/../scripts/slapd.sh" start --tls --quiet "$slapd_dir" "$work/directory.ldif") ||
  bench_fail "slapd did not start"
# The back end takes a password file only when it belongs to this user alone.
(umask 077 && cp "$slapd_dir/bindpw" "$store/etc/mds_ldap.pw")

ldap_conf() { # name starttls [line...]
  local name=$1 starttls=$2
  shift 2
  cat >"$store/etc/$name.conf" <<CONF
uri = $uri
starttls = $starttls
tls_cacert = $slapd_dir/ca.pem
binddn = cn=admin,dc=example,dc=org
bindpw_file = etc/mds_ldap.pw
user_base = ou=people,dc=example,dc=org
group_base = ou=groups,dc=example,dc=org
CONF
  [ $# -eq 0 ] || printf '%s\n' "$@" >>"$store/etc/$name.conf"
  printf 'preloadlib = %s\nbackendconf = etc/%s.conf\n' "$backend" "$name" >"$store/etc/mds.$name.conf"
}
ldap_conf ldap no
ldap_conf ldap_tls yes
# The same with every search logged, to count them.
ldap_conf ldap_count no "debug = yes" "logfile = log/searches.log"

# u04242 is a member of /T2/S84 (4242 % 990 = 282 = 2 * 99 + 84).
user=u04242
declare -A subjects=(
  [builtin]="$(printf '%q dir MDSAP_IsInGroupTree %q /T2' "$attachtool" "$user")"
  [ldap]="$(printf '%q dir --conf %q MDSAP_IsInGroupTree %q /T2' "$attachtool" \
    "$store/etc/mds.ldap.conf" "$user")"
  [ldap_tls]="$(printf '%q dir --conf %q MDSAP_IsInGroupTree %q /T2' "$attachtool" \
    "$store/etc/mds.ldap_tls.conf" "$user")"
  [load_only]="$(printf '%q %q' "$dlopen_only" "$backend")"
)
declare -A expected=(
  [builtin]=$'result\t1\nclose\t6'
  [ldap]=$'result\t1\nclose\t0'
  [ldap_tls]=$'result\t1\nclose\t0'
)
for name in builtin ldap ldap_tls; do
  # shellcheck disable=SC2086
  answer=$(env -i PATH="$PATH" WEBMAIL_ROOT="$store" ${subjects[$name]} 2>"$work/stderr.txt") || true
  [ "$answer" = "${expected[$name]}" ] ||
    { cat "$work/stderr.txt" "$store/log/mds.log" >&2 2>/dev/null; bench_fail "$name answered \"$answer\""; }
done
# A member of another tree is not in /T2 over LDAP either.
answer=$(env -i PATH="$PATH" WEBMAIL_ROOT="$store" "$attachtool" dir --conf \
  "$store/etc/mds.ldap.conf" MDSAP_IsInGroupTree u04300 /T2 2>/dev/null) || true
[ "$answer" = $'result\t0\nclose\t0' ] || bench_fail "u04300 (of /T3/S43) in /T2 answered \"$answer\""
[ ! -s "$store/log/mds.log" ] || { cat "$store/log/mds.log" >&2; bench_fail "the back end logged errors"; }
env -i PATH="$PATH" WEBMAIL_ROOT="$store" "$attachtool" dir --conf "$store/etc/mds.ldap_count.conf" \
  MDSAP_IsInGroupTree "$user" /T2 >/dev/null 2>&1 || true
searches=$(grep -c ': search ' "$store/log/searches.log" || true)
[ "$searches" = 2 ] || { cat "$store/log/searches.log" >&2; bench_fail "a group check made $searches searches"; }
echo "bench: every back end answers as expected"

# A group check that answers 1 exits with status 1; every answer was checked above.
# shellcheck disable=SC2034
env_vars=(PATH="$PATH" WEBMAIL_ROOT="$store")
bench_named_rounds directory_ldap env_vars builtin "${subjects[builtin]}" \
  ldap "${subjects[ldap]}" ldap_tls "${subjects[ldap_tls]}" load_only "${subjects[load_only]}"
load=$bench_load
jsons=("${bench_jsons[@]}")

txt=$BENCH_OUT/directory_ldap.txt
python3 - "$directory_ldap_target" "$load" "$searches" "${jsons[@]}" >"$txt" <<'PY'
import json, os, sys
sys.path.insert(0, os.environ["BENCH_DIR"])
from bench_report import busy_note, print_ratio, summarise
target, load, searches = float(sys.argv[1]), sys.argv[2], int(sys.argv[3])
times = {"builtin": [], "ldap": [], "ldap_tls": [], "load_only": []}
rounds = {"ldap": [], "ldap_tls": [], "load_only": []}
for path in sys.argv[4:]:
    results = {r["command"]: r for r in json.load(open(path))["results"]}
    for name in times:
        times[name] += results[name]["times"]
    for name in rounds:
        rounds[name].append(results[name]["mean"] / results["builtin"]["mean"])
print("benchmark: directory_ldap (MDSAP_IsInGroupTree, 10,000 users in 1,000 groups)")
print(f"cores: {os.cpu_count()}  load average before: {load}  rounds: {len(sys.argv) - 4}")
summary = summarise(times)
print(f"searches of one group check (the back end's debug log): {searches}")
ok = print_ratio(summary, "ldap", "builtin", target, rounds["ldap"])
tls = summary["ldap_tls"][0] / summary["builtin"][0]
print(f"ratio of means ldap_tls/builtin: {tls:.2f} (reported, no target)")
only = summary["load_only"][0] / summary["builtin"][0]
print(f"ratio of means load_only/builtin: {only:.2f}: loading the client library alone "
      f"({summary['load_only'][0] * 1000:.3f} ms of ldap's {summary['ldap'][0] * 1000:.3f} ms)")
busy_note(load)
print(f"verdict: {'PASS' if ok else 'FAIL'}")
PY
cat "$txt"
grep -q '^verdict: PASS$' "$txt"
