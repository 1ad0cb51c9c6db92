#!/usr/bin/env bash
# Reads the built objects and binaries (readelf, nm) and says whether the
# hardening flags took effect; hardening-check cannot judge a static PIE.
# For each build directory given:
#   - every object of the library and the tool's main object references
#     __stack_chk_fail if it has a local array (judged from its DWARF where it
#     has one; without debug information every object counts as having one),
#     and carries the IBT and SHSTK marks of -fcf-protection;
#   - machine_info, when linked static, is an ET_DYN static PIE: no program
#     interpreter, no needed library, GNU_RELRO and BIND_NOW;
#   - libvelmor_lic.so, when built, has GNU_RELRO, BIND_NOW, and calls
#     __stack_chk_fail and fortified functions (__*_chk).
# And a tree configured with dpkg-buildflags' flags gets each hardening flag
# once, none undone.
# First it runs the array judgement on a test object compiled with and
# without -fstack-protector-strong: a judge that passes both is no check.
# Usage: scripts/check_hardening.sh BUILD_DIR...   (exit 1 on any failure)
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -gt 0 ] || { echo "usage: $0 BUILD_DIR..." >&2; exit 2; }

failures=0
fail() { echo "  FAIL $*"; failures=$((failures + 1)); }
joined() { local IFS=';'; echo "$*" | sed 's/;/, /g'; }
ok() { echo "  ok   $*"; }

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
check_stack_protector() {  # object, label
  local arrays
  arrays=$(has_local_array "$1")
  if calls "$1" __stack_chk_fail; then return 0; fi
  [ "$arrays" = no ] && return 0
  echo "$2: no __stack_chk_fail, local arrays: $arrays"
  return 1
}

# --- the judge itself ---------------------------------------------------------
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf 'void take(char*);\nvoid with_array() { char buf[8]; take(buf); }\nint plain(int x) { return x + 1; }\n' >"$probe/a.cpp"
printf 'int plain(int x) { return x + 1; }\n' >"$probe/b.cpp"
g++ -O2 -g -c -fstack-protector-strong "$probe/a.cpp" -o "$probe/protected.o"
g++ -O2 -g -c -fno-stack-protector "$probe/a.cpp" -o "$probe/unprotected.o"
g++ -O2 -g -c -fno-stack-protector "$probe/b.cpp" -o "$probe/no_array.o"
echo "== the stack-protector judge =="
if check_stack_protector "$probe/protected.o" protected >/dev/null &&
   ! check_stack_protector "$probe/unprotected.o" unprotected >/dev/null &&
   check_stack_protector "$probe/no_array.o" "no array" >/dev/null; then
  ok "tells a protected array from an unprotected one, and passes an object without arrays"
else
  fail "the judge does not tell protected from unprotected objects"
fi

# --- each build ---------------------------------------------------------------
for dir in "$@"; do
  echo "== $dir =="
  objects=("$dir"/CMakeFiles/velmor_lic_objects.dir/src/*.o "$dir"/CMakeFiles/machine_info.dir/src/*.o)
  [ -e "${objects[0]}" ] || { fail "no library objects under $dir"; continue; }
  unprotected=() unmarked=() with_arrays=0 judged="local arrays read from DWARF"
  for o in "${objects[@]}"; do
    case $(has_local_array "$o") in
      yes) with_arrays=$((with_arrays + 1)) ;;
      unknown) with_arrays=$((with_arrays + 1)) judged="no debug information: each counts as having arrays" ;;
    esac
    check_stack_protector "$o" "$(basename "$o" .o)" >/dev/null || unprotected+=("$(basename "$o" .o)")
    grep -q 'x86 feature: IBT, SHSTK' <<<"$(readelf -nW "$o")" || unmarked+=("$(basename "$o" .o)")
  done
  if [ ${#unprotected[@]} -eq 0 ]; then
    ok "stack protector: ${#objects[@]} objects, the $with_arrays with local arrays call __stack_chk_fail ($judged)"
  else
    fail "stack protector missing in: ${unprotected[*]} ($judged)"
  fi
  if [ ${#unmarked[@]} -eq 0 ]; then ok "CET: every object marked IBT, SHSTK"; else fail "CET marks missing in: ${unmarked[*]}"; fi

  tool=$dir/machine_info
  if [ -f "$tool" ] && ! grep -q INTERP <<<"$(readelf -lW "$tool")"; then
    header=$(readelf -hW "$tool") segments=$(readelf -lW "$tool") dynamic=$(readelf -dW "$tool")
    problems=()
    grep -q 'Type: *DYN' <<<"$header" || problems+=("not ET_DYN")
    grep -q '(NEEDED)' <<<"$dynamic" && problems+=("needs a shared library")
    grep -q GNU_RELRO <<<"$segments" || problems+=("no GNU_RELRO")
    grep -qE '\(FLAGS\) +BIND_NOW|\(FLAGS_1\) +Flags:.* NOW' <<<"$dynamic" || problems+=("no BIND_NOW")
    if [ ${#problems[@]} -eq 0 ]; then
      ok "machine_info: static PIE (ET_DYN, no interpreter, no library), GNU_RELRO, BIND_NOW"
    else
      fail "machine_info: $(joined "${problems[@]}")"
    fi
  elif [ -f "$tool" ]; then
    echo "  --   machine_info is linked dynamically here (sanitizer or memory-checker build): not judged"
  fi

  # The link names the library this build made, whatever versions lie beside it.
  so=$(readlink -f "$dir/libvelmor_lic.so" 2>/dev/null || true)
  if [ -n "$so" ] && [ -f "$so" ]; then
    segments=$(readelf -lW "$so") dynamic=$(readelf -dW "$so")
    fortified=$(nm -D --undefined-only "$so" | sed -n 's/.* U \(__[a-z]*_chk\)@.*/\1/p' | sort -u | paste -sd' ' -)
    problems=()
    grep -q GNU_RELRO <<<"$segments" || problems+=("no GNU_RELRO")
    grep -qE '\(FLAGS\) +BIND_NOW|\(FLAGS_1\) +Flags:.* NOW' <<<"$dynamic" || problems+=("no BIND_NOW")
    calls "$so" __stack_chk_fail || problems+=("no __stack_chk_fail")
    [ -n "$fortified" ] || problems+=("no fortified calls")
    if [ ${#problems[@]} -eq 0 ]; then
      ok "$(basename "$so"): GNU_RELRO, BIND_NOW, __stack_chk_fail, fortified: $fortified"
    else
      fail "$(basename "$so"): $(joined "${problems[@]}")"
    fi
  fi
done

# --- a packager's flags -------------------------------------------------------
# Configured (not built) with Debian's flags, as a package build would be:
# each hardening flag reaches every compile command exactly once, the link
# command has RELRO and BIND_NOW once and no compile flag twice, and nothing
# undoes one (-U_FORTIFY_SOURCE, -fno-stack-protector).
echo "== configured with dpkg-buildflags =="
if command -v dpkg-buildflags >/dev/null 2>&1; then
  packager=build-packager-flags
  rm -rf "$packager"
  CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    cmake -S . -B "$packager" -G Ninja -DCMAKE_BUILD_TYPE=None -DVELMOR_BUILD_TESTS=OFF >/dev/null
  commands=$(ninja -C "$packager" -t commands machine_info | grep -E ' -c .*\.cpp$| -o machine_info ')
  wrong=()
  while IFS= read -r command; do
    what=$(grep -oE '[^ /]+\.cpp$| -o machine_info ' <<<"$command" | tr -d ' ')
    for flag in -fstack-protector-strong -D_FORTIFY_SOURCE=2 -fcf-protection -Wformat -Werror=format-security; do
      n=$(tr ' ' '\n' <<<"$command" | grep -cxF -- "$flag" || true)
      # Compile flags reach the link command only through CXXFLAGS, if at all.
      if [ "$what" = "-omachine_info" ] && [ "$n" = 0 ]; then continue; fi
      [ "$n" = 1 ] || wrong+=("$what: $flag $n times")
    done
    if [ "$what" = "-omachine_info" ]; then
      for z in relro now; do
        n=$(grep -oE -- "-z,$z\b" <<<"$command" | wc -l)
        [ "$n" = 1 ] || wrong+=("link: -z,$z $n times")
      done
    fi
    grep -qE -- '-U_FORTIFY_SOURCE|-fno-stack-protector' <<<"$command" && wrong+=("$what: a flag undone")
  done <<<"$commands"
  rm -rf "$packager"
  if [ ${#wrong[@]} -eq 0 ]; then
    ok "each hardening flag once in the $(($(wc -l <<<"$commands") - 1)) compile commands and the link command of machine_info"
  else
    fail "$(joined "${wrong[@]}")"
  fi
else
  echo "  --   dpkg-buildflags missing (Debian package dpkg-dev): not checked"
fi

if [ "$failures" -ne 0 ]; then
  echo "hardening: $failures check(s) failed" >&2
  exit 1
fi
echo "hardening: ok"
