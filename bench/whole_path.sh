#!/usr/bin/env bash
# Whole-program figures of the event path, measured from outside.
#
# Lays out HOSTS simulated Windows hosts with EVENTS events each (Windows event
# XML, about 900 bytes an event), starts the stand-in server and the agent at
# log level LEVEL with its log on disk, and waits until the server has decoded
# every event. Then, in the same run and on the same logs, it times a bare
# streaming parse (`xmllint --stream --noout`), which is the floor any reader
# of these files pays, and prints:
#   - the agent's processor time for the whole path, per event, and its ratio
#     to the bare parse;
#   - the agent's idle cost: its share of a core over IDLE_SECONDS while every
#     host is polled again and nothing is new (the hosts' interval is one
#     minute, so at SCALE=60 every host is polled about once a second);
#   - the agent's peak resident memory.
#
#   bench/whole_path.sh [BUILD_DIR]
#   HOSTS=1 EVENTS=100000 LEVEL=3 SCALE=60 IDLE_SECONDS=10 bench/whole_path.sh build
#
# The figures go to standard output as one "key=value ..." line per figure.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=../scripts/lib/agent_registry.sh
source "$ROOT/scripts/lib/agent_registry.sh"
BUILD="$(cd "${1:-$ROOT/build}" && pwd)"
HOSTS="${HOSTS:-1}"
EVENTS="${EVENTS:-100000}"
LEVEL="${LEVEL:-3}"
SCALE="${SCALE:-60}"
IDLE_SECONDS="${IDLE_SECONDS:-10}"
TIMEOUT="${TIMEOUT:-900}"

for tool in "$BUILD/agent/service/ambrik" "$BUILD/testserver/orbisk-testserver"; do
  [ -x "$tool" ] || { echo "missing $tool: build the targets ambrik and orbisk-testserver" >&2; exit 2; }
done
command -v xmllint >/dev/null || { echo "xmllint is missing (package libxml2-utils)" >&2; exit 2; }

WORK="$(mktemp -d /tmp/ambrik-wholepath.XXXXXX)"
INST="$WORK/agent"
SCENARIO="$WORK/scenario"
OUT="$WORK/server"
SERVER_PID=""
AGENT_PID=""
cleanup() {
  if [ -n "$AGENT_PID" ] && kill -0 "$AGENT_PID" 2>/dev/null; then
    kill -INT "$AGENT_PID" 2>/dev/null || true
    for _ in $(seq 1 300); do kill -0 "$AGENT_PID" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$AGENT_PID" 2>/dev/null || true
  fi
  if [ -n "$SERVER_PID" ] && kill -0 "$SERVER_PID" 2>/dev/null; then
    kill -TERM "$SERVER_PID" 2>/dev/null || true
    wait "$SERVER_PID" 2>/dev/null || true
  fi
  if [ -z "${KEEP:-}" ]; then rm -rf "$WORK"; else echo "kept $WORK" >&2; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Processor time of a process in clock ticks (user + system).
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
TICK="$(getconf CLK_TCK)"

# ---- the simulated hosts and the scenario
mkdir -p "$INST/bin/data" "$INST/bin/serverdata" "$INST/logs" "$SCENARIO" "$OUT"
cp "$ROOT/data/data-dictionary.xml" "$ROOT/data/EventIdParserRules.xml" "$INST/bin/data/"
cp "$ROOT/testserver/scenarios/default/scenario.conf" "$ROOT/testserver/scenarios/default/logtypemapping.xml" \
   "$ROOT/testserver/scenarios/default/isinstall.xml" "$SCENARIO/"
echo '<MonitorRequests/>' > "$SCENARIO/monitorrequests-agent.xml"
echo '<MonitorRequests/>' > "$SCENARIO/monitorrequests-template.xml"
echo '<NotificationList/>' > "$SCENARIO/notifications.xml"

# Events end an hour before now, one a second, so every one is older than the
# agent's clock and newer than a host's first query.
START=$(( $(date +%s) - EVENTS - 3600 ))
{
  echo '<HostList>'
  for h in $(seq 1 "$HOSTS"); do
    echo "<Hosts HOST_ID=\"$((100 + h))\" HOST_NAME=\"Host $h\" DNS_NAME=\"host$h.localhost\" HOST_IPADDRESS=\"127.0.1.$h\"/>"
    echo "<HostDetails HOST_ID=\"$((100 + h))\" DOMAIN_NAME=\"CORP\" TYPE=\"Windows\" USERNAME=\"CORP\\admin\" PASSWORD=\"bnh+b3hp\" LAST_MSG_TIME=\"0\" MON_INTERVAL=\"1\" LOG_COLLECTION_STATUS=\"1\" STATUS=\"0\"/>"
  done
  echo '</HostList>'
} > "$SCENARIO/hostdetails.xml"
{
  echo '<FilterList>'
  for h in $(seq 1 "$HOSTS"); do
    echo "<HostFilter HOSTID=\"$((100 + h))\" FILTERID=\"$((500 + h))\"/><SyslogFilter ID=\"$((500 + h))\"/>"
    echo "<Filter2Criteria FILTERID=\"$((500 + h))\" CRITERIAID=\"$((600 + h))\" TYPE=\"255\"/><LACriteria CRIT_ID=\"$((600 + h))\"/>"
    echo "<LACriteria2Expressions CRIT_ID=\"$((600 + h))\" EXP_ID=\"$((700 + h))\"/>"
    echo "<LAExpression EXP_ID=\"$((700 + h))\" COLUMN_NAME=\"SEVERITY\" VALUE=\"Any\" COMPARATOR=\"1\"/>"
  done
  echo '</FilterList>'
} > "$SCENARIO/filters.xml"

# One Security log per host: logons and failed logons in turn.
generate_log() {
  awk -v n="$EVENTS" -v start="$START" -v host="$1" '
  function civil(t,   z, era, doe, yoe, doy, mp, d, m, y, s) {
    s = t % 86400; z = int(t / 86400) + 719468
    era = int(z / 146097); doe = z - era * 146097
    yoe = int((doe - int(doe / 1460) + int(doe / 36524) - int(doe / 146096)) / 365)
    y = yoe + era * 400; doy = doe - (365 * yoe + int(yoe / 4) - int(yoe / 100))
    mp = int((5 * doy + 2) / 153); d = doy - int((153 * mp + 2) / 5) + 1
    m = mp < 10 ? mp + 3 : mp - 9; if (m <= 2) y++
    return sprintf("%04d-%02d-%02dT%02d:%02d:%02d.000000000Z", y, m, d, int(s / 3600), int(s % 3600 / 60), s % 60)
  }
  BEGIN {
    print "<Events>"
    for (i = 0; i < n; i++) {
      id = i % 2 ? 4625 : 4624
      user = sprintf("user%03d", i % 500)
      printf "<Event xmlns=\x27http://schemas.microsoft.com/win/2004/08/events/event\x27><System><Provider Name=\x27Microsoft-Windows-Security-Auditing\x27 Guid=\x27{54849625-5478-4994-a5ba-3e3b0328c30d}\x27/><EventID>%d</EventID><Version>2</Version><Level>0</Level><Task>12544</Task><Opcode>0</Opcode><Keywords>0x8020000000000000</Keywords><TimeCreated SystemTime=\x27%s\x27/><EventRecordID>%d</EventRecordID><Correlation/><Execution ProcessID=\x27636\x27 ThreadID=\x27700\x27/><Channel>Security</Channel><Computer>HOST%s</Computer><Security/></System><EventData><Data Name=\x27SubjectUserSid\x27>S-1-5-18</Data><Data Name=\x27TargetUserName\x27>%s</Data><Data Name=\x27TargetDomainName\x27>CORP</Data><Data Name=\x27LogonType\x27>3</Data><Data Name=\x27WorkstationName\x27>WS%d</Data><Data Name=\x27IpAddress\x27>10.0.%d.%d</Data><Data Name=\x27IpPort\x27>%d</Data></EventData><RenderingInfo Culture=\x27en-US\x27><Message>%s An account %s.&#13;&#10;&#13;&#10;Account Name: %s&#13;&#10;Account Domain: CORP&#13;&#10;Logon Type: 3&#13;&#10;Workstation Name: WS%d&#13;&#10;Source Network Address: 10.0.%d.%d</Message></RenderingInfo></Event>\n", \
        id, civil(start + i), i + 1, host, user, i % 97, i % 200, i % 250, 49152 + i % 16000, \
        id == 4624 ? "An account was successfully logged on." : "An account failed to log on.", \
        id == 4624 ? "logged on" : "failed to log on", user, i % 97, i % 200, i % 250
    }
    print "</Events>"
  }'
}
for h in $(seq 1 "$HOSTS"); do
  dir="$INST/wmi-hosts/host$h.localhost"
  mkdir -p "$dir"
  echo '<host version="10.0.17763" currentTimeZone="0"><account user="CORP\admin" password="secret"/></host>' > "$dir/host.xml"
  if [ "$h" = 1 ]; then generate_log "$h" > "$dir/Security.xml"
  else sed "s/<Computer>HOST1</<Computer>HOST$h</" "$INST/wmi-hosts/host1.localhost/Security.xml" > "$dir/Security.xml"; fi
done
TOTAL=$((HOSTS * EVENTS))
BYTES=$(cat "$INST"/wmi-hosts/*/Security.xml | wc -c)

# ---- the bare streaming parse of the same logs
XML_START=$(date +%s.%N)
/usr/bin/time -f '%U %S' -o "$WORK/xmllint.time" sh -c \
  "for f in \"$INST\"/wmi-hosts/*/Security.xml; do xmllint --stream --noout \"\$f\" || exit 1; done"
XMLLINT_S=$(awk '{print $1 + $2}' "$WORK/xmllint.time")

# ---- the server and the agent
"$BUILD/testserver/orbisk-testserver" --scenario "$SCENARIO" --http-port 0 --https-port -1 \
  --output "$OUT" > "$WORK/server.out" 2> "$WORK/server.err" &
SERVER_PID=$!
for _ in $(seq 1 100); do grep -q '^ready' "$WORK/server.out" 2>/dev/null && break; sleep 0.1; done
PORT="$(sed -n 's/^http_port=//p' "$WORK/server.out")"
[ -n "$PORT" ] || { echo "the test server did not start:" >&2; cat "$WORK/server.err" >&2; exit 1; }

agent_registry "$PORT" "$INST" "\"AgentLogLevel\"=dword:$(printf '%08x' "$LEVEL")" > "$WORK/registry.reg"

cp "$BUILD/agent/service/ambrik" "$INST/bin/ambrik"
AGENT_START=$(date +%s.%N)
ORBISK_REGISTRY="$WORK/registry.reg" AMBRIK_CLOCK_SCALE="$SCALE" \
  "$INST/bin/ambrik" console > "$WORK/agent.stdout" 2> "$WORK/agent.stderr" &
AGENT_PID=$!

received() { { cat "$OUT"/uploads/*/rawlogs.jsonl 2>/dev/null || true; } | wc -l; }
DEADLINE=$(( $(date +%s) + TIMEOUT ))
while :; do
  kill -0 "$AGENT_PID" 2>/dev/null || { echo "the agent ended early" >&2; tail -20 "$INST/logs/agentlog.out" >&2; exit 1; }
  GOT=$(received)
  [ "$GOT" -ge "$TOTAL" ] && break
  [ "$(date +%s)" -lt "$DEADLINE" ] || { echo "only $GOT of $TOTAL events arrived in ${TIMEOUT}s" >&2; exit 1; }
  sleep 0.2
done
DONE_TICKS=$(ticks "$AGENT_PID")
WALL=$(awk -v a="$AGENT_START" -v b="$(date +%s.%N)" 'BEGIN{printf "%.1f", b - a}')
AGENT_S=$(awk -v t="$DONE_TICKS" -v k="$TICK" 'BEGIN{printf "%.2f", t / k}')

# ---- idle: nothing new on any host
IDLE_T0=$(ticks "$AGENT_PID"); IDLE_W0=$(date +%s.%N)
sleep "$IDLE_SECONDS"
IDLE_T1=$(ticks "$AGENT_PID"); IDLE_W1=$(date +%s.%N)
PEAK_KB=$(awk '/VmHWM/ {print $2}' "/proc/$AGENT_PID/status")

awk -v hosts="$HOSTS" -v events="$EVENTS" -v level="$LEVEL" -v agent="$AGENT_S" -v xml="$XMLLINT_S" \
    -v total="$TOTAL" -v bytes="$BYTES" -v wall="$WALL" 'BEGIN {
  printf "whole_path hosts=%d events_per_host=%d level=%d agent_cpu_s=%.2f us_per_event=%.1f xmllint_cpu_s=%.2f xmllint_us_per_event=%.2f ratio=%.2f wall_s=%s input_mb=%.1f\n",
    hosts, events, level, agent, agent * 1e6 / total, xml, xml * 1e6 / total, (xml > 0 ? agent / xml : 0), wall, bytes / 1048576 }'
awk -v t0="$IDLE_T0" -v t1="$IDLE_T1" -v w0="$IDLE_W0" -v w1="$IDLE_W1" -v k="$TICK" -v hosts="$HOSTS" \
    -v scale="$SCALE" 'BEGIN {
  printf "idle hosts=%d clock_scale=%s seconds=%.1f cpu_s=%.2f core_fraction=%.3f\n", hosts, scale, w1 - w0, (t1 - t0) / k, (t1 - t0) / k / (w1 - w0) }'
echo "peak_rss hosts=$HOSTS events_per_host=$EVENTS peak_rss_kib=$PEAK_KB peak_rss_mib=$(awk -v k="$PEAK_KB" 'BEGIN{printf "%.1f", k / 1024}')"
