#!/usr/bin/env bash
# Audits the built job library: exactly the five exports, nothing imported, no
# NEEDED entry, unwind information for exceptions leaving through its frames,
# and a non-executable stack.
set -euo pipefail
so=$1
fail=0
problem() { echo "FAIL: $*"; fail=1; }

expected=$(printf '%s\n' \
  "a4b760b874bcc0dd6a3a8c57b4694fd0" \
  "kavex.initialize" \
  "kavex.initialize.externals.a4b760b874bcc0dd6a3a8c57b4694fd0" \
  "kavex.initialize.statics.a4b760b874bcc0dd6a3a8c57b4694fd0" \
  "kavex.setup_extra" | sort)
exports=$(nm -D --defined-only "$so" | awk '{print $3}' | sort)
if [ "$exports" != "$expected" ]; then
  problem "exports differ from the five job library exports"
  diff <(echo "$expected") <(echo "$exports") || true
fi
for name in $expected; do
  type=$(nm -D --defined-only "$so" | awk -v n="$name" '$3 == n {print $2}')
  [ "$type" = "T" ] || problem "$name is not a global function (type '$type')"
done

imports=$(nm -D --undefined-only "$so" | awk '{print $NF}')
[ -z "$imports" ] || problem "imports symbols: $imports"

needed=$(readelf -dW "$so" | grep -c '(NEEDED)' || true)
[ "$needed" = 0 ] || problem "has $needed NEEDED entries"

relocs=$(readelf -rW "$so" | awk '/R_X86_64_(GLOB_DAT|JUMP_SLOT|64)/' | wc -l)
[ "$relocs" = 0 ] || problem "has $relocs symbol relocations"

readelf -lW "$so" | grep -q GNU_EH_FRAME || problem "has no unwind table header"
readelf -lW "$so" | awk '$1 == "GNU_STACK" && $7 ~ /E/ {bad=1} END {exit bad}' || problem "asks for an executable stack"
readelf -dW "$so" | grep -q TEXTREL && problem "has text relocations"

[ "$fail" = 0 ] && echo "libheightfield_mesh.so: 5 exports, no imports, no NEEDED entries"
exit "$fail"
