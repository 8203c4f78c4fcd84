#!/usr/bin/env bash
# A baked physical storm is lit by its sun and sky between strikes: the frame before a strike and the
# dark frame after it show the same cloud, reddened by the low sun, a strike adds its glow on top, and
# the sky is untouched. Without the ambient table the
# cloud between strikes is black, as it always was.
source "$(dirname "$0")/common.sh"
cd "$WORK"
"$BUILD/tools/vintrel-bake" storm -grid 64 64 32 -dscl 8 -coeffs 32 -paths 128 -flash single -quiet >bake.txt 2>&1 ||
  fail "bake failed: $(cat bake.txt)"
cd storm
[ -s ambient_light.dat ] || fail "the bake wrote no ambient_light.dat"
run_headless -frames 3 -strike 225 315 -snapshot a -audio null || fail "run exited with $?: $(cat err.txt)"
grep -q '^ambient light: ambient_light.dat$' out.txt || fail "the viewer did not read the ambient table"
mv ambient_light.dat ambient.off
run_headless -frames 3 -strike 225 315 -snapshot n -audio null || fail "run exited with $?: $(cat err.txt)"
cmp -s a-0001.png a-0003.png || fail "the dark frame after the strike differs from the frame before it"
cmp -s n-0001.png n-0003.png || fail "without the table the dark frames differ"
sunlit=$($PNG diff a-0001.png n-0001.png 120 100 400 330)
holds "$sunlit > 15" || fail "the sun and sky do not light the cloud (mean gain $sunlit)"
read -r r g b < <($PNG mean a-0001.png 200 150 320 300)
holds "$r > $b + 8" || fail "the cloud does not take the sun's colour (mean $r $g $b)"
glow=$($PNG diff a-0002.png a-0003.png 120 100 400 330)
holds "$glow > 8" || fail "the strike does not add its glow to the sunlit cloud (mean gain $glow)"
read -r share top < <($PNG apart a-0001.png n-0001.png 1 0 0 480 40)
holds "$share == 0" || fail "the sky above the cloud changed with the ambient light ($share per mille, $top)"
echo "ambient light: ok (cloud +$sunlit, colour $r $g $b, strike +$glow)"
