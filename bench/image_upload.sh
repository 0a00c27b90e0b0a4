# Benchmark: storing a 2 MiB image by upload on the inline image page
# ("atid=img1234"), whole process, against attachdesk's attachment upload of
# the same bytes ("atid=1234567", a body of the same length) in the same run
# (sourced by run.sh). Both read the multipart body from a file on stdin,
# check the file and store it; the image page types it by its bytes and puts
# it in the hashed store, the attachment window lists it.
# Target: the image page's mean at most 1.2 times the attachment upload's.
#
# Before each timed run (hyperfine --prepare, not timed) the root's tmp/ and
# hashed store are emptied. hyperfine runs both through sh and subtracts the
# shell's start; the rounds take a tenth of BENCH_RUNS (at least 10).

image_target=1.2
image_bytes=$((2 * 1024 * 1024))

attachdesk=$(bench_program attachdesk)
attachtool=$(bench_program attachtool)

root=$(mktemp -d "${TMPDIR:-/tmp}/bench-image.XXXXXX")
trap 'rm -rf "$root"' EXIT

mkdir -p "$root/etc" "$root/home/alice" "$root/httpd/template/en" "$root/httpd/conf" \
  "$root/httpd/html/hashed_store" "$root/log"
mkdir -m 0700 "$root/tmp"
echo "alice:0:*" >"$root/etc/passwd"
# Room for the file; no virus scan (its cost is clamd's, measured by virus_scan).
printf '%s\n' 'Level0.AttachSizeKB = 51200' 'Level0.Privileges = 0' >"$root/etc/site.conf"
echo "charset = utf-8" >"$root/home/alice/.prefs"
cp "$top/templates/en/attach.dat" "$top/templates/en/imageadd.dat" "$root/httpd/template/en/"
cp "$top/conf/mime.types" "$top/conf/magic" "$root/httpd/conf/"
WEBMAIL_ROOT=$root "$attachtool" compile-magic >/dev/null ||
  bench_fail "attachtool compile-magic failed"

# A PNG signature and header, then random bytes (no step can shortcut them).
boundary=----benchImageBoundary7d0a
python3 - "$root" "$boundary" "$image_bytes" <<'PY' || bench_fail "could not write the bodies"
import os, struct, sys, zlib
root, boundary, size = sys.argv[1], sys.argv[2].encode(), int(sys.argv[3])
ihdr = struct.pack(">IIBBBBB", 640, 480, 8, 2, 0, 0, 0)
head = b"\x89PNG\r\n\x1a\n" + struct.pack(">I", 13) + b"IHDR" + ihdr + struct.pack(">I", zlib.crc32(b"IHDR" + ihdr))
payload = head + os.urandom(size - len(head))
open(os.path.join(root, "photo.png"), "wb").write(payload)
for name, atid in (("image", b"img1234"), ("attach", b"1234567")):
    with open(os.path.join(root, name + ".body"), "wb") as out:
        out.write(b"--" + boundary + b"\r\nContent-Disposition: form-data; name=\"atid\"\r\n\r\n" + atid + b"\r\n")
        out.write(b"--" + boundary + b"\r\nContent-Disposition: form-data; name=\"newfile\"; "
                  b"filename=\"photo.png\"\r\nContent-Type: image/png\r\n\r\n")
        out.write(payload)
        out.write(b"\r\n--" + boundary + b"--\r\n")
PY
body_size=$(stat -c %s "$root/image.body")
[ "$body_size" -eq "$(stat -c %s "$root/attach.body")" ] || bench_fail "the bodies differ in length"

bench_cgi_env "$root"
cgi_env=(
  PATH="$PATH"
  REQUEST_METHOD=POST
  QUERY_STRING=
  CONTENT_TYPE="multipart/form-data; boundary=$boundary"
  CONTENT_LENGTH="$body_size"
  "${bench_cgi[@]}"
)

clean() { find "$root/tmp" "$root/httpd/html/hashed_store" -mindepth 1 -delete; }

# Each program must store the file whole and answer its page showing it: the
# image ready to insert, the file in the list.
shown_image='id=ready'
shown_attach='photo.png,&nbsp;'
for body in image attach; do
  shown=shown_$body
  status=0
  env -i "${cgi_env[@]}" "$attachdesk" <"$root/$body.body" >"$BENCH_OUT/last_page.txt" \
    2>"$BENCH_OUT/last_stderr.txt" || status=$?
  if ! grep -qi '^Content-Type: text/html' "$BENCH_OUT/last_page.txt" ||
    grep -qi '^Status:' "$BENCH_OUT/last_page.txt" || ! grep -q "${!shown}" "$BENCH_OUT/last_page.txt"; then
    sed -n '1,12p' "$BENCH_OUT/last_page.txt" "$BENCH_OUT/last_stderr.txt" >&2
    bench_fail "attachdesk did not take the $body upload (status $status)"
  fi
  stored=$(find "$root/tmp" "$root/httpd/html/hashed_store" -type f -size +1M)
  [ -n "$stored" ] && cmp -s "$stored" "$root/photo.png" ||
    bench_fail "attachdesk did not store the $body upload whole"
  clean
done
rm -f "$BENCH_OUT/last_page.txt" "$BENCH_OUT/last_stderr.txt"
echo "bench: the image page and the attachment window store the 2 MiB upload"

txt=$BENCH_OUT/image_upload.txt
rm -f "$txt"
prepare="find $(printf '%q %q' "$root/tmp" "$root/httpd/html/hashed_store") -mindepth 1 -delete"
# The image page's process ends with status 1 (its handler returns to the
# entry), the attachment window's with 0: each command checks its own status,
# the same shell step on both sides.
a=(--command-name image --prepare "$prepare" "$(printf '%q <%q; [ $? -eq 1 ]' "$attachdesk" "$root/image.body")")
b=(--command-name attach --prepare "$prepare" "$(printf '%q <%q; [ $? -eq 0 ]' "$attachdesk" "$root/attach.body")")
bench_shell_rounds image_upload cgi_env -- "${a[@]}" -- "${b[@]}"
clean

python3 - "$image_target" "$bench_load" "$image_bytes" "${bench_jsons[@]}" >"$txt" <<'PY'
import json, os, sys
target, load, size = float(sys.argv[1]), sys.argv[2], int(sys.argv[3])
times, rounds = {"image": [], "attach": []}, []
for path in sys.argv[4:]:
    results = {r["command"]: r for r in json.load(open(path))["results"]}
    for name in times:
        times[name].extend(results[name]["times"])
    rounds.append(results["image"]["mean"] / results["attach"]["mean"])
sys.path.insert(0, os.environ["BENCH_DIR"])
from bench_report import busy_note, print_ratio, summarise
print(f"benchmark: image_upload (a {size // (1024 * 1024)} MiB PNG uploaded on the image page, "
      f"against the attachment window's upload of the same bytes)")
print(f"cores: {os.cpu_count()}  load average before: {load}  rounds: {len(rounds)}")
summary = summarise(times)
print_ratio(summary, "image", "attach", target, rounds)
busy_note(load)
PY
cat "$txt"
grep -q ' PASS$' "$txt"
