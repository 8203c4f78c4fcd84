#!/usr/bin/env bash
# The cloud drawn as point sprites shows the picture of the quads it replaces (-quads), dark and lit,
# from the usual distance and from close to the cloud, where the nearest splats are too large for a
# sprite and are drawn as quads after the sprites, and where sprites far off the view axis are
# stretched least like their quads.
source "$(dirname "$0")/common.sh"
cd "$WORK"
"$BUILD/tools/vintrel-bake" storm -grid 64 64 32 -dscl 8 -coeffs 32 -flash single -quiet >bake.txt 2>&1 ||
  fail "bake failed: $(cat bake.txt)"
cd storm
# Sprites against quads in the classic shading (-quads keeps it, so the baked physical section goes).
sed -i '/^shading$/,+1d' test.dat
compare() {  # compare NAME SHARE TOP: per mille of pixels more than 8 apart, and the largest gap
  for i in 1 2 3; do
    read -r share top < <($PNG apart "s-000$i.png" "q-000$i.png" 8 0 0 480 480)
    echo "$1 frame $i: $share per mille more than 8 apart, largest $top"
    holds "$share < $2 && $top <= $3" || fail "$1 frame $i: sprites differ from quads ($share per mille, $top)"
  done
}
run_headless -frames 3 -strike 225 315 -snapshot s -audio null || fail "sprite run exited with $?: $(cat err.txt)"
run_headless -frames 3 -strike 225 315 -snapshot q -audio null -quads || fail "quad run exited with $?"
lit=$($PNG diff s-0002.png s-0003.png 120 100 400 330)
holds "$lit > 8" || fail "the strike does not light the sprite cloud ($lit)"
compare "usual view" 3 24
# The camera at 0.45 of its distance: the column fills the view and its nearest splats are quads.
awk 'NR == 4 { $1 = $1 * 0.45 } { print }' test.dat >near.dat && mv near.dat test.dat
run_headless -frames 3 -strike 225 315 -snapshot s -audio null || fail "near sprite run exited with $?"
run_headless -frames 3 -strike 225 315 -snapshot q -audio null -quads || fail "near quad run exited with $?"
compare "close to the cloud" 40 48
echo "splat sprites: ok"
