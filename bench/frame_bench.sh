#!/usr/bin/env bash
# frame_bench.sh [-b BUILD] [-frames N] [-win W H] [-quads] [-splats WHO] [-vintrel PATH] -- the demo's
# frame cost: renders N frames of the demo storm headless along its key views, with a strike every 10
# frames, and prints frames per second and milliseconds per frame, the CPU's splat preparation and the
# drawing apart. It bakes the
# demo once (into BUILD/demo, as scripts/demo does). With DISPLAY set it draws on that display (a GPU's
# X server); otherwise under Xvfb with Mesa's software renderer. -splats picks who draws the cloud (auto,
# gl or cpu); -vintrel times another viewer binary (an older build, say) on the same demo.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
frames=60
win=(960 720)
extra=()
viewer=""
while [ $# -gt 0 ]; do
  case "$1" in
    -b) build=$(cd "$2" && pwd); shift 2 ;;
    -frames) frames=$2; shift 2 ;;
    -win) win=("$2" "$3"); shift 3 ;;
    -quads) extra+=(-quads); shift ;;
    -splats) extra+=(-splats "$2"); shift 2 ;;
    -vintrel) viewer=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift 2 ;;
    *)
      echo "usage: bench/frame_bench.sh [-b BUILD] [-frames N] [-win W H] [-quads] [-splats WHO] [-vintrel PATH]" >&2
      exit 1
      ;;
  esac
done
cmake --build "$build" -j"$(nproc)" --target vintrel vintrel-bake >/dev/null
demo="$build/demo"
if [ ! -f "$demo/test.dat" ] || [ ! -f "$demo/basic_intensity_cmp.dat" ] ||
  [ "$build/tools/vintrel-bake" -nt "$demo/test.dat" ]; then
  echo "baking the demo storm into $demo (once)"
  rm -rf "$demo.partial"
  "$build/tools/vintrel-bake" "$demo.partial" -quiet
  rm -rf "$demo"
  mv "$demo.partial" "$demo"
fi
strikes=()
for ((f = 5; f < frames; f += 10)); do strikes+=(-strike $((win[0] / 2)) $((win[1] * 53 / 100))); done
run=(xvfb-run -a -s "-screen 0 1280x1024x24")
if [ -n "${DISPLAY:-}" ]; then run=(); fi
cd "$demo"
"${run[@]}" "${viewer:-$build/vintrel}" -win "${win[0]}" "${win[1]}" -nohelp -play -frames "$frames" -strike_gap 9 \
  "${strikes[@]}" -audio null -timing "${extra[@]}" | grep '^timing: '
renderer=$("${run[@]}" glxinfo -B 2>/dev/null | sed -n 's/^OpenGL renderer string: //p' || true)
echo "renderer: ${renderer:-unknown}"
