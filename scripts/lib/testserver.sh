# Shell helper shared by the Windows checks. Source this file; it defines
# functions only.

# testserver_start SERVER SCENARIO OUTPUT_DIR LOG_FILE
# Starts orbisk-testserver (SERVER) on 127.0.0.1 with a free HTTP port and no
# HTTPS, answering from the SCENARIO folder, keeping uploads and its request
# log in OUTPUT_DIR and its own output in LOG_FILE. Sets server_pid and
# server_port. Returns non-zero, the output shown, when it is not ready
# within 30 s.
testserver_start() {
  "$1" --scenario "$2" --http-port 0 --https-port -1 --output "$3" >"$4" 2>&1 </dev/null &
  server_pid=$!
  for _ in $(seq 1 300); do
    grep -q '^ready' "$4" 2>/dev/null && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  grep -q '^ready' "$4" || { cat "$4" >&2; return 1; }
  server_port="$(sed -n 's/^http_port=//p' "$4")"
}
