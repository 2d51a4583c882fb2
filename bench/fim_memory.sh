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

for tool in "$BUILD/agent/service/ambrik" "$BUILD/testserver/orbisk-testserver"; do
  [ -x "$tool" ] || { echo "missing $tool: build the targets ambrik and orbisk-testserver" >&2; exit 2; }
done

WORK="$(mktemp -d /tmp/ambrik-fimmemory.XXXXXX)"
MOUNTED=""
if [ "$(id -u)" = 0 ] && mount -t tmpfs -o size=2g,mode=0700 ambrik-bench "$WORK"; then MOUNTED=1; fi
SERVER_PID=""
AGENT_PID=""
stop_agent() {
  if [ -n "$AGENT_PID" ] && kill -0 "$AGENT_PID" 2>/dev/null; then
    kill -INT "$AGENT_PID" 2>/dev/null || true
    for _ in $(seq 1 300); do kill -0 "$AGENT_PID" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$AGENT_PID" 2>/dev/null || true
  fi
  AGENT_PID=""
}
cleanup() {
  stop_agent
  if [ -n "$SERVER_PID" ] && kill -0 "$SERVER_PID" 2>/dev/null; then
    kill -TERM "$SERVER_PID" 2>/dev/null || true
    wait "$SERVER_PID" 2>/dev/null || true
  fi
  if [ -n "$MOUNTED" ]; then umount -l "$WORK" || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

SCENARIO="$WORK/scenario"
mkdir -p "$SCENARIO" "$WORK/server"
cp -r "$ROOT/testserver/scenarios/default/." "$SCENARIO/"
rm -rf "$SCENARIO/wmi-hosts"
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
echo '<?xml version="1.0"?><MonitorRequests><FIM_AgentRequest INCL_LOC="c:\\\\watched" CHECKSUM="" LOC_ID="1"/></MonitorRequests>' \
  > "$SCENARIO/monitorrequests-agent.xml"

"$BUILD/testserver/orbisk-testserver" --scenario "$SCENARIO" --http-port 0 --https-port -1 \
  --output "$WORK/server" > "$WORK/server.out" 2> "$WORK/server.err" &
SERVER_PID=$!
for _ in $(seq 1 100); do grep -q '^ready' "$WORK/server.out" 2>/dev/null && break; sleep 0.1; done
PORT="$(sed -n 's/^http_port=//p' "$WORK/server.out")"
[ -n "$PORT" ] || { echo "the test server did not start:" >&2; cat "$WORK/server.err" >&2; exit 1; }

# Runs the agent over volume $1 until its monitor waits; prints "rss_kib peak_kib start_s".
measure() {
  local volume="$1" run="$WORK/run-$(basename "$1")"
  mkdir -p "$run/inst/bin/data" "$run/inst/logs" "$run/journal"
  cp "$ROOT/data/data-dictionary.xml" "$ROOT/data/EventIdParserRules.xml" "$run/inst/bin/data/"
  agent_registry "$PORT" "$run/inst" '' \
    '[HKEY_LOCAL_MACHINE\Software\Vardo Corp\Orbisk\Ambrik\Volumes]' \
    "\"C\"=\"$volume\"" "\"JournalDir\"=\"$run/journal/\"" > "$run/registry.reg"
  local start; start=$(date +%s.%N)
  ORBISK_REGISTRY="$run/registry.reg" AMBRIK_CLOCK_SCALE="$SCALE" \
    "$BUILD/agent/service/ambrik" console > "$run/agent.out" 2>&1 &
  AGENT_PID=$!
  local deadline=$(( $(date +%s) + TIMEOUT ))
  until grep -q 'Initiating WAIT' "$run/inst/logs/agentlog.out" 2>/dev/null; do
    kill -0 "$AGENT_PID" 2>/dev/null || { echo "the agent ended early" >&2; tail -20 "$run/agent.out" >&2; exit 1; }
    [ "$(date +%s)" -lt "$deadline" ] || { echo "the monitor did not start in ${TIMEOUT}s" >&2; exit 1; }
    sleep 0.1
  done
  local took; took=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN{printf "%.1f", b - a}')
  sleep 2  # the first poll of the journal
  echo "$(awk '/VmRSS/ {print $2}' "/proc/$AGENT_PID/status") $(awk '/VmHWM/ {print $2}' "/proc/$AGENT_PID/status") $took"
  stop_agent
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
