#!/usr/bin/env bash
# Part of the Windows check: ambrik-inspect.exe under wine reads the status
# the agent's console run just wrote, finding the install folder through the
# agent's AgentInstallDir in wine's registry.
#   scripts/windows-status-check.sh BUILD_DIR INSTALL_DIR
# Expects the build's wine prefix (WINEPREFIX) to be set up, as
# windows-check.sh leaves it. Exits non-zero with the reason on a failure.
set -euo pipefail
BUILD_DIR="$1"
INST="$2"
fail() {
  echo "windows-status-check: FAILED: $*" >&2
  exit 1
}
[ -f "$BUILD_DIR/tools/ambrik-inspect.exe" ] || fail "ambrik-inspect.exe was not built"
[ -f "$INST/bin/ambrik-inspect.exe" ] || fail "ambrik-inspect.exe is not installed"
[ -f "$INST/logs/status.json" ] || fail "the agent wrote no logs/status.json"
run() { (cd "$INST/bin" && wine ./ambrik-inspect.exe "$@" </dev/null 2>&1 | tr -d '\r'); }

code=0
json="$(run --status --json)" || code=$?
# Under wine the hosts answer nothing: their runs fail, a warning or worse,
# never "unknown" for a status just written.
case "$code" in 0 | 1 | 2) ;; *) echo "$json" >&2; fail "--status --json exited $code" ;; esac
for want in '"written": ' '"server": {"up": true' '"id": 101, ' '"id": 103, ' '"residentBytes": [1-9]' \
            '"threads": [1-9]'; do
  echo "$json" | grep -Eq "$want" || { echo "$json" >&2; fail "the status lacks $want"; }
done
screen="$(run --status)" || true
echo "$screen" | head -n 1 | grep -q '^ambrik .*, agent id 1001, ' || { echo "$screen" >&2; fail "the screen's first line"; }
echo "$screen" | grep -q '^host  *.* (101): ' || { echo "$screen" >&2; fail "no line for host 101"; }
echo "windows-status-check: ambrik-inspect.exe --status exited $code"
