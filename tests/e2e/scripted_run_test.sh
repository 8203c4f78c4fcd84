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
echo "scripted run: ok"
