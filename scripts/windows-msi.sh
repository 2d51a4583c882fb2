#!/usr/bin/env bash
# Builds the agent's Windows package, ambrik-<version>-x64.msi, with wixl
# (Debian's msitools) from packaging/windows/ambrik.wxs: the cross build in
# BUILD_DIR (configured as scripts/windows-check.sh does when it is not yet),
# installed with cmake --install into BUILD_DIR/msi/root, packed from there.
#   scripts/windows-msi.sh [BUILD_DIR]    (default build-windows); the last
#                                         line of its output is the package
#   AMBRIK_MSI_VERSION=<x.y.z>            the package's version (default the
#                                         project's)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$PWD"
BUILD_DIR="${1:-build-windows}"
fail() {
  echo "windows-msi: FAILED: $*" >&2
  exit 1
}
command -v wixl >/dev/null 2>&1 || fail "wixl is missing (scripts/windows-deps.sh installs msitools and wixl)"
mkdir -p "$BUILD_DIR"
BUILD_DIR="$(cd "$BUILD_DIR" && pwd)"

if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
  DEPS="$(bash scripts/windows-deps.sh | tail -n 1)"
  [ -f "$DEPS/.complete" ] || fail "the Windows libraries are missing ($DEPS)"
  args=(-DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" -DAMBRIK_WINDOWS_DEPS="$DEPS" -DCMAKE_BUILD_TYPE=Release)
  if command -v ninja >/dev/null 2>&1; then args+=(-G Ninja); fi
  if command -v ccache >/dev/null 2>&1; then
    args+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  cmake -S . -B "$BUILD_DIR" "${args[@]}" >/dev/null
fi
grep -q '^CMAKE_TOOLCHAIN_FILE:.*mingw' "$BUILD_DIR/CMakeCache.txt" || fail "$BUILD_DIR is not a Windows cross build"
cmake --build "$BUILD_DIR" -j"$(nproc)" --target ambrik statusnote confora ambrik-inspect >/dev/null || fail "the cross build"

VERSION="${AMBRIK_MSI_VERSION:-$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD_DIR/CMakeCache.txt")}"
[[ "$VERSION" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "no usable version (\"$VERSION\")"

STAGE="$BUILD_DIR/msi/root"
rm -rf "$STAGE"
cmake --install "$BUILD_DIR" --prefix "$STAGE" >/dev/null || fail "cmake --install"
MSI="$BUILD_DIR/msi/ambrik-$VERSION-x64.msi"
rm -f "$MSI"
# wixl takes the File sources relative to its current directory.
(cd "$STAGE" && wixl -a x64 -D Version="$VERSION" -o "$MSI" "$ROOT/packaging/windows/ambrik.wxs") \
  || fail "wixl"
echo "$MSI"
