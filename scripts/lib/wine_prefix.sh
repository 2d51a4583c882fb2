# Shell helper shared by the Windows check and scripts/wine-agent.sh.
# Source this file; it defines functions only.

# wine_prefix BUILD_DIR [LINGER]
# Points wine at the build's own prefix (BUILD_DIR/wineprefix, made once) and
# starts its wineserver (persistent, or ending LINGER seconds after its last
# program; one already running stays as it is) and wine's background
# processes now, with their output on /dev/null: started later by a program
# under test, they would inherit its pipe and hold ctest or a caller's pipe
# open until they end. No display: the programs run without windows, and wine's own dialogs stay shut.
# Returns non-zero when the prefix cannot be made.
wine_prefix() {
  export WINEPREFIX="$1/wineprefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY WAYLAND_DISPLAY
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$1"
    wineboot -i >/dev/null 2>&1 </dev/null || return 1
    # A fresh prefix's first programs start slowly on a busy machine: the
    # service manager waits up to 2 minutes (far longer than its default) for
    # a started service to reach it, and reads that when it next starts.
    wine reg add 'HKLM\System\CurrentControlSet\Control' /v ServicesPipeTimeout /t REG_DWORD /d 120000 /f \
      >/dev/null 2>&1 </dev/null || return 1
    wineserver -k >/dev/null 2>&1 </dev/null || true
    wineserver -w >/dev/null 2>&1 </dev/null || true
  fi
  wineserver "-p${2:-}" >/dev/null 2>&1 </dev/null || true
  wine cmd /c exit >/dev/null 2>&1 </dev/null || true
}
