#!/usr/bin/env bash
# Screenshots of the effect's panel in Kdenlive and Shotcut, for the README:
# docs/editors-kdenlive-panel.png and docs/editors-shotcut-panel.png. Runs the
# editors under Xvfb with the descriptions the build writes (build/default/
# editors), clicks to the panel with xdotool and crops it with ImageMagick.
# Needs: kdenlive shotcut xvfb xdotool imagemagick dbus (apt-get install them);
# it copies the Shotcut UI into /usr/share/shotcut (run as root).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/default
scratch=$(mktemp -d)
export DISPLAY=:97 XDG_RUNTIME_DIR=$scratch/run FREI0R_PATH=$PWD/$build/frei0r
mkdir -m 700 "$XDG_RUNTIME_DIR"
Xvfb "$DISPLAY" -screen 0 1600x1000x24 >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; pkill -f "kdenlive|shotcut" 2>/dev/null; rm -rf "$scratch"' EXIT
sleep 2
"$build/checkerwarp" render --demo "$scratch/demo.png" --plugin tint --set amount=0

# Kdenlive: a project whose clip carries the effect (24 squares, white tiles)
mkdir -p ~/.local/share/kdenlive/effects
cp "$build"/editors/kdenlive/*.xml ~/.local/share/kdenlive/effects/
sed "s|@DEMO@|$scratch/demo.png|g" docs/editor_screenshots.kdenlive > "$scratch/shot.kdenlive"
dbus-run-session -- kdenlive "$scratch/shot.kdenlive" >/dev/null 2>&1 &
sleep 45
xdotool key Tab Return || true          # (the "crashed on last startup" question, if asked)
sleep 20
xdotool mousemove 199 605 click 1       # the clip
sleep 2
xdotool mousemove 1094 785 click 1      # the effect stack
sleep 4
xdotool mousemove 1100 650
for i in $(seq 1 30); do xdotool click 4; done
parts=()
for step in 0 1 2; do
  import -window root "$scratch/k.png"
  convert "$scratch/k.png" -crop 386x268+942+502 +repage "$scratch/k$step.png"
  parts+=("$scratch/k$step.png")
  for i in 1 2 3 4 5; do xdotool click 5; done
  sleep 1
done
convert "${parts[@]}" -append docs/editors-kdenlive-panel.png
pkill -f kdenlive || true
sleep 2

# Shotcut: the demo picture in the source player, the filter added from its list
cp -r "$build"/editors/shotcut/* /usr/share/shotcut/qml/filters/
dbus-run-session -- shotcut "$scratch/demo.png" >/dev/null 2>&1 &
sleep 35
xdotool mousemove 103 397 click 1       # Filters
sleep 2
xdotool mousemove 21 366 click 1        # +
sleep 3
xdotool type checkerwarp
sleep 3
xdotool mousemove 100 206 click 1       # the filter
sleep 6
import -window root "$scratch/s.png"
convert "$scratch/s.png" -crop 940x290+0+88 +repage docs/editors-shotcut-panel.png
echo "wrote docs/editors-kdenlive-panel.png and docs/editors-shotcut-panel.png"
