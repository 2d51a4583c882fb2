#!/usr/bin/env bash
# The whole agent's peak resident memory while it loads a large host list
# answer, against the same agent loading the default three-host list, in one
# run.
#
# The stand-in server answers hostdetails with a document of about MIB MiB:
# the three hosts of the default scenario followed by HostDetails rows of
# hosts that no Hosts row names (so the host cache keeps none of them, but
# every one of them is parsed, stored and printed). The agent is started,
# and once it has read the host list ("Number of hosts") its peak memory
# (VmHWM) is read. Then the same with the small list. With BEFORE=AGENT the
# same two runs are made with that agent binary too (a build of an earlier
# commit), so the figures stand side by side. Prints one "key=value ..." line
# per agent.
#
#   bench/dump_memory.sh [BUILD_DIR]
#   MIB=250 BEFORE=/tmp/ambrik-old bench/dump_memory.sh build
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=../scripts/lib/agent_registry.sh
source "$ROOT/scripts/lib/agent_registry.sh"
BUILD="$(cd "${1:-$ROOT/build}" && pwd)"
MIB="${MIB:-250}"
SCALE="${SCALE:-60}"
TIMEOUT="${TIMEOUT:-600}"


# shellcheck source=support/agent_run.sh
source "$ROOT/bench/support/agent_run.sh"
bench_need_programs
bench_scratch dumpmemory 3g
bench_fim_scenario 'c:\\\\watched'
cp "$ROOT/testserver/scenarios/default/hostdetails.xml" "$WORK/small.xml"
# The large answer: the default hosts, then rows of 10000 lines each until
# the size is reached (the 256 MiB cap of an answer must not be passed).
python3 - "$WORK/small.xml" "$WORK/large.xml" "$MIB" <<'EOF'
import sys
small, large, mib = sys.argv[1], sys.argv[2], int(sys.argv[3])
text = open(small).read()
end = text.rindex("</")
target = mib << 20
with open(large, "w") as out:
    out.write(text[:end])
    written, n = end, 0
    while written < target - 64:
        block = "".join(
            f'<HostDetails HOST_ID="{900000 + n + i}" DOMAIN_NAME="CORP" TYPE="Windows" USERNAME="CORP\\\\admin{n + i}" '
            f'PASSWORD="bnh+b3hp" LAST_MSG_TIME="0" MON_INTERVAL="2" LOG_COLLECTION_STATUS="1" STATUS="0"/>\n'
            for i in range(10000))
        if written + len(block) > target - 64:
            block = block[: block.rfind("\n", 0, target - 64 - written) + 1]
            if not block:
                break
        out.write(block)
        written += len(block)
        n += 10000
    out.write(text[end:])
EOF
LARGE_BYTES=$(stat -c %s "$WORK/large.xml")
bench_start_server

# Runs AGENT over answer FILE until it has read the host list; prints
# "peak_kib rss_kib load_s".
measure() {
  local agent="$1" answer="$2" run="$WORK/run-$RANDOM"
  cp "$answer" "$SCENARIO/hostdetails.xml"
  mkdir -p "$run/volume/watched"
  local start; start=$(date +%s.%N)
  bench_start_agent "$run" "$run/volume" "$agent"
  local deadline=$(( $(date +%s) + TIMEOUT ))
  until grep -qa 'Number of hosts\|No hosts were loaded' "$run/inst/logs/agentlog.out" "$run/inst/logs/agentlog1.out" 2>/dev/null; do
    kill -0 "$AGENT_PID" 2>/dev/null || { echo "the agent ended early" >&2; tail -20 "$run/agent.out" >&2; exit 1; }
    [ "$(date +%s)" -lt "$deadline" ] || { echo "the host list was not read in ${TIMEOUT}s" >&2; exit 1; }
    sleep 0.2
  done
  local took; took=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN{printf "%.1f", b - a}')
  sleep 1
  echo "$(awk '/VmHWM/ {print $2}' "/proc/$AGENT_PID/status") $(awk '/VmRSS/ {print $2}' "/proc/$AGENT_PID/status") $took"
  bench_stop_agent
  rm -rf "$run"
}

report() {
  local name="$1" agent="$2"
  read -r LARGE_PEAK LARGE_RSS LARGE_S < <(measure "$agent" "$WORK/large.xml")
  read -r SMALL_PEAK SMALL_RSS SMALL_S < <(measure "$agent" "$WORK/small.xml")
  [ -n "${LARGE_PEAK:-}" ] && [ -n "${SMALL_PEAK:-}" ] || { echo "a run gave no figures" >&2; exit 1; }
  awk -v name="$name" -v bytes="$LARGE_BYTES" -v lp="$LARGE_PEAK" -v lr="$LARGE_RSS" -v ls="$LARGE_S" \
      -v sp="$SMALL_PEAK" -v sr="$SMALL_RSS" -v ss="$SMALL_S" 'BEGIN {
    printf "dump_memory agent=%s answer_mib=%.1f peak_mib=%.1f rss_after_mib=%.1f start_s=%s small_peak_mib=%.1f small_start_s=%s peak_added_mib=%.1f added_per_answer_byte=%.2f\n",
      name, bytes / 1048576, lp / 1024, lr / 1024, ls, sp / 1024, ss, (lp - sp) / 1024, (lp - sp) * 1024 / bytes }'
}

report current "$BUILD/agent/service/ambrik"
if [ -n "${BEFORE:-}" ]; then report before "$BEFORE"; fi
