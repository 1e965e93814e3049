#!/usr/bin/env bash
# Installs the package built by scripts/package.sh and starts the installed program headless
# on a copy of the sample pack, ends it with SIGTERM as a session log-out would, and checks
# that it wrote its settings file into the pack; then a first start with no pack at all, whose
# "Try the Sample Pack" must open a copy of the installed sample pack. Needs root (or sudo)
# for the install.
#   scripts/check-package.sh [build folder]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
deb=$(ls "$build"/varimond_*.deb | head -n 1)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get install -y -q "./$deb" >/dev/null

desktop-file-validate /usr/share/applications/org.varimond.Varimond.desktop
appstreamcli validate --no-net /usr/share/metainfo/org.varimond.Varimond.metainfo.xml >/dev/null
test -f /usr/share/icons/hicolor/scalable/apps/org.varimond.Varimond.svg
test -f /usr/share/icons/hicolor/48x48/apps/org.varimond.Varimond.png
test -f /usr/share/varimond/sample-pack/Options/Welcome.txt
[ "$(/usr/bin/varimond --version)" = "Varimond 2.01" ]

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r demo "$work/pack"
# The game already runs a custom interface, so no dialog interrupts the start.
mkdir -p "$work/config/Electronic Arts/Dark Age of Camelot"
printf '[interface]\r\nitem1=7\r\n' >"$work/config/Electronic Arts/Dark Age of Camelot/user.dat"
export HOME="$work" XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen
unset WINEPREFIX
(cd "$work" && exec /usr/bin/varimond --pack "$work/pack") &
pid=$!
# The per-user themes folder is made at the last step of the start-up.
for _ in $(seq 1 1200); do
  [ -d "$work/config/varimond/Themes" ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
[ -d "$work/config/varimond/Themes" ] || { echo "check-package: the installed program did not start" >&2; exit 1; }
kill -TERM "$pid"
wait "$pid"
test -f "$work/pack/varimond.ini" || { echo "check-package: no settings file in the pack" >&2; exit 1; }
grep -qx "$work/pack" "$work/config/varimond/recent"
echo "check-package: the installed package starts on a pack and saves its settings there"
scripts/check-first-start.sh /usr/bin/varimond
