#!/usr/bin/env bash
# Builds the Debian package build/vorel-device_<version>_amd64.deb with CPack
# from the build tree build/ (configured and built as scripts/test.sh does;
# in CI it is already built). Install it with
#   apt-get install ./build/vorel-device_<version>_amd64.deb
# and remove it with `apt-get remove vorel-device`.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
version=$(sed -n 's/^#define VOREL_DEVICE_VERSION "\(.*\)"$/\1/p' build/generated/vorel_version.h)
deb=build/vorel-device_${version}_amd64.deb
rm -f "$deb"
(cd build && cpack -G DEB >/dev/null)
# CPack gives a package with libraries under /usr/lib a postinst and a postrm
# that run ldconfig; the postrm would keep the package in dpkg's database
# after `apt-get remove` (state config-files). An ldconfig trigger does the
# same work without maintainer scripts, so that remove takes it all away.
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -R "$deb" "$unpacked"
rm -f "$unpacked/DEBIAN/postinst" "$unpacked/DEBIAN/postrm"
echo "activate-noawait ldconfig" >"$unpacked/DEBIAN/triggers"
dpkg-deb --root-owner-group -b "$unpacked" "$deb" >/dev/null
echo "package: $deb"
dpkg-deb --field "$deb" Package Version Architecture Depends Recommends Installed-Size
