#!/usr/bin/env bash
# A small baked storm: a scripted strike under the cloud lights the cloud from inside and flashes the
# sky. The baker asks for flashes in time: the strike is a flash of return strokes that lights the frame
# of each stroke and goes dark once it is over; with "flash single" it is one lit frame, as before.
source "$(dirname "$0")/common.sh"
cd "$WORK"
"$BUILD/tools/vintrel-bake" storm -grid 64 64 32 -dscl 8 -coeffs 32 -paths 128 -quiet >bake.txt 2>&1 ||
  fail "bake failed: $(cat bake.txt)"
cd storm
grep -qx "flash" test.dat || fail "the baker wrote no flash section"
run_headless -frames 45 -strike 225 315 -snapshot f -audio null || fail "run exited with $?: $(cat err.txt)"
grep -q "Reading base intensity data.." out.txt || fail "base intensity table not read: $(cat out.txt)"
line=$(grep "^flash: " out.txt) || fail "no flash line: $(cat out.txt)"
# The cloud's body fills the upper middle of the view.
lit=$($PNG diff f-0002.png f-0001.png 120 100 400 330)
holds "$lit > 8" || fail "the strike does not light the cloud (mean gain $lit)"
sky=$($PNG diff f-0002.png f-0001.png 0 0 480 60)
holds "$sky > 20" || fail "the sky does not flash ($sky)"
# Every stroke lights the frame it falls in (30 frames per second from the strike's frame, 2).
for ms in $(sed -E 's/; continuing.*//; s/\([0-9.]+\)//g; s/[^0-9 ]//g' <<<"${line#flash: * at}"); do
  frame=$((2 + ms * 30 / 1000))
  gain=$($PNG diff "$(printf 'f-%04d.png' $frame)" f-0001.png 120 100 400 330)
  holds "$gain > 0.5" || fail "the stroke at $ms ms leaves frame $frame dark ($gain): $line"
done
[ "$($PNG apart f-0045.png f-0001.png 0 0 0 480 480)" = "0.00 0" ] || fail "the cloud stays lit after the flash: $line"

echo "flash single" >>test.dat
sed -i '/^end$/d' test.dat
echo "end" >>test.dat
run_headless -frames 3 -strike 225 315 -snapshot g -audio null || fail "single run exited with $?: $(cat err.txt)"
if grep -q "^flash: " out.txt; then fail "a flash line with flash single"; fi
holds "$($PNG diff g-0002.png g-0003.png 120 100 400 330) > 8" || fail "flash single: the strike's frame is not lit"
[ "$($PNG apart g-0003.png g-0001.png 0 0 0 480 480)" = "0.00 0" ] || fail "flash single: the frame after the strike is lit"
echo "baked strike: ok"
