#!/usr/bin/env bash
# A cloud made by another tool (a fog-volume sphere from vdb_tool) becomes a viewable storm in one
# command: a scripted strike lights the cloud's screen area, and the frame after it is dark again. A file
# that is no cloud gets a message, status 1 and no folder.
source "$(dirname "$0")/common.sh"
BAKE="$BUILD/tools/vintrel-bake"
cd "$WORK"
command -v vdb_tool >/dev/null || fail "vdb_tool is missing (scripts/install-deps installs libopenvdb-tools)"
vdb_tool -quiet -sphere voxel=50 radius=1500 center=0,0,2000 -ls2fog name=cloud -write sphere.vdb ||
  fail "vdb_tool could not write the sphere"

echo "no cloud" >notes.vdb
status=0
"$BAKE" -cloud notes.vdb bad -quiet >bad.txt 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "a text file gave status $status"
grep -q "neither an OpenVDB file nor a grid file" bad.txt || fail "no message for a text file: $(cat bad.txt)"
[ ! -e bad ] && [ ! -e bad.partial ] || fail "a refused bake left a folder"

"$BAKE" -cloud sphere.vdb storm -flash single -cells-across 16 -paths 16 -coeffs 32 >bake.txt 2>&1 ||
  fail "bake failed: $(cat bake.txt)"
grep -q "grid cloud" bake.txt || fail "the grid used is not named: $(cat bake.txt)"
[ ! -e storm.partial ] || fail "the temporary folder was left behind"
# The bake says where the cloud lies in the viewer's window and where a click strikes under it.
read -r x0 x1 y0 y1 sx sy < <(sed -n 's/.*spans pixels \([0-9]*\)-\([0-9]*\) across, \([0-9]*\)-\([0-9]*\) down; a click at \([0-9]*\) \([0-9]*\) .*/\1 \2 \3 \4 \5 \6/p' bake.txt)
[ -n "${sy:-}" ] || fail "no screen box in the bake's output: $(cat bake.txt)"

cd storm
run_headless -frames 3 -strike "$sx" "$sy" -snapshot f -audio null || fail "run exited with $?: $(cat err.txt)"
grep -q "Reading base intensity data.." out.txt || fail "base intensity table not read: $(cat out.txt)"
lit=$($PNG diff f-0002.png f-0003.png "$x0" "$y0" "$x1" "$y1")
holds "$lit > 5" || fail "the strike does not light the cloud (mean gain $lit over $x0,$y0-$x1,$y1)"
again=$($PNG diff f-0003.png f-0001.png "$x0" "$y0" "$x1" "$y1")
holds "$again == 0" || fail "the cloud stays lit after the strike ($again)"
echo "cloud import: ok"
