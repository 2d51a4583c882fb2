#!/usr/bin/env bash
# Fails when code that the Windows build compiles outside platform/ opens,
# lists, renames or removes a file by itself. On Windows a path in a narrow
# call goes through the ANSI code page, so a name that is not plain ASCII is
# lost or mangled: every file call goes through platform/ (fs.h,
# private_files.h, files.h), which takes UTF-8 and calls the wide API.
#   scripts/check-narrow-paths.sh [FOLDER...]   (default agent common wizard statustool)
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -gt 0 ] || set -- agent common wizard statustool
calls=(
  'std::filesystem' '#include <(filesystem|fstream)>' '\b(std::)?[io]?fstream\b'
  '\b_?w?fopen(64)?\s*\(' '\bfreopen\s*\(' '\b_w?open\s*\('
  'std::remove\([^,()]*(\(\))?[^,()]*\)' '\b(std::|::)(rename|unlink|rmdir|mkdir|stat|opendir)\s*\('
  '\b_w?(remove|rename|unlink|mkdir|rmdir|stat|stat64|access|chdir|getcwd|findfirst)\s*\('
  '\b(CreateFile|FindFirstFile|MoveFile|DeleteFile|CopyFile|GetFileAttributes|CreateDirectory|RemoveDirectory|ReplaceFile)(A|W|Ex|ExA|ExW)?\s*\('
  '\b(zipOpen|zipOpen2|unzOpen|unzOpen2)\s*\(' '\bfill_(fopen|win32)_filefunc'
)
pattern="$(IFS='|'; echo "${calls[*]}")"
# Comment lines aside; wizard/fltk is the Linux dialog, never built for Windows.
found="$(grep -rnE --include='*.cpp' --include='*.h' --exclude-dir=fltk -- "$pattern" "$@" \
  | grep -vE '^[^:]+:[0-9]+:\s*//' || true)"
if [ -n "$found" ]; then
  echo "$found"
  echo "check-narrow-paths: file calls outside platform/; use platform/fs.h or platform/private_files.h" >&2
  exit 1
fi
echo "check-narrow-paths: no narrow file calls in $*"
