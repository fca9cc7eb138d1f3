#!/usr/bin/env bash
# Builds the Debian packages as a release is built (prefix /usr, no tests) and checks
# them: lintian reports no error and no warning (the overrides the packages carry
# excepted, and none of those unused). With ZEPHRANE_CHECK_REPRODUCIBLE=1 it builds them
# twice, in two build trees of their own, and the two builds must give byte-identical
# packages for the same SOURCE_DATE_EPOCH.
#   check_release_packages.sh source_dir work_dir [cmake options for both trees...]
set -euo pipefail

source_dir=$1 work=$2
shift 2
skip=77
for tool in cmake cpack dpkg-deb lintian; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIPPED: $tool is not installed"
    exit $skip
  fi
done

# The trees stay between runs, so a compiler cache or an unchanged tree saves time.
mkdir -p "$work"
export SOURCE_DATE_EPOCH=1765000000
trees=(one)
if [ "${ZEPHRANE_CHECK_REPRODUCIBLE:-0}" = 1 ]; then
  trees=(one two)
fi
for tree in "${trees[@]}"; do
  rm -rf "$work/$tree/out"
  cmake -S "$source_dir" -B "$work/$tree/build" -G Ninja -DCMAKE_INSTALL_PREFIX=/usr \
    -DZEPHRANE_BUILD_TESTS=OFF -DZEPHRANE_BUILD_BENCH=OFF "$@" >"$work/$tree.log" 2>&1 &&
    cmake --build "$work/$tree/build" -j2 >>"$work/$tree.log" 2>&1 &&
    cpack --config "$work/$tree/build/CPackConfig.cmake" -B "$work/$tree/out" >>"$work/$tree.log" 2>&1 || {
    tail -40 "$work/$tree.log"
    echo "FAIL: the packages of tree $tree could not be built"
    exit 1
  }
done

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

debs=("$work"/one/out/*.deb)
[ ${#debs[@]} -eq 2 ] || fail "expected two packages, found: ${debs[*]##*/}"
for deb in "${debs[@]}"; do
  [ ${#trees[@]} -eq 2 ] || break
  twin="$work/two/out/${deb##*/}"
  if cmp -s "$deb" "$twin"; then
    echo "reproducible: ${deb##*/} ($(stat -c %s "$deb") bytes)"
  else
    fail "${deb##*/} differs between two builds of the same sources"
    diff <(dpkg-deb -c "$deb") <(dpkg-deb -c "$twin") | head -20 || true
  fi
done

# Informational tags are shown but do not fail; an override that no longer matches
# does, so the overrides stay exactly the ones needed.
report=$(lintian --tag-display-limit 0 --info "${debs[@]}" 2>&1 | grep -v '^running with root privileges' || true)
echo "${report:-lintian: nothing to report}"
if grep -E '^[EW]: ' <<<"$report" >/dev/null; then
  fail "lintian reports errors or warnings"
fi
if grep -E 'unused-override|mismatched-override' <<<"$report" >/dev/null; then
  fail "lintian overrides that match nothing"
fi

[ $failures -eq 0 ] || exit 1
echo "release packages OK"
