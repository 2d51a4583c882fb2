#!/bin/sh
# Installs the build into a scratch prefix under root's usual umask 022, as
# the package is staged, and checks that the folders of the logs and the data
# files admit only their owner (0700).
set -u
build="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
umask 022
# A build folder that holds only some targets (the thread sanitizer's subset)
# has nothing to install.
if [ ! -x "$build/agent/service/ambrik" ]; then
  echo "skipped: the agent is not built in $build"
  exit 77
fi
cmake --install "$build" --prefix "$work" >/dev/null || { echo "cmake --install failed"; exit 1; }
status=0
for folder in logs bin/serverdata; do
  mode="$(stat -c %a "$work/$folder")"
  echo "$folder $mode"
  [ "$mode" = 700 ] || status=1
done
exit "$status"
