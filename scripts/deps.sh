#!/usr/bin/env bash
# Installs the Debian packages the project needs; does nothing when they are
# there. As root it runs apt-get; otherwise it prints the line to run.
set -euo pipefail

packages=(
  g++ make cmake pkg-config
  libboost-dev
  libgtest-dev libgmock-dev
  libbenchmark-dev
  # vorel-sim and vorel-monitor: options (CLI11), JSON (nlohmann-json), the
  # monitor's terminal (ncurses); CMake finds the first two by their config files
  libcli11-dev nlohmann-json3-dev libncurses-dev
  clang libclang-rt-14-dev
  python3 python3-matplotlib
  # The Debian package (scripts/package.sh: CPack's DEB generator and
  # dpkg-shlibdeps)
  dpkg-dev
  # The API reference (the docs target)
  doxygen
  # vorel-monitor --http's browser test: headless Chromium, with a font for
  # the page's text
  chromium fonts-dejavu-core
)
# vorel-monitor --http's page takes uPlot from npm; the build installs it (and
# the browser test's playwright-core) with npm. Node.js may come from another
# source than Debian (with npm inside it): only a missing command asks for
# Debian's packages.
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  packages+=(nodejs npm)
fi

missing=()
for pkg in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
  echo "deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "deps: missing packages; run as root:"
  echo "  apt-get install -y ${missing[*]}"
  exit 1
fi
