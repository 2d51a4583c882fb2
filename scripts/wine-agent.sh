#!/usr/bin/env bash
# Runs the Windows agent in the console under wine, set up from a registry
# file in the layout the Linux agent reads:
#   scripts/wine-agent.sh BUILD_DIR REGISTRY_FILE
# BUILD_DIR is a cross build (scripts/windows-check.sh makes one); its wine
# prefix is BUILD_DIR/wineprefix. The keys REGISTRY_FILE names are replaced in
# wine's registry by its contents, with every string value that is an absolute
# Linux path turned into the Windows path wine gives it (AgentInstallDir,
# WmiHostsDir and the like). The build is installed into AgentInstallDir, and
# ambrik.exe console runs from its bin folder, its output on this script's.
# Ctrl-C or SIGTERM stops it the orderly way (a last transfer and
# ServiceStop); if it has not ended 30 s later it is killed. The exit status
# is the agent's.
# The simulated hosts of WmiHostsDir are served to the agent by the test WMI
# provider (testserver/wmi/provider.cpp, registered in the build's prefix),
# from what wmi-fixture-dump reads in that folder: the one AMBRIK_WMI_DUMP
# names, or BUILD_DIR/native/testserver/wmi-fixture-dump. Without either, or
# without the folder, the hosts cannot be reached. When the agent left
# objects of the provider unreleased, that is said and the exit status is 3.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=lib/wine_prefix.sh
source "$ROOT/scripts/lib/wine_prefix.sh"
# shellcheck source=lib/wmi_provider.sh
source "$ROOT/scripts/lib/wmi_provider.sh"
fail() {
  echo "wine-agent: $*" >&2
  exit 1
}
[ $# -eq 2 ] || fail "usage: scripts/wine-agent.sh BUILD_DIR REGISTRY_FILE"
BUILD_DIR="$(cd "$1" 2>/dev/null && pwd)" || fail "no build folder $1"
REG="$2"
[ -f "$REG" ] || fail "no registry file $REG"
[ -f "$BUILD_DIR/agent/service/ambrik.exe" ] || fail "$BUILD_DIR holds no ambrik.exe (a cross build is needed)"
command -v wine >/dev/null || fail "wine is not installed (scripts/windows-deps.sh installs it)"
# A wineserver this script starts ends 5 s after the agent.
wine_prefix "$BUILD_DIR" 5 || fail "wineboot could not make $WINEPREFIX"

WORK="$(mktemp -d /tmp/ambrik-wine-agent.XXXXXX)"
agent_pid=""
watchdog_pid=""
cleanup() {
  [ -n "$watchdog_pid" ] && kill "$watchdog_pid" 2>/dev/null || true
  [ -n "$agent_pid" ] && kill -KILL "$agent_pid" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

# The file as UTF-8 without carriage returns (Windows exports UTF-16LE).
if [ "$(head -c 2 "$REG" | od -An -tx1 | tr -d ' ')" = "fffe" ]; then
  iconv -f UTF-16 -t UTF-8 "$REG" >"$WORK/linux.reg" || fail "$REG is not valid UTF-16"
else
  cat "$REG" >"$WORK/linux.reg"
fi
sed -i 's/\r$//' "$WORK/linux.reg"

reg_unescape() { printf '%s' "$1" | sed 's/\\"/"/g; s/\\\\/\\/g'; }
reg_escape() { printf '%s' "$1" | sed 's/\\/\\\\/g; s/"/\\"/g'; }
inst=""
hosts=""
keys=()
path_value='^("[^"]*")="(/([^"\\]|\\.)*)"$'
while IFS= read -r line || [ -n "$line" ]; do
  if [[ "$line" =~ ^\[(HKEY_[^]]*)\]$ ]]; then
    keys+=("${BASH_REMATCH[1]}")
  elif [[ "$line" =~ $path_value ]]; then
    name="${BASH_REMATCH[1]}"
    linux="$(reg_unescape "${BASH_REMATCH[2]}")"
    [ "$name" = '"AgentInstallDir"' ] && inst="$linux"
    [ "$name" = '"WmiHostsDir"' ] && hosts="$linux"
    windows="$(winepath -w "$linux" 2>/dev/null)" || fail "wine has no Windows path for $linux"
    line="$name=\"$(reg_escape "$windows")\""
  fi
  printf '%s\r\n' "$line"
done <"$WORK/linux.reg" >"$WORK/windows-utf8.reg"
[ -n "$inst" ] || fail "$REG gives no AgentInstallDir as an absolute Linux path"
# Windows' own export form, UTF-16LE with a byte order mark, so that paths
# that are not ASCII survive the import.
{ printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE "$WORK/windows-utf8.reg"; } >"$WORK/windows.reg" \
  || fail "$REG is not valid UTF-8"

for key in "${keys[@]}"; do
  wine reg delete "${key/#HKEY_LOCAL_MACHINE/HKLM}" /f >/dev/null 2>&1 </dev/null || true
done
wine reg import "$(winepath -w "$WORK/windows.reg")" >/dev/null 2>&1 </dev/null \
  || fail "wine reg could not import $REG"

cmake --install "$BUILD_DIR" --prefix "$inst" >/dev/null || fail "could not install the build into $inst"

dump="${AMBRIK_WMI_DUMP:-$BUILD_DIR/native/testserver/wmi-fixture-dump}"
fixture=""
if [ -n "$hosts" ] && [ -d "$hosts" ] && [ -x "$dump" ]; then
  wmi_provider_register "$BUILD_DIR" || fail "could not register the test WMI provider"
  wmi_provider_fixture "$dump" "$hosts" "$WORK/wmi.fixture" || fail "could not read the hosts of $hosts"
  fixture="$WORK/wmi.fixture"
else
  echo "wine-agent: no simulated hosts served (WmiHostsDir \"$hosts\", $dump)" >&2
fi

# The agent in a process group of its own, so a Ctrl-C at the terminal reaches
# it once, forwarded from here.
stop() {
  [ -z "$watchdog_pid" ] || return 0
  kill -INT "$agent_pid" 2>/dev/null || true
  (
    sleep 30
    kill -0 "$agent_pid" 2>/dev/null || exit 0
    echo "wine-agent: the agent did not stop within 30 s; killing it" >&2
    kill -KILL "$agent_pid" 2>/dev/null || true
  ) &
  watchdog_pid=$!
}
trap stop INT TERM
set -m
(cd "$inst/bin" && exec wine ./ambrik.exe console) &
agent_pid=$!
set +m
while kill -0 "$agent_pid" 2>/dev/null; do
  wait "$agent_pid" 2>/dev/null || true
done
status=0
wait "$agent_pid" 2>/dev/null || status=$?
agent_pid=""
if [ -n "$fixture" ] && ! wmi_provider_leaks "$fixture"; then
  echo "wine-agent: the agent left objects of the WMI provider unreleased (above)" >&2
  [ "$status" -ne 0 ] || status=3
fi
exit "$status"
