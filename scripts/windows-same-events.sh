#!/usr/bin/env bash
# The same events through both programs: one scenario run once with the Linux
# agent and once with ambrik.exe under wine (its hosts served by the test WMI
# provider), each against its own native orbisk-testserver, and what the
# server decoded compared.
#   scripts/windows-same-events.sh BUILD_DIR NATIVE_DIR
# BUILD_DIR is a cross build with its wine prefix (scripts/windows-check.sh);
# NATIVE_DIR a Linux build holding the agent, orbisk-testserver,
# wmi-fixture-dump and ambrik-inspect.
# The scenario is the default one with its hosts changed: alpha (Windows 10,
# UTC+1) with 301 more events, one over a 300-event buffer, bravo (version
# 6.1, UTC) with an insertion string that is itself markup, charlie with a
# password that is not the one the server gives (access denied); alpha and
# bravo also hold a real EVTX log each from ../shared/data/evtx.
# Compared: the raw-log records and aggregate rows of every upload, and the
# host status reports. Left aside, as they differ between any two runs: the
# agent id and the times of sending (upload names, the `nextScanTime` of a
# report). Records are compared as sorted lists without their offset in the
# file: how they split into uploads follows the timing of each run.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=lib/agent_registry.sh
source "$ROOT/scripts/lib/agent_registry.sh"
# shellcheck source=lib/testserver.sh
source "$ROOT/scripts/lib/testserver.sh"
fail() {
  echo "windows-same-events: FAILED: $*" >&2
  exit 1
}
[ $# -eq 2 ] || fail "usage: scripts/windows-same-events.sh BUILD_DIR NATIVE_DIR"
BUILD_DIR="$(cd "$1" && pwd)"
NATIVE="$(cd "$2" && pwd)"
SERVER="$NATIVE/testserver/orbisk-testserver"
INSPECT="$NATIVE/tools/ambrik-inspect"
for tool in "$SERVER" "$INSPECT" "$NATIVE/testserver/wmi-fixture-dump"; do
  [ -x "$tool" ] || fail "no $tool"
done
start=$SECONDS
WORK="$BUILD_DIR/same-events"
rm -rf "$WORK"
mkdir -p "$WORK"

SCENARIO="$WORK/scenario"
cp -r "$ROOT/testserver/scenarios/default" "$SCENARIO"
HOSTS="$SCENARIO/wmi-hosts"
sed -i 's/version="10.0.20348"/version="6.1.7601"/' "$HOSTS/bravo.localhost/host.xml"
sed -i 's/password="secret"/password="changed"/' "$HOSTS/charlie.localhost/host.xml"
{
  echo "<Events>"
  for i in $(seq 1 301); do
    printf "<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System><Provider Name='Backup'/>"
    printf "<EventID Qualifiers='16384'>%d</EventID><Version>0</Version><Level>4</Level><Task>0</Task><Opcode>0</Opcode>" $((100 + i % 7))
    printf "<Keywords>0x80000000000000</Keywords><TimeCreated SystemTime='2026-12-01T09:%02d:%02d.000000000Z'/>" $((i / 60)) $((i % 60))
    printf "<EventRecordID>%d</EventRecordID><Correlation/><Execution ProcessID='4' ThreadID='8'/>" $((5000 + i))
    printf "<Channel>Application</Channel><Computer>ALPHA</Computer><Security/></System>"
    printf "<EventData><Data>file %d</Data><Data>Журнал 事件</Data></EventData></Event>\n" "$i"
  done
  echo "</Events>"
} >"$HOSTS/alpha.localhost/Application.xml"
sed -i "s|</Events>|<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System><Provider Name='Report'/><EventID>1</EventID><Version>0</Version><Level>3</Level><Task>0</Task><Opcode>0</Opcode><Keywords>0x80000000000000</Keywords><TimeCreated SystemTime='2026-12-01T08:17:00.000000000Z'/><EventRecordID>303</EventRecordID><Correlation/><Execution ProcessID='4' ThreadID='8'/><Channel>Application</Channel><Computer>BRAVO</Computer><Security/></System><EventData><Data>\&lt;b\&gt;bold\&lt;/b\&gt; \&amp;amp; \&lt;![CDATA[x]]\&gt;</Data></EventData></Event>\n</Events>|" \
  "$HOSTS/bravo.localhost/Application.xml"

# Real Windows logs beside them, read where they lie (left out in a clone
# without ../shared/data).
SAMPLES="$ROOT/../shared/data/evtx/mdecrevoisier-EVTX-to-MITRE-Attack"
if [ -d "$SAMPLES" ]; then
  ln -s "$SAMPLES/TA0001-Initial access/T1078-Valid accounts/ID4625-failed login with denied access due to account restriction.evtx" \
    "$HOSTS/alpha.localhost/Security-sample.evtx"
  ln -s "$SAMPLES/TA0003-Persistence/T1543.003-Create or Modify System Process-Windows Service/ID7045-7036 PSexec service installation.evtx" \
    "$HOSTS/bravo.localhost/System-sample.evtx"
else
  echo "windows-same-events: no EVTX samples in $SAMPLES; the hosts have event XML only" >&2
fi

server_pid=""
agent_pid=""
cleanup() {
  [ -n "$agent_pid" ] && kill -KILL "$agent_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
}
trap cleanup EXIT

# run SIDE: the scenario with the agent of SIDE (linux or windows).
run() {
  local side="$1" out="$WORK/$1/server" inst="$WORK/$1/Orbisk Agent" cdrive="$WORK/$1/c-drive"
  mkdir -p "$out" "$cdrive"
  testserver_start "$SERVER" "$SCENARIO" "$out" "$WORK/$side/server.out" \
    || fail "orbisk-testserver did not start ($side)"
  local port="$server_port"
  cmake --install "$NATIVE" --prefix "$inst" >/dev/null
  cp -r "$HOSTS" "$inst/wmi-hosts"
  agent_registry "$port" "$inst" '"AgentLogLevel"=dword:00000003' \
    '[HKEY_LOCAL_MACHINE\Software\Vardo Corp\Orbisk\Ambrik\Volumes]' \
    "\"C\"=\"$cdrive\"" "\"JournalDir\"=\"$WORK/$side/journal/\"" >"$WORK/$side/agent.reg"
  if [ "$side" = linux ]; then
    ORBISK_REGISTRY="$WORK/$side/agent.reg" AMBRIK_CLOCK_SCALE=60 "$inst/bin/ambrik" console \
      >"$WORK/$side/agent.out" 2>&1 </dev/null &
  else
    AMBRIK_WMI_DUMP="$NATIVE/testserver/wmi-fixture-dump" AMBRIK_CLOCK_SCALE=60 \
      bash "$ROOT/scripts/wine-agent.sh" "$BUILD_DIR" "$WORK/$side/agent.reg" >"$WORK/$side/agent.out" 2>&1 </dev/null &
  fi
  agent_pid=$!
  # Every host reported once; then the stop, with its last transfer.
  local deadline=$((SECONDS + 120)) host
  for host in 101 102 103; do
    until grep -q "mode=hoststatus&hostid=$host&" "$out/requests.log" 2>/dev/null; do
      [ $SECONDS -lt $deadline ] || { tail -c 3000 "$inst/logs/agentlog.out" >&2; fail "no status of host $host ($side)"; }
      kill -0 "$agent_pid" 2>/dev/null || { tail -c 3000 "$WORK/$side/agent.out" >&2; fail "the $side agent ended early"; }
      sleep 0.5
    done
  done
  # SIGTERM: a background job of a script ignores SIGINT.
  kill -TERM "$agent_pid"
  local status=0
  wait "$agent_pid" || status=$?
  agent_pid=""
  [ "$status" -eq 0 ] || { tail -c 3000 "$WORK/$side/agent.out" >&2; fail "the $side agent ended with status $status"; }
  kill "$server_pid"
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
  # What the server decoded, without the agent id and sending times.
  grep -o 'mode=hoststatus&hostid=[0-9]*&status=[0-9]*' "$out/requests.log" | sort -u >"$WORK/$side/hoststatus.txt"
  local f kind
  : >"$WORK/$side/records.txt"
  for f in "$out"/uploads/*/*; do
    case "$f" in *.jsonl) continue ;; esac
    kind="$(basename "$f")"
    case "$kind" in rawlogs* | aggregate*) ;; *) continue ;; esac
    "$INSPECT" "$f" | sed -E -e "s/^\{\"offset\":[0-9]+,/${kind%%[-_.0-9]*} {/" \
      >>"$WORK/$side/records.txt" \
      || fail "$f does not decode"
  done
  sort -o "$WORK/$side/records.txt" "$WORK/$side/records.txt"
}

run linux
run windows
for what in records hoststatus; do
  if ! diff -u "$WORK/linux/$what.txt" "$WORK/windows/$what.txt" >"$WORK/$what.diff"; then
    head -n 40 "$WORK/$what.diff" >&2
    fail "the Windows agent's $what differ from the Linux agent's ($WORK/$what.diff)"
  fi
done
records="$(wc -l <"$WORK/linux/records.txt")"
[ "$records" -gt 300 ] || fail "only $records records reached the server"
echo "windows-same-events: $records records and $(wc -l <"$WORK/linux/hoststatus.txt") host status reports alike ($((SECONDS - start)) s)"
