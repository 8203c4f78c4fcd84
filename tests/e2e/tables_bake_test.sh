#!/usr/bin/env bash
# The table bake on a scene it did not write (the examples folder): the viewer reads the new table
# and a strike lights the cloud; a folder that is no scene gets a message, status 1 and no table.
source "$(dirname "$0")/common.sh"
BAKE="$BUILD/tools/vintrel-bake"
use_example_scene
rm -f basic_intensity_cmp.dat genk.tbl

status=0
"$BAKE" -tables "$WORK/missing" -quiet >bad.txt 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "a missing scene folder gave status $status"
grep -q "no scene folder" bad.txt || fail "no message for a missing scene folder: $(cat bad.txt)"
mkdir empty
status=0
"$BAKE" -tables empty -quiet >bad.txt 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "a folder without test.dat gave status $status"
[ -z "$(ls empty)" ] || fail "a refused bake left files: $(ls empty)"

"$BAKE" -tables . -paths 64 -coeffs 64 -quiet >bake.txt 2>&1 || fail "bake failed: $(cat bake.txt)"
[ -f basic_intensity_cmp.dat ] && [ -f genk.tbl ] || fail "tables missing after the bake: $(ls)"
ls ./*.part >/dev/null 2>&1 && fail "temporary files left: $(ls ./*.part)"

run_headless -frames 3 -strike 240 330 -snapshot f -audio null || fail "run exited with $?: $(cat err.txt)"
grep -q "Reading base intensity data.." out.txt || fail "base intensity table not read: $(cat out.txt)"
# The example cloud floats in the upper middle of the default view.
lit=$($PNG diff f-0002.png f-0003.png 170 110 310 200)
holds "$lit > 20" || fail "the strike does not light the example cloud (mean gain $lit)"
echo "tables bake: ok"
