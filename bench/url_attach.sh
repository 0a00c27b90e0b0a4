# Benchmark: attaching a 20 MB file by URL (sourced by run.sh).
# attachdesk answers a POST with "newfile2=http://127.0.0.1:PORT/big.bin": it
# loads libcurl, fetches the file from a local web server (python3 -m
# http.server), reads it for its content type, lists it and prints the page.
# The floor is `curl -s -o FILE URL` fetching the same URL in the same run.
# The target is that the whole attach costs at most 1.2 times the download.
#
# Each attach stores a new file and lengthens the window's list, so a prepare
# step (not timed) empties the root's tmp before every run, of both commands.
# Both commands run through hyperfine's shell (attachdesk needs its request
# body on standard input); hyperfine subtracts the shell's own start-up.
#
# Environment, besides run.sh's: URL_ATTACH_RUNS timed runs per command and
# round (default 30), URL_ATTACH_WARMUP (default 3); rounds are BENCH_ROUNDS.

url_attach_target=1.2
url_attach_bytes=$((20 * 1024 * 1024))
url_attach_runs=${URL_ATTACH_RUNS:-30}
url_attach_warmup=${URL_ATTACH_WARMUP:-3}

attachdesk=$(bench_program attachdesk)
attachtool=$(bench_program attachtool)
curl_program=$(command -v curl) || bench_fail "curl is not installed (apt-get install curl)"

work=$(mktemp -d "${TMPDIR:-/tmp}/bench-url-attach.XXXXXX")
server_pid=
url_attach_cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap url_attach_cleanup EXIT

# The installation root: one user whose level may attach 100 MiB, fetches of
# local addresses allowed, the shipped templates, type list and magic rules.
root=$work/root
mkdir -p "$root/etc" "$root/home/alice" "$root/httpd/template/en" "$root/httpd/conf" \
  "$root/tmp" "$root/log"
echo "alice:0:*" >"$root/etc/passwd"
printf 'FetchAllowPrivate = 1\nLevel0.AttachSizeKB = 102400\n' >"$root/etc/site.conf"
echo "charset = utf-8" >"$root/home/alice/.prefs"
cp -R "$top/templates/en/." "$root/httpd/template/en/"
cp "$top/conf/mime.types" "$top/conf/magic" "$root/httpd/conf/"
env -i PATH="$PATH" WEBMAIL_ROOT="$root" "$attachtool" compile-magic >/dev/null 2>&1 ||
  echo "bench: attachtool compile-magic failed; the magic rules are read as text" >&2

# The server, on a port the kernel picks; its request log tells how many
# downloads it served whole.
mkdir -p "$work/served"
head -c "$url_attach_bytes" /dev/urandom >"$work/served/big.bin"
(cd "$work/served" && exec python3 -u -m http.server 0 --bind 127.0.0.1 \
  >"$work/server.out" 2>"$work/server.log") &
server_pid=$!
port=
for _ in $(seq 1 100); do
  port=$(sed -n 's/.* port \([0-9][0-9]*\) .*/\1/p' "$work/server.out" | head -n 1)
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || bench_fail "the python3 http.server did not start"
url=http://127.0.0.1:$port/big.bin

boundary=----benchurlattach7d0a
{
  printf -- '--%s\r\nContent-Disposition: form-data; name="atid"\r\n\r\n1234\r\n' "$boundary"
  printf -- '--%s\r\nContent-Disposition: form-data; name="newfile2"\r\n\r\n%s\r\n' \
    "$boundary" "$url"
  printf -- '--%s--\r\n' "$boundary"
} >"$work/body"

bench_cgi_env "$root"
cgi_env=(
  REQUEST_METHOD=POST
  CONTENT_TYPE="multipart/form-data; boundary=$boundary"
  CONTENT_LENGTH="$(wc -c <"$work/body")"
  "${bench_cgi[@]}"
)

# Not timed: empties the window's files and the previous download.
cat >"$work/prepare" <<EOF
#!/bin/sh
rm -f "$root"/tmp/* "$work/curl.out"
EOF
chmod +x "$work/prepare"

attach_command="$(printf '%q' "$attachdesk") <$(printf '%q' "$work/body")"
curl_command="$(printf '%q' "$curl_program") -q -s -o $(printf '%q' "$work/curl.out") $url"

# One run of each, checked: the attach must list the file with its full size
# and store the exact bytes; the download must be the exact bytes.
check_attach() {
  "$work/prepare"
  env -i PATH="$PATH" "${cgi_env[@]}" sh -c "$attach_command" >"$work/page" 2>"$work/stderr" ||
    { sed -n '1,10p' "$work/stderr" >&2; bench_fail "attachdesk failed"; }
  if grep -qi '^Status:' "$work/page"; then
    sed -n '1,5p' "$work/page" >&2
    bench_fail "attachdesk answered with an error status"
  fi
  grep -qi '^Content-Type:' "$work/page" || bench_fail "attachdesk printed no page"
  grep -q ";big.bin;.*;$url_attach_bytes\$" "$root/tmp/alice_1234_Attach.dat" 2>/dev/null ||
    { cat "$root/log/error.log" 2>/dev/null >&2; bench_fail "the window does not list big.bin"; }
  local stored
  stored=$(ls "$root"/tmp/alice_1234_H_* 2>/dev/null | head -n 1)
  [ -n "$stored" ] && cmp -s "$stored" "$work/served/big.bin" ||
    bench_fail "attachdesk did not store the fetched bytes"
}
check_attach
env -i PATH="$PATH" sh -c "$curl_command" && cmp -s "$work/curl.out" "$work/served/big.bin" ||
  bench_fail "curl did not download the file"
echo "bench: attachdesk and curl each fetch $url_attach_bytes bytes from $url"

load=$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)
rm -f "$BENCH_OUT"/url_attach.*.json
jsons=()
for round in $(seq 1 "$BENCH_ROUNDS"); do
  json=$BENCH_OUT/url_attach.$round.json
  subject=(--command-name attachdesk "$attach_command")
  floor=(--command-name curl "$curl_command")
  if [ $((round % 2)) -eq 1 ]; then order=("${subject[@]}" "${floor[@]}")
  else order=("${floor[@]}" "${subject[@]}"); fi
  env -i PATH="$PATH" "${cgi_env[@]}" hyperfine --style basic --output=null \
    --prepare "$work/prepare" --warmup "$url_attach_warmup" --runs "$url_attach_runs" \
    --export-json "$json" "${order[@]}" >&2 || bench_fail "hyperfine failed for url_attach"
  jsons+=("$json")
done

# Every run must have fetched the whole file: the error log stays empty and
# the server answered each download (checks, warm-ups and timed runs) with 200.
verdict=0
if [ -s "$root/log/error.log" ]; then
  sed -n '1,5p' "$root/log/error.log" >&2
  echo "bench: some fetches failed; the runs were not alike" >&2
  verdict=1
fi
check_attach
expected=$((2 + 1 + 2 * BENCH_ROUNDS * (url_attach_warmup + url_attach_runs)))
served=$(grep -c '"GET /big.bin HTTP/1.1" 200' "$work/server.log" || true)
if [ "$served" -ne "$expected" ]; then
  echo "bench: the server answered $served downloads, not $expected" >&2
  verdict=1
fi

txt=$BENCH_OUT/url_attach.txt
python3 - "$url_attach_target" "$load" "${jsons[@]}" >"$txt" <<'PY' || verdict=1
import os, sys
target, load = float(sys.argv[1]), sys.argv[2]
sys.path.insert(0, os.environ["BENCH_DIR"])
from bench_report import busy_note, ms, pool_rounds, print_ratio, summarise
times, round_ratios = pool_rounds(sys.argv[3:], "attachdesk", "curl")
print("benchmark: url_attach (attach a 20 MiB file by URL from 127.0.0.1)")
print(f"cores: {os.cpu_count()}  load average before: {load}  rounds: {len(round_ratios)}")
summary = summarise(times)
verdict = "PASS" if print_ratio(summary, "attachdesk", "curl", target, round_ratios) else "FAIL"
busy_note(load)
sys.exit(0 if verdict == "PASS" else 1)
PY
cat "$txt"
exit $verdict
