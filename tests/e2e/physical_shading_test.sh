#!/usr/bin/env bash
# A baked storm is shaded physically: the strike lights the cloud, the dark frame after it equals the one
# before, and the sky where no splat reaches is the classic sky. The same scene without its shading
# section, with another mode word, or drawn the OpenGL 1.1 way (-quads), gives the classic frames bit for
# bit. The program's own drawing of the splats shows what GL's sprites show.
source "$(dirname "$0")/common.sh"
cd "$WORK"
"$BUILD/tools/vintrel-bake" storm -grid 64 64 32 -dscl 8 -coeffs 32 -paths 128 -flash single -quiet >bake.txt 2>&1 ||
  fail "bake failed: $(cat bake.txt)"
cd storm
grep -A1 -x shading test.dat | grep -q '^physical [0-9.e+]*$' || fail "no physical shading section in test.dat"
cp test.dat physical.dat
sed '/^shading$/,+1d' physical.dat >classic.dat
sed 's/^physical /classic /' physical.dat >other.dat
run_as() {  # run_as SCENE PREFIX [options]: three frames, the strike in the second
  cp "$1" test.dat
  run_headless -frames 3 -strike 225 315 -snapshot "$2" -audio null "${@:3}" || fail "$2 run exited with $?: $(cat err.txt)"
}
run_as physical.dat p
run_as classic.dat c
run_as other.dat o
run_as physical.dat pg -splats gl
run_as physical.dat pc -splats cpu
run_as physical.dat pq -quads
run_as classic.dat cq -quads
for i in 1 2 3; do
  cmp -s "c-000$i.png" "o-000$i.png" || fail "frame $i: another shading mode is not the classic shading"
  cmp -s "pq-000$i.png" "cq-000$i.png" || fail "frame $i: -quads does not keep the classic shading"
done
# Under the software renderer the tests run on, the program draws the splats itself (-splats auto), and
# its frames show what GL's sprites show.
for i in 1 2 3; do
  cmp -s "p-000$i.png" "pc-000$i.png" || fail "frame $i: a software renderer's frame is not drawn by the program"
  read -r share top < <($PNG apart "pc-000$i.png" "pg-000$i.png" 8 0 0 480 480)
  echo "frame $i: program against GL sprites: $share per mille more than 8 apart, largest $top"
  holds "$share < 3 && $top <= 24" || fail "frame $i: the program's splats differ from GL's ($share per mille, $top)"
done
lit=$($PNG diff p-0002.png p-0003.png 120 100 400 330)
holds "$lit > 8" || fail "the strike does not light the physical cloud (mean gain $lit)"
cmp -s p-0001.png p-0003.png || fail "the physical cloud stays lit after the strike"
read -r share top < <($PNG apart p-0002.png c-0002.png 8 120 100 400 330)
holds "$share > 200" || fail "the physical cloud looks like the classic one ($share per mille apart)"
read -r share top < <($PNG apart p-0001.png c-0001.png 1 0 0 480 40)
holds "$share == 0" || fail "the sky above the cloud changed with the shading ($share per mille, $top)"
echo "physical shading: ok"
