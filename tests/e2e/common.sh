# common.sh -- shared set-up of the end-to-end tests: $1 the vintrel binary, $2 the
# source folder, $3 the build folder. Each test runs in a scratch copy of a scene.
set -euo pipefail
VINTREL=$1
SRC=$2
BUILD=$3
PNG="python3 $SRC/tests/e2e/png_tool.py"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vintrel-e2e-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
# Mesa and the X libraries keep allocations until exit; those are not the viewer's leaks.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0}"
export LIBGL_ALWAYS_SOFTWARE=1

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Copies the example scene into the scratch folder and enters it.
use_example_scene() {
  cp -r "$SRC/examples/." "$WORK/"
  cd "$WORK"
}

# Runs the viewer under a virtual X server; stdout to out.txt, stderr to err.txt.
run_headless() {
  local status=0
  xvfb-run -a -s "-screen 0 1280x1024x24" "$VINTREL" "$@" >out.txt 2>err.txt || status=$?
  return $status
}

# Float comparison helper: succeeds when the awk expression holds.
holds() {
  awk "BEGIN { exit !($1) }"
}

# Succeeds when every given line occurs in FILE as a whole line, in the given order.
expect_lines_in_order() {
  local file=$1
  shift
  local after=0 line n
  for line in "$@"; do
    n=$(tail -n +"$((after + 1))" "$file" | grep -n -x -F -m 1 -- "$line" | cut -d: -f1) ||
      fail "line '$line' missing (or out of order) in $file:"$'\n'"$(cat "$file")"
    after=$((after + n))
  done
}

# Writes view.dat with three key views round the example scene, 30 frames apart.
write_three_key_views() {
python3 - <<'VIEWS'
import struct
views = [((0, -150, 50), (0, 0, 30)), ((150, 0, 50), (0, 0, 30)), ((0, 150, 50), (0, 0, 30))]
with open("view.dat", "wb") as f:
    f.write(struct.pack("<i", len(views)))
    for i, (eye, target) in enumerate(views):
        f.write(struct.pack("<12fi", *eye, *target, 0, 0, 1, 50, 0, 0, 30 * i))
VIEWS
}
