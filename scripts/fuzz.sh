#!/usr/bin/env bash
# Builds every libFuzzer target of fuzz/ with clang and runs each for a while.
#   bash scripts/fuzz.sh BUILD_DIR [SECONDS]
# A target that finds a crash, a leak or a time-out makes the script fail;
# the reproducing input is left in BUILD_DIR/fuzz-artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

build="${1:?usage: fuzz.sh BUILD_DIR [SECONDS]}"
seconds="${2:-60}"

CC=clang CXX=clang++ cmake -S . -B "$build" -DAMBRIK_FUZZ=ON -DAMBRIK_TESTS=OFF -DAMBRIK_BENCH=OFF >/dev/null

# Memory bounds a sound parser meets on inputs of libFuzzer's sizes (4 KiB at
# most): the whole process, libFuzzer's corpus included, and any one
# allocation. ASan keeps at most 64 MiB of freed blocks for its use-after-free
# checks (256 MiB by default), so that the figure is mostly the target's own.
rss_limit_mb=512
malloc_limit_mb=64
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=64"

# Targets are the names given to ambrik_fuzzer() in fuzz/<module>/CMakeLists.txt.
declare -a targets=()
declare -A folder_of=()
declare -A seconds_of=()
for list in fuzz/*/CMakeLists.txt; do
    [ -e "$list" ] || continue
    module="$(basename "$(dirname "$list")")"
    while read -r name; do
        targets+=("$name")
        folder_of["$name"]="$module"
        # "SECONDS N" inside the target's ambrik_fuzzer() call caps its run.
        cap="$(awk -v n="$name" '$0 ~ "ambrik_fuzzer\\([[:space:]]*" n "([[:space:]]|$)" {on=1}
                                 on && match($0, /SECONDS[[:space:]]+[0-9]+/) {print substr($0, RSTART+8, RLENGTH-8)+0; exit}
                                 on && /\)/ {exit}' "$list")"
        [ -n "$cap" ] && seconds_of["$name"]="$cap"
    done < <(sed -n 's/^[[:space:]]*ambrik_fuzzer([[:space:]]*\([A-Za-z0-9_]*\).*/\1/p' "$list")
done
if [ "${#targets[@]}" -eq 0 ]; then
    echo "no fuzz targets found"
    exit 0
fi

status=0
for name in "${targets[@]}"; do
    # Each target is built on its own, so that one that does not build is
    # reported without keeping the others from running.
    if ! cmake --build "$build" --target "$name" -j2; then
        echo "*** $name does not build"
        status=1
        continue
    fi
    module="${folder_of[$name]}"
    binary="$build/fuzz/$module/$name"
    corpus="$build/fuzz-corpus/$name"
    artifacts="$build/fuzz-artifacts/$name/"
    mkdir -p "$corpus" "$artifacts"
    # Seeds: fuzz/<module>/seeds/<name without the module prefix and the suffix>/
    seed_name="${name#"${module}"_}"
    seed_name="${seed_name%_fuzzer}"
    seeds="fuzz/$module/seeds/$seed_name"
    [ -d "$seeds" ] && cp -n "$seeds"/* "$corpus"/ 2>/dev/null || true
    run_for="$seconds"
    if [ -n "${seconds_of[$name]:-}" ] && [ "${seconds_of[$name]}" -lt "$run_for" ]; then
        run_for="${seconds_of[$name]}"
    fi
    echo "=== $name for ${run_for}s, at most ${rss_limit_mb} MB (${malloc_limit_mb} MB in one allocation) ==="
    if ! "$binary" "$corpus" -max_total_time="$run_for" -timeout=10 -rss_limit_mb="$rss_limit_mb" \
            -malloc_limit_mb="$malloc_limit_mb" \
            -artifact_prefix="$artifacts" -print_final_stats=1; then
        echo "*** $name failed; inputs in $artifacts"
        status=1
    fi
done
exit "$status"
