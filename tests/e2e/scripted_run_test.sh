#!/usr/bin/env bash
# A scripted strike on the example scene: the strike's frame shows the channel, its glow and
# the flash, the next frame is dark again; the help overlay is red in the lower left; the
# WAV output holds the rain, and the thunder after a strike.
source "$(dirname "$0")/common.sh"
use_example_scene

run_headless -frames 4 -strike 240 300 -snapshot f -audio null || fail "run exited with $?: $(cat err.txt)"
for i in 1 2 3 4; do [ -f "f-000$i.png" ] || fail "frame $i not written"; done
[ "$($PNG size f-0001.png)" = "480 480" ] || fail "frame size"
grep -q -x "strike at frame 2: pixel 240 300" out.txt || fail "strike not performed at frame 2"

before=$($PNG diff f-0002.png f-0001.png 0 0 480 480)
after=$($PNG diff f-0003.png f-0001.png 0 0 480 480)
holds "$before > 5" || fail "strike frame not brighter than the frame before it ($before)"
holds "$after == 0" || fail "frame after the strike differs from the unlit one ($after)"
# The channel itself: near-white pixels only in the strike frame.
lit=$($PNG count f-0002.png "r > 200 and g > 200 and b > 200" 0 0 480 380)
dark=$($PNG count f-0003.png "r > 200 and g > 200 and b > 200" 0 0 480 380)
[ "$lit" -gt 20 ] && [ "$dark" -eq 0 ] || fail "channel pixels: strike frame $lit, next frame $dark"
# The overcast dome fills the top of the view with its own grey-blue, brighter than black.
read -r sr sg sb < <($PNG mean f-0001.png 0 0 480 60)
holds "$sb > 20 && $sb >= $sr" || fail "no sky dome at the top of the view ($sr $sg $sb)"
# The help text: red pixels in the lower-left corner, none elsewhere.
red=$($PNG count f-0001.png "r > 150 and g < 60 and b < 60" 0 400 200 480)
[ "$red" -gt 100 ] || fail "help text not red in the lower left ($red)"

# Sound: the same run with and without a strike, paced so the timer mixes real blocks.
run_headless -frames 30 -fps 30 -audio quiet.wav || fail "quiet run exited with $?"
run_headless -frames 30 -fps 30 -strike 240 300 -audio storm.wav || fail "storm run exited with $?"
read -r rate channels bits n_quiet rms_quiet < <(python3 "$SRC/tests/e2e/wav_tool.py" quiet.wav)
[ "$rate $channels $bits" = "16000 1 16" ] || fail "WAV format $rate $channels $bits"
read -r _ _ _ n_storm rms_storm < <(python3 "$SRC/tests/e2e/wav_tool.py" storm.wav)
[ "$n_quiet" -gt 10000 ] || fail "WAV holds only $n_quiet values"
holds "$rms_quiet > 50" || fail "no background rain in the WAV (rms $rms_quiet)"
holds "$rms_storm > 1.5 * $rms_quiet" || fail "no thunder after the strike (rms $rms_storm vs $rms_quiet)"
# The sky dome is background: shrunk to 20 units (smaller than the town) it still hides neither
# the ground nor the building; below the horizon the frame equals one without any dome.
# The snapshot folders do not exist yet: the run creates them.
sed 's/^500 17 9 0 0$/20 17 9 0 0/' test.dat >small-dome.dat
sed 's/^500 17 9 0 0$/-1 17 9 0 0/' test.dat >no-dome.dat
grep -q "^20 17 9" small-dome.dat || fail "example scene's sky line not found"
cp small-dome.dat test.dat
run_headless -frames 1 -snapshot small/deeper/f -audio null || fail "small dome run exited with $?: $(cat err.txt)"
cp no-dome.dat test.dat
run_headless -frames 1 -snapshot none/f -audio null || fail "no dome run exited with $?: $(cat err.txt)"
ground=$($PNG diff small/deeper/f-0001.png none/f-0001.png 0 302 480 400)
holds "$ground == 0" || fail "the small dome changes the ground and building ($ground)"
building_small=$($PNG count small/deeper/f-0001.png "20 < r < 70 and g < 70 and b < 70" 260 285 305 335)
building_none=$($PNG count none/f-0001.png "20 < r < 70 and g < 70 and b < 70" 260 285 305 335)
[ "$building_none" -gt 500 ] && [ "$building_small" -eq "$building_none" ] ||
  fail "building pixels: $building_small with the small dome, $building_none without"

# A frame that cannot be written ends the run with status 1 at that frame; a snapshot folder
# that cannot be made ends it before the window opens.
mkdir -p blocked && mkdir blocked/f-0002.png
status=0
run_headless -frames 4 -snapshot blocked/f -audio null || status=$?
[ "$status" -eq 1 ] || fail "an unwritable frame gave status $status"
[ -f blocked/f-0001.png ] && [ ! -e blocked/f-0003.png ] || fail "the run did not stop at the unwritable frame"
[ "$(grep -c "can't write snapshot" out.txt)" -eq 1 ] || fail "expected one snapshot message: $(cat out.txt)"
touch plain-file
status=0
run_headless -frames 1 -snapshot plain-file/f -audio null || status=$?
[ "$status" -eq 1 ] || fail "an impossible snapshot folder gave status $status"
grep -q "cannot create the folder plain-file" err.txt || fail "no folder message: $(cat err.txt)"
if grep -q "reading grid data" out.txt; then fail "the scene was read before the folder check"; fi
# -timing: one line over the frames after the first, its parts adding up to the whole.
run_headless -frames 4 -strike 240 300 -audio null -timing || fail "timed run exited with $?: $(cat err.txt)"
line=$(grep "^timing: " out.txt) || fail "no timing line: $(cat out.txt)"
read -r n per prep rest < <(sed -E 's/^timing: ([0-9]+) frames at 480 x 480, ([0-9.]+) ms per frame \([0-9.]+ frames per second\): splat preparation ([0-9.]+) ms, drawing and the rest ([0-9.]+) ms$/\1 \2 \3 \4/' <<<"$line")
holds "$n == 3 && $per > 0 && ($prep + $rest - $per) ^ 2 < 0.02" || fail "timing line: $line"
echo "scripted run: ok"
