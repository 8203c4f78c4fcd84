#!/usr/bin/env bash
# The demo storm's strikes against Blender's Cycles, in one command: builds the viewer and the baker,
# bakes the demo (as scripts/demo does, once), strikes it in a scripted run with -export-strike,
# renders each exported strike with Cycles (all orders of scattering, seeds averaged) and prints the
# comparison over the cloud, with a side-by-side picture per strike. With -dark, each strike's frame
# before it is also compared with Cycles lit by the demo's sun and sky alone (render.py --ambient-only).
#
#   tools/compare/demo_vs_cycles.sh [-b BUILD] [-o OUT] [-samples N] [-seeds LIST] [-size W H]
#                                   [-win W H] [-threads N] [-strike NAME X Y]... [-dark]
#
# Defaults: BUILD build, OUT BUILD/compare, 128 samples for each of the seeds 1,2 (256 in all), Cycles
# at 320 x 240 from a 640 x 480 window, compared at 160 x 120; the strikes "demo" at pixel 305 314 (under
# the base, as in the reference picture) and "west" at 250 306 (under the west edge of the base).
# Per strike, OUT/NAME/ holds the viewer's frames, export/ (strike.json, render.py, cloud.vdb),
# cycles.png, metrics.txt and side-by-side.png (viewer | Cycles | difference, red: the viewer brighter);
# with -dark also ambient.png, ambient-metrics.txt and ambient-side-by-side.png.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build="$root/build"
out=""
samples=128
seeds=1,2
size=(320 240)
win=(640 480)
threads=0
strikes=()
dark=0
while [ $# -gt 0 ]; do
  case $1 in
    -b) build=$(cd "$2" && pwd); shift 2 ;;
    -o) out=$2; shift 2 ;;
    -samples) samples=$2; shift 2 ;;
    -seeds) seeds=$2; shift 2 ;;
    -size) size=("$2" "$3"); shift 3 ;;
    -win) win=("$2" "$3"); shift 3 ;;
    -threads) threads=$2; shift 2 ;;
    -strike) strikes+=("$2 $3 $4"); shift 4 ;;
    -dark) dark=1; shift ;;
    *) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
  esac
done
[ ${#strikes[@]} -gt 0 ] || strikes=("demo 305 314" "west 250 306")
out=${out:-$build/compare}
mkdir -p "$out"
out=$(cd "$out" && pwd)

if ! command -v blender >/dev/null; then
  echo "installing blender"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends blender >/dev/null
fi
"$root/scripts/install-deps"
PY=""
for p in python3 /usr/bin/python3; do "$p" -c 'import numpy' 2>/dev/null && { PY=$p; break; }; done
[ -n "$PY" ] || { echo "no python3 with numpy" >&2; exit 1; }

{ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
  cmake --build "$build" -j2 --target vintrel vintrel-bake; } >"$out/build.log" 2>&1 ||
  { tail -n 30 "$out/build.log"; exit 1; }
demo="$build/demo"
if [ ! -f "$demo/test.dat" ] || [ ! -f "$demo/basic_intensity_cmp.dat" ] ||
  [ "$build/tools/vintrel-bake" -nt "$demo/test.dat" ]; then
  echo "baking the demo storm into $demo"
  rm -rf "$demo.partial"
  "$build/tools/vintrel-bake" "$demo.partial" -flash single >"$out/bake.log"
  rm -rf "$demo"
  mv "$demo.partial" "$demo"
fi

# The viewer's side is drawn without the sky flash, which the path tracer does not draw.
view="$out/scene"
rm -rf "$view"
"$root/tools/compare/without_sky_flash.sh" "$demo" "$view"
summary=()
for s in "${strikes[@]}"; do
  read -r name x y <<<"$s"
  dir="$out/$name"
  rm -rf "$dir"
  mkdir -p "$dir"
  echo "== $name: pixel $x $y of a ${win[0]} x ${win[1]} window"
  (cd "$view" && xvfb-run -a -s "-screen 0 1280x1024x24" "$build/vintrel" -win "${win[0]}" "${win[1]}" -nohelp \
    -frames 3 -audio null -strike "$x" "$y" -snapshot "$dir/viewer" -export-strike "$dir/export") \
    >"$dir/viewer.log" 2>&1 || { cat "$dir/viewer.log"; exit 1; }
  line=$(grep "^strike of frame" "$dir/viewer.log") || { cat "$dir/viewer.log"; exit 1; }
  frame=$(echo "$line" | sed -n 's/^strike of frame \([0-9]*\) .*/\1/p')
  gamma_inv=$(echo "$line" | sed -n 's/.*gamma_inv \([0-9.e+-]*\)).*/\1/p')
  echo "$line"
  start=$(date +%s)
  blender -b --factory-startup -P "$dir/export/render.py" -- --width "${size[0]}" --height "${size[1]}" \
    --samples "$samples" --seeds "$seeds" --threads "$threads" --out "$dir/cycles.png" --lights-only \
    >"$dir/cycles.log" 2>&1 || { tail -n 20 "$dir/cycles.log"; exit 1; }
  echo "Cycles: ${size[0]} x ${size[1]}, $samples samples x seeds $seeds, $(($(date +%s) - start)) s"
  $PY "$root/tools/compare/compare_strike.py" "$dir/viewer-$(printf %04d "$frame").png" "$dir/cycles.png" \
    --dark "$dir/viewer-$(printf %04d $((frame + 1))).png" --gamma-inv "$gamma_inv" \
    --size "$((size[0] / 2))x$((size[1] / 2))" --side-by-side "$dir/side-by-side.png" | tee "$dir/metrics.txt"
  summary+=("$name: $(sed -n 's/^metrics: //p' "$dir/metrics.txt")")
  if [ "$dark" = 1 ]; then
    start=$(date +%s)
    blender -b --factory-startup -P "$dir/export/render.py" -- --width "${size[0]}" --height "${size[1]}" \
      --samples "$samples" --seeds "$seeds" --threads "$threads" --out "$dir/ambient.png" --ambient-only \
      >"$dir/ambient.log" 2>&1 || { tail -n 20 "$dir/ambient.log"; exit 1; }
    echo "Cycles, sun and sky only: $(($(date +%s) - start)) s"
    $PY "$root/tools/compare/compare_strike.py" "$dir/viewer-$(printf %04d $((frame - 1))).png" \
      "$dir/ambient.png" --gamma-inv "$gamma_inv" --size "$((size[0] / 2))x$((size[1] / 2))" \
      --side-by-side "$dir/ambient-side-by-side.png" | tee "$dir/ambient-metrics.txt"
    summary+=("$name, before it: $(sed -n 's/^metrics: //p' "$dir/ambient-metrics.txt")")
  fi
done
echo "== summary (relative L1, Pearson, rank correlation, brightest-tenth IoU, centroid offset in px)"
printf '%s\n' "${summary[@]}"
