#!/usr/bin/env bash
# Start-up on the example scene prints its lines in order; -help and bad options behave.
source "$(dirname "$0")/common.sh"
use_example_scene

"$VINTREL" -help >help.txt || fail "-help exited with $?"
grep -q -- "-strike X Y" help.txt || fail "-help does not list -strike"

status=0
run_headless -win 640 || status=$?
[ "$status" -eq 1 ] || fail "a missing option value gave status $status"
grep -q -- "-win" err.txt || fail "no message for the missing value"

# Every scripted option with a bad value is one line on standard error and status 1 before anything
# is read or opened, and so is a missing display (with a line saying how to run without one).
for bad in "-frames abc" "-frames -3" "-strike 10 x" "-strike_gap -2" "-fps 0" "-memory_every x"; do
  status=0
  # shellcheck disable=SC2086
  env -u DISPLAY "$VINTREL" $bad >out.txt 2>err.txt || status=$?
  [ "$status" -eq 1 ] || fail "$bad gave status $status"
  [ "$(wc -l <err.txt)" -eq 1 ] && grep -q -- "^vintrel: option ${bad%% *} needs a whole number" err.txt ||
    fail "$bad: $(cat err.txt)"
  [ ! -s out.txt ] || fail "$bad: the run went on: $(cat out.txt)"
done
status=0
env -u DISPLAY "$VINTREL" -frames 1 -audio null >out.txt 2>err.txt || status=$?
[ "$status" -eq 1 ] || fail "no display gave status $status"
grep -q "vintrel: the viewer needs a display.*xvfb-run" err.txt || fail "no display: $(cat err.txt)"

run_headless -frames 1 -audio null || fail "scripted run exited with $?: $(cat err.txt)"
expect_lines_in_order out.txt \
  "reading grid data:cloud.grd..." \
  "grd size: 32 32 16" \
  "dcl size: 8 8 4" \
  "   no. of grids: 32, 32, 16" \
  "(-32.000000, -32.000000, 0.000000) - (32.000000, 32.000000, 72.000000)" \
  "  read bitmap: ground.bmp" \
  "ID_RIFF: RIFF" \
  "frq: 16000" \
  "bit: 16" \
  "ch:  1" \
  "ID_DATA: data" \
  "ID_RIFF: RIFF" \
  "no. of sampling direction: 26" \
  "can't open the file: genk.tbl." \
  "can't open the file: basic_intensity_cmp.dat." \
  "can't open view.dat"
grep -q -x "lightning grids: 20, 20, [0-9]*" out.txt || fail "no lightning grid line"
grep -q -E "^No. of blobs: [1-9][0-9]*$" out.txt || fail "no blob count"

# A mistyped sound output is refused before anything is read or opened.
status=0
run_headless -frames 1 -audio nosuchcard || status=$?
[ "$status" -eq 1 ] || fail "an unknown -audio target gave status $status"
grep -q -x "vintrel: -audio nosuchcard: the sound output must be default, null, a FILE.wav or an ALSA device name" err.txt ||
  fail "unknown -audio message: $(cat err.txt)"
if grep -q "reading grid data" out.txt; then fail "the scene was read before the -audio check"; fi

# Without a sound card "default" runs silent with one line of ours and none of ALSA's; -sysout
# reports its failure where it stands among the options (before a later -genk_tbl's line).
mkdir ro && cp -r "$SRC/examples/." ro/ && cd ro
mkdir sysout.dat
run_headless -frames 1 -sysout -genk_tbl missing.tbl || fail "default audio run exited with $?: $(cat err.txt)"
if grep -q "ALSA lib" out.txt err.txt; then fail "ALSA's own lines reached the terminal"; fi
if ! grep -q "open error" err.txt; then
  echo "startup: a sound card opened here; the no-card line is not checked"
else
  [ "$(grep -c "runs without sound" out.txt)" -eq 1 ] || fail "no single no-sound line: $(cat out.txt)"
fi
expect_lines_in_order out.txt "Can't open sysout.dat" "can't open the file: missing.tbl." "reading grid data:cloud.grd..."
cd ..

# Without test.dat the program stops with the reader's message.
mkdir empty && cd empty
status=0
run_headless -frames 1 -audio null || status=$?
[ "$status" -eq 1 ] || fail "missing test.dat gave status $status"
grep -q -x "can't open the file:test.dat" err.txt || fail "missing test.dat message: $(cat err.txt)"
echo "startup: ok"
