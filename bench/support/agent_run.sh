# Shell helpers of the whole-program benchmarks: the orderly stop of the
# agent and of the test server; for the file-change benchmarks also a scratch
# folder (a tmpfs as root), the test server with a scenario that watches one
# location, and the agent run over a folder mapped as drive C until its
# volume monitor waits on the journal. Source this file after
# scripts/lib/agent_registry.sh, with ROOT, BUILD, SCALE and TIMEOUT set.

# Ends the benchmark (status 2) unless BUILD holds the agent and the test server.
bench_need_programs() {
  local tool
  for tool in "$BUILD/agent/service/ambrik" "$BUILD/testserver/orbisk-testserver"; do
    [ -x "$tool" ] || { echo "missing $tool: build the targets ambrik and orbisk-testserver" >&2; exit 2; }
  done
}

# bench_scratch NAME SIZE: makes WORK, mounts a tmpfs of SIZE on it as root,
# and removes both at exit (KEEP=1 keeps the folder).
bench_scratch() {
  WORK="$(mktemp -d "/tmp/ambrik-$1.XXXXXX")"
  MOUNTED=""
  if [ "$(id -u)" = 0 ] && mount -t tmpfs -o "size=$2,mode=0700" ambrik-bench "$WORK"; then MOUNTED=1; fi
  SERVER_PID=""
  AGENT_PID=""
  trap bench_cleanup EXIT
  trap 'exit 130' INT TERM
}

# Stops the agent with its orderly stop, killing it after 30 s.
bench_stop_agent() {
  if [ -n "$AGENT_PID" ] && kill -0 "$AGENT_PID" 2>/dev/null; then
    kill -INT "$AGENT_PID" 2>/dev/null || true
    for _ in $(seq 1 300); do kill -0 "$AGENT_PID" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$AGENT_PID" 2>/dev/null || true
  fi
  AGENT_PID=""
}

bench_stop_server() {
  if [ -n "$SERVER_PID" ] && kill -0 "$SERVER_PID" 2>/dev/null; then
    kill -TERM "$SERVER_PID" 2>/dev/null || true
    wait "$SERVER_PID" 2>/dev/null || true
  fi
  SERVER_PID=""
}

bench_cleanup() {
  bench_stop_agent
  bench_stop_server
  if [ -n "$MOUNTED" ]; then umount -l "$WORK" || true; fi
  [ -n "${KEEP:-}" ] || rm -rf "$WORK"
}

# bench_fim_scenario LOCATION: the default scenario in $WORK/scenario without
# hosts, its monitor requests naming LOCATION (as written in the XML).
bench_fim_scenario() {
  SCENARIO="$WORK/scenario"
  mkdir -p "$SCENARIO" "$WORK/server"
  cp -r "$ROOT/testserver/scenarios/default/." "$SCENARIO/"
  rm -rf "$SCENARIO/wmi-hosts"
  echo '<?xml version="1.0"?><HostList/>' > "$SCENARIO/hostdetails.xml"
  echo "<?xml version=\"1.0\"?><MonitorRequests><FIM_AgentRequest INCL_LOC=\"$1\" CHECKSUM=\"\" LOC_ID=\"1\"/></MonitorRequests>" \
    > "$SCENARIO/monitorrequests-agent.xml"
}

# Starts the test server over $SCENARIO on a free loopback port; sets PORT.
bench_start_server() {
  "$BUILD/testserver/orbisk-testserver" --scenario "$SCENARIO" --http-port 0 --https-port -1 \
    --output "$WORK/server" > "$WORK/server.out" 2> "$WORK/server.err" &
  SERVER_PID=$!
  for _ in $(seq 1 100); do grep -q '^ready' "$WORK/server.out" 2>/dev/null && break; sleep 0.1; done
  PORT="$(sed -n 's/^http_port=//p' "$WORK/server.out")"
  [ -n "$PORT" ] || { echo "the test server did not start:" >&2; cat "$WORK/server.err" >&2; exit 1; }
}

# bench_start_agent RUN VOLUME AGENT: lays out an install folder under RUN
# with drive C mapped to VOLUME, starts AGENT in the console and returns once
# its monitor waits on the journal; sets AGENT_PID.
bench_start_agent() {
  local run="$1" volume="$2" agent="$3"
  mkdir -p "$run/inst/bin/data" "$run/inst/logs" "$run/journal"
  cp "$ROOT/data/data-dictionary.xml" "$ROOT/data/EventIdParserRules.xml" "$run/inst/bin/data/"
  agent_registry "$PORT" "$run/inst" '' \
    '[HKEY_LOCAL_MACHINE\Software\Vardo Corp\Orbisk\Ambrik\Volumes]' \
    "\"C\"=\"$volume\"" "\"JournalDir\"=\"$run/journal/\"" > "$run/registry.reg"
  ORBISK_REGISTRY="$run/registry.reg" AMBRIK_CLOCK_SCALE="$SCALE" "$agent" console > "$run/agent.out" 2>&1 &
  AGENT_PID=$!
  local deadline=$(( $(date +%s) + TIMEOUT ))
  until grep -q 'Initiating WAIT' "$run/inst/logs/agentlog.out" 2>/dev/null; do
    kill -0 "$AGENT_PID" 2>/dev/null || { echo "the agent ended early" >&2; tail -20 "$run/agent.out" >&2; exit 1; }
    [ "$(date +%s)" -lt "$deadline" ] || { echo "the monitor did not start in ${TIMEOUT}s" >&2; exit 1; }
    sleep 0.1
  done
}
