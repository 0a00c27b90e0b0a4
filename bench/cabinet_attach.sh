# Benchmark: attaching a file from the public document cabinet (sourced by
# run.sh). User u04242 of the group store of bench/group_store.py (10,000
# users in 1,000 groups) attaches one 1 MiB file from the site's public
# cabinet, whose .acl holds 10,000 records: the file has none of its own, its
# folder's record grants read to the members of group /T2 (u04242 is in
# /T2/S84) and names three groups besides. The same file uploaded by the same
# user in the same run is the peer: both store a copy and list it.
#   cabinet  GET  atid=1234&doc=1&dc_base=@&dir_path=/reports&name=file.bin
#   upload   POST of the file in "newfile", the multipart body on stdin
# Both run through the same `sh -c` wrapper, which sets the request's
# variables and standard input (hyperfine itself runs no shell), with tmp/
# emptied before each run (hyperfine --prepare, not timed), a tenth of
# BENCH_RUNS per round (at least 10) and at most 5 warm-up runs.
# Target: the cabinet's mean at most 1.5 times the upload's.

cabinet_target=1.5
cabinet_bytes=$((1024 * 1024))
cabinet_user=u04242

attachdesk=$(bench_program attachdesk)
attachtool=$(bench_program attachtool)

root=$(mktemp -d "${TMPDIR:-/tmp}/bench-cabinet.XXXXXX")
trap 'rm -rf "$root"' EXIT

python3 "$BENCH_DIR/group_store.py" "$root"
chmod 0700 "$root/tmp"
mkdir -p "$root/httpd/template/en" "$root/httpd/conf" "$root/public/dc/reports"
printf '%s\n' 'Level0.AttachSizeKB = 51200' 'Level0.Privileges = 0' 'Level0.Flags = 2' \
  >"$root/etc/site.conf"
cp "$top/templates/en/attach.dat" "$root/httpd/template/en/attach.dat"
cp "$top/conf/mime.types" "$top/conf/magic" "$root/httpd/conf/"
cp "$top/conf/dc_type.conf" "$root/etc/dc_type.conf"
WEBMAIL_ROOT=$root "$attachtool" compile-magic >/dev/null ||
  bench_fail "attachtool compile-magic failed"

head -c "$cabinet_bytes" /dev/urandom >"$root/public/dc/reports/file.bin"
boundary=----benchCabinetBoundary7d0a
python3 - "$root" "$boundary" <<'PY' || bench_fail "could not write the .acl or the body"
import struct, sys
root, boundary = sys.argv[1], sys.argv[2].encode()

def text(value, width):
    return value.encode().ljust(width, b"\0")

def entry(access_id, id_type, permission):
    return text(access_id, 64) + struct.pack("<hhi", id_type, 0, permission)

def record(name, owner, group, permission, entries):
    packed = b"".join(entries).ljust(720, b"\0")
    return (text(name, 256) + text(owner, 64) + text(group, 64) +
            struct.pack("<ihh", permission, 10, len(entries)) + packed)

# 10,000 records sorted by name: 9,999 folders of their own, and /reports,
# readable by the members of /T2 (group bits 4) and by three other groups.
records = {f"/f{k:05d}": record(f"/f{k:05d}", "u00001", "", 0x0700, []) for k in range(9999)}
records["/reports"] = record("/reports", "u00001", "/T2", 0x0740,
                             [entry("/T5", 4, 4), entry("/T7/S3", 4, 4), entry("/T9", 4, 4)])
with open(f"{root}/public/dc/.acl", "wb") as out:
    for name in sorted(records):
        out.write(records[name])

with open(f"{root}/public/dc/reports/file.bin", "rb") as f:
    payload = f.read()
with open(f"{root}/body.bin", "wb") as out:
    out.write(b"--" + boundary + b"\r\nContent-Disposition: form-data; name=\"atid\"\r\n\r\n1234\r\n")
    out.write(b"--" + boundary + b"\r\nContent-Disposition: form-data; name=\"newfile\"; "
              b"filename=\"file.bin\"\r\nContent-Type: application/octet-stream\r\n\r\n")
    out.write(payload)
    out.write(b"\r\n--" + boundary + b"--\r\n")
PY
body_size=$(stat -c %s "$root/body.bin")
[ "$(WEBMAIL_ROOT=$root "$attachtool" rights "$cabinet_user" @ /reports file.bin)" = 4 ] ||
  bench_fail "$cabinet_user may not read the file: the .acl or the group store is wrong"

bench_cgi_env "$root"
base_env=(PATH="$PATH" "${bench_cgi[@]/REMOTE_USER=alice/REMOTE_USER=$cabinet_user}")
doc_env=("${base_env[@]}" REQUEST_METHOD=GET
         QUERY_STRING="atid=1234&doc=1&dc_base=%40&dir_path=/reports&name=file.bin")
upload_env=("${base_env[@]}" REQUEST_METHOD=POST QUERY_STRING=
            CONTENT_TYPE="multipart/form-data; boundary=$boundary" CONTENT_LENGTH="$body_size")

clean_tmp() { find "$root/tmp" -mindepth 1 -delete; }

# Each request must store the file whole, list it and answer a page.
check_attach() { # label, env..., with stdin from $input
  local label=$1; shift
  local status=0
  env -i "$@" "$attachdesk" <"$input" >"$BENCH_OUT/last_page.txt" 2>"$BENCH_OUT/last_stderr.txt" ||
    status=$?
  if [ $status -ne 0 ] || ! grep -qi '^Content-Type: text/html' "$BENCH_OUT/last_page.txt" ||
    grep -qi '^Status:' "$BENCH_OUT/last_page.txt" ||
    grep -q 'class=error role=alert>' "$BENCH_OUT/last_page.txt"; then
    sed -n '1,10p' "$BENCH_OUT/last_stderr.txt" >&2
    grep 'role=alert>' "$BENCH_OUT/last_page.txt" | grep -v hidden >&2 || true
    bench_fail "the $label request did not attach the file (status $status)"
  fi
  local stored
  stored=$(find "$root/tmp" -name "${cabinet_user}_1234_A_*_0" -type f)
  [ -n "$stored" ] && cmp -s "$stored" "$root/public/dc/reports/file.bin" ||
    bench_fail "the $label request did not store the file whole"
  grep -q ";file.bin;$stored;$cabinet_bytes\$" "$root/tmp/${cabinet_user}_1234_Attach.dat" ||
    bench_fail "the $label request did not list the file"
  rm -f "$BENCH_OUT/last_page.txt" "$BENCH_OUT/last_stderr.txt"
  clean_tmp
}
input=/dev/null check_attach cabinet "${doc_env[@]}"
input=$root/body.bin check_attach upload "${upload_env[@]}"
echo "bench: both requests store and list the 1 MiB file"

# Both run without hyperfine's shell, each through the same small wrapper
# (sh sets the request's own variables and its standard input, then becomes
# attachdesk), so what they share costs both alike and nothing is estimated.
wrapper() { # stdin file, variables...
  local input=$1; shift
  local script="" w
  for w in "$@"; do script+="$(printf '%q' "$w") "; done
  script+="exec $(printf '%q' "$attachdesk") <$(printf '%q' "$input")"
  printf 'sh -c %q' "$script"
}
txt=$BENCH_OUT/cabinet_attach.txt
rm -f "$txt" "$BENCH_OUT"/cabinet_attach.*.json
load=$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)
runs=$((BENCH_RUNS / 10 > 10 ? BENCH_RUNS / 10 : 10))
warmup=$((BENCH_WARMUP < 5 ? BENCH_WARMUP : 5))
prepare="find $(printf '%q' "$root/tmp") -mindepth 1 -delete"
a=(--command-name cabinet --prepare "$prepare"
   "$(wrapper /dev/null REQUEST_METHOD=GET "QUERY_STRING=${doc_env[-1]#QUERY_STRING=}")")
b=(--command-name upload --prepare "$prepare"
   "$(wrapper "$root/body.bin" REQUEST_METHOD=POST QUERY_STRING= \
      "CONTENT_TYPE=multipart/form-data; boundary=$boundary" "CONTENT_LENGTH=$body_size")")
jsons=()
for round in $(seq 1 "$BENCH_ROUNDS"); do
  json=$BENCH_OUT/cabinet_attach.$round.json
  if [ $((round % 2)) -eq 1 ]; then order=("${a[@]}" "${b[@]}"); else order=("${b[@]}" "${a[@]}"); fi
  env -i "${base_env[@]}" hyperfine --shell=none --style basic --output=null --warmup "$warmup" \
    --runs "$runs" --export-json "$json" "${order[@]}" >&2 ||
    bench_fail "hyperfine failed for cabinet_attach"
  jsons+=("$json")
done
clean_tmp

python3 - "$cabinet_target" "$load" "$cabinet_bytes" "${jsons[@]}" >"$txt" <<'PY'
import json, os, sys
target, load, size = float(sys.argv[1]), sys.argv[2], int(sys.argv[3])
times, rounds = {}, []
for path in sys.argv[4:]:
    results = {r["command"]: r for r in json.load(open(path))["results"]}
    for name, r in results.items():
        times.setdefault(name, []).extend(r["times"])
    rounds.append(results["cabinet"]["mean"] / results["upload"]["mean"])
sys.path.insert(0, os.environ["BENCH_DIR"])
from bench_report import busy_note, print_ratio, summarise
print(f"benchmark: cabinet_attach (a {size // 1024} KiB file from the public cabinet, .acl of "
      f"10,000 records, group store of 10,000 users, against uploading the same file)")
print(f"cores: {os.cpu_count()}  load average before: {load}  rounds: {len(rounds)}")
ok = print_ratio(summarise(times), "cabinet", "upload", target, rounds)
busy_note(load)
print(f"verdict: {'PASS' if ok else 'FAIL'}")
PY
cat "$txt"
grep -q '^verdict: PASS$' "$txt"
