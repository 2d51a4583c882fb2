#!/usr/bin/env bash
# Whole-program figures of the event path, measured from outside.
#
# Lays out simulated Windows hosts (Windows event XML, about 900 bytes an
# event), starts the stand-in server and the agent with its log on disk, and
# waits until the server has decoded every event. In the same run and on the
# same logs it times a bare streaming parse (`xmllint --stream --noout`), the
# floor any reader of these files pays, and prints one "key=value ..." line
# per figure, each beside its baseline:
#   - shipped: the agent's processor time for the whole path of 1 host x
#     EVENTS events at log levels 3 and 2, per event, and its ratio to the
#     bare parse;
#   - empty_poll: the agent's processor time per poll that finds nothing new
#     (1 host x EVENTS and HOSTS hosts x HOST_EVENTS events, the hosts' one-
#     minute interval run SCALE times faster), beside a bare parse of one
#     host's log, which is what a poll that reads the log again pays, and
#     less the background of an agent with no hosts at the same clock
#     (background: its timers run SCALE times faster as well);
#   - idle_real_clock: the agent's share of a core at the real clock with
#     HOSTS hosts polled once a minute and nothing new (the background of an
#     agent at the real clock over REAL_SECONDS, plus HOSTS polls a minute at
#     the cost measured above), beside the share a bare parse of every log
#     once a minute would take;
#   - peak_rss: the agent's peak resident memory in each run.
#
#   bench/whole_path.sh [BUILD_DIR]
#   EVENTS=100000 HOSTS=25 HOST_EVENTS=4000 SCALE=60 IDLE_SECONDS=10 REAL_SECONDS=60 bench/whole_path.sh build
#   ONLY=shipped bench/whole_path.sh build     (or ONLY=hosts: the HOSTS hosts only)
#   PROFILE=/tmp/prof bench/whole_path.sh build  (also records each collection
#   run with `perf record -e cpu-clock -g` into /tmp/prof.NAME.levelN)
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=../scripts/lib/agent_registry.sh
source "$ROOT/scripts/lib/agent_registry.sh"
# shellcheck source=support/agent_run.sh
source "$ROOT/bench/support/agent_run.sh"
BUILD="$(cd "${1:-$ROOT/build}" && pwd)"
bench_need_programs
EVENTS="${EVENTS:-100000}"
HOSTS="${HOSTS:-25}"
HOST_EVENTS="${HOST_EVENTS:-4000}"
SCALE="${SCALE:-60}"
IDLE_SECONDS="${IDLE_SECONDS:-10}"
REAL_SECONDS="${REAL_SECONDS:-60}"
TIMEOUT="${TIMEOUT:-900}"
ONLY="${ONLY:-}"

command -v xmllint >/dev/null || { echo "xmllint is missing (package libxml2-utils)" >&2; exit 2; }

WORK="$(mktemp -d /tmp/ambrik-wholepath.XXXXXX)"
SERVER_PID=""
AGENT_PID=""
cleanup() {
  bench_stop_agent
  bench_stop_server
  if [ -z "${KEEP:-}" ]; then rm -rf "$WORK"; else echo "kept $WORK" >&2; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Processor time of a process in clock ticks (user + system).
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
TICK="$(getconf CLK_TCK)"
# Processor nanoseconds of a process's threads ("threads ns"): finer than
# ticks for the short spans of an idle agent, whose threads last.
thread_ns() {
  local t ids="" sum=0 ns
  for t in /proc/"$1"/task/*; do
    read -r ns _ < "$t/schedstat" || continue
    sum=$((sum + ns)); ids="$ids ${t##*/}"
  done
  echo "$ids $sum"
}
# cpu_seconds NS0 NS1 TICKS0 TICKS1: processor seconds between two readings,
# from the threads when the same threads ran all along, else from the ticks.
cpu_seconds() {
  if [ "${1% *}" = "${2% *}" ]; then awk -v a="${1##* }" -v b="${2##* }" 'BEGIN{printf "%.6f", (b - a) / 1e9}'
  else awk -v a="$3" -v b="$4" -v k="$TICK" 'BEGIN{printf "%.6f", (b - a) / k}'; fi
}
now() { date +%s.%N; }

# Events end an hour before now, one a second, so every one is older than the
# agent's clock and newer than a host's first query.
# generate_log HOST EVENTS: one Security log, logons and failed logons in turn.
generate_log() {
  awk -v n="$2" -v start="$(( $(date +%s) - $2 - 3600 ))" -v host="$1" '
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

# setup NAME HOSTS EVENTS: the folder $WORK/NAME with the agent's install
# folder, its simulated hosts and the server's scenario.
setup() {
  local name="$1" hosts="$2" events="$3" h dir
  local inst="$WORK/$name/agent" scenario="$WORK/$name/scenario"
  mkdir -p "$inst/bin/data" "$inst/bin/serverdata" "$inst/logs" "$scenario" "$WORK/$name/server"
  cp "$ROOT/data/data-dictionary.xml" "$ROOT/data/EventIdParserRules.xml" "$inst/bin/data/"
  cp "$ROOT/testserver/scenarios/default/scenario.conf" "$ROOT/testserver/scenarios/default/logtypemapping.xml" \
     "$ROOT/testserver/scenarios/default/isinstall.xml" "$scenario/"
  echo '<MonitorRequests/>' > "$scenario/monitorrequests-agent.xml"
  echo '<MonitorRequests/>' > "$scenario/monitorrequests-template.xml"
  echo '<NotificationList/>' > "$scenario/notifications.xml"
  {
    echo '<HostList>'
    for h in $(seq 1 "$hosts"); do
      echo "<Hosts HOST_ID=\"$((100 + h))\" HOST_NAME=\"Host $h\" DNS_NAME=\"host$h.localhost\" HOST_IPADDRESS=\"127.0.1.$h\"/>"
      echo "<HostDetails HOST_ID=\"$((100 + h))\" DOMAIN_NAME=\"CORP\" TYPE=\"Windows\" USERNAME=\"CORP\\admin\" PASSWORD=\"bnh+b3hp\" LAST_MSG_TIME=\"0\" MON_INTERVAL=\"1\" LOG_COLLECTION_STATUS=\"1\" STATUS=\"0\"/>"
    done
    echo '</HostList>'
  } > "$scenario/hostdetails.xml"
  {
    echo '<FilterList>'
    for h in $(seq 1 "$hosts"); do
      echo "<HostFilter HOSTID=\"$((100 + h))\" FILTERID=\"$((500 + h))\"/><SyslogFilter ID=\"$((500 + h))\"/>"
      echo "<Filter2Criteria FILTERID=\"$((500 + h))\" CRITERIAID=\"$((600 + h))\" TYPE=\"255\"/><LACriteria CRIT_ID=\"$((600 + h))\"/>"
      echo "<LACriteria2Expressions CRIT_ID=\"$((600 + h))\" EXP_ID=\"$((700 + h))\"/>"
      echo "<LAExpression EXP_ID=\"$((700 + h))\" COLUMN_NAME=\"SEVERITY\" VALUE=\"Any\" COMPARATOR=\"1\"/>"
    done
    echo '</FilterList>'
  } > "$scenario/filters.xml"
  for h in $(seq 1 "$hosts"); do
    dir="$inst/wmi-hosts/host$h.localhost"
    mkdir -p "$dir"
    echo '<host version="10.0.17763" currentTimeZone="0"><account user="CORP\admin" password="secret"/></host>' > "$dir/host.xml"
    if [ "$h" = 1 ]; then generate_log "$h" "$events" > "$dir/Security.xml"
    else sed "s/<Computer>HOST1</<Computer>HOST$h</" "$inst/wmi-hosts/host1.localhost/Security.xml" > "$dir/Security.xml"; fi
  done
}

# bare_parse NAME: processor seconds of xmllint over the logs of NAME.
bare_parse() {
  /usr/bin/time -f '%U %S' -o "$WORK/$1/xmllint.time" sh -c \
    "for f in \"$WORK/$1\"/agent/wmi-hosts/*/Security.xml; do xmllint --stream --noout \"\$f\" || exit 1; done"
  awk '{printf "%.3f", $1 + $2}' "$WORK/$1/xmllint.time"
}

# start_server NAME: the stand-in server of NAME; sets PORT.
start_server() {
  local out="$WORK/$1/server"
  "$BUILD/testserver/orbisk-testserver" --scenario "$WORK/$1/scenario" --http-port 0 --https-port -1 \
    --output "$out" > "$WORK/$1/server.out" 2> "$WORK/$1/server.err" &
  SERVER_PID=$!
  for _ in $(seq 1 100); do grep -q '^ready' "$WORK/$1/server.out" 2>/dev/null && break; sleep 0.1; done
  PORT="$(sed -n 's/^http_port=//p' "$WORK/$1/server.out")"
  [ -n "$PORT" ] || { echo "the test server did not start:" >&2; cat "$WORK/$1/server.err" >&2; exit 1; }
}

# start_agent NAME LEVEL SCALE: the agent of NAME at that log level and clock.
start_agent() {
  local inst="$WORK/$1/agent"
  agent_registry "$PORT" "$inst" "\"AgentLogLevel\"=dword:$(printf '%08x' "$2")" > "$WORK/$1/registry.reg"
  cp "$BUILD/agent/service/ambrik" "$inst/bin/ambrik"
  ORBISK_REGISTRY="$WORK/$1/registry.reg" AMBRIK_CLOCK_SCALE="$3" \
    "$inst/bin/ambrik" console > "$WORK/$1/agent.stdout" 2> "$WORK/$1/agent.stderr" &
  AGENT_PID=$!
}

# wait_received NAME TOTAL: until the server has decoded TOTAL events.
wait_received() {
  local deadline=$(( $(date +%s) + TIMEOUT )) got
  while :; do
    kill -0 "$AGENT_PID" 2>/dev/null || { echo "the agent ended early" >&2; tail -20 "$WORK/$1/agent/logs/agentlog.out" >&2; exit 1; }
    got=$({ cat "$WORK/$1"/server/uploads/*/rawlogs.jsonl 2>/dev/null || true; } | wc -l)
    [ "$got" -ge "$2" ] && break
    [ "$(date +%s)" -lt "$deadline" ] || { echo "only $got of $2 events arrived in ${TIMEOUT}s" >&2; exit 1; }
    sleep 0.2
  done
}

# Polls the agent has finished: after each it tells the server the host's
# status (its own log says so too, but it rotates).
polls() {
  local log="$WORK/$1/server/requests.log"
  if [ -f "$log" ]; then grep -c 'mode=hoststatus' "$log" || true; else echo 0; fi
}

# wait_polls NAME COUNT: until the agent has finished COUNT polls in all.
wait_polls() {
  local deadline=$(( $(date +%s) + TIMEOUT ))
  while [ "$(polls "$1")" -lt "$2" ]; do
    kill -0 "$AGENT_PID" 2>/dev/null || { echo "the agent ended early" >&2; exit 1; }
    [ "$(date +%s)" -lt "$deadline" ] || { echo "fewer than $2 polls in ${TIMEOUT}s" >&2; exit 1; }
    sleep 0.2
  done
}

peak_kib() { awk '/VmHWM/ {print $2}' "/proc/$AGENT_PID/status"; }

# shipped NAME LEVEL HOSTS EVENTS XMLLINT_S: one collection run, its figures.
shipped() {
  local name="$1" level="$2" total=$(( $3 * $4 )) t0 t1 cpu wall
  start_server "$name"
  t0=$(now)
  start_agent "$name" "$level" "$SCALE"
  local perf_pid=""
  if [ -n "${PROFILE:-}" ]; then
    perf record -q -e cpu-clock -g -p "$AGENT_PID" -o "$PROFILE.$name.level$level" 2> /dev/null &
    perf_pid=$!
  fi
  wait_received "$name" "$total"
  if [ -n "$perf_pid" ]; then kill -INT "$perf_pid"; wait "$perf_pid" || true; fi
  cpu=$(awk -v t="$(ticks "$AGENT_PID")" -v k="$TICK" 'BEGIN{printf "%.2f", t / k}')
  t1=$(now)
  awk -v hosts="$3" -v events="$4" -v level="$level" -v agent="$cpu" -v xml="$5" -v total="$total" \
      -v wall="$(awk -v a="$t0" -v b="$t1" 'BEGIN{printf "%.1f", b - a}')" \
      -v bytes="$(cat "$WORK/$name"/agent/wmi-hosts/*/Security.xml | wc -c)" 'BEGIN {
    printf "shipped hosts=%d events_per_host=%d level=%d agent_cpu_s=%.2f us_per_event=%.1f xmllint_cpu_s=%.2f xmllint_us_per_event=%.2f ratio=%.2f wall_s=%s input_mb=%.1f\n",
      hosts, events, level, agent, agent * 1e6 / total, xml, xml * 1e6 / total, (xml > 0 ? agent / xml : 0), wall, bytes / 1048576 }'
}

# empty_poll NAME HOSTS EVENTS XMLLINT_S: processor time per poll over
# IDLE_SECONDS of the running agent, nothing being new.
empty_poll() {
  local name="$1" p0 p1 t0 t1 n0 n1 w0 w1
  wait_polls "$name" $(( $(polls "$name") + $2 ))  # every host once past the collection
  local perf_pid=""
  if [ -n "${PROFILE:-}" ]; then
    perf record -q -e cpu-clock -g -p "$AGENT_PID" -o "$PROFILE.$name.idle" 2> /dev/null &
    perf_pid=$!
  fi
  p0=$(polls "$name"); t0=$(ticks "$AGENT_PID"); n0=$(thread_ns "$AGENT_PID"); w0=$(now)
  sleep "$IDLE_SECONDS"
  p1=$(polls "$name"); t1=$(ticks "$AGENT_PID"); n1=$(thread_ns "$AGENT_PID"); w1=$(now)
  if [ -n "$perf_pid" ]; then kill -INT "$perf_pid"; wait "$perf_pid" || true; fi
  POLL_MS=$(awk -v polls="$((p1 - p0))" -v cpu="$(cpu_seconds "$n0" "$n1" "$t0" "$t1")" -v bg="$BACKGROUND" \
      -v w="$(awk -v a="$w0" -v b="$w1" 'BEGIN{print b - a}')" 'BEGIN{printf "%.4f", (polls > 0 ? (cpu - bg * w) * 1000 / polls : 0)}')
  awk -v hosts="$2" -v events="$3" -v polls="$((p1 - p0))" -v cpu="$(cpu_seconds "$n0" "$n1" "$t0" "$t1")" -v xml="$4" \
      -v w="$(awk -v a="$w0" -v b="$w1" 'BEGIN{print b - a}')" -v scale="$SCALE" -v bg="$BACKGROUND" 'BEGIN {
    ms = polls > 0 ? cpu * 1000 / polls : 0; parse = xml * 1000 / hosts
    net = polls > 0 ? (cpu - bg * w) * 1000 / polls : 0
    printf "empty_poll hosts=%d events_per_host=%d clock_scale=%s seconds=%.1f polls=%d cpu_s=%.3f ms_per_poll=%.3f ms_per_poll_less_background=%.3f bare_parse_ms_per_host=%.1f ratio=%.4f core_fraction=%.4f\n",
      hosts, events, scale, w, polls, cpu, ms, net, parse, (parse > 0 ? ms / parse : 0), cpu / w }'
}

# background NAME CLOCK_SCALE SECONDS: the share of a core an agent with no
# hosts takes at that clock, over SECONDS after a few seconds to settle;
# sets BACKGROUND (cores). At SCALE the agent's timers run SCALE times faster
# too, so this is taken off the empty polls' time per second.
background() {
  local n0 n1 t0 t1 w0 w1
  setup "$1" 0 0
  start_server "$1"
  start_agent "$1" 3 "$2"
  sleep 5
  t0=$(ticks "$AGENT_PID"); n0=$(thread_ns "$AGENT_PID"); w0=$(now)
  sleep "$3"
  t1=$(ticks "$AGENT_PID"); n1=$(thread_ns "$AGENT_PID"); w1=$(now)
  BACKGROUND=$(awk -v c="$(cpu_seconds "$n0" "$n1" "$t0" "$t1")" -v a="$w0" -v b="$w1" 'BEGIN{printf "%.6f", c / (b - a)}')
  echo "background hosts=0 clock_scale=$2 seconds=$3 core_fraction=$BACKGROUND"
  bench_stop_agent; bench_stop_server
}

# idle_real HOSTS XMLLINT_S: the share of a core HOSTS hosts polled once a
# minute take at the real clock, nothing being new: the background of an
# agent at the real clock, measured over REAL_SECONDS, and HOSTS polls a
# minute at the cost empty_poll measured (POLL_MS). It is put together rather
# than measured whole because an agent that starts staggers its hosts' first
# polls over ten minutes, and those first polls read each log once in full.
idle_real() {
  background quiet_real 1 "$REAL_SECONDS"
  awk -v hosts="$1" -v bg="$BACKGROUND" -v ms="$POLL_MS" -v xml="$2" 'BEGIN {
    printf "idle_real_clock hosts=%d poll_interval_s=60 background_core_fraction=%.5f ms_per_poll=%.3f core_fraction=%.5f bare_parse_core_fraction=%.4f\n",
      hosts, bg, ms, bg + hosts * ms / 60000, xml / 60 }'
}

BACKGROUND=0
POLL_MS=0
background quiet "$SCALE" "$IDLE_SECONDS"
if [ "$ONLY" != hosts ]; then
  setup single 1 "$EVENTS"
  cp -a "$WORK/single" "$WORK/single2"  # the same log for the run at level 2
  XML1=$(bare_parse single)
  shipped single 3 1 "$EVENTS" "$XML1"
  empty_poll single 1 "$EVENTS" "$XML1"
  echo "peak_rss run=single_level3 peak_rss_mib=$(awk -v k="$(peak_kib)" 'BEGIN{printf "%.1f", k / 1024}')"
  bench_stop_agent; bench_stop_server
  shipped single2 2 1 "$EVENTS" "$XML1"
  bench_stop_agent; bench_stop_server
fi
if [ "$ONLY" != shipped ]; then
  setup hosts "$HOSTS" "$HOST_EVENTS"
  XMLN=$(bare_parse hosts)
  shipped hosts 3 "$HOSTS" "$HOST_EVENTS" "$XMLN"
  empty_poll hosts "$HOSTS" "$HOST_EVENTS" "$XMLN"
  echo "peak_rss run=hosts_level3 peak_rss_mib=$(awk -v k="$(peak_kib)" 'BEGIN{printf "%.1f", k / 1024}')"
  bench_stop_agent; bench_stop_server
  idle_real "$HOSTS" "$XMLN"
fi
