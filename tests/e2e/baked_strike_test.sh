#!/usr/bin/env bash
# A small baked storm: a scripted strike under the cloud lights the cloud from inside in
# the strike's frame, and the frame after it is dark again.
source "$(dirname "$0")/common.sh"
cd "$WORK"
"$BUILD/tools/vintrel-bake" storm -grid 64 64 32 -dscl 8 -coeffs 32 -paths 128 -quiet >bake.txt 2>&1 ||
  fail "bake failed: $(cat bake.txt)"
cd storm
run_headless -frames 3 -strike 225 315 -snapshot f -audio null || fail "run exited with $?: $(cat err.txt)"
grep -q "Reading base intensity data.." out.txt || fail "base intensity table not read: $(cat out.txt)"
# The cloud's body fills the upper middle of the view.
lit=$($PNG diff f-0002.png f-0003.png 120 100 400 330)
holds "$lit > 8" || fail "the strike does not light the cloud (mean gain $lit)"
again=$($PNG diff f-0003.png f-0001.png 120 100 400 330)
holds "$again == 0" || fail "the cloud stays lit after the strike ($again)"
# The flash shows through the sky dome above the cloud.
sky=$($PNG diff f-0002.png f-0003.png 0 0 480 60)
holds "$sky > 20" || fail "the sky does not flash ($sky)"
echo "baked strike: ok"
