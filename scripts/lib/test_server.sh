# Shell helper shared by the Windows checks. Source this file; it defines
# functions only.

# start_test_server SERVER SCENARIO OUTPUT_DIR LOG_FILE
# Starts orbisk-testserver natively on a free loopback HTTP port with that
# scenario, its output in OUTPUT_DIR and its own output in LOG_FILE, and waits
# (at most 30 s) until it is ready. Sets server_pid and PORT; returns
# non-zero (with the log shown) when it does not start.
start_test_server() {
  "$1" --scenario "$2" --http-port 0 --https-port -1 --output "$3" >"$4" 2>&1 </dev/null &
  server_pid=$!
  for _ in $(seq 1 300); do
    grep -q '^ready' "$4" 2>/dev/null && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  PORT="$(sed -n 's/^http_port=//p' "$4")"
  [ -n "$PORT" ] || { cat "$4" >&2; return 1; }
}
