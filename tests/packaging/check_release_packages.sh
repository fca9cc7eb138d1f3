#!/usr/bin/env bash
# Builds the Debian packages as a release is built (prefix /usr, no tests) twice, in two
# build trees of their own at different depths, and checks them: lintian reports no error
# and no warning (the overrides the packages carry excepted, and none of those unused),
# and the two builds give byte-identical packages for the same SOURCE_DATE_EPOCH.
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
# A compiler cache (when the options name one) leaves the compiler's path maps out of its
# keys: an object cached under other maps would come back with their paths. Its entries
# for these trees are kept apart per version of the file that sets the maps, and keyed by
# the working folder as the compiler records it, whatever the user's cache settings say.
export CCACHE_NAMESPACE="zephrane-release-$(sha256sum <"$source_dir/CMakeLists.txt" | cut -c1-16)"
export CCACHE_HASHDIR=true
unset CCACHE_NOHASHDIR
# Two folder names and depths, so neither paths nor their lengths may reach the packages.
declare -A build_dir=([one]=one/build [two]=two/nested/build)
for tree in one two; do
  rm -rf "$work/$tree/out"
  cmake -S "$source_dir" -B "$work/${build_dir[$tree]}" -G Ninja -DCMAKE_INSTALL_PREFIX=/usr \
    -DZEPHRANE_BUILD_TESTS=OFF -DZEPHRANE_BUILD_BENCH=OFF "$@" >"$work/$tree.log" 2>&1 &&
    cmake --build "$work/${build_dir[$tree]}" -j2 >>"$work/$tree.log" 2>&1 &&
    cpack --config "$work/${build_dir[$tree]}/CPackConfig.cmake" -B "$work/$tree/out" >>"$work/$tree.log" 2>&1 || {
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
  twin="$work/two/out/${deb##*/}"
  if cmp -s "$deb" "$twin"; then
    echo "reproducible: ${deb##*/} ($(stat -c %s "$deb") bytes)"
  else
    fail "${deb##*/} differs between two builds of the same sources"
    diff <(dpkg-deb -c "$deb") <(dpkg-deb -c "$twin") | head -20 || true
    # Which files differ, so the next step (readelf, strings) starts at the right one.
    rm -rf "$work/unpacked"
    dpkg-deb -R "$deb" "$work/unpacked/one" && dpkg-deb -R "$twin" "$work/unpacked/two" &&
      diff -rq "$work/unpacked/one" "$work/unpacked/two" | head -20 || true
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
