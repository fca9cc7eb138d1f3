#!/usr/bin/env bash
# Builds the Debian packages of this build tree into a scratch folder and checks them as a
# site would use them: the files each one carries, dependencies that match what the
# binaries really load, the programs unpacked into an empty root finding our engine
# through their RUNPATH, and the programs alone running on another library of the same
# soname.
#   check_packages.sh build_dir double_dir bindir libdir sysconfdir unitdir
set -euo pipefail

build_dir=$1 double_dir=$2 bindir=$3 libdir=$4 sysconfdir=$5 unitdir=$6
skip=77
for tool in cpack dpkg-deb readelf dpkg-query; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIPPED: $tool is not installed"
    exit $skip
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

cpack --config "$build_dir/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || {
  cat "$work/cpack.log"
  exit 1
}
programs=$(echo "$work"/out/zephrane_*.deb)
engine=$(echo "$work"/out/libkorvex-zephrane-qx_*.deb)
[ -f "$programs" ] && [ -f "$engine" ] || {
  ls -l "$work/out"
  echo "FAIL: expected one zephrane and one libkorvex-zephrane-qx package"
  exit 1
}
ls -l "$programs" "$engine" | awk '{print $5, $9}'

# Contents: the engine only in its own package, so the maker's can take its place.
contents() { dpkg-deb --contents "$1" | awk '{print $6}' | sed 's|^\.||'; }
contents "$programs" >"$work/programs.list"
contents "$engine" >"$work/engine.list"
for file in "$bindir/zephrane-filter" "$bindir/zephrane-web" "$unitdir/zephrane-filter.service" \
  "$unitdir/zephrane-web.service" "$sysconfdir/zephrane-filter.env" "$sysconfdir/zephrane-web.env"; do
  grep -qx "$file" "$work/programs.list" || fail "zephrane lacks $file"
done
grep -q 'libkorvex' "$work/programs.list" && fail "zephrane carries an engine library"
grep -qx "$libdir/libkorvex.zephrane.qx.so" "$work/engine.list" ||
  fail "libkorvex-zephrane-qx lacks $libdir/libkorvex.zephrane.qx.so"
# Beside the library only its documents: what a maker's package replaces is the library.
extra=$(grep -v '/$' "$work/engine.list" | grep -vx "$libdir/libkorvex.zephrane.qx.so" |
  grep -v '/share/doc/libkorvex-zephrane-qx/' | grep -v '/share/lintian/overrides/libkorvex-zephrane-qx$' || true)
[ -z "$extra" ] || fail "libkorvex-zephrane-qx carries more than the library and its documents:" $extra
dpkg-deb --ctrl-tarfile "$programs" | tar -xO ./conffiles 2>/dev/null | grep -qx "$sysconfdir/zephrane-filter.env" ||
  fail "the environment files are not conffiles"

# Dependencies: exactly the packages whose libraries the binaries load (the engine
# excepted, which comes from either package of that soname).
package_of() {
  local path candidate owner
  path=$(ldconfig -p | awk -v lib="$1" '$1 == lib {print $NF; exit}')
  [ -n "$path" ] || return 0
  # dpkg knows a file by the path its package gave, with or without the merged /usr.
  for candidate in "$path" "$(readlink -f "$path")"; do
    for candidate in "$candidate" "${candidate#/usr}" "/usr$candidate"; do
      owner=$(dpkg-query -S "$candidate" 2>/dev/null | grep -v '^diversion' | head -1 | cut -d: -f1)
      if [ -n "$owner" ]; then
        echo "$owner"
        return 0
      fi
    done
  done
}
check_depends() {
  local deb=$1 depends needed package name
  shift
  depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/(.*//; s/ //g' | sort -u)
  needed=$(for binary in "$@"; do readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'; done |
    grep -v '^libkorvex\.zephrane\.qx\.so$' | sort -u)
  local wanted=""
  for name in $needed; do
    package=$(package_of "$name")
    if [ -z "$package" ]; then
      fail "no package found for $name"
    else
      wanted+="$package"$'\n'
    fi
  done
  wanted=$(echo -n "$wanted" | sort -u)
  echo "$(dpkg-deb -f "$deb" Package) Depends: $(dpkg-deb -f "$deb" Depends)"
  [ "$depends" = "$wanted" ] || fail "$(dpkg-deb -f "$deb" Package) depends on [$(echo $depends)]," \
    "its binaries load libraries of [$(echo $wanted)]"
}
mkdir "$work/unpacked"
dpkg-deb -x "$programs" "$work/unpacked"
dpkg-deb -x "$engine" "$work/unpacked"
check_depends "$programs" "$work/unpacked$bindir/zephrane-filter" "$work/unpacked$bindir/zephrane-web"
check_depends "$engine" "$work/unpacked$libdir/libkorvex.zephrane.qx.so"

# Runs a program of a root with no library path of ours; prints its version line and the
# engine file the loader picked.
run_version() {
  local root=$1 program=$2
  shift 2
  env -u LD_LIBRARY_PATH -u LD_PRELOAD "$@" "$root$bindir/$program" -V || echo "exit status $?"
  env -u LD_LIBRARY_PATH -u LD_PRELOAD "$@" LD_TRACE_LOADED_OBJECTS=1 "$root$bindir/$program" |
    awk '$1 == "libkorvex.zephrane.qx.so" {print "engine:", $3}'
}

# Both packages: the programs find our engine through $ORIGIN.
engine_file=$(readlink -f "$work/unpacked$libdir/libkorvex.zephrane.qx.so")
for program in zephrane-filter zephrane-web; do
  out=$(run_version "$work/unpacked" $program)
  echo "$program, both packages: $(echo $out)"
  grep -q '^KORVEX ZEPHRANE.QX Version ' <<<"$out" || fail "$program -V printed no version"
  grep -q 'exit status' <<<"$out" && fail "$program -V failed"
  [ "$(readlink -f "$(sed -n 's/^engine: //p' <<<"$out")")" = "$engine_file" ] ||
    fail "$program did not load the engine of its own root"
done

# The programs alone: another library of the same soname takes the engine's place.
mkdir "$work/programs-only"
dpkg-deb -x "$programs" "$work/programs-only"
for program in zephrane-filter zephrane-web; do
  out=$(run_version "$work/programs-only" $program LD_LIBRARY_PATH="$double_dir")
  echo "$program, other engine: $(echo $out)"
  grep -q '^KORVEX ZEPHRANE.QX Version 9.9.9-double' <<<"$out" || fail "$program did not run on the double"
done

[ $failures -eq 0 ] || exit 1
echo "packages OK"
