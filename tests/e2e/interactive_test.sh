#!/usr/bin/env bash
# An interactive session driven by xdotool: at rest the window draws nothing and uses almost no CPU;
# each input that changes the picture draws; a click in generate mode draws the lit frame and then
# one dark frame; "b" exports that strike, after it is dark, into strike-0001/; the wheel zooms; "s"
# saves the frame without overwriting, during a flight too the frame on screen; "q" quits.
source "$(dirname "$0")/common.sh"
use_example_scene
command -v xdotool >/dev/null || fail "xdotool is not installed (scripts/install-deps)"

# Three key views round the scene, for the flight.
write_three_key_views

cat >session.sh <<'SESSION'
set -u
frames() { ls f-*.png 2>/dev/null | wc -l; }
cpu() { awk '{print $14 + $15}' "/proc/$1/stat"; }
"$1" -snapshot f -audio null >out.txt 2>err.txt &
pid=$!
win=$(timeout 20 xdotool search --sync --name '^Vintrel$' | head -1)
[ -n "$win" ] || { echo "no window"; exit 1; }
# The first frame can be slow (sanitizers, a busy machine); the rest starts after it has settled.
for _ in $(seq 600); do [ "$(frames)" -ge 1 ] && break; sleep 0.1; done
sleep 2
rest0=$(frames); c0=$(cpu $pid)
sleep 2
rest1=$(frames); c1=$(cpu $pid)
echo "rest $rest0 $rest1 cpu_ticks $((c1 - c0)) hz $(getconf CLK_TCK)"
step() {  # step NAME XDOTOOL-ARGS...: frames drawn by one input
  local before=$(frames) name=$1
  shift
  xdotool "$@"
  sleep 0.7
  echo "$name $(( $(frames) - before ))"
}
step help key --window "$win" h
step generate key --window "$win" g
xdotool mousemove --window "$win" 240 300
sleep 0.5
step click click --window "$win" 1
mkdir strike-0001
step export key --window "$win" b
step wheel click --window "$win" 4
touch vintrel-0001.png
step save key --window "$win" s
# During a flight "s" saves the frame on screen: the redraw it makes does not move the flight on.
xdotool key --window "$win" p
sleep 1.5
xdotool key --window "$win" s
sleep 0.5
xdotool key --window "$win" p
sleep 0.5
xdotool key --window "$win" q
wait $pid
echo "exit $?"
SESSION

xvfb-run -a -s "-screen 0 1280x1024x24" bash session.sh "$VINTREL" >session.txt 2>&1 || true
cat session.txt
read -r _ rest0 rest1 _ ticks _ hz < <(grep '^rest ' session.txt) || fail "no rest line"
[ "$rest0" -ge 1 ] && [ "$rest1" -eq "$rest0" ] || fail "frames drawn at rest ($rest0 then $rest1)"
# Two seconds at rest: well under a tenth of a core.
holds "$ticks / $hz < 0.2" || fail "CPU at rest: $ticks ticks in 2 s"
grep -qx "help 1" session.txt || fail "h did not draw exactly one frame"
grep -qx "generate 1" session.txt || fail "g did not draw exactly one frame"
# Press (with the axis cross), release (the strike, lit), then the one dark frame of the idle step.
grep -qx "click 3" session.txt || fail "a click did not draw press, lit and dark frames"
grep -qx "export 0" session.txt || fail "b drew a frame"
grep -qx "wheel 1" session.txt || fail "the wheel did not draw one frame"
grep -qx "save 1" session.txt || fail "s did not draw one frame"
grep -qx "exit 1" session.txt || fail "q did not end the viewer with status 1"
# The frames before the flight end with the redraw of the first "s": the last one equal to its save.
same() { [ "$($PNG apart "$1" "$2" 0 0 0 480 480)" = "0.00 0" ]; }
total=$(ls f-*.png | wc -l)
n=0
for ((k = 1; k <= total; k++)); do
  if same "$(printf 'f-%04d.png' $k)" vintrel-0002.png; then n=$k; fi
done
[ "$n" -gt 3 ] || fail "the first save is none of the frames drawn"
lit=$(printf 'f-%04d.png' $((n - 3)))
dark=$(printf 'f-%04d.png' $((n - 2)))
zoomed=$(printf 'f-%04d.png' $((n - 1)))
gain=$($PNG diff "$lit" "$dark" 0 0 480 480)
holds "$gain > 5" || fail "the strike frame is not brighter than the one after it ($gain)"
change=$($PNG diff "$zoomed" "$dark" 0 0 480 480)
holds "$change != 0" || fail "the wheel did not change the view"
[ ! -s vintrel-0001.png ] || fail "an existing snapshot was overwritten"
[ "$($PNG size vintrel-0002.png)" = "480 480" ] || fail "s did not write vintrel-0002.png"
grep -qx "saved vintrel-0002.png" out.txt || fail "the snapshot's name was not printed"
# The taken folder is skipped; the export is the lit frame's, with its sources, though the cloud is dark.
[ -z "$(ls -A strike-0001)" ] || fail "b wrote into an existing folder"
grep -q "^strike of frame $((n - 3)) exported to strike-0002: " out.txt || fail "no export message: $(cat out.txt err.txt)"
grep -q "^{\"frame\": $((n - 3)), \"window\": \[480, 480\]," strike-0002/strike.json ||
  fail "strike.json is not the lit frame's: $(head -n 1 strike-0002/strike.json)"
[ -s strike-0002/cloud.vdb ] && [ -s strike-0002/render.py ] || fail "export incomplete: $(ls strike-0002)"
# The flight's save: its redraw (the last frame equal to it) shows what the frame before it showed,
# while the flight did move from frame to frame.
grep -qx "saved vintrel-0003.png" out.txt || fail "s during the flight saved nothing: $(cat out.txt)"
redraw=0
for ((k = total; k > n + 2; k--)); do
  if same "$(printf 'f-%04d.png' $k)" vintrel-0003.png; then
    redraw=$k
    break
  fi
done
[ "$redraw" -gt 0 ] || fail "the flight's saved frame is none of the frames drawn"
same "$(printf 'f-%04d.png' $((redraw - 1)))" vintrel-0003.png ||
  fail "s during the flight saved a frame other than the one on screen"
same "$(printf 'f-%04d.png' $((redraw - 2)))" "$(printf 'f-%04d.png' $((redraw - 1)))" &&
  fail "the flight did not move between frames"
echo "interactive: ok"
