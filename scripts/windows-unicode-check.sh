#!/usr/bin/env bash
# The Windows agent under wine with an install folder, a watched folder and
# file names that are Cyrillic and CJK: the files are found, their base data
# is zipped and uploaded, and the server reads the names back as they are.
#   scripts/windows-unicode-check.sh BUILD_DIR SERVER
# BUILD_DIR is a cross build with its wine prefix (scripts/windows-check.sh
# makes both); SERVER a native orbisk-testserver. Its files stay in
# BUILD_DIR/wine-unicode for a look after a failure.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=lib/wine_prefix.sh
source "$ROOT/scripts/lib/wine_prefix.sh"
# shellcheck source=lib/agent_registry.sh
source "$ROOT/scripts/lib/agent_registry.sh"
# shellcheck source=lib/test_server.sh
source "$ROOT/scripts/lib/test_server.sh"
start=$SECONDS
fail() {
  echo "windows-unicode-check: FAILED: $*" >&2
  exit 1
}
[ $# -eq 2 ] || fail "usage: scripts/windows-unicode-check.sh BUILD_DIR SERVER"
BUILD_DIR="$(cd "$1" && pwd)"
SERVER="$2"
wine_prefix "$BUILD_DIR" 5 || fail "wineboot could not make $WINEPREFIX"

CHECK="$BUILD_DIR/wine-unicode"
rm -rf "$CHECK"
# "Orbisk агент 代理" and, on drive C, "Наблюдение 監視" with a sub-folder.
INST="$CHECK/Orbisk агент 代理"
WATCHED_NAME="Наблюдение 監視"
WATCHED="$WINEPREFIX/drive_c/$WATCHED_NAME"
rm -rf "$WATCHED"
mkdir -p "$WATCHED/Папка" "$CHECK/server"
printf 'квартальный отчёт\n' >"$WATCHED/отчёт.txt"
printf '日志の行\n' >"$WATCHED/日志 2026.log"
printf 'key=値\n' >"$WATCHED/Папка/データ.ini"

# The default scenario, watching that folder, with no base data on the
# server yet: the agent builds it at start.
SCENARIO="$CHECK/scenario"
cp -r "$ROOT/testserver/scenarios/default" "$SCENARIO"
sed -i 's/^baseconfig = INITIALIZED/baseconfig = UNINITIALIZED/' "$SCENARIO/scenario.conf"
cat >"$SCENARIO/monitorrequests-agent.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<MonitorRequests>
  <FIM_AgentRequest INCL_LOC="c:\\\\$WATCHED_NAME" CHECKSUM="MD5" LOC_ID="901"/>
</MonitorRequests>
XML

server_pid=""
agent_pid=""
cleanup() {
  [ -n "$agent_pid" ] && kill -KILL "$agent_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
}
trap cleanup EXIT
start_test_server "$SERVER" "$SCENARIO" "$CHECK/server" "$CHECK/server.out" || fail "orbisk-testserver did not start"

agent_registry "$PORT" "$INST" '"AgentLogLevel"=dword:00000003' >"$CHECK/agent.reg"
LOG="$INST/logs/agentlog.out"
show_logs() {
  echo "--- agentlog.out (tail) ---" >&2
  tail -c 3000 "$LOG" >&2 2>/dev/null || true
  echo "--- agent output (tail) ---" >&2
  tail -c 1500 "$CHECK/agent.out" >&2 2>/dev/null || true
}
AMBRIK_CLOCK_SCALE=60 bash "$ROOT/scripts/wine-agent.sh" "$BUILD_DIR" "$CHECK/agent.reg" \
  >"$CHECK/agent.out" 2>&1 </dev/null &
agent_pid=$!

# The base data set's upload, decoded by the server.
deadline=$((SECONDS + 90))
until ls "$CHECK/server/uploads/"*basedata*.jsonl >/dev/null 2>&1; do
  if [ $SECONDS -ge $deadline ] || ! kill -0 "$agent_pid" 2>/dev/null; then
    show_logs
    fail "no base data upload"
  fi
  sleep 0.5
done
kill -TERM "$agent_pid"
wait "$agent_pid" || { show_logs; fail "the agent did not stop cleanly"; }
agent_pid=""

# Every file by its name (backslashes doubled as the server stores them) with
# the checksum md5sum gives on Linux; the folders with their counts.
DECODED="$(ls "$CHECK/server/uploads/"*basedata*.jsonl | head -n 1)"
bs='\\\\'
for file in "отчёт.txt" "日志 2026.log" "Папка/データ.ini"; do
  name="c:$bs$WATCHED_NAME$bs$(printf '%s' "$file" | sed 's|/|\\\\\\\\|g')"
  md5="$(md5sum "$WATCHED/$file" | cut -d' ' -f1)"
  line="$(grep -F "\"FILENAME\":\"$name\"," "$DECODED" | head -n 1 || true)"
  [ -n "$line" ] || { cat "$DECODED" >&2; fail "the base data lacks $file"; }
  echo "$line" | grep -qF "\"MD5\":\"$md5\"" || { echo "$line" >&2; fail "$file has not the MD5 $md5"; }
done
grep -F "\"FILENAME\":\"c:$bs$WATCHED_NAME\"," "$DECODED" | grep -qF '"FILECOUNT":"3","FOLDERCOUNT":"1"' \
  || { cat "$DECODED" >&2; fail "the watched folder's counts"; }
# The agent's own files in its install folder: the log, the status file
# (written aside and renamed over), the data folders beside the program.
for own in logs/agentlog.out logs/status.json bin/data/basedata bin/serverdata; do
  [ -e "$INST/$own" ] || { show_logs; fail "no $own in $INST"; }
done
echo "windows-unicode-check: passed ($((SECONDS - start)) s)"
