#!/usr/bin/env bash
# A small baked storm: a scripted strike under the cloud lights the cloud from inside in
# the strike's frame, the frame after it is dark again, and the channel starts inside the cloud.
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
# The channel comes out of the cloud: the point the strike starts from (the pixel clicked, on the
# plane of the cloud base) and the pixels just above it show cloud, so they change when the same view
# is drawn with the cloud emptied.
grid=$(grep -o '[A-Za-z0-9_]*\.grd' test.dat | head -1)
mkdir ../clear && cp -r . ../clear/ && cd ../clear
python3 -c "import sys; d=bytearray(open(sys.argv[1],'rb').read()); d[16:]=bytes(len(d)-16); open(sys.argv[1],'wb').write(d)" \
  "$grid"
run_headless -frames 1 -nohelp -snapshot c -audio null || fail "clear run exited with $?: $(cat err.txt)"
cd ../storm
run_headless -frames 1 -nohelp -snapshot d -audio null || fail "dark run exited with $?: $(cat err.txt)"
covered=$($PNG apart d-0001.png ../clear/c-0001.png 8 223 309 228 316 | awk '{print $1}')
holds "$covered >= 900" || fail "the strike starts below the cloud: $covered per mille of its pixels show cloud"
echo "baked strike: ok"
