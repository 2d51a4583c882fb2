#!/usr/bin/env bash
# The whole file-change path under bursts: the agent watches drive C (a
# scratch folder, a tmpfs as root) against the test server; each burst
# creates N files in four folders of the watched location, then deletes
# them. Per burst it prints what the server received (CREATED and DELETED
# rows of the change uploads, by path), how fast the journal recorded the
# creations and how fast the agent queued them (its rate against the bare
# journal's, in the same run), and the agent's resident memory before the
# burst, at its peak and after the change and new-data jobs ran.
#
#   bench/fim_burst.sh [BUILD_DIR]
#   BURSTS="10000 50000 100000 200000" SCALE=60 bench/fim_burst.sh build
#   AGENT=<path>   another agent program (a build of older code, for a
#                  before-and-after comparison) with this build's tools
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=../scripts/lib/agent_registry.sh
source "$ROOT/scripts/lib/agent_registry.sh"
BUILD="$(cd "${1:-$ROOT/build}" && pwd)"
BURSTS="${BURSTS:-10000 50000 100000 200000}"
SCALE="${SCALE:-20}"
TIMEOUT="${TIMEOUT:-300}"
AGENT="${AGENT:-$BUILD/agent/service/ambrik}"
INSPECT="$BUILD/tools/ambrik-inspect"

for tool in "$AGENT" "$BUILD/testserver/orbisk-testserver" "$INSPECT"; do
  [ -x "$tool" ] || { echo "missing $tool: build ambrik, orbisk-testserver and ambrik-inspect" >&2; exit 2; }
done

# shellcheck source=support/agent_run.sh
source "$ROOT/bench/support/agent_run.sh"
bench_scratch fimburst 3g
bench_fim_scenario 'c:\\watched'
bench_start_server

VOLUME="$WORK/volume"
RUN="$WORK/run"
mkdir -p "$VOLUME/watched"
LOG="$RUN/inst/logs/agentlog.out"
bench_start_agent "$RUN" "$VOLUME" "$AGENT"
sleep 2

rss() { awk '/VmRSS/ {print $2}' "/proc/$AGENT_PID/status"; }
now() { date +%s.%N; }
PEAK=0
sample() { local r; r=$(rss); [ "$r" -gt "$PEAK" ] && PEAK=$r; true; }
# The journal file holds a record of this kind naming this file.
journal_has() { "$INSPECT" --journal "$RUN/journal/C.journal" 2>/dev/null | grep "$1" | grep -q "$2"; }
# The server's decoding of every change upload is read once into "TYPE path" lines.
ROWS="$WORK/rows.txt"
SEEN="$WORK/seen.txt"
: > "$ROWS"
: > "$SEEN"
collect() {
  { find "$WORK/server/uploads" -maxdepth 1 -name '*changedata_*.jsonl' 2>/dev/null || true; } | sort > "$WORK/zips.txt"
  comm -13 "$SEEN" "$WORK/zips.txt" > "$WORK/new.txt"
  [ -s "$WORK/new.txt" ] || return 0
  xargs -r cat < "$WORK/new.txt" |
    sed -n 's/.*"path":"\([^"]*\)".*"changeType":"\([A-Z]*\)".*/\2 \1/p' >> "$ROWS" || true
  sort -m "$SEEN" "$WORK/new.txt" > "$WORK/seen.new"
  mv "$WORK/seen.new" "$SEEN"
}
# Changes of one type the server received for a burst, each path once.
received() { { grep "$2.*$1" "$ROWS" || true; } | sort -u | wc -l; }
# Waits until the server received N changes of a type for the burst, or the
# count stopped growing for three change jobs; prints "seconds count" (the
# seconds from `from` until the last one arrived).
wait_received() {
  local tag="$1" type="$2" n="$3" from="$4" last=-1 grown stable c
  grown=$(now)
  stable=$(awk -v s="$SCALE" 'BEGIN{printf "%d", 3 * 180 / s + 10}')
  while :; do
    collect
    sample
    c=$(received "$tag" "$type")
    if [ "$c" != "$last" ]; then last=$c; grown=$(now); fi
    [ "$c" -ge "$n" ] && break
    awk -v a="$grown" -v b="$(now)" -v s="$stable" 'BEGIN{exit !(b - a > s)}' && break
    sleep 0.5
  done
  echo "$(awk -v a="$from" -v b="$grown" 'BEGIN{printf "%.2f", b - a}') $last"
}

for N in $BURSTS; do
  TAG="b${N}x"
  BEFORE=$(rss)
  PEAK=$BEFORE
  START=$(now)
  python3 -c '
import os, sys
root, tag, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
for k in range(4):
    os.mkdir(os.path.join(root, "%s%d" % (tag, k)))
for i in range(n):
    open(os.path.join(root, "%s%d" % (tag, i % 4), "f%d.txt" % i), "w").close()
' "$VOLUME/watched" "$TAG" "$N"
  until journal_has "\"f$((N - 1)).txt\"" "FILE_CREATE|CLOSE"; do sample; sleep 0.2; done
  JOURNAL_S=$(awk -v a="$START" -v b="$(now)" 'BEGIN{printf "%.2f", b - a}')
  read -r AGENT_S CREATED < <(wait_received "$TAG" CREATED "$N" "$START")
  python3 -c '
import os, shutil, sys
for k in range(4):
    shutil.rmtree(os.path.join(sys.argv[1], "%s%d" % (sys.argv[2], k)))
' "$VOLUME/watched" "$TAG"
  read -r _ DELETED < <(wait_received "$TAG" DELETED "$N" "$(now)")
  # One new-data job (every 20 minutes of agent time) empties the new items.
  end=$(( $(date +%s) + 1200 / SCALE + 3 ))
  while [ "$(date +%s)" -lt "$end" ]; do sample; sleep 0.5; done
  AFTER=$(rss)
  awk -v n="$N" -v c="$CREATED" -v d="$DELETED" -v js="$JOURNAL_S" -v as="$AGENT_S" -v b="$BEFORE" -v p="$PEAK" \
      -v a="$AFTER" 'BEGIN {
    jr = js > 0 ? n / js : 0; ar = as > 0 ? c / as : 0
    printf "fim_burst files=%d created_received=%d deleted_received=%d journal_per_s=%.0f agent_per_s=%.0f rate_ratio=%.2f rss_before_mib=%.1f rss_peak_mib=%.1f rss_after_mib=%.1f\n",
      n, c, d, jr, ar, (jr > 0 ? ar / jr : 0), b / 1024, p / 1024, a / 1024 }'
done
