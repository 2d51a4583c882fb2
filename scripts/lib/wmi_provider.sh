# Shell helper: the test WMI provider (testserver/wmi/provider.cpp) in a
# build's wine prefix. Source this file after lib/wine_prefix.sh has set up
# the prefix; it defines functions only.

# The WMI locator class, whose InprocServer32 the provider becomes.
WMI_LOCATOR_KEY='HKLM\Software\Classes\CLSID\{4590F811-1D3A-11D0-891F-00AA004B2E24}\InprocServer32'

# wmi_provider_register BUILD_DIR
# Makes the provider of the cross build BUILD_DIR the WMI locator of its wine
# prefix (only there). Local connections still reach wine's own WMI through
# it. Returns non-zero when the DLL is missing or the registry refuses.
wmi_provider_register() {
  local dll="$1/tests/platform/wmi/ambrik_wmi_provider.dll" attempt output=""
  [ -f "$dll" ] || { echo "no $dll" >&2; return 1; }
  # A wineserver that is just ending refuses a new program: tried three times.
  for attempt in 1 2 3; do
    output="$(wine reg add "$WMI_LOCATOR_KEY" /ve /d "$(winepath -w "$dll")" /f 2>&1 </dev/null \
      && wine reg add "$WMI_LOCATOR_KEY" /v ThreadingModel /d Both /f 2>&1 </dev/null)" && return 0
    [ "$attempt" -eq 3 ] || sleep 1
  done
  echo "wine reg add $WMI_LOCATOR_KEY: $output" >&2
  return 1
}

# wmi_provider_fixture DUMP_TOOL HOSTS_ROOT OUT_FILE HOST...
# Writes what the simulated hosts HOST... of HOSTS_ROOT answer (the Linux
# backend's reading, by wmi-fixture-dump) to OUT_FILE and exports
# AMBRIK_WMI_FIXTURE so that the provider serves it, and AMBRIK_WMI_LEAK_LOG
# (OUT_FILE.leaks, emptied) where each process using it writes its count of
# objects left alive at exit.
wmi_provider_fixture() {
  local tool="$1" hosts="$2" out="$3"
  shift 3
  "$tool" "$hosts" "$@" >"$out" || return 1
  : >"$out.leaks"
  AMBRIK_WMI_FIXTURE="$(winepath -w "$out")" || return 1
  AMBRIK_WMI_LEAK_LOG="$(winepath -w "$out.leaks")" || return 1
  export AMBRIK_WMI_FIXTURE AMBRIK_WMI_LEAK_LOG
}

# wmi_provider_leaks OUT_FILE
# Succeeds when some process used the provider and every one released all
# its objects; otherwise prints the lines of those that did not.
wmi_provider_leaks() {
  [ -s "$1.leaks" ] || { echo "no process reported its count of WMI provider objects" >&2; return 1; }
  ! grep -v ' live 0$' "$1.leaks" >&2
}

# wmi_contract_fixture BUILD_DIR DUMP_TOOL
# The provider registered and serving the hosts of
# tests/platform/wmi/fixture-hosts, as the WMI contract tests expect them.
wmi_contract_fixture() {
  local hosts
  hosts="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/tests/platform/wmi/fixture-hosts"
  wmi_provider_register "$1" || return 1
  wmi_provider_fixture "$2" "$hosts" "$1/wmi-contract.fixture" host10.corp.example host61.corp.example
}
