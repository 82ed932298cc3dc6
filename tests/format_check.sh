#!/usr/bin/env bash
# Every C and C++ source git tracks is formatted as .clang-format says; lists
# the files that are not (clang-format -i FILE fixes one).
set -euo pipefail
cd "$(dirname "$0")/.."
format=${1:-clang-format}
mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')
unformatted=()
for file in "${files[@]}"; do
  if ! "$format" --dry-run --Werror "$file" >/dev/null 2>&1; then unformatted+=("$file"); fi
done
if [ "${#unformatted[@]}" -gt 0 ]; then
  echo "not formatted (run: $format -i FILE): ${unformatted[*]}" >&2
  exit 1
fi
echo "${#files[@]} files formatted"
