#!/usr/bin/env bash
# A scripted movie: an odd-sized window encoded through ffmpeg into an MP4 whose picture and
# sound have the run's length, each strike's thunder loudest within a frame of the strike (in
# the WAV beside it and in the movie), no help overlay; a missing or failing ffmpeg stops the
# run before anything is left under the movie's name; every ffmpeg call keeps off the terminal;
# "-play" flies the key views.
source "$(dirname "$0")/common.sh"
use_example_scene
FPS=24
FRAMES=40

# Every ffmpeg call is logged on its way to the real one: each must keep ffmpeg off the terminal.
mkdir -p logbin
cat >logbin/ffmpeg <<LOGGED
#!/bin/sh
echo "\$*" >>"$WORK/ffmpeg-calls.txt"
exec "$(command -v ffmpeg)" "\$@"
LOGGED
chmod +x logbin/ffmpeg
PATH="$WORK/logbin:$PATH" run_headless -win 161 121 -fps $FPS -frames $FRAMES -strike_gap 18 -strike 80 76 \
  -strike 80 76 -movie m.mp4 -audio s.wav -snapshot f -play || fail "movie run exited with $?: $(cat err.txt)"
[ "$(wc -l <ffmpeg-calls.txt)" -ge 3 ] || fail "ffmpeg calls not logged: $(cat ffmpeg-calls.txt)"
grep -v -e '^-nostdin ' ffmpeg-calls.txt && fail "an ffmpeg call without -nostdin reads the terminal"
[ -f m.mp4 ] || fail "no movie: $(cat out.txt err.txt)"
ls ./*.part >/dev/null 2>&1 && fail "temporary files left: $(ls ./*.part)"
grep -q -x "no camera path to fly: 0 key views in view.dat, at least 2 needed" out.txt ||
  fail "-play without key views did not say so: $(cat out.txt)"

# One field of the first video (v) or audio (a) stream.
probe() { ffprobe -v error -select_streams "$1:0" -show_entries "stream=$2" -of default=nw=1:nk=1 m.mp4; }
vcodec=$(probe v codec_name) pix=$(probe v pix_fmt) width=$(probe v width) height=$(probe v height)
frames=$(probe v nb_frames)
[ "$vcodec $pix" = "h264 yuv420p" ] || fail "picture is $vcodec $pix"
[ "$width $height" = "160 120" ] || fail "a 161 x 121 window gave a $width x $height movie"
[ "$frames" = "$FRAMES" ] || fail "movie has $frames frames, not $FRAMES"
acodec=$(probe a codec_name) rate=$(probe a sample_rate) channels=$(probe a channels) seconds=$(probe a duration)
[ "$acodec $rate $channels" = "aac 16000 1" ] || fail "sound is $acodec $rate $channels"
holds "$seconds > ($FRAMES - 1) / $FPS && $seconds < ($FRAMES + 1) / $FPS" ||
  fail "sound lasts $seconds s for $FRAMES frames at $FPS"
read -r _ _ _ values _ < <(python3 "$SRC/tests/e2e/wav_tool.py" s.wav)
[ "$values" -eq $((FRAMES * 16000 / FPS)) ] || fail "WAV holds $values values for $FRAMES frames at $FPS"

# Thunder on the frame clock: the loudest frame of sound after a strike is its own frame or the next.
mapfile -t strikes < <(grep -o 'strike at frame [0-9]*' out.txt | awk '{print $4}')
[ "${#strikes[@]}" -eq 2 ] || fail "expected two strikes: $(cat out.txt)"
ffmpeg -v error -i m.mp4 -f s16le -ac 1 -ar 16000 movie.raw || fail "cannot decode the movie's sound"
for sound in s.wav movie.raw; do
  while read -r strike loudest; do
    holds "$loudest >= $strike && $loudest <= $strike + 1" ||
      fail "$sound: strike at frame $strike, loudest sound at frame $loudest"
  done < <(python3 "$SRC/tests/e2e/strike_sound.py" $sound $FPS $FRAMES "${strikes[@]}")
done
# Movies hide the help overlay: no red text in the lower left.
red=$($PNG count f-0001.png "r > 150 and g < 60 and b < 60" 0 60 100 121)
[ "$red" -eq 0 ] || fail "help overlay drawn in a movie ($red red pixels)"

# No ffmpeg on the PATH: the message and status 1 before any frame, nothing written.
mkdir -p nobin
status=0
xvfb-run -a -s "-screen 0 1280x1024x24" /usr/bin/env PATH="$WORK/nobin" "$VINTREL" -frames 3 -movie none.mp4 \
  -snapshot g >out2.txt 2>err2.txt || status=$?
[ $status -eq 1 ] || fail "missing ffmpeg: status $status"
grep -q "the ffmpeg program is not on the PATH" err2.txt || fail "missing ffmpeg: $(cat err2.txt)"
ls none.mp4* g-*.png >/dev/null 2>&1 && fail "missing ffmpeg: files written"

# An ffmpeg that starts but fails: its failure is reported, status 1, and no movie or temporary file.
mkdir -p fakebin
cat >fakebin/ffmpeg <<'FAKE'
#!/bin/sh
case "$*" in
  *-encoders*) echo " V....D libx264 H.264"; echo " A..... aac AAC" ;;
  *) echo "fake ffmpeg: refusing to encode" >&2; exit 3 ;;
esac
FAKE
chmod +x fakebin/ffmpeg
status=0
xvfb-run -a -s "-screen 0 1280x1024x24" /usr/bin/env PATH="$WORK/fakebin:$PATH" "$VINTREL" -frames 30 \
  -movie bad.mp4 >out3.txt 2>err3.txt || status=$?
[ $status -eq 1 ] || fail "failing ffmpeg: status $status"
grep -q "ffmpeg stopped (status 3) while encoding bad.mp4" err3.txt || fail "failing ffmpeg: $(cat err3.txt)"
ls bad.mp4* >/dev/null 2>&1 && fail "failing ffmpeg left $(ls bad.mp4*)"

# Key views: "-play" starts on the first one, so the first frame shows it, not the scene's camera.
write_three_key_views
run_headless -frames 2 -nohelp -snapshot still || fail "still run exited with $?"
run_headless -frames 2 -nohelp -play -snapshot fly || fail "flying run exited with $?"
moved=$($PNG diff fly-0001.png still-0001.png 0 0 480 480)
holds "$moved != 0" || fail "-play did not move the camera to the first key view"
grep -q "no camera path" out.txt && fail "-play refused three key views: $(cat out.txt)"
echo "movie: ok"
