#!/usr/bin/env bash
# Cross-compiles the Windows side that needs no third-party library with
# mingw-w64: the platform layer's Win32 backend, Tamsel and the contract
# tests (CTest label "contract"); when wine is installed, runs those tests
# under it in a wine prefix of the build folder's own. Installs the cross
# compiler when it is missing.
#   scripts/mingw-check.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build-mingw}"

if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  echo "mingw-check: installing g++-mingw-w64-x86-64-posix"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
    g++-mingw-w64-x86-64-posix >/dev/null
fi
if command -v wine >/dev/null 2>&1; then
  # The tests are discovered (during the build) and run under wine, in a
  # prefix of the build folder's own, made once without the .NET and HTML
  # engines (their installers would wait for an answer).
  mkdir -p "$BUILD_DIR"
  export WINEPREFIX="$PWD/$BUILD_DIR/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY WAYLAND_DISPLAY
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wine wineboot -u >/dev/null 2>&1 </dev/null || true
    wineserver -w
  fi
  # The server, and the helper processes that wine starts with the first
  # program that starts another, get their output to /dev/null: started
  # under the build or ctest they would keep its pipe open until they end.
  wineserver -p >/dev/null 2>&1 </dev/null || true
  wine cmd /c "cmd /c exit 0" >/dev/null 2>&1 </dev/null || true
fi
cmake -S cmake/win32-check -B "$BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"
echo "mingw-check: the Win32 backend, Tamsel and the contract tests compile"
if ! command -v wine >/dev/null 2>&1; then
  echo "mingw-check: no wine, the contract tests are not run"
  exit 0
fi
(cd "$BUILD_DIR" && ctest -L contract --output-on-failure --timeout 120 </dev/null)
