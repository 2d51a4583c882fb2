# shellcheck shell=bash
# Shell helper of the package check: fills in Confora's dialog, which a
# full-UI installation under wine opens, on a virtual display.
# Source this file; it defines functions only.

# confora_dialog_display
# Starts Xvfb on a free display: CONFORA_DISPLAY is its name, CONFORA_XVFB_PID
# its process. Returns non-zero when Xvfb or xdotool is missing or Xvfb does
# not start.
confora_dialog_display() {
  command -v Xvfb >/dev/null 2>&1 && command -v xdotool >/dev/null 2>&1 || return 1
  local number_file
  number_file="$(mktemp)"
  # -displayfd: Xvfb picks a free display and writes its number once ready.
  Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp >"$number_file" 2>/dev/null </dev/null &
  CONFORA_XVFB_PID=$!
  for _ in $(seq 1 100); do
    [ -s "$number_file" ] && break
    kill -0 "$CONFORA_XVFB_PID" 2>/dev/null || break
    sleep 0.1
  done
  CONFORA_DISPLAY=":$(head -n 1 "$number_file")"
  rm -f "$number_file"
  [ "$CONFORA_DISPLAY" != ":" ]
}

# confora_dialog_fill PID NAME PORT
# While process PID (the installation) runs: types NAME into the dialog's
# server name field and PORT into its port field and presses OK. A message box
# that opens meanwhile (keys that did not arrive) is answered with Retry, or
# closed, and the new dialog filled again. Returns non-zero when PID has not
# ended within 180 s, or a dialog did not close within 60 s of its OK (the
# limits leave room for a busy machine).
confora_dialog_fill() {
  local pid="$1" name="$2" port="$3" deadline=$((SECONDS + 180)) window box shown
  local x=(env DISPLAY="$CONFORA_DISPLAY" xdotool)
  while kill -0 "$pid" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || return 1
    window="$("${x[@]}" search --name '^Connection Settings for Orbisk' 2>/dev/null | head -n 1)"
    if [ -z "$window" ]; then
      box="$("${x[@]}" search --name '^ Error $' 2>/dev/null | head -n 1)"
      if [ -n "$box" ]; then
        "${x[@]}" windowfocus --sync "$box" 2>/dev/null || true
        "${x[@]}" key r 2>/dev/null || true
        sleep 0.5
        "${x[@]}" search --name '^ Error $' 2>/dev/null | grep -qx "$box" && "${x[@]}" key Return 2>/dev/null
      fi
      sleep 0.25
      continue
    fi
    # The name field has the focus when the dialog opens; the port is two
    # fields on; Return presses the default button, OK.
    "${x[@]}" windowfocus --sync "$window" 2>/dev/null || true
    "${x[@]}" key Home shift+End
    "${x[@]}" type --delay 20 "$name"
    "${x[@]}" key Tab Tab Home shift+End
    "${x[@]}" type --delay 20 "$port"
    "${x[@]}" key Return
    shown=$((SECONDS + 60))
    while "${x[@]}" search --name '^Connection Settings for Orbisk' 2>/dev/null | grep -qx "$window"; do
      [ $SECONDS -lt $shown ] || return 1
      sleep 0.25
    done
  done
}
