# Benchmark: the whole-process cost of an upload (sourced by run.sh). A POST
# request carrying one 20 MiB file for window 1234, its multipart body read from
# a file on stdin, is timed against `cat` copying the same 20 MiB into a file:
# both read the bytes and write them to a new file on the same file system.
# Targets: attachdesk's mean at most 1.5 times cat's, and its peak memory at
# most 1.3 times the file plus 8 MiB (the body held once, with room to spare).
#
# Every attachdesk run stores a new copy and lists it, so before each timed run
# (outside the timing, hyperfine --prepare) the root's tmp/ is emptied, and
# cat's copy is removed. hyperfine runs both through sh (its default) and
# subtracts the time of starting the shell. The rounds take a tenth of
# BENCH_RUNS (at least 10) and at most 3 warm-up runs: each run moves 20 MiB.

upload_target=1.5
upload_mem_factor=1.3
upload_mem_extra_kb=$((8 * 1024))
upload_bytes=$((20 * 1024 * 1024))

attachdesk=$(bench_program attachdesk)
attachtool=$(bench_program attachtool)

root=$(mktemp -d "${TMPDIR:-/tmp}/bench-upload.XXXXXX")
trap 'rm -rf "$root"' EXIT

mkdir -p "$root/etc" "$root/home/alice" "$root/httpd/template/en" "$root/httpd/conf" "$root/log"
mkdir -m 0700 "$root/tmp"
echo "alice:0:*" >"$root/etc/passwd"
# Room for the file; no virus scan (its cost is clamd's, measured by virus_scan).
printf '%s\n' 'Level0.AttachSizeKB = 51200' 'Level0.Privileges = 0' >"$root/etc/site.conf"
echo "charset = utf-8" >"$root/home/alice/.prefs"
cp "$top/templates/en/attach.dat" "$root/httpd/template/en/attach.dat"
cp "$top/conf/mime.types" "$top/conf/magic" "$root/httpd/conf/"
WEBMAIL_ROOT=$root "$attachtool" compile-magic >/dev/null ||
  bench_fail "attachtool compile-magic failed"

# The file (random bytes, so no step can shortcut them) and the request body.
head -c "$upload_bytes" /dev/urandom >"$root/file.bin"
boundary=----benchUploadBoundary7d0a
python3 - "$root/file.bin" "$root/body.bin" "$boundary" <<'PY' || bench_fail "could not write the body"
import sys
data, body, boundary = sys.argv[1], sys.argv[2], sys.argv[3].encode()
with open(data, "rb") as f:
    payload = f.read()
with open(body, "wb") as out:
    out.write(b"--" + boundary + b"\r\nContent-Disposition: form-data; name=\"atid\"\r\n\r\n1234\r\n")
    out.write(b"--" + boundary + b"\r\nContent-Disposition: form-data; name=\"newfile\"; "
              b"filename=\"report.bin\"\r\nContent-Type: application/octet-stream\r\n\r\n")
    out.write(payload)
    out.write(b"\r\n--" + boundary + b"--\r\n")
PY
body_size=$(stat -c %s "$root/body.bin")

bench_cgi_env "$root"
cgi_env=(
  PATH="$PATH"
  REQUEST_METHOD=POST
  QUERY_STRING=
  CONTENT_TYPE="multipart/form-data; boundary=$boundary"
  CONTENT_LENGTH="$body_size"
  "${bench_cgi[@]}"
)

clean_tmp() { find "$root/tmp" -mindepth 1 -delete; }

# One request must store the file whole and list it, and answer a page: an
# error answer or a refused file would make the timing meaningless.
status=0
env -i "${cgi_env[@]}" "$attachdesk" <"$root/body.bin" >"$BENCH_OUT/last_page.txt" \
  2>"$BENCH_OUT/last_stderr.txt" || status=$?
if [ $status -ne 0 ] || ! grep -qi '^Content-Type: text/html' "$BENCH_OUT/last_page.txt" ||
  grep -qi '^Status:' "$BENCH_OUT/last_page.txt"; then
  sed -n '1,10p' "$BENCH_OUT/last_page.txt" "$BENCH_OUT/last_stderr.txt" >&2
  bench_fail "attachdesk did not answer the upload with a page (status $status)"
fi
stored=$(find "$root/tmp" -name 'alice_1234_A_*_0' -type f)
[ -n "$stored" ] && cmp -s "$stored" "$root/file.bin" ||
  bench_fail "attachdesk did not store the uploaded file whole"
grep -q ";report.bin;$stored;$upload_bytes\$" "$root/tmp/alice_1234_Attach.dat" ||
  bench_fail "attachdesk did not list the uploaded file"
rm -f "$BENCH_OUT/last_page.txt" "$BENCH_OUT/last_stderr.txt"
clean_tmp
echo "bench: attachdesk stores and lists the 20 MiB upload"

# Peak memory: the largest resident set of one process, in KiB, from GNU
# time (a small parent, so the child's figure is its own).
gnu_time=/usr/bin/time
[ -x "$gnu_time" ] && "$gnu_time" -f %M true >/dev/null 2>&1 ||
  bench_fail "GNU time is needed for the memory figure (Debian package time)"
upload_peak=0
for _ in 1 2 3; do
  env -i "${cgi_env[@]}" "$gnu_time" -o "$root/peak" -f %M "$attachdesk" \
    <"$root/body.bin" >/dev/null || bench_fail "attachdesk failed while its memory was measured"
  kb=$(<"$root/peak")
  [ "$kb" -gt "$upload_peak" ] && upload_peak=$kb
  clean_tmp
done
"$gnu_time" -o "$root/peak" -f %M cat "$root/file.bin" >"$root/copy.bin" || bench_fail "cat failed"
cat_peak=$(<"$root/peak")
rm -f "$root/copy.bin"

txt=$BENCH_OUT/upload.txt
rm -f "$txt"
a=(--command-name attachdesk --prepare "find $(printf '%q' "$root/tmp") -mindepth 1 -delete"
   "$(printf 'exec %q <%q' "$attachdesk" "$root/body.bin")")
b=(--command-name cat --prepare "rm -f $(printf '%q' "$root/copy.bin")"
   "$(printf 'exec cat %q >%q' "$root/file.bin" "$root/copy.bin")")
bench_shell_rounds upload cgi_env -- "${a[@]}" -- "${b[@]}"
clean_tmp
rm -f "$root/copy.bin"

python3 - "$upload_target" "$bench_load" "$upload_bytes" "$body_size" "$upload_peak" "$cat_peak" \
  "$upload_mem_factor" "$upload_mem_extra_kb" "${bench_jsons[@]}" >"$txt" <<'PY'
import json, os, statistics, sys
target, load = float(sys.argv[1]), sys.argv[2]
size, body_size, peak, cat_peak = (int(x) for x in sys.argv[3:7])
mem_factor, mem_extra_kb = float(sys.argv[7]), int(sys.argv[8])
times, cpu, rounds = {}, {}, []
for path in sys.argv[9:]:
    results = {r["command"]: r for r in json.load(open(path))["results"]}
    for name, r in results.items():
        times.setdefault(name, []).extend(r["times"])
        cpu.setdefault(name, []).append((r["user"], r["system"]))
    rounds.append(results["attachdesk"]["mean"] / results["cat"]["mean"])
def ms(s):
    return f"{s * 1000:.3f} ms"
print(f"benchmark: upload (POST of one {size // (1024 * 1024)} MiB file, body {body_size} bytes "
      f"on stdin, against cat copying the file)")
print(f"cores: {os.cpu_count()}  load average before: {load}  rounds: {len(rounds)}")
stats = {}
for name in ("attachdesk", "cat"):
    runs = times[name]
    stats[name] = (statistics.fmean(runs), statistics.median(runs), min(runs))
    user = statistics.fmean(u for u, _ in cpu[name])
    system = statistics.fmean(s for _, s in cpu[name])
    print(f"{name}: mean {ms(stats[name][0])} +- {ms(statistics.stdev(runs))}, "
          f"median {ms(stats[name][1])}, min {ms(stats[name][2])}, runs {len(runs)}; "
          f"CPU user {ms(user)} system {ms(system)}")
ratio = stats["attachdesk"][0] / stats["cat"][0]
time_ok = ratio <= target
print(f"ratio of means attachdesk/cat: {ratio:.2f} (target <= {target:g}) "
      f"{'PASS' if time_ok else 'FAIL'}")
print(f"ratio of medians: {stats['attachdesk'][1] / stats['cat'][1]:.2f}  "
      f"of minimums: {stats['attachdesk'][2] / stats['cat'][2]:.2f}  "
      f"of means per round: {' '.join(f'{r:.2f}' for r in rounds)}")
limit_kb = mem_factor * size / 1024 + mem_extra_kb
mem_ok = peak <= limit_kb
print(f"peak memory attachdesk: {peak} KiB (limit {mem_factor:g} x {size // 1024} KiB + "
      f"{mem_extra_kb} KiB = {limit_kb:.0f} KiB) {'PASS' if mem_ok else 'FAIL'}; cat: {cat_peak} KiB")
print(f"verdict: {'PASS' if time_ok and mem_ok else 'FAIL'}")
PY
cat "$txt"
grep -q '^verdict: PASS$' "$txt"
