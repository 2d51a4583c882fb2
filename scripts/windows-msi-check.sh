#!/usr/bin/env bash
# Builds the Windows package (scripts/windows-msi.sh) and checks its tables
# with msiinfo: each program and data file in its folder under Program Files,
# sized as in the install tree; 64-bit components; the agent's service and its
# control at install and uninstall; the agent key's values; the custom actions
# and where they run.
#   scripts/windows-msi-check.sh [BUILD_DIR]    (default build-windows)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build-windows}"
fail() {
  echo "windows-msi-check: FAILED: $*" >&2
  exit 1
}
MSI="$(bash scripts/windows-msi.sh "$BUILD_DIR" | tail -n 1)"
[ -f "$MSI" ] || fail "no package at \"$MSI\""
STAGE="$(dirname "$MSI")/root"
VERSION="$(basename "$MSI" | sed -n 's/^ambrik-\(.*\)-x64\.msi$/\1/p')"

# A table's rows (after its three header lines), tab-separated.
rows() { msiinfo export "$MSI" "$1" | tr -d '\r' | tail -n +4; }
# Fails unless table $1 has a row matching the extended regex $2.
want() {
  rows "$1" | grep -Eq -- "$2" || { rows "$1" >&2; fail "table $1 has no row like: $2"; }
}
T=$'\t'

# Folders: Program Files\Orbisk Agent\{bin\{data},logs}.
want Directory "^INSTALLDIR${T}ProgramFiles64Folder${T}Orbisk Agent$"
want Directory "^BINDIR${T}INSTALLDIR${T}bin$"
want Directory "^DATADIR${T}BINDIR${T}data$"
want Directory "^LOGSDIR${T}INSTALLDIR${T}logs$"
want CreateFolder "^LOGSDIR${T}LogsFolder$"

# Files: the install tree's, each in its folder with the tree's size.
declare -A folder=([bin]=BINDIR [bin/data]=DATADIR)
components="$(rows Component)"
files="$(rows File)"
count=0
while IFS= read -r path; do
  rel="${path#"$STAGE"/}"
  name="$(basename "$rel")"
  dir="${folder[$(dirname "$rel")]:-}"
  [ -n "$dir" ] || fail "the install tree has $rel, which the package does not place"
  row="$(awk -F'\t' -v n="$name" '$3 == n' <<<"$files")"
  [ -n "$row" ] || fail "the package lacks $rel"
  size="$(cut -f4 <<<"$row")"
  [ "$size" = "$(stat -c %s "$path")" ] || fail "$rel: $size bytes in the package, $(stat -c %s "$path") in the tree"
  component="$(cut -f2 <<<"$row")"
  # 256: a 64-bit component; its folder the file's.
  awk -F'\t' -v c="$component" -v d="$dir" '$1 == c && $3 == d && int($4 / 256) % 2 == 1 { ok = 1 } END { exit !ok }' \
    <<<"$components" || fail "$rel: component $component is not a 64-bit one in $dir"
  count=$((count + 1))
done < <(find "$STAGE" -type f | sort)
[ "$count" -eq "$(wc -l <<<"$files")" ] || fail "the package has $(wc -l <<<"$files") files, the install tree $count"

# The service: own process (16), automatic (2), normal errors (1), LocalSystem,
# in the agent's component; started at install, stopped at install and
# uninstall, removed at uninstall (1 + 2 + 32 + 128), waited for.
SERVICE="Quillmark Orbisk 8 - Agent"
want ServiceInstall "^[^$T]*${T}${SERVICE}${T}[^$T]*${T}16${T}2${T}1${T}${T}${T}LocalSystem${T}${T}${T}Agent${T}"
want ServiceControl "^[^$T]*${T}${SERVICE}${T}163${T}${T}1${T}Agent$"
want Component "^Agent${T}[^$T]*${T}BINDIR${T}[0-9]+${T}${T}ambrik\.exe$"

# The agent key (HKLM is root 2): the install folder with its trailing
# backslash ([INSTALLDIR] ends with one), the version, log level 3.
KEY='Software\\Vardo Corp\\Orbisk\\Ambrik\\?'
want Registry "^[^$T]*${T}2${T}${KEY}${T}AgentInstallDir${T}\[INSTALLDIR\]${T}"
want Registry "^[^$T]*${T}2${T}${KEY}${T}AgentVersion${T}${VERSION//./\\.}${T}"
want Registry "^[^$T]*${T}2${T}${KEY}${T}AgentLogLevel${T}#3${T}"

# The custom actions: deferred, run as LocalSystem (1024 + 2048) from the
# installed programs (18); confora.exe unattended with every setting property
# (an installation fails with it), or its dialog; statusnote.exe, whose exit
# code is ignored (64); the data removal through the command shell (50).
want CustomAction "^ConforaUnattended${T}3090${T}confora\.exe${T}--unattended --server-name=\"\[SERVER_NAME\]\" --server-ip=\"\[SERVER_IP\]\" --port=\"\[SERVER_PORT\]\" --protocol=\"\[SERVER_PROTOCOL\]\" --db=\"\[SERVER_DB\]\" --aws=\"\[AWS_INSTANCE\]\" --on-mismatch=\"\[SERVER_ON_MISMATCH\]\"${T}"
want CustomAction "^ConforaDialog${T}3090${T}confora\.exe${T}${T}"
want CustomAction "^StatusServiceInstalled${T}3154${T}statusnote\.exe${T}ServiceInstalled${T}"
want CustomAction "^RemoveAgentData${T}3186${T}COMMANDSHELL${T}/c rmdir /s /q \"\[LOGSDIR\]\.\" & rmdir /s /q \"\[DATADIR\]\.\" & rmdir /s /q \"\[BINDIR\]serverdata\"${T}"
want Property "^COMMANDSHELL${T}cmd\.exe$"
want AppSearch "^SERVERCONFIGURED${T}"
# When they run: the settings once the files and the agent key are there and
# before the service starts; the dialog only at full UI with no server set and
# no setting given; ServiceInstalled once the service is installed; the data
# after the package's files and before their folders, never in an upgrade.
want InstallExecuteSequence "^ConforaUnattended${T}NOT REMOVE~=\"ALL\" AND \(SERVER_NAME OR SERVER_IP OR SERVER_PORT OR SERVER_PROTOCOL OR SERVER_DB OR AWS_INSTANCE OR SERVER_ON_MISMATCH\)${T}"
want InstallExecuteSequence "^ConforaDialog${T}NOT REMOVE~=\"ALL\" AND UILevel=5 AND NOT SERVERCONFIGURED AND NOT \(SERVER_NAME OR"
want InstallExecuteSequence "^RemoveAgentData${T}REMOVE~=\"ALL\" AND NOT UPGRADINGPRODUCTCODE AND \(REMOVE_DATA=\"1\" OR"
sequence="$(rows InstallExecuteSequence)"
in_order() {
  local previous=0 action at
  for action in "$@"; do
    at="$(awk -F'\t' -v a="$action" '$1 == a { print $3 }' <<<"$sequence")"
    if [ -z "$at" ] || [ "$at" -le "$previous" ]; then
      echo "$sequence" >&2
      fail "InstallExecuteSequence: $action is out of the order $*"
    fi
    previous="$at"
  done
}
in_order InstallValidate RemoveExistingProducts InstallInitialize
in_order WriteRegistryValues ConforaUnattended ConforaDialog InstallServices StatusServiceInstalled StartServices
in_order StopServices RemoveFiles RemoveAgentData RemoveFolders

# Add/Remove Programs: name, version, publisher; a newer package replaces this one.
want Property "^ProductName${T}Orbisk Agent$"
want Property "^ProductVersion${T}${VERSION//./\\.}$"
want Property "^Manufacturer${T}Vardo Corp$"
want InstallExecuteSequence "^RemoveExistingProducts${T}"
echo "windows-msi-check: $MSI: $count files, the service, the agent key and the custom actions in place"
