#!/usr/bin/env bash
# The whole agent's resident memory while it watches a volume of DIRS
# directories, against the same agent watching an empty volume, in one run.
#
# Drive C is mapped to a scratch folder (a tmpfs as root) holding DIRS
# directories under the watched location; the stand-in server answers with
# that location. The agent is started, and once its monitor waits on the
# journal ("Initiating WAIT") its resident and peak memory are read. Then the
# same with the location empty. Prints one "key=value ..." line.
#
#   bench/fim_memory.sh [BUILD_DIR]
#   DIRS=100000 SCALE=60 HOSTS=25 bench/fim_memory.sh build
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=../scripts/lib/agent_registry.sh
source "$ROOT/scripts/lib/agent_registry.sh"
BUILD="$(cd "${1:-$ROOT/build}" && pwd)"
DIRS="${DIRS:-100000}"
SCALE="${SCALE:-60}"
TIMEOUT="${TIMEOUT:-300}"
HOSTS="${HOSTS:-0}"


# shellcheck source=support/agent_run.sh
source "$ROOT/bench/support/agent_run.sh"
bench_need_programs
bench_scratch fimmemory 2g
bench_fim_scenario 'c:\\\\watched'
# HOSTS=N: the server lists N Windows hosts, each with the scenario's filter
# and notification rules (none answers, so their collections fail and retry).
{
  echo '<?xml version="1.0"?><HostList>'
  for h in $(seq 1 "$HOSTS"); do
    id=$((100 + h))
    echo "<Hosts HOST_ID=\"$id\" HOST_NAME=\"Host $id\" DNS_NAME=\"host$id.localhost\" HOST_IPADDRESS=\"127.0.2.$h\"/>"
    echo "<HostDetails HOST_ID=\"$id\" DOMAIN_NAME=\"CORP\" TYPE=\"Windows\" USERNAME=\"CORP\\admin\" PASSWORD=\"bnh+b3hp\"" \
         "LAST_MSG_TIME=\"0\" MON_INTERVAL=\"2\" LOG_COLLECTION_STATUS=\"1\" STATUS=\"0\"/>"
  done
  echo '</HostList>'
} > "$SCENARIO/hostdetails.xml"
bench_start_server

# Runs the agent over volume $1 until its monitor waits; prints "rss_kib peak_kib start_s".
measure() {
  local volume="$1" run="$WORK/run-$(basename "$1")"
  local start; start=$(date +%s.%N)
  bench_start_agent "$run" "$volume" "$BUILD/agent/service/ambrik"
  local took; took=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN{printf "%.1f", b - a}')
  sleep 2  # the first poll of the journal
  echo "$(awk '/VmRSS/ {print $2}' "/proc/$AGENT_PID/status") $(awk '/VmHWM/ {print $2}' "/proc/$AGENT_PID/status") $took"
  bench_stop_agent
}

mkdir -p "$WORK/empty/watched" "$WORK/full/watched"
(cd "$WORK/full/watched" && for d in $(seq 0 $(( (DIRS + 999) / 1000 - 1 ))); do
   mkdir -p "d$d"; (cd "d$d" && seq -f 'e%.0f' 0 $(( DIRS / ((DIRS + 999) / 1000) - 2 )) | xargs mkdir -p); done)
MADE=$(find "$WORK/full/watched" -type d | wc -l)

read -r FULL_RSS FULL_PEAK FULL_START < <(measure "$WORK/full")
read -r EMPTY_RSS EMPTY_PEAK EMPTY_START < <(measure "$WORK/empty")
[ -n "${FULL_RSS:-}" ] && [ -n "${EMPTY_RSS:-}" ] || { echo "a run gave no figures" >&2; exit 1; }
awk -v hosts="$HOSTS" -v dirs="$MADE" -v fr="$FULL_RSS" -v fp="$FULL_PEAK" -v fs="$FULL_START" -v er="$EMPTY_RSS" -v ep="$EMPTY_PEAK" \
    -v es="$EMPTY_START" 'BEGIN {
  printf "fim_memory hosts=%d directories=%d rss_mib=%.1f peak_mib=%.1f start_s=%s empty_rss_mib=%.1f empty_peak_mib=%.1f empty_start_s=%s rss_added_mib=%.1f rss_ratio=%.2f\n",
    hosts, dirs, fr / 1024, fp / 1024, fs, er / 1024, ep / 1024, es, (fr - er) / 1024, (er > 0 ? fr / er : 0) }'
