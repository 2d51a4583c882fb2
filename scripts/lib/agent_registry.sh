# Shell helpers shared by the demo and the whole-program benchmarks.
# Source this file; it defines functions only.

# agent_registry PORT INSTALL_DIR [LINES...]
# Prints a registry file in the .reg format that points the agent at the test
# server on 127.0.0.1:PORT over http, with INSTALL_DIR as its install folder
# and INSTALL_DIR/wmi-hosts as its simulated hosts. Each further argument is
# one more line for the end of the file (more values of the agent key, or
# further keys with their values).
agent_registry() {
  local port="$1" inst="$2"
  shift 2
  printf '%s\r\n' \
    'Windows Registry Editor Version 5.00' '' \
    '[HKEY_LOCAL_MACHINE\Software\Vardo Corp\Orbisk\ServerInfo]' \
    '"ServerName"="localhost"' \
    '"ServerIPAddress"="127.0.0.1"' \
    "\"ServerPort\"=\"$port\"" \
    '"ServerProtocol"="http"' \
    '"ServerDBType"="postgres"' '' \
    '[HKEY_LOCAL_MACHINE\Software\Vardo Corp\Orbisk\Ambrik]' \
    "\"AgentInstallDir\"=\"${inst%/}/\"" \
    '"AgentVersion"="8.0.0"' \
    '"AWS Instance"="no"' \
    "\"WmiHostsDir\"=\"${inst%/}/wmi-hosts\"" \
    "$@"
}
