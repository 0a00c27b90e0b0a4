# Benchmark: load through the real web server (sourced by run.sh). The demo
# (scripts/demo.sh: its lighttpd on a free port, its root) serves attachdesk
# and, beside it in the same cgi-bin, minimal_cgi; in one run each of them
# answers
#   uploads:    bench/load_upload.py posts LOAD_UPLOADS (1,000) uploads,
#               LOAD_UPLOAD_CONCURRENCY (16) at once, to LOAD_WINDOWS (4)
#               compose windows in turn; each post removes the window's oldest
#               file and adds one of 1 to 16 KB, so every list keeps its
#               LOAD_LISTED (10) files while requests of one window take turns
#   list pages: wrk, LOAD_CONNECTIONS (64) connections for LOAD_SECONDS (30 s),
#               GET the windows' attachment pages in turn
# Reported: requests per second and the 50th and 99th percentile of each,
# beside minimal_cgi's. Targets: no failed request (no answer, a status other
# than 200, or an upload page that shows an error or does not list its file),
# and at the end every list file whole: each line well-formed, each listed
# file present with its size, no stored file that no list names.
# Virus scanning is off, as in `upload` (its cost is clamd's: `virus_scan`).

load_uploads=${LOAD_UPLOADS:-1000}
load_upload_concurrency=${LOAD_UPLOAD_CONCURRENCY:-16}
load_connections=${LOAD_CONNECTIONS:-64}
load_seconds=${LOAD_SECONDS:-30}
load_window_count=${LOAD_WINDOWS:-4}
load_listed=${LOAD_LISTED:-10}

command -v wrk >/dev/null || bench_fail "wrk is not installed (./dev bench installs it)"
command -v lighttpd >/dev/null || bench_fail "lighttpd is not installed (./dev bench installs it)"
command -v curl >/dev/null || bench_fail "curl is not installed (./dev bench installs it)"
attachdesk=$(bench_program attachdesk)
minimal_cgi=$(bench_program minimal_cgi)
[ "$attachdesk" = "$AD_BUILD/bin/attachdesk" ] ||
  bench_fail "load runs the demo's own attachdesk; BENCH_PROGRAM_attachdesk is not used here"

demo_dir=$BENCH_OUT/load-demo
root=$demo_dir/root
txt=$BENCH_OUT/load.txt
rm -f "$txt" "$BENCH_OUT"/load.*.json
source "$top/scripts/demo-background.sh"
trap demo_stop EXIT
port=$(demo_free_port)
base=http://127.0.0.1:$port
load_before=$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)
echo "bench: load: the demo on $base (log: $BENCH_OUT/load-demo.log)"
AD_BUILD=$AD_BUILD demo_start "$demo_dir" "$port" "$BENCH_OUT/load-demo.log"

# No virus scan; a count limit one above the lists' length, so that a post
# whose removal was lost is refused (and counted as failed).
printf '\n# Added by bench/load.sh\nLevel0.Privileges = 0\nAttachCountLimit = %s\n' \
  $((load_listed + 1)) >>"$root/etc/site.conf"
ln -s "$minimal_cgi" "$demo_dir/cgi-bin/minimal_cgi"

windows=$(seq -s, 5001 $((5000 + load_window_count)))
upload() { # PATH OUTPUT options...
  local path=$1 output=$2; shift 2
  python3 "$BENCH_DIR/load_upload.py" --base "$base" --path "$path" --windows "$windows" \
    --concurrency "$load_upload_concurrency" "$@" >"$output" ||
    bench_fail "load_upload.py failed for $path"
}
list_pages() { # PATH OUTPUT
  LOAD_PATH=$1 LOAD_WINDOWS=$windows LOAD_AUTH=$(printf alice:alice | base64) \
    wrk -t 2 -c "$load_connections" -d "${load_seconds}s" --timeout 10s \
    -s "$BENCH_DIR/load_list.lua" "$base" >"$2.log" 2>&1 ||
    { cat "$2.log" >&2; bench_fail "wrk failed for $1"; }
  grep '^{' "$2.log" >"$2" || { cat "$2.log" >&2; bench_fail "wrk printed no figures for $1"; }
}

# The windows' lists, filled one request at a time (not timed); the first
# pages must list every file.
upload /cgi-bin/attachdesk "$BENCH_OUT/load.fill.json" \
  --count $((load_window_count * load_listed)) --concurrency 1 --check-page
page=$(curl -fsS -u alice:alice "$base/cgi-bin/attachdesk?atid=5001") ||
  bench_fail "the list page of window 5001 did not answer"
[ "$(grep -c '<option value=' <<<"$page")" -eq "$load_listed" ] ||
  bench_fail "the list page of window 5001 does not list $load_listed files"

upload /cgi-bin/attachdesk "$BENCH_OUT/load.upload.attachdesk.json" \
  --count "$load_uploads" --first 100000 --remove --check-page
upload /cgi-bin/minimal_cgi "$BENCH_OUT/load.upload.minimal_cgi.json" \
  --count "$load_uploads" --first 100000 --remove
list_pages /cgi-bin/attachdesk "$BENCH_OUT/load.list.attachdesk.json"
list_pages /cgi-bin/minimal_cgi "$BENCH_OUT/load.list.minimal_cgi.json"

python3 - "$root/tmp" "$windows" "$load_listed" "$load_before" "$BENCH_OUT" \
  "$load_uploads" "$load_upload_concurrency" "$load_connections" "$load_seconds" \
  >"$txt" <<'PY'
import json, os, sys
tmp, windows, listed, load, out = sys.argv[1], sys.argv[2].split(","), int(sys.argv[3]), sys.argv[4], sys.argv[5]
uploads, concurrency, connections, seconds = sys.argv[6:10]
sys.path.insert(0, os.environ["BENCH_DIR"])
from bench_report import busy_note

def figures(kind, program):
    return json.load(open(os.path.join(out, f"load.{kind}.{program}.json")))

problems = []
print("benchmark: load")
print(f"cores: {os.cpu_count()}  load average before: {load}")
for kind, title in (("upload", f"uploads: {uploads} posts, {concurrency} at once, {len(windows)} windows"),
                    ("list", f"list pages: wrk, {connections} connections, {seconds} s")):
    print(title)
    got = {p: figures(kind, p) for p in ("attachdesk", "minimal_cgi")}
    for program, f in got.items():
        print(f"  {program:<11} {f['per_second']:8.1f} requests/s  p50 {f['p50_ms']:7.2f} ms  "
              f"p99 {f['p99_ms']:7.2f} ms  max {f['max_ms']:7.2f} ms  "
              f"{f['requests']} requests, {f['failed']} failed")
        if f["failed"]:
            problems.append(f"{kind} {program}: {f['failed']} failed "
                            + "; ".join(f.get("failures", [])))
        if f["requests"] == 0:
            problems.append(f"{kind} {program}: no request was answered")
    a, m = got["attachdesk"], got["minimal_cgi"]
    if m["per_second"] and a["p99_ms"] and m["p99_ms"]:
        print(f"  attachdesk/minimal_cgi: requests/s {a['per_second'] / m['per_second']:.2f}, "
              f"p99 {a['p99_ms'] / m['p99_ms']:.2f}")

# Every list whole, every listed file there with its size, nothing else left.
names = set(os.listdir(tmp))
expected = set()
entries = 0
for w in windows:
    list_name = f"alice_{w}_Attach.dat"
    path = os.path.join(tmp, list_name)
    expected |= {list_name, list_name + ".lock"}
    try:
        data = open(path, "rb").read()
    except OSError as e:
        problems.append(f"window {w}: list missing ({e})")
        continue
    if data and not data.endswith(b"\n"):
        problems.append(f"window {w}: list does not end with a whole line")
    lines = data.decode("utf-8", "replace").splitlines()
    if len(lines) != listed:
        problems.append(f"window {w}: {len(lines)} entries, not {listed}")
    for line in lines:
        fields = line.split(";")
        if len(fields) != 6 or not fields[5].isdigit() or not fields[3].startswith(f"load-{w}-"):
            problems.append(f"window {w}: malformed line {line[:120]!r}")
            continue
        stored = fields[4]
        entries += 1
        if os.path.dirname(stored) != tmp:
            problems.append(f"window {w}: {stored} is not in tmp/")
        elif not os.path.isfile(stored):
            problems.append(f"window {w}: listed file {stored} is missing")
        elif os.path.getsize(stored) != int(fields[5]):
            problems.append(f"window {w}: {stored} has {os.path.getsize(stored)} bytes, "
                            f"listed {fields[5]}")
        expected.add(os.path.basename(stored))
stray = sorted(names - expected)
if stray:
    problems.append(f"{len(stray)} files in tmp/ that no list names: {', '.join(stray[:5])}")
print(f"lists: {len(windows)} windows, {entries} entries checked, "
      f"{len(names)} files in tmp/")
for p in problems:
    print(f"problem: {p}")
print(f"no failed requests, every list whole: {'PASS' if not problems else 'FAIL'}")
busy_note(load)
PY
cat "$txt"
grep -q ' PASS$' "$txt"
