#!/usr/bin/env bash
# Builds vorel-sim and the plug-in of another commit, for measuring it beside
# this tree on the same machine in the same run:
#
#   scripts/base_tree.sh REV      prints the path of REV's built vorel-sim
#
# The commit is checked out as a detached git worktree of this repository
# under /tmp/vorel-base-<REV> (BASE_TREE_ROOT overrides /tmp), built in
# Release in its build-release/ without tests and benchmarks, and reused by
# later calls. Build output goes to standard error; exit status 1 when the
# commit cannot be checked out or built.
set -euo pipefail
cd "$(dirname "$0")/.."

rev="${1:?usage: scripts/base_tree.sh REV}"
commit=$(git rev-parse --verify --quiet "$rev^{commit}") || {
  echo "base_tree.sh: no commit '$rev' in this repository" >&2
  exit 1
}
dir="${BASE_TREE_ROOT:-/tmp}/vorel-base-${commit:0:12}"

if [ ! -e "$dir/.git" ]; then
  # A directory left by an interrupted checkout is removed first.
  git worktree prune
  rm -rf "$dir"
  git worktree add --detach "$dir" "$commit" >&2
fi
if [ "$(git -C "$dir" rev-parse HEAD)" != "$commit" ]; then
  echo "base_tree.sh: $dir holds $(git -C "$dir" rev-parse --short HEAD), not $rev" >&2
  exit 1
fi

cmake -S "$dir" -B "$dir/build-release" -DCMAKE_BUILD_TYPE=Release -DVOREL_BUILD_TESTS=OFF \
  -DVOREL_BUILD_BENCH=OFF >&2
cmake --build "$dir/build-release" --target vorel-sim vorel_device -j "$(nproc)" >&2
echo "$dir/build-release/bin/vorel-sim"
