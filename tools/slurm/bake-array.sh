#!/usr/bin/env bash
# bake-array.sh -- bakes a scene folder's lighting tables as a Slurm array job of SHARDS tasks and a
# merge job that runs when every task has succeeded.
#
#   bake-array.sh [-c CPUS] [-t TASKS] [-b BAKE] SCENE_DIR SHARDS [table options...]
#
#   -c CPUS   cores per task (default 1); each task bakes with that many threads
#   -t TASKS  submit only these array tasks (sbatch --array syntax, e.g. 3 or 2,5-7), to bake again
#             the shares of tasks that failed or were cancelled; the merge job then waits for them
#             and finds the other shards where the first run left them
#   -b BAKE   the vintrel-bake program (default: vintrel-bake on PATH, else the one built beside this
#             script)
# Table options (-paths, -coeffs, -seed, -scattering, -f FILE) go to every task and must be the same
# for every task of one bake. Shard files, logs and the table are written into SCENE_DIR, which every
# node must see. Prints the ids of the array job and the merge job. Other sbatch settings (partition,
# account, time limit) come from the SBATCH_* environment variables that sbatch itself reads.
set -euo pipefail

usage() {
  sed -n '4,16p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

cpus=1
tasks=""
bake=""
while getopts "c:t:b:h" opt; do
  case $opt in
    c) cpus=$OPTARG ;;
    t) tasks=$OPTARG ;;
    b) bake=$OPTARG ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
[ $# -ge 2 ] || usage
scene=$(cd "$1" && pwd) || { echo "bake-array.sh: no scene folder $1" >&2; exit 1; }
shards=$2
shift 2
[[ "$shards" =~ ^[1-9][0-9]*$ ]] || { echo "bake-array.sh: SHARDS must be a whole number of at least 1" >&2; exit 1; }
[[ "$cpus" =~ ^[1-9][0-9]*$ ]] || { echo "bake-array.sh: -c takes a whole number of cores" >&2; exit 1; }
[ -f "$scene/test.dat" ] || { echo "bake-array.sh: no scene file $scene/test.dat" >&2; exit 1; }
if [ -z "$bake" ]; then
  bake=$(command -v vintrel-bake || true)
  [ -n "$bake" ] || bake="$(cd "$(dirname "$0")/../.." && pwd)/build/tools/vintrel-bake"
fi
[ -x "$bake" ] || { echo "bake-array.sh: cannot run the bake program $bake (give it with -b)" >&2; exit 1; }
command -v sbatch >/dev/null || { echo "bake-array.sh: sbatch not found: is this a Slurm login node?" >&2; exit 1; }

quoted=""
for a in "$@"; do quoted+=" $(printf '%q' "$a")"; done
shard_file() { echo "$scene/basic_intensity_cmp.dat.$1-of-$shards"; }

# Each task takes its share from the array index and its thread count from its allocation.
array=$(sbatch --parsable --job-name=vintrel-shard --array="${tasks:-1-$shards}" --cpus-per-task="$cpus" \
  --chdir="$scene" --output="$scene/shard-%a-of-$shards.log" \
  --wrap "exec $(printf '%q' "$bake") -tables $(printf '%q' "$scene") -shard \${SLURM_ARRAY_TASK_ID}/$shards -threads \${SLURM_CPUS_PER_TASK:-1}$quoted")
array=${array%%;*}

files=""
for i in $(seq 1 "$shards"); do files+=" $(printf '%q' "$(shard_file "$i")")"; done
merge=$(sbatch --parsable --job-name=vintrel-merge --dependency="afterok:$array" --chdir="$scene" \
  --output="$scene/merge-$shards.log" \
  --wrap "exec $(printf '%q' "$bake") -merge $(printf '%q' "$scene/basic_intensity_cmp.dat")$files")
merge=${merge%%;*}
echo "array job $array (tasks ${tasks:-1-$shards} of $shards), merge job $merge"
