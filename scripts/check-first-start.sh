#!/usr/bin/env bash
# The first start of an installed program on a private X server: the window offers the sample
# pack, Enter takes it, and the program opens the copy made in the home folder.
#   scripts/check-first-start.sh [binary]   (default /usr/bin/varimond)
set -euo pipefail
bin="${1:-/usr/bin/varimond}"
work=$(mktemp -d)
xvfb=""
app=""
cleanup() {
  [ -n "$app" ] && kill "$app" 2>/dev/null || true
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
# Each wait below looks for its event every tenth of a second; its bound of two minutes is only
# reached by a hang, never by a busy machine.
Xvfb -displayfd 5 -nolisten tcp -screen 0 1280x800x24 5>"$work/display" 2>/dev/null &
xvfb=$!
for _ in $(seq 1 1200); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n 1 "$work/display")"
mkdir -p "$work/home/.config/Electronic Arts/Dark Age of Camelot"
printf '[interface]\r\nitem1=7\r\n' >"$work/home/.config/Electronic Arts/Dark Age of Camelot/user.dat"
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_STATE_HOME="$work/home/.local/state"
export QT_QPA_PLATFORM=xcb
unset WINEPREFIX
(cd "$work" && exec "$bin") &
app=$!
win=$(timeout 120 xdotool search --sync --onlyvisible --name '^Varimond$' | head -n 1)
xdotool windowfocus --sync "$win"
xdotool key --clearmodifiers Return
pack="$HOME/Varimond Sample Pack"
for _ in $(seq 1 1200); do
  [ -d "$XDG_CONFIG_HOME/varimond/Themes" ] && break
  kill -0 "$app" 2>/dev/null || break
  sleep 0.1
done
[ -d "$pack/Options" ] || { echo "first start: no copy of the sample pack" >&2; exit 1; }
[ -d "$XDG_CONFIG_HOME/varimond/Themes" ] || { echo "first start: the sample pack did not open" >&2; exit 1; }
kill -TERM "$app"
wait "$app" || true
app=""
test -f "$pack/varimond.ini" || { echo "first start: no settings file in the copy" >&2; exit 1; }
grep -qx "$pack" "$XDG_CONFIG_HOME/varimond/recent"
echo "first start: Try the Sample Pack opened $pack"
