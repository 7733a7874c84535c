#!/usr/bin/env bash
# The Debian package as an integrator uses it, on this machine (as root):
# builds it (scripts/package.sh), checks that it installs only under /usr's
# usual places, installs it with apt-get, runs the installed vorel-sim's
# contact scenario from the PATH to PASS against the installed plug-in,
# configuration and program, builds the example project examples/find_package
# against the installed CMake package and runs it, removes the package and
# checks that none of its files is left. Ends "package check: PASS".
set -euo pipefail
cd "$(dirname "$0")/.."

# The installed vorel-sim creates the machine-wide shared segment: as the
# tests do, it runs with a /dev/shm of its own where the machine allows it.
source scripts/private_shm.sh
private_shm "$0" "$@"

if [[ $EUID -ne 0 ]]; then
  echo "package_check.sh: installs a package with apt-get: run it as root" >&2
  exit 2
fi
export DEBIAN_FRONTEND=noninteractive

scripts/package.sh
version=$(sed -n 's/^#define VOREL_DEVICE_VERSION "\(.*\)"$/\1/p' build/generated/vorel_version.h)
deb=$PWD/build/vorel-device_${version}_amd64.deb
work=$(mktemp -d)
remove() { apt-get remove -y -qq vorel-device >/dev/null 2>&1 || true; }
trap 'remove; rm -rf "$work"' EXIT
fail() {
  echo "package check: FAIL: $*" >&2
  exit 1
}

# 1. Only /usr/bin, /usr/lib, /usr/include and /usr/share.
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's#^\./#/#' >"$work/contents"
outside=$(grep -vE '^/(usr/?)?$|^/usr/(bin|lib|include|share)(/|$)' "$work/contents" || true)
[[ -z $outside ]] || fail "files outside /usr's usual places: $outside"
echo "package check: $(grep -vc '/$' "$work/contents") files, all under /usr/{bin,lib,include,share}"

# 2. Installed as an integrator would (a leftover of an earlier run first goes).
remove
apt-get install -y -qq "$deb" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "apt-get install"; }
[[ $(command -v vorel-sim) == /usr/bin/vorel-sim ]] || fail "vorel-sim is not /usr/bin's: $(command -v vorel-sim)"
[[ $(vorel-sim --version) == "vorel-sim $version" ]] || fail "vorel-sim --version: $(vorel-sim --version)"
[[ $(vorel-monitor --version) == "vorel-monitor $version" ]] ||
  fail "vorel-monitor --version: $(vorel-monitor --version)"

# 3. The contact scenario with the installed files alone, from a fresh directory.
mkdir "$work/run"
(cd "$work/run" && vorel-sim) >"$work/run.log" 2>&1 || { tail -30 "$work/run.log"; fail "vorel-sim's contact scenario"; }
for shown in "[host] loading /usr/bin/../lib/libvorel_device.so" \
  "[host] device configuration /usr/bin/../share/vorel_device/config/vorel_ft_sensor.xml" \
  "[host] program /usr/bin/../share/vorel_device/programs/contact.prog" "result: PASS"; do
  grep -qF "$shown" "$work/run.log" || { cat "$work/run.log"; fail "vorel-sim did not say '$shown'"; }
done
echo "package check: the installed vorel-sim's contact scenario: PASS"

# 4. The example project against the installed CMake package.
example=/usr/share/doc/vorel-device/examples/find_package
cmake -S "$example" -B "$work/example" >"$work/example.log" 2>&1 &&
  cmake --build "$work/example" -j 2 >>"$work/example.log" 2>&1 ||
  { cat "$work/example.log"; fail "the example project does not build against the package"; }
[[ $("$work/example/consumer") == "consumer ok" ]] || fail "the example project's consumer"
echo "package check: examples/find_package builds against the installed package and runs"

# 5. Removed, nothing of it is left.
apt-get remove -y -qq vorel-device >/dev/null 2>&1 || fail "apt-get remove"
left=()
while read -r path; do
  [[ $path == */ ]] && continue
  [[ -e $path || -L $path ]] && left+=("$path")
done <"$work/contents"
[[ ${#left[@]} -eq 0 ]] || fail "left after apt-get remove: ${left[*]}"
[[ ! -e /usr/share/doc/vorel-device && ! -e /usr/include/vorel_device && ! -e /usr/share/vorel_device ]] ||
  fail "directories left after apt-get remove"
status=$(dpkg-query -W -f='${Status}' vorel-device 2>/dev/null || true)
[[ $status != *" installed" && $status != *config-files ]] || fail "dpkg still has vorel-device: $status"
echo "package check: removed, nothing left"
echo "package check: PASS"
