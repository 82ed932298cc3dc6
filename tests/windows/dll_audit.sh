#!/usr/bin/env bash
# Audits heightfield_mesh.dll: exactly the five exports, no imported DLL (the
# import directory holds nothing but its terminator, if anything), an entry
# point, and Windows x64 unwind data (.pdata) for every function in it, the
# exported and the assembly ones included.
#
#   dll_audit.sh heightfield_mesh.dll [x86_64-w64-mingw32-objdump]
set -euo pipefail
dll=$1
objdump=${2:-x86_64-w64-mingw32-objdump}
nm=${objdump%objdump}nm
fail=0
problem() { echo "FAIL: $*"; fail=1; }

headers=$("$objdump" -p "$dll")

expected=$(printf '%s\n' \
  "a4b760b874bcc0dd6a3a8c57b4694fd0" \
  "kavex.initialize" \
  "kavex.initialize.externals.a4b760b874bcc0dd6a3a8c57b4694fd0" \
  "kavex.initialize.statics.a4b760b874bcc0dd6a3a8c57b4694fd0" \
  "kavex.setup_extra" | sort)
exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && NF == 0 {on=0} on {print $NF}' <<<"$headers" | sort)
if [ "$exports" != "$expected" ]; then
  problem "exports differ from the five job library exports"
  diff <(echo "$expected") <(echo "$exports") || true
fi
count=$(awk '/Export Address Table -- Ordinal Base/ {on=1; next} on && NF == 0 {on=0} on' <<<"$headers" | grep -c 'Export RVA' || true)
[ "$count" = 5 ] || problem "the export address table has $count entries, not 5"
grep -q 'Forwarder RVA' <<<"$headers" && problem "an export is forwarded to another DLL"

# No DLL is named, and every import descriptor is the all-zero terminator.
dlls=$(grep 'DLL Name:' <<<"$headers" || true)
[ -z "$dlls" ] || problem "imports from: $dlls"
descriptors=$(awk '/^The Import Tables/ {on=1; getline; getline; next} on && NF == 0 {on=0} on' <<<"$headers")
while read -r vma hint stamp chain name thunk; do
  [ -z "$vma" ] && continue
  [ "$hint$stamp$chain$name$thunk" = 0000000000000000000000000000000000000000 ] ||
    problem "import descriptor at $vma is not empty"
done <<<"$descriptors"
delay=$(awk '/Delay Import Directory/ {print $3; exit}' <<<"$headers")
[ -z "${delay//0/}" ] || problem "has a delay import directory"

entry=$(awk '/^AddressOfEntryPoint/ {print $2}' <<<"$headers")
[ "${entry//0/}" != "" ] || problem "has no entry point"

# Unwind data: the begin addresses of the .pdata entries.
image_base=$(awk '/^ImageBase/ {print $2}' <<<"$headers")
starts=$(awk '/^The Function Table/ {on=1; getline; next} on && NF == 0 {on=0} on {print $2}' <<<"$headers" | sort -u)
[ -n "$starts" ] || problem "has no .pdata function table"
has_unwind() { grep -qix "$1" <<<"$starts"; }

# Every export: its RVA plus the image base starts a .pdata entry.
while read -r rva; do
  address=$(printf '%016x' $((0x$image_base + 0x$rva)))
  has_unwind "$address" || problem "export at RVA $rva has no unwind data"
done < <(awk '/Export Address Table -- Ordinal Base/ {on=1; next} on && NF == 0 {on=0} on && /Export RVA/ {print $(NF-2)}' <<<"$headers")

# Every function symbol (the linker's own list markers aside), the two
# assembly routines by name, as they are what a host exception unwinds
# through when the abort leaves by throwing.
functions=0
while read -r address type name; do
  case "$name" in
    .* | __CTOR_LIST__ | ___CTOR_LIST__ | __DTOR_LIST__ | ___DTOR_LIST__) continue ;;
  esac
  functions=$((functions + 1))
  has_unwind "$address" || problem "function $name has no unwind data"
done < <("$nm" "$dll" | awk '$2 == "T" || $2 == "t"')
for name in heightmesh_abort_trampoline heightmesh_capture_preserved_vectors; do
  "$nm" "$dll" | awk -v n="$name" '$3 == n {found=1} END {exit !found}' || problem "$name is missing"
done
[ "$functions" -ge 10 ] || problem "found only $functions function symbols (is the DLL stripped?)"

[ "$fail" = 0 ] && echo "$(basename "$dll"): 5 exports, no imported DLL, unwind data for all $functions functions"
exit "$fail"
