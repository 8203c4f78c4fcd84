#!/usr/bin/env bash
# without_sky_flash.sh SCENE_DIR VIEW_DIR -- VIEW_DIR becomes the scene of SCENE_DIR (its files linked)
# with the lightning section's sky flash set to black. The sky flash is the scene's backdrop brightening
# with a strike, not light the cloud scatters; a path tracer given the strike's lights does not draw it,
# and seen through thin cloud it would count against the cloud's light in a comparison. The sun and sky
# light stays: the export carries it, and the comparison subtracts the dark frame in linear light.
set -euo pipefail
src=$(cd "$1" && pwd)
mkdir -p "$2"
for f in "$src"/*; do [ "$(basename "$f")" = test.dat ] || ln -sf "$f" "$2/"; done
# The sky flash is the twelfth line of values after the section's keyword.
awk '/^lightning$/ { at = NR + 12 } NR == at { $0 = "0 0 0" } { print }' "$src/test.dat" >"$2/test.dat"
