#!/usr/bin/env bash
# The agent's main job on an embedded default: builds everything, starts the
# stand-in Orbisk server with the default scenario on a free loopback port,
# lays out a temporary install directory and registry for it, runs the agent
# in the console on an accelerated clock, shows its progress, and prints what
# the server received. Ctrl-C stops both at any time.
#
#   scripts/demo.sh [--windows] [SECONDS]      (default 60 seconds of real time)
# --windows runs ambrik.exe under wine instead (scripts/wine-agent.sh), cross-
# built into build-windows by scripts/windows-check.sh when it is not there.
# The simulated hosts reach it through the test WMI provider (see wine-agent.sh).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=lib/agent_registry.sh
source "$ROOT/scripts/lib/agent_registry.sh"
WINDOWS=""
if [ "${1:-}" = "--windows" ]; then
  WINDOWS=1
  shift
fi
RUN_SECONDS="${1:-60}"
SCALE="${AMBRIK_DEMO_SCALE:-60}"
BUILD="$ROOT/build-demo"
WINBUILD="$ROOT/build-windows"

bash "$ROOT/scripts/install-deps.sh"
echo "== building (this takes a few minutes the first time)"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAMBRIK_TESTS=OFF -DAMBRIK_BENCH=OFF >/dev/null
cmake --build "$BUILD" -j"$(nproc)" >/dev/null
if [ -n "$WINDOWS" ] && [ ! -f "$WINBUILD/agent/service/ambrik.exe" ]; then
  echo "== cross-building the Windows programs and checking them (the first time only)"
  AMBRIK_TESTSERVER="$BUILD/testserver/orbisk-testserver" bash "$ROOT/scripts/windows-check.sh" "$WINBUILD" >/dev/null
fi

WORK="$(mktemp -d /tmp/ambrik-demo.XXXXXX)"
INST="$WORK/agent"
OUT="$WORK/server"
SERVER_PID=""
AGENT_PID=""
cleanup() {
  trap - INT TERM EXIT
  if [ -n "$AGENT_PID" ] && kill -0 "$AGENT_PID" 2>/dev/null; then
    kill -INT "$AGENT_PID" 2>/dev/null || true
    for _ in $(seq 1 250); do kill -0 "$AGENT_PID" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$AGENT_PID" 2>/dev/null || true
  fi
  if [ -n "$SERVER_PID" ] && kill -0 "$SERVER_PID" 2>/dev/null; then
    kill -TERM "$SERVER_PID" 2>/dev/null || true
    wait "$SERVER_PID" 2>/dev/null || true
  fi
  [ -n "${TAIL_PID:-}" ] && kill "$TAIL_PID" 2>/dev/null || true
}
trap 'echo; echo "== interrupted: stopping the agent and the server"; cleanup; exit 130' INT TERM
trap cleanup EXIT

echo "== install directory $INST"
cmake --install "$BUILD" --prefix "$INST" >/dev/null
SCENARIO="$ROOT/testserver/scenarios/default"
if [ -d "$SCENARIO/wmi-hosts" ]; then
  cp -r "$SCENARIO/wmi-hosts" "$INST/wmi-hosts"
fi
# Drive C of this run is a folder of its own, so the change journal walks
# only what the demo made, not the whole machine. The scenario's FIM location
# c:\tmp\ambrik-demo\watched is in it, with two files the demo changes while
# the agent runs.
CDRIVE="$WORK/c-drive"
WATCHED="$CDRIVE/tmp/ambrik-demo/watched"
mkdir -p "$WATCHED/scratch"
echo "report v1" > "$WATCHED/report.txt"
echo "old notes" > "$WATCHED/notes.txt"
mkdir -p "$WATCHED/reports"
# The watched folder of the scenario's FIM location, with a few files whose
# attributes and checksums the base data set carries.
printf 'quarterly figures\n' > $WATCHED/reports/q3.txt
printf 'settings=1\n' > $WATCHED/app.ini
# Under wine drive C is the prefix's drive_c: the watched folder is linked
# into it, so the base data set covers the same files.
if [ -n "$WINDOWS" ]; then
  mkdir -p "$WINBUILD/wineprefix/drive_c/tmp"
  rm -f "$WINBUILD/wineprefix/drive_c/tmp/ambrik-demo"
  ln -s "$CDRIVE/tmp/ambrik-demo" "$WINBUILD/wineprefix/drive_c/tmp/ambrik-demo"
fi
# The server of this run has no base configuration yet, so the agent builds it.
cp -r "$SCENARIO" "$WORK/scenario"
sed -i 's/^baseconfig = INITIALIZED/baseconfig = UNINITIALIZED/' "$WORK/scenario/scenario.conf"
SCENARIO="$WORK/scenario"

echo "== starting orbisk-testserver with the default scenario"
mkdir -p "$OUT"
"$BUILD/testserver/orbisk-testserver" --scenario "$SCENARIO" --http-port 0 --https-port -1 \
  --output "$OUT" > "$WORK/server.out" 2>"$WORK/server.err" &
SERVER_PID=$!
for _ in $(seq 1 100); do grep -q '^ready' "$WORK/server.out" 2>/dev/null && break; sleep 0.1; done
PORT="$(sed -n 's/^http_port=//p' "$WORK/server.out")"
[ -n "$PORT" ] || { echo "the test server did not start:"; cat "$WORK/server.err"; exit 1; }
echo "   listening on 127.0.0.1:$PORT"

agent_registry "$PORT" "$INST" '' \
  '[HKEY_LOCAL_MACHINE\Software\Vardo Corp\Orbisk\Ambrik\Volumes]' \
  "\"C\"=\"$CDRIVE\"" "\"JournalDir\"=\"$WORK/journal/\"" > "$WORK/registry.reg"

echo "== starting ambrik${WINDOWS:+.exe under wine} in the console; its clock runs ${SCALE}x faster than real time"
echo "   (the 180-second transfer comes every $((180 / SCALE)) s; the run lasts ${RUN_SECONDS} s)"
if [ -n "$WINDOWS" ]; then
  # Started with job control, so the script keeps the signals it forwards.
  set -m
  AMBRIK_WMI_DUMP="$BUILD/testserver/wmi-fixture-dump" AMBRIK_CLOCK_SCALE="$SCALE" \
    bash "$ROOT/scripts/wine-agent.sh" "$WINBUILD" "$WORK/registry.reg" \
    > "$WORK/agent.stdout" 2>"$WORK/agent.stderr" &
  AGENT_PID=$!
  set +m
else
  ORBISK_REGISTRY="$WORK/registry.reg" AMBRIK_CLOCK_SCALE="$SCALE" \
    "$INST/bin/ambrik" console > "$WORK/agent.stdout" 2>"$WORK/agent.stderr" &
  AGENT_PID=$!
fi

LOG="$INST/logs/agentlog.out"
for _ in $(seq 1 50); do [ -f "$LOG" ] && break; sleep 0.1; done
# Progress: the agent's main steps as they are logged.
# tail ends with the agent, so nothing is left behind.
tail --pid="$AGENT_PID" -n +1 -F "$LOG" 2>/dev/null | grep --line-buffered -E \
  'Got agent id|Hosts? (loaded|details)|Loading host|Host Name|Collecting|collection|Events collected|Transfer data engaged|Upload|upload|InvokeShutdown|Change on' \
  | sed -u 's/^ */   agent: /' &
TAIL_PID=$!

CHANGED=""
for i in $(seq 1 "$RUN_SECONDS"); do
  kill -0 "$AGENT_PID" 2>/dev/null || { echo "the agent ended early:"; tail -20 "$LOG"; exit 1; }
  # Once the volume monitor runs, a few file changes for it to report.
  if [ -z "$CHANGED" ] && grep -q 'Initiating WAIT' "$LOG" 2>/dev/null; then
    echo "== changing files in $WATCHED"
    echo "new file" > "$WATCHED/created.txt"
    echo "report v2" >> "$WATCHED/report.txt"
    mv "$WATCHED/notes.txt" "$WATCHED/notes-renamed.txt"
    rm "$WATCHED/created.txt"
    echo "not reported" > "$WATCHED/scratch/ignored.txt"
    CHANGED=1
  fi
  sleep 1
done

echo "== stopping the agent (last transfer and ServiceStop)"
kill -INT "$AGENT_PID"
for _ in $(seq 1 250); do kill -0 "$AGENT_PID" 2>/dev/null || break; sleep 0.1; done
AGENT_PID=""
sleep 0.5
kill "$TAIL_PID" 2>/dev/null || true
TAIL_PID=""

echo
echo "== what the server received"
"$BUILD/tools/ambrik-inspect" --summary "$OUT"
echo
echo "Files kept in $WORK (agent log: $LOG, server output: $OUT)"
