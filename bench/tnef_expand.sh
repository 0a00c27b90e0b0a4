# Benchmark: the whole-process cost of expanding a TNEF part (sourced by
# run.sh). A 10 MB TNEF stream holding 50 files (random bytes, names with
# listed extensions) is the one part of a message; `attachtool mime --options
# 7ef` parses it, expands it into 50 file parts, types and names them, and
# hashes and lists every part. It is timed against Debian's `tnef` extracting
# the same stream into an empty folder (`tnef -C DIR`; the folder is emptied
# before every run, outside the timing, with hyperfine --prepare: overwriting
# the files of the run before would make tnef wait for the disk). Target: attachtool
# is no slower (ratio of the means at most 1). The same stream base64-encoded
# in the message, as mail carries it, is timed too and reported without a
# target.
#
# Before timing, both programs must find the same 50 files: attachtool's
# listing holds the size and hash of each file `tnef` wrote. The rounds work
# as in bench_compare (hyperfine --shell=none, env -i, alternating order), with
# a tenth of BENCH_RUNS (at least 10): each run moves 10 MB.

tnef_expand_target=1.0

attachtool=$(bench_program attachtool)
tnef=$(command -v tnef) || bench_fail "tnef is not installed (./dev bench installs it)"

root=$(mktemp -d "${TMPDIR:-/tmp}/bench-tnef.XXXXXX")
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/httpd/conf" "$root/out"
cp "$top/conf/mime.types" "$top/conf/magic" "$root/httpd/conf/"

python3 - "$root" <<'PY' || bench_fail "could not write the stream"
import base64, os, struct, sys
root = sys.argv[1]
def attr(level, tag, value):
    return (bytes([level]) + struct.pack("<II", tag, len(value)) + value +
            struct.pack("<H", sum(value) & 0xffff))
def string8(prop, text):
    value = text + b"\0"
    return (struct.pack("<HHII", 0x1e, prop, 1, len(value)) + value +
            bytes((4 - len(value) % 4) % 4))
parts = [struct.pack("<IH", 0x223e9f78, 1),
         attr(1, 0x00089006, struct.pack("<I", 0x10000)),
         attr(1, 0x00069007, struct.pack("<II", 1252, 0))]
extensions = [b"pdf", b"txt", b"png", b"doc", b"xls", b"zip", b"jpg", b"html"]
size = 10 * 1024 * 1024 // 50
for i in range(50):
    name = b"file%02d.%s" % (i, extensions[i % len(extensions)])
    props = struct.pack("<I", 2) + string8(0x3707, name) + string8(0x3001, name)
    parts += [attr(2, 0x00069002, bytes(14)), attr(2, 0x00018010, name + b"\0"),
              attr(2, 0x0006800f, os.urandom(size)), attr(2, 0x00069005, props)]
stream = b"".join(parts)
open(f"{root}/stream.tnef", "wb").write(stream)
open(f"{root}/binary.eml", "wb").write(b"Content-Type: application/ms-tnef\n\n" + stream)
open(f"{root}/base64.eml", "wb").write(
    b"Content-Type: application/ms-tnef\nContent-Transfer-Encoding: base64\n\n" +
    base64.encodebytes(stream))
PY

tool_env=(PATH="$PATH" WEBMAIL_ROOT="$root")
env -i "${tool_env[@]}" "$tnef" -C "$root/out" "$root/stream.tnef" ||
  bench_fail "tnef could not extract the stream"
for message in binary base64; do
  env -i "${tool_env[@]}" "$attachtool" mime --options 7ef "$root/$message.eml" \
    >"$root/$message.list" || bench_fail "attachtool mime failed on the $message message"
  python3 - "$root/out" "$root/$message.list" <<'PY' || bench_fail "attachtool and tnef disagree ($message)"
import os, sys
folder, listing = sys.argv[1], sys.argv[2]
def fnv(data):
    h = 0xcbf29ce484222325
    for b in data:
        h = ((h ^ b) * 0x100000001b3) & 0xffffffffffffffff
    return "%016x" % h
ours = {}
for line in open(listing):
    f = line.rstrip("\n").split("\t")
    if len(f) == 11 and f[5] != "-" and f[3] == "0":
        ours[f[5]] = (int(f[9]), f[10])
theirs = {}
for name in os.listdir(folder):
    data = open(os.path.join(folder, name), "rb").read()
    theirs[name] = (len(data), fnv(data))
if ours != theirs:
    sys.exit(f"{len(ours)} files listed, {len(theirs)} extracted, or their bytes differ")
PY
done
echo "bench: attachtool lists the 50 files tnef extracts, with the same bytes"

txt=$BENCH_OUT/tnef_expand.txt
rm -f "$txt" "$BENCH_OUT"/tnef_expand.*.json
load=$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)
runs=$((BENCH_RUNS / 10 > 10 ? BENCH_RUNS / 10 : 10))
theirs=(--command-name "tnef" "$(printf '%q -C %q %q' "$tnef" "$root/out" "$root/stream.tnef")")
empty_out=$(printf 'find %q -mindepth 1 -delete' "$root/out")
jsons=()
for message in binary base64; do
  ours=(--command-name "attachtool $message"
        "$(printf '%q mime --options 7ef %q' "$attachtool" "$root/$message.eml")")
  for round in $(seq 1 "$BENCH_ROUNDS"); do
    json=$BENCH_OUT/tnef_expand.$message.$round.json
    if [ $((round % 2)) -eq 1 ]; then order=("${ours[@]}" "${theirs[@]}"); else order=("${theirs[@]}" "${ours[@]}"); fi
    env -i "${tool_env[@]}" hyperfine --shell=none --style basic --output=null \
      --warmup "$((BENCH_WARMUP < 3 ? BENCH_WARMUP : 3))" --runs "$runs" --export-json "$json" \
      --prepare "$empty_out" \
      "${order[@]}" >&2 || bench_fail "hyperfine failed for tnef_expand ($message)"
    jsons+=("$json")
  done
done

python3 - "$tnef_expand_target" "$load" "${jsons[@]}" >"$txt" <<'PY'
import json, os, statistics, sys
sys.path.insert(0, os.environ["BENCH_DIR"])
from bench_report import busy_note, ms
target, load = float(sys.argv[1]), sys.argv[2]
times, cpu = {}, {}
for path in sys.argv[3:]:
    message = "binary" if ".binary." in path else "base64"
    for r in json.load(open(path))["results"]:
        key = (message, r["command"].split()[0])
        times.setdefault(key, []).extend(r["times"])
        cpu.setdefault(key, []).append((r["user"], r["system"]))
print("benchmark: tnef_expand (attachtool mime expanding a 10 MB TNEF part of 50 files "
      "vs tnef extracting the stream into a folder)")
print(f"cores: {os.cpu_count()}  load average before: {load}")
passed = True
for message in ("binary", "base64"):
    stats = {}
    for program in ("attachtool", "tnef"):
        runs = times[(message, program)]
        stats[program] = (statistics.fmean(runs), statistics.median(runs), min(runs))
        user = statistics.fmean(u for u, _ in cpu[(message, program)])
        system = statistics.fmean(s for _, s in cpu[(message, program)])
        print(f"{message} {program}: mean {ms(stats[program][0])} +- {ms(statistics.stdev(runs))}, "
              f"median {ms(stats[program][1])}, min {ms(stats[program][2])}, runs {len(runs)}; "
              f"own CPU user {ms(user)} system {ms(system)}")
    ratio = stats["attachtool"][0] / stats["tnef"][0]
    checked = message == "binary"
    ok = ratio <= target
    if checked:
        passed = passed and ok
    verdict = (f"(target <= {target:g}) {'PASS' if ok else 'FAIL'}" if checked else "(no target)")
    print(f"{message} ratio of means attachtool/tnef: {ratio:.2f} {verdict}; "
          f"of medians {stats['attachtool'][1] / stats['tnef'][1]:.2f}, "
          f"of minimums {stats['attachtool'][2] / stats['tnef'][2]:.2f}")
busy_note(load)
print(f"verdict: {'PASS' if passed else 'FAIL'}")
PY
cat "$txt"
grep -q '^verdict: PASS$' "$txt"
