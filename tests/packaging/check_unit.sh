#!/bin/sh
# Checks the systemd unit: systemd-analyze verify finds nothing but the
# program that is not installed here, the exposure score of
# systemd-analyze security stays at or below the limit, and the service's
# memory is bounded. Skipped (77) where systemd-analyze is missing.
set -u
unit="$1"
limit="${2:-3.0}"
grep -Eq '^MemoryMax=[0-9]+[KMG]$' "$unit" || { echo "no MemoryMax= bound"; exit 1; }
command -v systemd-analyze >/dev/null 2>&1 || { echo "systemd-analyze is not installed"; exit 77; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp "$unit" "$work/ambrik.service"
cd "$work" || exit 1
problems="$(systemd-analyze verify ./ambrik.service 2>&1 | grep -v 'is not executable: No such file or directory' || true)"
if [ -n "$problems" ]; then
  echo "systemd-analyze verify:"; echo "$problems"; exit 1
fi
score="$(systemd-analyze security --offline=yes ambrik.service 2>&1 | sed -n 's/.*Overall exposure level for ambrik.service: \([0-9.]*\).*/\1/p')"
[ -n "$score" ] || { echo "no exposure score"; exit 1; }
echo "exposure $score (limit $limit)"
awk -v s="$score" -v l="$limit" 'BEGIN { exit !(s <= l) }'
