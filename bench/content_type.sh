# Benchmark: the whole-process cost of a content-type guess from the bytes
# (sourced by run.sh). `attachtool type` on one file whose extension is not in
# the type list, so the process loads the type list, loads the magic rules and
# runs them, timed beside `file --mime-type` on the same file (the system's own
# compiled rules):
#   compiled  the root holds httpd/conf/magic.mgc (`attachtool compile-magic`)
#   text      the root holds only the text rules, parsed at every start
# Target: with the compiled rules, at most the time of `file --mime-type`
# (ratio of the means <= 1.0). The text figures are reported, with no target.
#
# Each mode is its own series of hyperfine calls (the root is chosen through
# WEBMAIL_ROOT, which must not cost the timed command an extra program), and
# the order of the two commands alternates between rounds as in bench_compare.

content_type_target=1.0

attachtool=$(bench_program attachtool)
file_program=$(command -v file) || bench_fail "file is not installed (./dev bench installs it)"

work=$(mktemp -d "${TMPDIR:-/tmp}/bench-content-type.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The site's rules, or a stand-in of the same kind while conf/magic is missing.
rules=$top/conf/magic
if [ ! -f "$rules" ]; then
  echo "bench: $rules is missing; using a stand-in of 30 rules" >&2
  rules=$work/magic
  cat >"$rules" <<'EOF'
0	string	%PDF-			application/pdf
0	string	\x89PNG\r\n\x1a\n	image/png
0	string	GIF87a			image/gif
0	string	GIF89a			image/gif
0	beshort	0xffd8			image/jpeg
0	string	BM			image/bmp
0	string	II*\0			image/tiff
0	string	MM\0*			image/tiff
0	string	RIFF
>8	string	WAVE			audio/x-wav
>8	string	AVI\x20			video/x-msvideo
>8	string	WEBP			image/webp
0	string	PK\003\004		application/zip
0	string	\037\213		application/gzip
0	string	BZh			application/x-bzip2
0	string	\3757zXZ\0		application/x-xz
0	string	7z\274\257\047\034	application/x-7z-compressed
0	string	Rar!\x1a\x07		application/vnd.rar
0	string	\320\317\021\340\241\261\032\341	application/msword
0	string	{\\rtf			application/rtf
0	string	ID3			audio/mpeg
0	string	OggS			audio/ogg
0	string	fLaC			audio/flac
4	string	ftyp			video/mp4
0	string	\x1aE\xdf\xa3		video/webm
0	string	\177ELF			application/x-executable
0	string	MZ			application/x-dosexec
0	string	BEGIN:VCARD		text/vcard
0	string	BEGIN:VCALENDAR		text/calendar
0	string/c	<!doctype\x20html	text/html
0	string	\x78\x9f\x3e\x22	application/vnd.ms-tnef
EOF
fi

for mode in compiled text; do
  mkdir -p "$work/$mode/httpd/conf"
  cp "$top/conf/mime.types" "$rules" "$work/$mode/httpd/conf/"
done
env -i PATH="$PATH" WEBMAIL_ROOT="$work/compiled" "$attachtool" compile-magic >/dev/null ||
  bench_fail "attachtool compile-magic failed"

# A small PDF under a name the type list does not know: every rule that comes
# before the PDF rule is tried.
sample=$work/sample.unlistedext
{
  printf '%%PDF-1.4\n%%\342\343\317\323\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n'
  head -c 4000 /dev/zero | tr '\0' 'x'
  printf '\n%%%%EOF\n'
} >"$sample"

# Both commands must answer, and agree, before anything is timed; a stale or
# broken rules file would show as a message on standard error.
expected=$(env -i PATH="$PATH" "$file_program" --mime-type -b "$sample")
for mode in compiled text; do
  answer=$(env -i PATH="$PATH" WEBMAIL_ROOT="$work/$mode" "$attachtool" type "$sample" \
    2>"$work/stderr.txt") || bench_fail "attachtool type failed ($mode rules)"
  [ ! -s "$work/stderr.txt" ] || { cat "$work/stderr.txt" >&2; bench_fail "attachtool complained ($mode rules)"; }
  [ "$answer" = "$sample"$'\t'"$expected" ] ||
    bench_fail "attachtool says \"${answer#*$'\t'}\", file says \"$expected\" ($mode rules)"
done
echo "bench: both answer $expected"

subject_command=$(printf '%q type %q' "$attachtool" "$sample")
floor_command=$(printf '%q --mime-type %q' "$file_program" "$sample")
load=$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)
rm -f "$BENCH_OUT"/content_type.*.json
jsons=()
for round in $(seq 1 "$BENCH_ROUNDS"); do
  for mode in compiled text; do
    subject=(--command-name "attachtool ($mode rules)" "$subject_command")
    floor=(--command-name "file --mime-type ($mode round)" "$floor_command")
    if [ $((round % 2)) -eq 1 ]; then order=("${subject[@]}" "${floor[@]}")
    else order=("${floor[@]}" "${subject[@]}"); fi
    json=$BENCH_OUT/content_type.$mode.$round.json
    env -i PATH="$PATH" WEBMAIL_ROOT="$work/$mode" hyperfine --shell=none --style basic \
      --output=null --warmup "$BENCH_WARMUP" --runs "$BENCH_RUNS" --export-json "$json" \
      "${order[@]}" >&2 || bench_fail "hyperfine failed for content_type ($mode rules)"
    jsons+=("$json")
  done
done

# CPU time of each process where perf works, as in bench_compare.
perf_line=""
if command -v perf >/dev/null; then
  perf_ms() { # ROOT COMMAND...: mean task-clock in ms, or nothing
    local root=$1; shift
    env -i PATH="$PATH" WEBMAIL_ROOT="$root" perf stat -o "$work/perf.csv" -x, \
      -r "$BENCH_PERF_RUNS" -e task-clock -- "$@" >/dev/null 2>&1 || return 0
    awk -F, '$3 == "task-clock" && $1 ~ /^[0-9.]+$/ { print $1 }' "$work/perf.csv"
  }
  compiled_ms=$(perf_ms "$work/compiled" "$attachtool" type "$sample")
  text_ms=$(perf_ms "$work/text" "$attachtool" type "$sample")
  file_ms=$(perf_ms "$work/text" "$file_program" --mime-type "$sample")
  if [ -n "$compiled_ms" ] && [ -n "$text_ms" ] && [ -n "$file_ms" ]; then
    perf_line="perf stat, $BENCH_PERF_RUNS runs each: task-clock attachtool compiled"
    perf_line+=" $compiled_ms ms, text $text_ms ms, file --mime-type $file_ms ms"
  fi
fi

txt=$BENCH_OUT/content_type.txt
BENCH_PERF_LINE=$perf_line python3 - "$content_type_target" "$load" "${jsons[@]}" >"$txt" <<'PY'
import json, os, statistics, sys
target, load = float(sys.argv[1]), sys.argv[2]
modes = {"compiled": {"subject": [], "floor": [], "rounds": []},
         "text": {"subject": [], "floor": [], "rounds": []}}
for path in sys.argv[3:]:
    mode = "compiled" if ".compiled." in os.path.basename(path) else "text"
    results = json.load(open(path))["results"]
    subject = next(r for r in results if r["command"].startswith("attachtool"))
    floor = next(r for r in results if r["command"].startswith("file"))
    modes[mode]["subject"] += subject["times"]
    modes[mode]["floor"] += floor["times"]
    modes[mode]["rounds"].append(subject["mean"] / floor["mean"])
def ms(seconds):
    return f"{seconds * 1000:.3f} ms"
def line(name, runs):
    print(f"{name}: mean {ms(statistics.fmean(runs))} +- {ms(statistics.stdev(runs))}, "
          f"median {ms(statistics.median(runs))}, min {ms(min(runs))}, runs {len(runs)}")
print("benchmark: content_type")
print(f"cores: {os.cpu_count()}  load average before: {load}  "
      f"rounds: {len(modes['compiled']['rounds'])}")
verdict = "PASS"
for mode, m in modes.items():
    line(f"attachtool type ({mode} rules)", m["subject"])
    line(f"file --mime-type (beside the {mode} rules)", m["floor"])
    ratio = statistics.fmean(m["subject"]) / statistics.fmean(m["floor"])
    medians = statistics.median(m["subject"]) / statistics.median(m["floor"])
    mins = min(m["subject"]) / min(m["floor"])
    if mode == "compiled":
        ok = ratio <= target
        verdict = "PASS" if ok else "FAIL"
        goal = f"(target <= {target:g}) {'PASS' if ok else 'FAIL'}"
    else:
        goal = "(no target)"
    print(f"ratio of means attachtool ({mode} rules)/file: {ratio:.2f} {goal}")
    print(f"ratio of medians: {medians:.2f}  of minimums: {mins:.2f}  of means per round: "
          f"{' '.join(f'{r:.2f}' for r in m['rounds'])}")
perf = os.environ.get("BENCH_PERF_LINE", "")
if perf:
    print(perf)
sys.path.insert(0, os.environ["BENCH_DIR"])
from bench_report import busy_note
busy_note(load)
print(f"verdict: {verdict}")
PY
cat "$txt"
grep -q '^verdict: PASS$' "$txt"
