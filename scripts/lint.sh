#!/usr/bin/env bash
# Runs clang-tidy with the project's .clang-tidy over the programs' and
# libraries' sources (not tests, fuzz targets or benchmarks), two files at a
# time per core. With a git revision, only the files changed since it.
#   scripts/lint.sh BUILD_DIR [REVISION]
set -euo pipefail
build=$1
since=${2:-}
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
paths=(host common attachdesk uploadsend tools engines)
if [ -n "$since" ]; then
  mapfile -t files < <(git diff --name-only --diff-filter=d "$since" -- "${paths[@]}" | grep -E '\.(c|cpp)$' || true)
else
  mapfile -t files < <(git ls-files -- "${paths[@]}" | grep -E '\.(c|cpp)$')
fi
if [ ${#files[@]} -eq 0 ]; then
  echo "lint: no files to check"
  exit 0
fi
jobs=$(nproc 2>/dev/null || echo 2)
echo "lint: ${#files[@]} files"
# clang-tidy prints its findings and answers non-zero for any of them
# (WarningsAsErrors), so xargs answers non-zero when one file has any.
# Its count of suppressed warnings ("N warnings generated.") is noise here.
status=0
printf '%s\n' "${files[@]}" | xargs -P "$jobs" -n 2 clang-tidy -p "$build" --quiet \
  2> >(grep -v 'warnings\? generated\.$' >&2) || status=$?
[ $status -eq 0 ] && echo "lint: clean"
exit $status
