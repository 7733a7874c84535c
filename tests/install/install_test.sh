#!/usr/bin/env bash
# install_test.sh BUILD_DIR CONSUMER_SOURCE_DIR
set -euo pipefail
build_dir=$1
consumer=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build_dir" --prefix "$prefix/usr" >/dev/null
cmake -S "$consumer" -B "$prefix/build" -DCMAKE_PREFIX_PATH="$prefix/usr" >/dev/null
cmake --build "$prefix/build" -j 2 >/dev/null
"$prefix/build/consumer"
