#!/usr/bin/env bash
# The base data of a watched folder as ambrik.exe under wine builds it: the
# agent, installed in a folder named in Cyrillic and CJK, watches a folder in
# the wine prefix (its name and file names in Cyrillic and CJK) against a
# test server that has no base data yet; the base data it uploads must hold
# every file and folder once, with the MD5, SHA-1 and sizes md5sum, sha1sum
# and stat give for the same files, the folder counts and totals, and owner
# and DACL texts in the agent's grammar; the agent's log, status file and data
# folders must be in the install folder.
#   scripts/windows-basedata-check.sh BUILD_DIR SERVER
# BUILD_DIR is a cross build with its wine prefix (scripts/windows-check.sh
# calls this with its own); SERVER a native orbisk-testserver, whose decoding
# of the upload is compared.
#
# What wine cannot give is checked as wine gives it: its CIM_DataFile has only
# Name and Version (WBEM_E_NOT_FOUND for every other property), so by the
# property rule a file's size is -1 and its times and flags "-1" (on Windows
# they are the file's); its CIM_Directory finds no folder, so a folder's WMI
# fields stay empty. The folder totals come from the directory listing and
# are the files' sizes.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=lib/wine_prefix.sh
source "$ROOT/scripts/lib/wine_prefix.sh"
# shellcheck source=lib/agent_registry.sh
source "$ROOT/scripts/lib/agent_registry.sh"
# shellcheck source=lib/testserver.sh
source "$ROOT/scripts/lib/testserver.sh"
start=$SECONDS
fail() {
  echo "windows-basedata-check: FAILED: $*" >&2
  exit 1
}
[ $# -eq 2 ] || fail "usage: scripts/windows-basedata-check.sh BUILD_DIR SERVER"
BUILD_DIR="$(cd "$1" && pwd)"
SERVER="$2"
wine_prefix "$BUILD_DIR" || fail "wineboot could not make $WINEPREFIX"

CHECK="$BUILD_DIR/wine-basedata"
rm -rf "$CHECK"
mkdir -p "$CHECK/server"
INST="$CHECK/Orbisk агент 代理"
# The watched folder, on wine's drive C.
WATCHED_NAME="наблюдение-監視"
WATCHED="$WINEPREFIX/drive_c/$WATCHED_NAME"
rm -rf "$WATCHED"
mkdir -p "$WATCHED/sub/deeper" "$WATCHED/отчёт-日志"
printf 'alpha\n' >"$WATCHED/a.txt"
: >"$WATCHED/empty.txt"
head -c 70000 /dev/zero | tr '\0' 'b' >"$WATCHED/sub/b.bin"
printf 'c' >"$WATCHED/sub/deeper/c.txt"
printf 'Кириллица и 中文\r\n' >"$WATCHED/отчёт-日志/заметки-笔记.txt"

# The default scenario, with no base data on the server and the folder watched.
cp -r "$ROOT/testserver/scenarios/default" "$CHECK/scenario"
sed -i 's/^baseconfig = INITIALIZED/baseconfig = UNINITIALIZED/' "$CHECK/scenario/scenario.conf"
cat >"$CHECK/scenario/monitorrequests-agent.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<MonitorRequests>
  <FIM_AgentRequest INCL_LOC="c:\\наблюдение-監視" CHECKSUM="MD5" LOC_ID="901"/>
</MonitorRequests>
XML

server_pid=""
agent_pid=""
# A failed run stops the agent the orderly way too: wine-agent.sh forwards
# SIGTERM and kills the agent itself 30 s later.
cleanup() {
  if [ -n "$agent_pid" ]; then
    kill -TERM "$agent_pid" 2>/dev/null || true
    wait "$agent_pid" 2>/dev/null || true
  fi
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
}
trap cleanup EXIT
testserver_start "$SERVER" "$CHECK/scenario" "$CHECK/server" "$CHECK/server.out" \
  || fail "orbisk-testserver did not start"
PORT="$server_port"

agent_registry "$PORT" "$INST" '"AgentLogLevel"=dword:00000003' >"$CHECK/agent.reg"
AMBRIK_CLOCK_SCALE=60 bash "$ROOT/scripts/wine-agent.sh" "$BUILD_DIR" "$CHECK/agent.reg" >"$CHECK/agent.out" 2>&1 \
  </dev/null &
agent_pid=$!
show_logs() {
  tail -c 3000 "$INST/logs/agentlog.out" >&2 2>/dev/null || true
  tail -c 1000 "$CHECK/agent.out" >&2 2>/dev/null || true
}
zip=""  # the server's decoding of the base data upload
deadline=$((SECONDS + 120))
while [ -z "$zip" ]; do
  zip="$(find "$CHECK/server/uploads" -name '*-basedata_*.jsonl' 2>/dev/null | sort | head -n 1 || true)"
  [ -n "$zip" ] && break
  [ $SECONDS -lt $deadline ] || { show_logs; fail "no base data within 120 s"; }
  kill -0 "$agent_pid" 2>/dev/null || { show_logs; fail "the agent ended early"; }
  sleep 0.5
done
kill -TERM "$agent_pid"
wait "$agent_pid" || { show_logs; fail "the agent ended with status $?"; }
agent_pid=""
# The agent's own files under the install folder's name: the log, the status
# file (written aside and renamed over it), the data folders.
for own in logs/agentlog.out logs/status.json bin/data/basedata bin/serverdata; do
  [ -e "$INST/$own" ] || { show_logs; fail "no $own in $INST"; }
done

# The expected rows, from the Linux tools over the same files.
expected="$CHECK/expected.txt"
: >"$expected"
(cd "$WATCHED" && find . -mindepth 1 | LC_ALL=C sort) | while IFS= read -r item; do
  rel="${item#./}"
  path="c:\\$WATCHED_NAME\\${rel//\//\\}"
  if [ -f "$WATCHED/$rel" ]; then
    printf 'file\t%s\t%s\t%s\t%s\n' "$path" "$(md5sum <"$WATCHED/$rel" | cut -d' ' -f1)" \
      "$(sha1sum <"$WATCHED/$rel" | cut -d' ' -f1)" "$(stat -c %s "$WATCHED/$rel")" >>"$expected"
  else
    files="$(find "$WATCHED/$rel" -type f | wc -l)"
    folders="$(find "$WATCHED/$rel" -mindepth 1 -type d | wc -l)"
    bytes="$(find "$WATCHED/$rel" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')"
    printf 'folder\t%s\t%s\t%s\t%s\n' "$path" "$files" "$folders" "$bytes" >>"$expected"
  fi
done
printf 'folder\t%s\t%s\t%s\t%s\n' "c:\\$WATCHED_NAME" "$(find "$WATCHED" -type f | wc -l)" \
  "$(find "$WATCHED" -mindepth 1 -type d | wc -l)" \
  "$(find "$WATCHED" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')" >>"$expected"

python3 - "$zip" "$expected" <<'PY' || fail "the base data differs (above)"
import json, re, sys
rows, problems, entry = {}, [], None
for line in open(sys.argv[1], encoding="utf-8"):
    row = json.loads(line)
    if "error" in row:
        problems.append("the upload does not decode: " + row["error"])
    entry = row.get("entry", entry)
    if entry != "baseconfig" or "FILENAME" not in row:
        continue
    path = row["FILENAME"].replace("\\\\", "\\")
    if path in rows:
        problems.append("twice: " + path)
    rows[path] = row
ace = r"ACETYPE: [A-Z_]+,ACCESS_MASK: (?:[A-Z_a-z]+,)+TRUSTED_SID: [^,]*"
grammar = re.compile(r"ACLINFO: (?:" + ace + r"(?:," + ace + r")*)?$")
wanted = set()
for line in open(sys.argv[2], encoding="utf-8"):
    kind, path, *fields = line.rstrip("\n").split("\t")
    wanted.add(path)
    row = rows.get(path)
    if row is None:
        problems.append("missing: " + path)
        continue
    v = lambda column: row.get(column) or ""
    if kind == "file":
        md5, sha1, size = fields
        got = (v("MD5"), v("SHA1"), v("ISFILE"), v("SIZE"))
        if got != (md5, sha1, "1", "-1"):
            problems.append(f"{path}: md5/sha1/isfile/size {got}, expected {(md5, sha1, '1', '-1')} (size -1: wine has no FileSize)")
    else:
        files, folders, size = fields
        got = (v("FILECOUNT"), v("FOLDERCOUNT"), v("SIZE"), v("ISFILE"))
        if got != (files, folders, size, "0"):
            problems.append(f"{path}: files/folders/size/isfile {got}, expected {(files, folders, size, '0')}")
    if not re.match(r"^[^\\]+\\\\?[^\\]+$", v('OWNER')):
        problems.append(f"{path}: owner {v('OWNER')!r} is not DOMAIN\\name")
    if not grammar.match(v('DACL')) or v('DACL') == "ACLINFO: ":
        problems.append(f"{path}: DACL {v('DACL')!r} is not in the grammar")
extra = sorted(set(rows) - wanted)
if extra:
    problems.append("unexpected rows: " + ", ".join(extra))
for p in problems:
    print("  " + p, file=sys.stderr)
sys.exit(1 if problems else 0)
PY
echo "windows-basedata-check: $(wc -l <"$expected") items as on Linux ($((SECONDS - start)) s)"
