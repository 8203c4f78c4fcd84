#!/usr/bin/env bash
# Each strike's own thunder on the example scene. Without a thunder section a scripted run's WAV
# is bit-identical to the one the sampled thunder always gave (recorded before synthesis existed);
# with one, each strike prints its distances, and its thunder begins in the WAV at the sample
# that the nearest distance / 343 m/s says and is over by the end it printed.
source "$(dirname "$0")/common.sh"
use_example_scene

run_headless -frames 60 -strike 240 300 -strike 200 320 -strike_gap 10 -audio old.wav ||
  fail "sampled run exited with $?: $(cat err.txt)"
sum=$(sha256sum old.wav | cut -d' ' -f1)
[ "$sum" = "2b33e592f367e610bb5b49761ea7278ab170f93a60a42d812265a6d5121da164" ] ||
  fail "the WAV of a scene without a thunder section changed ($sum)"
if grep -q "^thunder:" out.txt; then fail "thunder lines without a thunder section"; fi

sed -i 's/^end$/thunder 62.5\nend/' test.dat
run_headless -frames 360 -audio quiet.wav || fail "quiet run exited with $?: $(cat err.txt)"
run_headless -frames 360 -strike 240 300 -audio storm.wav || fail "storm run exited with $?: $(cat err.txt)"
line=$(grep "^thunder:" out.txt) || fail "no thunder line: $(cat out.txt)"
read -r near far start end < <(sed -E 's/^thunder: channel ([0-9.]+) to ([0-9.]+) m away, heard from ([0-9.]+) s to ([0-9.]+) s after the strike$/\1 \2 \3 \4/' <<<"$line")
holds "$far > $near && $near > 1000" || fail "distances in '$line'"
holds "($start - $near / 343.0) ^ 2 < 0.0001" || fail "start $start s is not $near m / 343 m/s"
# The WAVs differ only by the thunder: its first and last sample, counted from the first sample of
# the strike's frame (the second frame, from sample 16000 / 30 = 533).
read -r first last < <(python3 - <<'PY'
import wave, array
def values(name):
    with wave.open(name) as w:
        return array.array("h", w.readframes(w.getnframes()))
a, b = values("quiet.wav"), values("storm.wav")
diff = [i for i in range(min(len(a), len(b))) if a[i] != b[i]]
print(diff[0] - 533, diff[-1] - 533) if diff else print(-1, -1)
PY
)
holds "$first >= 0 && ($first - $near / 343.0 * 16000) ^ 2 <= 9" ||
  fail "thunder begins at sample $first, distance / c says $(awk "BEGIN{print $near / 343.0 * 16000}")"
holds "$last <= $end * 16000 + 1 && $last > $first" || fail "thunder ends at sample $last, after $end s"
echo "thunder: ok"
