#!/usr/bin/env bash
# Installs what the build needs, builds, and runs every test.
#   scripts/test.sh [BUILD_DIR] [extra cmake arguments...]
# Example: scripts/test.sh build-asan -DAMBRIK_SANITIZE=ON
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build}"
shift || true

bash scripts/install-deps.sh
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"
cd "$BUILD_DIR"
# A failed test is run once more before it counts as failed; its first
# failure stays in the output, so a test that fails now and then is still seen.
ctest --output-on-failure -j"$(nproc)" --timeout 300 --repeat until-pass:2
