#!/usr/bin/env bash
# Installs the Windows package silently under wine, upgrades it with a newer
# one and removes it, against the test server scripts/windows-check.sh runs
# (which calls this script with its wine prefix in the environment):
#   scripts/windows-msi-install-check.sh BUILD_DIR REG_FILE REQUESTS_LOG
# REG_FILE holds the server key pointing at the test server; REQUESTS_LOG is
# the test server's request log.
set -euo pipefail
trap 'echo "windows-msi-install-check: FAILED at line $LINENO" >&2' ERR
cd "$(dirname "$0")/.."
BUILD_DIR="$1"
REG_FILE="$2"
REQUESTS="$3"
start=$SECONDS
say() { echo "windows-msi-install-check: $* ($((SECONDS - start)) s)"; }
fail() {
  echo "windows-msi-install-check: FAILED: $*" >&2
  echo "--- requests.log (tail) ---" >&2
  tail -n 20 "$REQUESTS" >&2 2>/dev/null || true
  exit 1
}
[ -n "${WINEPREFIX:-}" ] || fail "no wine prefix (run by scripts/windows-check.sh)"
SERVICE="Quillmark Orbisk 8 - Agent"
KEY='HKLM\Software\Vardo Corp\Orbisk'
INSTALLED="$WINEPREFIX/drive_c/Program Files/Orbisk Agent"

MSI="$(bash scripts/windows-msi.sh "$BUILD_DIR" | tail -n 1)"
VERSION="$(basename "$MSI" | sed -n 's/^ambrik-\(.*\)-x64\.msi$/\1/p')"
NEXT="${VERSION%.*}.$((${VERSION##*.} + 1))"
NEXT_MSI="$(AMBRIK_MSI_VERSION="$NEXT" bash scripts/windows-msi.sh "$BUILD_DIR" | tail -n 1)"

count() { grep -c -- "$1" "$REQUESTS" 2>/dev/null || true; }
# Waits (at most 60 s) for more than $2 requests whose target holds $1.
wait_request() {
  local deadline=$((SECONDS + 60))
  until [ "$(count "$1")" -gt "$2" ]; do
    [ $SECONDS -lt $deadline ] || fail "no new request with \"$1\""
    sleep 0.5
  done
}
# msiexec $1 on package $2, silently, its log beside the package; $3 names the
# step, the rest are properties. MSIEXEC_FAILS=1: it must fail (Windows' msiexec
# ends with 1603, wine's with 1627, which a Linux exit status keeps as 91).
msiexec_run() {
  local log="${2%.msi}.$3.log" status=0
  wine msiexec "$1" "$(winepath -w "$2")" /qn /l*v "$(winepath -w "$log")" "${@:4}" >/dev/null 2>&1 </dev/null \
    || status=$?
  [ "$status" -eq 0 ] || [ -n "${MSIEXEC_FAILS:-}" ] || {
    grep -a -B2 -A2 'Return value 3' "$log" >&2 || tail -n 20 "$log" >&2; fail "$3: msiexec ended with $status"; }
  [ "$status" -ne 0 ] || [ -z "${MSIEXEC_FAILS:-}" ] \
    || fail "$3: msiexec ended with 0"
}
value() { wine reg query "$KEY\\$1" /v "$2" 2>/dev/null </dev/null | tr -d '\r' | sed -n "s/^ *$2 \+REG_[A-Z_]\+ \+//p" || true; }
running() { wine sc query "$SERVICE" 2>/dev/null </dev/null | grep -q RUNNING; }
UNINSTALL='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
# The Add/Remove Programs entries of the agent: "key version publisher" lines
# (none: no output).
products() {
  local key
  wine reg query "$UNINSTALL" 2>/dev/null </dev/null | tr -d '\r' | grep -F "\\Uninstall\\" | while read -r key; do
    wine reg query "$key" 2>/dev/null </dev/null | tr -d '\r' | grep -Eq '^ +DisplayName +REG_SZ +Orbisk Agent$' || continue
    printf '%s %s %s\n' "${key##*\\}" \
      "$(wine reg query "$key" /v DisplayVersion 2>/dev/null </dev/null | tr -d '\r' | sed -n 's/^ *DisplayVersion \+REG_SZ \+//p')" \
      "$(wine reg query "$key" /v Publisher 2>/dev/null </dev/null | tr -d '\r' | sed -n 's/^ *Publisher \+REG_SZ \+//p')"
  done || true
}
check_installed() {
  local version="$1" f
  for f in bin/ambrik.exe bin/statusnote.exe bin/confora.exe bin/data/data-dictionary.xml \
           bin/data/EventIdParserRules.xml; do
    [ -f "$INSTALLED/$f" ] || fail "$f is not installed"
  done
  [ -d "$INSTALLED/logs" ] || fail "logs\\ is not made"
  [ "$(value Ambrik AgentInstallDir)" = "C:\\Program Files\\Orbisk Agent\\" ] \
    || fail "AgentInstallDir is \"$(value Ambrik AgentInstallDir)\""
  [ "$(value Ambrik AgentVersion)" = "$version" ] || fail "AgentVersion is \"$(value Ambrik AgentVersion)\", not $version"
  [ "$(value Ambrik AgentLogLevel)" = "0x3" ] || fail "AgentLogLevel is \"$(value Ambrik AgentLogLevel)\""
  running || fail "the service is not running after installing $version"
  [ "$(products | cut -d' ' -f2-)" = "$version Vardo Corp" ] || fail "Add/Remove Programs shows: $(products)"
}

# What a run that failed half-way left installed goes first.
products | while read -r code _; do
  wine msiexec /x "$code" /qn >/dev/null 2>&1 </dev/null || true
done
# The server key as an administrator would have set it; no agent key.
wine reg delete "$KEY\\Ambrik" /f >/dev/null 2>&1 </dev/null || true
wine reg import "$REG_FILE" >/dev/null 2>&1 </dev/null || fail "wine reg import"
wine reg delete "$KEY\\Ambrik" /f >/dev/null 2>&1 </dev/null || true
port="$(value ServerInfo ServerPort)"
# The server is given as properties, which confora.exe --unattended writes.
wine reg delete "$KEY\\ServerInfo" /f >/dev/null 2>&1 </dev/null || true

# A name and an address that do not match fail the installation and leave
# nothing installed.
MSIEXEC_FAILS=1 msiexec_run /i "$MSI" mismatch SERVER_NAME=localhost SERVER_IP=127.0.0.9
grep -aEq 'ConforaUnattended\. Return value [03]\.' "${MSI%.msi}.mismatch.log" \
  || fail "the failed installation's log does not show ConforaUnattended failing"
[ -z "$(products)" ] || fail "a failed installation left: $(products)"
[ -z "$(value ServerInfo ServerIPAddress)" ] || fail "a failed installation wrote ServerIPAddress"
! wine sc query "$SERVICE" 2>/dev/null </dev/null | grep -q SERVICE_NAME || fail "a failed installation left the service"
say "a mismatching server fails the installation"

registered="$(count "mode=register&name=")"
started="$(count "status=ServiceStarted")"
reported="$(count "mode=agentversion&isSameVersion=check&version=$VERSION")"
installed="$(count "status=ServiceInstalled")"
msiexec_run /i "$MSI" install SERVER_IP=127.0.0.1 SERVER_PORT="$port" SERVER_DB=mysql
check_installed "$VERSION"
for want in ServerIPAddress=127.0.0.1 ServerName=localhost ServerPort="$port" ServerProtocol=http ServerDBType=mysql; do
  [ "$(value ServerInfo "${want%%=*}")" = "${want#*=}" ] || fail "${want%%=*} is \"$(value ServerInfo "${want%%=*}")\""
done
[ "$(value Ambrik "AWS Instance")" = no ] || fail "AWS Instance is \"$(value Ambrik "AWS Instance")\""
[ "$(count "status=ServiceInstalled")" -eq $((installed + 1)) ] || fail "no ServiceInstalled from the installation"
wait_request "mode=register&name=" "$registered"
wait_request "status=ServiceStarted" "$started"
wait_request "mode=agentversion&isSameVersion=check&version=$VERSION" "$reported"
say "installed $VERSION: files, agent and server keys, service running, ServiceInstalled, registered and started"

# Windows' installer waits for a stopping service (Wait="yes") before it replaces
# or removes the files; wine's only sends the stop and goes on at once, so a
# process still shutting down keeps bin/ambrik.exe open (the file stays), or is
# ended by the new service's start before it has sent ServiceStop. Before an
# upgrade or a removal the service is therefore stopped first, as an
# administrator would, and its process waited for.
# Whether the agent of this wine prefix still runs (other prefixes on the
# machine run theirs under the same Windows path).
agent_alive() {
  local pid
  for pid in $(pgrep -f 'Program Files.Orbisk Agent.bin.ambrik\.exe'); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && return 0
  done
  return 1
}
stop_service() {
  local stopped deadline
  stopped="$(count "status=ServiceStop")"
  wine sc stop "$SERVICE" >/dev/null 2>&1 </dev/null || true
  wait_request "status=ServiceStop" "$stopped"
  deadline=$((SECONDS + 60))
  while running || agent_alive; do
    [ $SECONDS -lt $deadline ] || fail "the service did not end within 60 s of its stop"
    sleep 0.2
  done
}

# The newer package replaces the older; the server key and the agent's data stay.
touch "$INSTALLED/logs/kept.marker" "$INSTALLED/bin/data/kept.marker"
started="$(count "status=ServiceStarted")"
stop_service
msiexec_run /i "$NEXT_MSI" upgrade
check_installed "$NEXT"
[ "$(value ServerInfo ServerPort)" = "$port" ] || fail "the upgrade changed ServerPort"
for f in logs bin/data; do [ -f "$INSTALLED/$f/kept.marker" ] || fail "the upgrade removed $f"; done
wait_request "status=ServiceStarted" "$started"
say "upgraded to $NEXT: the service restarted, the server key and logs kept"

# Removal: the service stops (ServiceStop) and goes, the programs go, the logs stay.
stop_service
msiexec_run /x "$NEXT_MSI" uninstall
# The service manager deletes a service once the last handle to it closes.
deadline=$((SECONDS + 30))
while wine sc query "$SERVICE" 2>/dev/null </dev/null | grep -q SERVICE_NAME; do
  [ $SECONDS -lt $deadline ] || fail "the service is still registered 30 s after the removal"
  sleep 0.5
done
for f in bin/ambrik.exe bin/statusnote.exe bin/confora.exe bin/data/data-dictionary.xml; do
  [ ! -e "$INSTALLED/$f" ] || fail "$f is still there after removal"
done
for f in logs bin/data; do [ -f "$INSTALLED/$f/kept.marker" ] || fail "the removal took $f"; done
[ -z "$(value Ambrik AgentVersion)" ] || fail "AgentVersion is still set after removal"
[ -z "$(products)" ] || fail "Add/Remove Programs still shows: $(products)"
[ "$(value ServerInfo ServerPort)" = "$port" ] || fail "the removal changed the server key"
say "removed: ServiceStop sent, the service and programs gone, the logs and data kept"

# Installed again at full UI with no server key: Confora's dialog opens and is
# filled in on a virtual display (without Xvfb and xdotool: installed silently,
# the server key as it is). Then removed with REMOVE_DATA=1: logs\, bin\data\
# and bin\serverdata\ go with the programs.
# shellcheck source=lib/confora_dialog.sh
source scripts/lib/confora_dialog.sh
trap '[ -z "${CONFORA_XVFB_PID:-}" ] || kill "$CONFORA_XVFB_PID" 2>/dev/null || true' EXIT
if confora_dialog_display; then
  wine reg delete "$KEY\\ServerInfo" /f >/dev/null 2>&1 </dev/null || true
  package="$(winepath -w "$NEXT_MSI")"
  log="$(winepath -w "${NEXT_MSI%.msi}.dialog.log")"
  # wine's desktop takes the display of the process that first needs it, so
  # a fresh wineserver, whose first program is the installation on the
  # virtual display.
  wineserver -k >/dev/null 2>&1 </dev/null || true
  wineserver -w >/dev/null 2>&1 </dev/null || true
  DISPLAY="$CONFORA_DISPLAY" wine msiexec /i "$package" /l*v "$log" >/dev/null 2>&1 </dev/null &
  installer=$!
  if confora_dialog_fill "$installer" localhost "$port"; then
    status=0
    wait "$installer" || status=$?
    [ "$status" -eq 0 ] || fail "dialog: msiexec ended with $status"
    for want in ServerName=localhost ServerIPAddress=127.0.0.1 ServerPort="$port"; do
      [ "$(value ServerInfo "${want%%=*}")" = "${want#*=}" ] || fail "the dialog left ${want%%=*} \"$(value ServerInfo "${want%%=*}")\""
    done
    say "installed again at full UI: Confora's dialog wrote the server key"
  else
    # Typed keys can miss a window on a very busy machine. What the dialog
    # writes is checked by Confora's own tests; the package is installed
    # again silently, over the server key as it was, so the removal below
    # is still checked.
    kill "$installer" 2>/dev/null || true
    wineserver -k >/dev/null 2>&1 </dev/null || true
    wineserver -w >/dev/null 2>&1 </dev/null || true
    wine reg import "$REG_FILE" >/dev/null 2>&1 </dev/null || fail "wine reg import"
    wine msiexec /x "$(winepath -w "$NEXT_MSI")" /qn >/dev/null 2>&1 </dev/null || true
    wine reg delete "$KEY\\Ambrik" /f >/dev/null 2>&1 </dev/null || true
    msiexec_run /i "$NEXT_MSI" reinstall
    say "the settings dialog did not take xdotool's keys on this busy machine: installed again silently"
  fi
else
  msiexec_run /i "$NEXT_MSI" reinstall
  say "installed again silently (no Xvfb or xdotool for the dialog)"
fi
running || fail "the service is not running after installing again"
mkdir -p "$INSTALLED/bin/serverdata"
touch "$INSTALLED/bin/serverdata/rawlogs"
stop_service
msiexec_run /x "$NEXT_MSI" purge REMOVE_DATA=1
for d in logs bin/data bin/serverdata; do
  [ ! -e "$INSTALLED/$d" ] || fail "$d is still there after a removal with REMOVE_DATA=1"
done
[ "$(value ServerInfo ServerPort)" = "$port" ] || fail "the removal changed the server key"
rm -rf "$INSTALLED"
say "removed with REMOVE_DATA=1: the logs and the agent's data gone too"
if [ -n "${CONFORA_XVFB_PID:-}" ]; then
  # Wine as the caller had it: a persistent wineserver without a display.
  wineserver -k >/dev/null 2>&1 </dev/null || true
  wineserver -w >/dev/null 2>&1 </dev/null || true
  # shellcheck source=lib/wine_prefix.sh
  source scripts/lib/wine_prefix.sh
  wine_prefix "$(dirname "$WINEPREFIX")" || fail "wine could not start again"
fi
