#!/usr/bin/env bash
# Cross-builds the Windows programs (ambrik.exe, statusnote.exe, confora.exe
# and the contract tests) with mingw-w64 and checks them under wine: the
# contract tests, then the agent in the console against orbisk-testserver
# running natively on 127.0.0.1, the status tool and the unattended wizard.
#   scripts/windows-check.sh [BUILD_DIR]     (default build-windows)
#   AMBRIK_TESTSERVER=<path>   orbisk-testserver of a Linux build (whose agent,
#                              wmi-fixture-dump and ambrik-inspect are used
#                              too); without it one is built into BUILD_DIR/native
#   AMBRIK_MINGW_CACHE=<dir>   where the static libraries are kept (see
#                              scripts/windows-deps.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$PWD"
# shellcheck source=lib/wine_prefix.sh
source scripts/lib/wine_prefix.sh
# shellcheck source=lib/agent_registry.sh
source scripts/lib/agent_registry.sh
# shellcheck source=lib/testserver.sh
source scripts/lib/testserver.sh
# shellcheck source=lib/wmi_provider.sh
source scripts/lib/wmi_provider.sh
BUILD_DIR="${1:-build-windows}"
mkdir -p "$BUILD_DIR"
BUILD_DIR="$(cd "$BUILD_DIR" && pwd)"
start=$SECONDS
say() { echo "windows-check: $* ($((SECONDS - start)) s)"; }
fail() {
  echo "windows-check: FAILED: $*" >&2
  exit 1
}

# windows-deps.sh installs the cross compiler and wine too.
DEPS="$(bash scripts/windows-deps.sh | tail -n 1)"
[ -f "$DEPS/.complete" ] || fail "the Windows libraries are missing ($DEPS)"
say "libraries in $DEPS"

server_pid=""
agent_pid=""
cleanup() {
  [ -n "$agent_pid" ] && kill -KILL "$agent_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT
# The build's own wine prefix, and one wineserver for the whole run (test
# discovery during the build included).
say "the wine prefix"
wine_prefix "$BUILD_DIR" || fail "wineboot could not make $WINEPREFIX"

launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
  cmake -S . -B "$BUILD_DIR" "${generator[@]}" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
    -DAMBRIK_WINDOWS_DEPS="$DEPS" -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" >/dev/null
else
  cmake -S . -B "$BUILD_DIR" -DAMBRIK_WINDOWS_DEPS="$DEPS" >/dev/null
fi
say "cross-building"
# Warnings fail the check: the Windows build is kept as clean as the Linux one.
cmake --build "$BUILD_DIR" -j"$(nproc)" 2>&1 | tee "$BUILD_DIR/build.log"
if grep -q 'warning:' "$BUILD_DIR/build.log"; then
  grep -A3 'warning:' "$BUILD_DIR/build.log" >&2
  fail "the cross build has warnings"
fi
for exe in agent/service/ambrik.exe statustool/statusnote.exe wizard/confora.exe; do
  [ -f "$BUILD_DIR/$exe" ] || fail "$exe was not built"
done
bash scripts/windows-msi-check.sh "$BUILD_DIR" || fail "the Windows package"

# The test server, native.
SERVER="${AMBRIK_TESTSERVER:-}"
if [ -z "$SERVER" ]; then
  say "building orbisk-testserver natively"
  cmake -S . -B "$BUILD_DIR/native" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DAMBRIK_TESTS=OFF -DAMBRIK_BENCH=OFF "${launcher[@]}" >/dev/null
  # All of it: the Linux agent and ambrik-inspect run beside ambrik.exe too.
  cmake --build "$BUILD_DIR/native" -j"$(nproc)" >/dev/null
  SERVER="$BUILD_DIR/native/testserver/orbisk-testserver"
fi
[ -x "$SERVER" ] || fail "no orbisk-testserver at $SERVER"

say "contract tests under wine"
# The WMI contract tests reach the test WMI provider, serving the hosts the
# Linux backend reads from tests/platform/wmi/fixture-hosts.
wmi_contract_fixture "$BUILD_DIR" "$(dirname "$SERVER")/wmi-fixture-dump" || fail "the test WMI provider"
# A failed test runs once more before it counts, as in scripts/test.sh.
(cd "$BUILD_DIR" && ctest -L contract --output-on-failure -j"$(nproc)" --timeout 60 --repeat until-pass:2 \
  </dev/null) || fail "contract tests"
wmi_provider_leaks "$BUILD_DIR/wmi-contract.fixture" || fail "the WMI objects above were not released"

say "whole-program check under wine"
CHECK="$BUILD_DIR/wine-check"
rm -rf "$CHECK"
INST="$CHECK/Orbisk Agent"
OUT="$CHECK/server"
mkdir -p "$OUT"
cmake --install "$BUILD_DIR" --prefix "$INST" >/dev/null
LOG="$INST/logs/agentlog.out"
REQUESTS="$OUT/requests.log"

testserver_start "$SERVER" "$ROOT/testserver/scenarios/default" "$OUT" "$CHECK/server.out" \
  || fail "orbisk-testserver did not start"
PORT="$server_port"

# The registry in the Linux agent's layout; scripts/wine-agent.sh imports it
# into wine's, with its folders as Windows paths.
agent_registry "$PORT" "$INST" '"AgentLogLevel"=dword:00000003' >"$CHECK/agent.reg"

count() { grep -c -- "$1" "$REQUESTS" 2>/dev/null || true; }
show_logs() {
  echo "--- requests.log (tail) ---" >&2
  tail -n 30 "$REQUESTS" >&2 2>/dev/null || true
  echo "--- agentlog.out (tail) ---" >&2
  tail -c 4000 "$LOG" >&2 2>/dev/null || true
  echo "--- agent output (tail) ---" >&2
  tail -c 2000 "$CHECK/agent.out" >&2 2>/dev/null || true
}
# Waits (at most $2 seconds) for a request whose target holds $1.
wait_request() {
  local deadline=$((SECONDS + $2))
  while [ "$(count "$1")" -lt 1 ]; do
    if [ $SECONDS -ge $deadline ]; then show_logs; fail "no request with \"$1\""; fi
    if [ -n "$agent_pid" ] && ! kill -0 "$agent_pid" 2>/dev/null; then show_logs; fail "the agent ended early"; fi
    sleep 0.5
  done
}
# Waits (at most $2 seconds) for the agent's log to hold $1.
wait_log() {
  local deadline=$((SECONDS + $2))
  until grep -aqF -- "$1" "$LOG" 2>/dev/null; do
    if [ $SECONDS -ge $deadline ]; then show_logs; fail "the agent's log lacks \"$1\""; fi
    sleep 0.5
  done
}

# The agent in the console, its minutes run 60 times faster.
AMBRIK_WMI_DUMP="$(dirname "$SERVER")/wmi-fixture-dump" AMBRIK_CLOCK_SCALE=60 bash scripts/wine-agent.sh "$BUILD_DIR" "$CHECK/agent.reg" >"$CHECK/agent.out" 2>&1 </dev/null &
agent_pid=$!
wait_request "mode=register&name=" 60
wait_request "status=ServiceStarted&agentId=1001" 30
wait_request "mode=agentversion&isSameVersion=check&version=8.0.0" 30
wait_request "hostdetails?slid=1001" 60
# The scenario's hosts are not among those the test WMI provider serves
# (RPC_S_SERVER_UNAVAILABLE): each Windows host's collection ends with a
# status report.
for host in 101 102 103; do wait_request "mode=hoststatus&hostid=$host&" 90; done
wait_log "Transfer data engaged" 90
# wine keeps no change journal: the drive's monitor says so and ends; the
# agent goes on.
wait_log "Unable to Set Env for Journalling for drive C" 60
kill -0 "$agent_pid" 2>/dev/null || { show_logs; fail "the agent ended after its volume monitor"; }

# SIGTERM, which wine-agent.sh turns into the console's Ctrl-C: the stop path
# reports ServiceStop and ends within 20 s.
stop_at=$SECONDS
kill -TERM "$agent_pid"
status=0
for _ in $(seq 1 210); do
  kill -0 "$agent_pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$agent_pid" 2>/dev/null; then show_logs; fail "the agent did not stop within 21 s of Ctrl-C"; fi
wait "$agent_pid" || status=$?
agent_pid=""
[ "$status" -eq 0 ] || { show_logs; fail "the agent ended with status $status"; }
[ "$(count "status=ServiceStop")" -ge 1 ] || { show_logs; fail "no ServiceStop report"; }
wait_log "InvokeShutdown : Ambrik service shutting down" 1
say "agent: registered, started, collected, transferred and stopped in $((SECONDS - stop_at)) s"

# As a service: sc create, sc start, and sc stop ending it within 20 s.
SERVICE="Quillmark Orbisk 8 - Agent"
WIN_EXE="$(winepath -w "$INST/bin/ambrik.exe")"
started="$(count "status=ServiceStarted")"
stopped="$(count "status=ServiceStop")"
# A run that failed half-way may have left the service registered.
wine sc delete "$SERVICE" >/dev/null 2>&1 </dev/null || true
wine sc create "$SERVICE" binPath= "\"$WIN_EXE\"" start= demand >/dev/null 2>&1 </dev/null \
  || fail "sc create"
wine sc start "$SERVICE" >/dev/null 2>&1 </dev/null || fail "sc start"
deadline=$((SECONDS + 60))
until [ "$(count "status=ServiceStarted")" -gt "$started" ]; do
  [ $SECONDS -lt $deadline ] || { show_logs; fail "the service did not report ServiceStarted"; }
  sleep 0.5
done
stop_at=$SECONDS
wine sc stop "$SERVICE" >/dev/null 2>&1 </dev/null || fail "sc stop"
until wine sc query "$SERVICE" 2>/dev/null </dev/null | grep -q STOPPED; do
  [ $((SECONDS - stop_at)) -le 20 ] || { show_logs; fail "the service did not stop within 20 s"; }
  sleep 0.5
done
[ "$(count "status=ServiceStop")" -gt "$stopped" ] || { show_logs; fail "the service sent no ServiceStop"; }
wine sc delete "$SERVICE" >/dev/null 2>&1 </dev/null || true
say "service: sc create, start, and stop in $((SECONDS - stop_at)) s"

# The status tool: one request (its exit status is 1 whatever happens).
before="$(count "status=ServiceInstalled")"
(cd "$INST/bin" && wine ./statusnote.exe ServiceInstalled) >"$CHECK/statusnote.out" 2>&1 </dev/null || true
after="$(count "status=ServiceInstalled")"
[ "$((after - before))" -eq 1 ] \
  || { cat "$CHECK/statusnote.out"; fail "statusnote.exe sent $((after - before)) ServiceInstalled requests"; }
say "statusnote: one ServiceInstalled request"

# The wizard, unattended: the values land in the registry.
(cd "$INST/bin" && wine ./confora.exe --unattended --server-ip 127.0.0.1 --port 8555 --protocol https \
  --db mysql --aws yes) >"$CHECK/confora.out" 2>&1 </dev/null \
  || { cat "$CHECK/confora.out"; fail "confora.exe --unattended"; }
query="$(wine reg query 'HKLM\Software\Vardo Corp\Orbisk\ServerInfo' 2>/dev/null | tr -d '\r')"
for want in "ServerPort +REG_SZ +8555" "ServerProtocol +REG_SZ +https" "ServerDBType +REG_SZ +mysql" \
            "ServerIPAddress +REG_SZ +127.0.0.1"; do
  echo "$query" | grep -Eq "$want" || { echo "$query"; cat "$CHECK/confora.out"; fail "confora did not write $want"; }
done
wine reg query 'HKLM\Software\Vardo Corp\Orbisk\Ambrik' /v "AWS Instance" 2>/dev/null | tr -d '\r' \
  | grep -Eq 'REG_SZ +yes' || fail "confora did not write AWS Instance"
say "confora: the registry values written"
bash scripts/windows-msi-install-check.sh "$BUILD_DIR" "$CHECK/agent.reg" "$REQUESTS" || fail "the package under wine"
# Last: it imports a registry of its own.
bash scripts/windows-basedata-check.sh "$BUILD_DIR" "$SERVER" || fail "the base data under wine"

kill "$server_pid" 2>/dev/null || true
wait "$server_pid" 2>/dev/null || true
server_pid=""
bash scripts/windows-same-events.sh "$BUILD_DIR" "$(dirname "$(dirname "$SERVER")")" || fail "the same events from both agents"
wineserver -k >/dev/null 2>&1 || true
say "passed"
