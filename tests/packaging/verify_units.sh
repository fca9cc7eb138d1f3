#!/usr/bin/env bash
# Checks the configured systemd user units with systemd-analyze verify. The units name
# the installed programs, which need not exist on this machine: the tree is installed
# into a scratch root and the units are checked with their paths moved into it.
#   verify_units.sh build_dir
set -euo pipefail

build_dir=$1
skip=77
if ! command -v systemd-analyze >/dev/null; then
  echo "SKIPPED: systemd-analyze is not installed"
  exit $skip
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
DESTDIR="$work/root" cmake --install "$build_dir" --component programs >/dev/null
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build_dir/CMakeCache.txt")
units=()
for unit in "$work"/root"$prefix"/lib/systemd/user/*.service; do
  # Every absolute path of the unit into the scratch root: programs and environment files.
  sed -E "s#(ExecStart=|EnvironmentFile=-?)/#\1$work/root/#" "$unit" >"$work/$(basename "$unit")"
  units+=("$work/$(basename "$unit")")
done
grep -h '^ExecStart=\|^EnvironmentFile=' "${units[@]}"

# The host tells systemd when it is ready and feeds a watchdog tied to its audio thread;
# only the host itself may do so, not the alarm commands it starts.
filter_unit="$work/zephrane-filter.service"
for line in Type=notify NotifyAccess=main WatchdogSec=20s; do
  if ! grep -qx "$line" "$filter_unit"; then
    echo "zephrane-filter.service lacks $line"
    exit 1
  fi
done

# The user manager's runtime directory, which the verification needs but does not use.
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
# Any message is a finding: verify reports some of them with status 0.
output=$(systemd-analyze --user verify --man=no "${units[@]}" 2>&1) || {
  echo "$output"
  exit 1
}
if [ -n "$output" ]; then
  echo "$output"
  exit 1
fi
echo "systemd-analyze verify: ${#units[@]} units clean"
