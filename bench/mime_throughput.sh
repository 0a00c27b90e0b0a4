#!/usr/bin/env bash
# MIME parse-and-decode throughput: our parse with its decoding walk
# (build/bin/mime_driver) against GMime 3 doing the same work
# (build/bin/gmime_peer), over a generated corpus of more than 50 MB of mail:
# base64 attachments from 10 KB to 5 MB, quoted-printable texts and HTML,
# forwarded messages nested inside messages, some with CR LF line ends.
#
# Run by bench/run.sh (`./dev bench`), or on its own after a release build:
#   bench/mime_throughput.sh
# Targets: ours >= GMime, and ours >= 300 MB/s (MB = 10^6 bytes of message
# text, best of MIME_BENCH_ROUNDS rounds, default 5). Figures go to
# build/bench/mime_throughput.txt; the corpus is kept in
# build/bench/mime-corpus/ and made again only when its generator changes.
set -euo pipefail

mime_top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
AD_BUILD=${AD_BUILD:-$mime_top/build}
BENCH_OUT=${BENCH_OUT:-$AD_BUILD/bench}
MIME_BENCH_ROUNDS=${MIME_BENCH_ROUNDS:-5}
mkdir -p "$BENCH_OUT"
declare -F bench_fail >/dev/null || bench_fail() {
  echo "bench: $*" >&2
  exit 1
}

ours=$AD_BUILD/bin/mime_driver
peer=$AD_BUILD/bin/gmime_peer
[ -x "$ours" ] || bench_fail "$ours is missing (run ./dev build)"
[ -x "$peer" ] || bench_fail "$peer is missing: GMime 3 was not found when building" \
  "(./dev bench installs libgmime-3.0-dev; then run ./dev build again)"
command -v python3 >/dev/null || bench_fail "python3 is needed to generate the corpus"

corpus=$BENCH_OUT/mime-corpus
txt=$BENCH_OUT/mime_throughput.txt
rm -f "$txt"

# The corpus generator. Deterministic: the same bytes on every machine.
generator=$(cat <<'PY'
import os, quopri, random, sys

out = sys.argv[1]
target = 56 * 1000 * 1000
r = random.Random(20231008)
words = ("the of and report figures caf\u00e9 r\u00e9sum\u00e9 gr\u00f6\u00dfe na\u00efve "
         "meeting budget review attached please find below thanks regards schedule "
         "\u00fcber \u00e5r invoice quarter project plan draft final version").split()

def text(n):
    lines, line, size = [], [], 0
    while size < n:
        w = r.choice(words)
        line.append(w)
        size += len(w) + 1
        if len(line) >= r.randint(6, 14):
            lines.append(" ".join(line))
            line = []
    lines.append(" ".join(line))
    return ("\n".join(lines) + "\n").encode()

def qp(data):
    return quopri.encodestring(data)

def b64(data):
    import base64
    s = base64.b64encode(data)
    return b"\n".join(s[i:i + 76] for i in range(0, len(s), 76))

def attachment_size():
    # 10 KB to 5 MB, most of them small as in ordinary mail.
    return int(10_000 * 500 ** (r.random() ** 2))

kinds = [("application/pdf", "pdf"), ("image/png", "png"), ("image/jpeg", "jpg"),
         ("application/zip", "zip"), ("application/octet-stream", "bin")]

def attachment(boundary, i):
    ctype, ext = r.choice(kinds)
    name = f"file-{i:03d}.{ext}"
    body = b64(r.randbytes(attachment_size()))
    return (b"--" + boundary + b"\nContent-Type: " + ctype.encode() + b"; name=\"" +
            name.encode() + b"\"\nContent-Transfer-Encoding: base64\n"
            b"Content-Disposition: attachment; filename=\"" + name.encode() + b"\"\n\n" +
            body + b"\n")

def text_parts(boundary):
    plain = text(r.randint(2_000, 30_000))
    if r.random() < 0.5:
        return (b"--" + boundary + b"\nContent-Type: text/plain; charset=utf-8\n"
                b"Content-Transfer-Encoding: quoted-printable\n\n" + qp(plain) + b"\n")
    # No boundary may begin with another one of the same message (RFC 2046).
    inner = f"=_alt_{r.getrandbits(48):012x}".encode()
    html = b"<html><body><p>" + plain.replace(b"\n", b"</p>\n<p>") + b"</p></body></html>\n"
    return (b"--" + boundary + b"\nContent-Type: multipart/alternative; boundary=\"" +
            inner + b"\"\n\n--" + inner +
            b"\nContent-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: "
            b"quoted-printable\n\n" + qp(plain) + b"\n--" + inner +
            b"\nContent-Type: text/html; charset=utf-8\nContent-Transfer-Encoding: "
            b"quoted-printable\n\n" + qp(html) + b"\n--" + inner + b"--\n")

def message(n, depth=0):
    boundary = f"=_bench_{n:04d}_{depth}_{r.getrandbits(48):012x}".encode()
    head = (f"From: Sender {n} <s{n}@example.org>\nTo: rcpt@example.net\n"
            f"Subject: corpus message {n} level {depth}\nMIME-Version: 1.0\n"
            f"Message-ID: <{n}.{depth}@example.org>\n").encode()
    body = text_parts(boundary)
    for i in range(r.randint(0, 3) if depth == 0 else 1):
        body += attachment(boundary, i)
    if depth == 0 and n % 3 == 0:
        body += (b"--" + boundary + b"\nContent-Type: message/rfc822\n"
                 b"Content-Disposition: inline\n\n" + message(n, depth + 1) + b"\n")
    return (head + b"Content-Type: multipart/mixed; boundary=\"" + boundary + b"\"\n\n" +
            b"This is a multi-part message in MIME format.\n" + body +
            b"--" + boundary + b"--\n")

os.makedirs(out, exist_ok=True)
for f in os.listdir(out):
    if f.endswith(".eml"):
        os.remove(os.path.join(out, f))
total, n = 0, 0
while total < target:
    m = message(n)
    if n % 4 == 1:
        m = m.replace(b"\n", b"\r\n")
    with open(os.path.join(out, f"msg-{n:04d}.eml"), "wb") as f:
        f.write(m)
    total += len(m)
    n += 1
print(f"{n} messages, {total} bytes")
PY
)

stamp=$(printf '%s' "$generator" | sha256sum | cut -c1-16)
if [ "$(cat "$corpus/.generator" 2>/dev/null || true)" != "$stamp" ]; then
  echo "bench: generating the MIME corpus in $corpus"
  python3 -c "$generator" "$corpus" || bench_fail "the corpus generator failed"
  echo "$stamp" >"$corpus/.generator"
fi

# Our walk names and retypes parts from the site's type list and magic rules:
# a root of its own with the shipped ones.
mime_root=$(mktemp -d)
trap 'rm -rf "$mime_root"' EXIT
mkdir -p "$mime_root/httpd/conf" "$mime_root/tmp"
for f in mime.types magic; do
  [ -f "$mime_top/conf/$f" ] && cp "$mime_top/conf/$f" "$mime_root/httpd/conf/"
done

ours_line=$(WEBMAIL_ROOT=$mime_root "$ours" --rounds "$MIME_BENCH_ROUNDS" "$corpus") ||
  bench_fail "mime_driver failed"
peer_line=$("$peer" --rounds "$MIME_BENCH_ROUNDS" "$corpus") || bench_fail "gmime_peer failed"

load=$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)
gmime_version=$(pkg-config --modversion gmime-3.0 2>/dev/null || echo 3)
python3 - "$ours_line" "$peer_line" "$load" "$gmime_version" "$MIME_BENCH_ROUNDS" >"$txt" <<'PY'
import os, sys
def fields(line):
    return dict(w.split("=", 1) for w in line.split()[1:])
ours, peer = fields(sys.argv[1]), fields(sys.argv[2])
load, version, rounds = sys.argv[3], sys.argv[4], sys.argv[5]
ours_rate, peer_rate = float(ours["mb_per_s"]), float(peer["mb_per_s"])
ratio = ours_rate / peer_rate
floor = 300.0
print("benchmark: mime_throughput")
print(f"cores: {os.cpu_count()}  load average before: {load}  rounds: {rounds} (best counts)")
print(f"corpus: {ours['messages']} messages, {int(ours['bytes']) / 1e6:.1f} MB")
print(f"ours: {ours_rate:.1f} MB/s ({float(ours['best_seconds']) * 1000:.1f} ms; "
      f"{ours['leaves']} leaf parts, {ours['decoded']} decoded bytes)")
print(f"GMime {version}: {peer_rate:.1f} MB/s ({float(peer['best_seconds']) * 1000:.1f} ms; "
      f"{peer['leaves']} leaf parts, {peer['decoded']} decoded bytes)")
print(f"ratio ours/GMime: {ratio:.2f} (target >= 1) {'PASS' if ratio >= 1 else 'FAIL'}")
print(f"ours against the floor: {ours_rate:.1f} MB/s (target >= {floor:g}) "
      f"{'PASS' if ours_rate >= floor else 'FAIL'}")
verdict = "PASS" if ratio >= 1 and ours_rate >= floor else "FAIL"
print(f"mime_throughput: {verdict}")
PY
cat "$txt"
grep -q '^mime_throughput: PASS$' "$txt"
