#!/usr/bin/env bash
# Whether the hardening flags took effect in each build directory, read from
# its objects and binaries: what is checked, and why not by hardening-check,
# is in docs/packaging.md, "Hardening". The array judge is first tried on
# objects with and without the protector.
# Usage: scripts/check_hardening.sh BUILD_DIR...
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
[ $# -gt 0 ] || { echo "usage: $0 BUILD_DIR..." >&2; exit 2; }

# Every check is reported; the script fails at the end if any failed.
failures=0
report() {  # what is wrong (none: ok), what was checked
  if [ -z "$1" ]; then echo "  ok   $2"; else echo "  FAIL $2: $1"; failures=$((failures + 1)); fi
}

# Does the object define a function with a local array (through typedefs
# and qualifiers)? Answers "yes", "no", or "unknown" without DWARF.
has_local_array() {  # object
  readelf --debug-dump=info "$1" 2>/dev/null | awk '
    / Abbrev Number: [0-9]+ \(DW_TAG_/ {
      split($1, p, /[<>]/); depth = p[2] + 0; die = p[4]
      t = $NF; gsub(/[()]/, "", t); tag[die] = t; at[depth] = t; seen = 1
      if (t == "DW_TAG_variable")
        for (d = 1; d < depth; d++) if (at[d] == "DW_TAG_subprogram") { local_var[die] = 1; break }
      next
    }
    $2 == "DW_AT_type" { t = $NF; gsub(/[<>]|0x/, "", t); type[die] = t }
    END {
      if (!seen) { print "unknown"; exit }
      for (v in local_var) {
        t = type[v]
        for (i = 0; i < 16 && t != ""; i++) {
          if (tag[t] == "DW_TAG_array_type") { print "yes"; exit }
          if (tag[t] != "DW_TAG_typedef" && tag[t] != "DW_TAG_const_type" && tag[t] != "DW_TAG_volatile_type") break
          t = type[t]
        }
      }
      print "no"
    }'
}
# Does the object or library call `symbol` (an undefined reference to it)?
calls() {  # file, symbol
  grep -qE " U $2(@|\$)" <<<"$(nm -u "$1" 2>/dev/null; nm -D --undefined-only "$1" 2>/dev/null)"
}
# A stack-protected object: references __stack_chk_fail, or has no array.
protected() { calls "$1" __stack_chk_fail || [ "$(has_local_array "$1")" = no ]; }
# The RELRO and BIND_NOW of an executable or shared object, as problems.
relro_now() {  # file
  grep -q GNU_RELRO <<<"$(readelf -lW "$1")" || echo -n "no GNU_RELRO; "
  grep -qE '\(FLAGS\) +BIND_NOW|\(FLAGS_1\) +Flags:.* NOW' <<<"$(readelf -dW "$1")" || echo -n "no BIND_NOW; "
}

probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf 'void take(char*);\nvoid with_array() { char buf[8]; take(buf); }\nint plain(int x) { return x + 1; }\n' >"$probe/a.cpp"
printf 'int plain(int x) { return x + 1; }\n' >"$probe/b.cpp"
g++ -O2 -g -c -fstack-protector-strong "$probe/a.cpp" -o "$probe/protected.o"
g++ -O2 -g -c -fno-stack-protector "$probe/a.cpp" -o "$probe/unprotected.o"
g++ -O2 -g -c -fno-stack-protector "$probe/b.cpp" -o "$probe/no_array.o"
echo "== the stack-protector judge =="
judge=
protected "$probe/protected.o" && ! protected "$probe/unprotected.o" && protected "$probe/no_array.o" \
  || judge="it does not tell protected from unprotected objects"
report "$judge" "tells a protected array from an unprotected one, and passes an object without arrays"

for dir in "$@"; do
  echo "== $dir =="
  objects=("$dir"/CMakeFiles/velmor_lic_objects.dir/src/*.o "$dir"/CMakeFiles/machine_info.dir/src/*.o)
  [ -e "${objects[0]}" ] || { report "none" "library objects under $dir"; continue; }
  unprotected=() unmarked=() with_arrays=0 judged="local arrays read from DWARF"
  for o in "${objects[@]}"; do
    case $(has_local_array "$o") in
      yes) with_arrays=$((with_arrays + 1)) ;;
      unknown) with_arrays=$((with_arrays + 1)) judged="no debug information: each counts as having arrays" ;;
    esac
    protected "$o" || unprotected+=("$(basename "$o" .o)")
    grep -q 'x86 feature: IBT, SHSTK' <<<"$(readelf -nW "$o")" || unmarked+=("$(basename "$o" .o)")
  done
  report "${unprotected[*]:+missing in ${unprotected[*]}}" \
    "stack protector: ${#objects[@]} objects, the $with_arrays with local arrays call __stack_chk_fail ($judged)"
  report "${unmarked[*]:+missing in ${unmarked[*]}}" "CET: every object marked IBT, SHSTK"

  tool=$dir/machine_info
  if [ -f "$tool" ] && ! grep -q INTERP <<<"$(readelf -lW "$tool")"; then
    problems=$(relro_now "$tool")
    grep -q 'Type: *DYN' <<<"$(readelf -hW "$tool")" || problems+="not ET_DYN; "
    grep -q '(NEEDED)' <<<"$(readelf -dW "$tool")" && problems+="needs a shared library; "
    report "$problems" "machine_info: static PIE (ET_DYN, no interpreter, no library), GNU_RELRO, BIND_NOW"
  elif [ -f "$tool" ]; then
    echo "  --   machine_info is linked dynamically here (sanitizer or memory-checker build): not judged"
  fi

  # The link names the library this build made, whatever versions lie beside it.
  so=$(readlink -f "$dir/libvelmor_lic.so" 2>/dev/null || true)
  if [ -n "$so" ] && [ -f "$so" ]; then
    fortified=$(nm -D --undefined-only "$so" | sed -n 's/.* U \(__[a-z]*_chk\)@.*/\1/p' | sort -u | paste -sd' ' -)
    problems=$(relro_now "$so")
    calls "$so" __stack_chk_fail || problems+="no __stack_chk_fail; "
    [ -n "$fortified" ] || problems+="no fortified calls; "
    report "$problems" "$(basename "$so"): GNU_RELRO, BIND_NOW, __stack_chk_fail, fortified: $fortified"
  fi
done
[ "$failures" -eq 0 ] || fail "$failures check(s) failed"
echo "hardening: ok"
