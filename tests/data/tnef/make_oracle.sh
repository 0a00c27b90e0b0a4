#!/usr/bin/env bash
# Makes the oracle listings of the real TNEF samples in this folder with
# Debian's `tnef` program (package tnef), an independent reader:
#   tests/data/tnef/make_oracle.sh
# For each NAME.tnef it writes NAME.oracle: one line per file that `tnef`
# extracts, in stream order, with TAB-separated fields: the name `tnef` gives,
# the byte count, the FNV-1a 64-bit hash of the bytes, and the hash of the
# bytes after the first 16 (for files that `tnef` takes from an attached
# object, whose bytes begin with a 16-byte interface id).
#
# bad_checksum.tnef ends inside the checksum of its last attribute, where
# `tnef` stops without extracting anything; its listing is made from a copy
# with the missing two checksum bytes added.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
command -v tnef >/dev/null || { echo "make_oracle.sh: install the tnef package" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

listing() { # stream, output
  local stream=$1 out=$2
  rm -rf "$work/x" && mkdir "$work/x"
  tnef --ignore-checksum --number-backups -C "$work/x" -f "$stream" 2>/dev/null || true
  tnef --ignore-checksum -t -f "$stream" 2>/dev/null | python3 -c '
import sys, os
folder, seen = sys.argv[1], {}
def fnv(b):
    h = 0xcbf29ce484222325
    for c in b:
        h = ((h ^ c) * 0x100000001b3) & 0xffffffffffffffff
    return "%016x" % h
for line in sys.stdin:
    name = line.rstrip("\n").split("\t|\t")[0]
    n = seen.get(name, 0)
    seen[name] = n + 1
    data = open(os.path.join(folder, name if n == 0 else "%s.%d" % (name, n)), "rb").read()
    print("%s\t%d\t%s\t%s" % (name, len(data), fnv(data), fnv(data[16:])))
' "$work/x" >"$out"
}

for stream in "$here"/*.tnef; do
  name=$(basename "$stream" .tnef)
  if [ "$name" = bad_checksum ]; then
    python3 - "$stream" "$work/mended.tnef" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
# Walk the attributes to the last one and add its checksum.
p = 6
while p + 9 <= len(data):
    length = struct.unpack_from("<I", data, p + 5)[0]
    value = data[p + 9:p + 9 + length]
    if p + 9 + length + 2 > len(data):
        data += struct.pack("<H", sum(value) & 0xffff)[len(data) - (p + 9 + length):]
        break
    p += 9 + length + 2
open(sys.argv[2], "wb").write(data)
PY
    listing "$work/mended.tnef" "$here/$name.oracle"
  else
    listing "$stream" "$here/$name.oracle"
  fi
  echo "$name: $(wc -l <"$here/$name.oracle") files"
done
