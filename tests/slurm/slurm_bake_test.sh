#!/usr/bin/env bash
# A real Slurm run of a sharded table bake: a one-node cluster (munged, slurmctld, slurmd) started
# under a temporary folder, tools/slurm/bake-array.sh with 4 shards on a small scene, the merged table
# compared byte for byte with a one-process bake; then a shard cancelled and only its task submitted
# again, which must give the same table. $1: the build folder with tools/vintrel-bake.
# Skips with one line (status 0) only where a cluster cannot be started here.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
bake="$build/tools/vintrel-bake"
[ -x "$bake" ] || { echo "FAIL: no $bake" >&2; exit 1; }

skip() {
  echo "slurm bake test skipped: $*"
  exit 0
}
fail() {
  echo "FAIL: $*" >&2
  for f in "$work"/*.log "$work"/scene/*.log; do [ -f "$f" ] && { echo "--- $f" >&2; tail -n 20 "$f" >&2; }; done
  exit 1
}

if ! command -v slurmctld >/dev/null || ! command -v munged >/dev/null; then
  [ "$(id -u)" -eq 0 ] || skip "slurm-wlm and munge are not installed and this is not root"
  echo "installing slurm-wlm and munge"
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      slurm-wlm munge; } >/dev/null 2>&1 || skip "slurm-wlm and munge could not be installed"
fi
[ "$(id -u)" -eq 0 ] || skip "starting slurmd needs root"
id munge >/dev/null 2>&1 || skip "no munge user"
[ -r /etc/munge/munge.key ] || skip "no /etc/munge/munge.key"

work=$(mktemp -d "${TMPDIR:-/tmp}/vintrel-slurm-XXXXXX")
chmod 755 "$work"
export SLURM_CONF="$work/slurm.conf"
cleanup() {
  scontrol shutdown >/dev/null 2>&1 || true
  for pid in "$work/slurmctld.pid" "$work/slurmd.pid"; do
    [ -f "$pid" ] && kill "$(cat "$pid")" 2>/dev/null || true
  done
  [ -f "$work/munge/munged.pid" ] && kill "$(cat "$work/munge/munged.pid")" 2>/dev/null || true
  sleep 1
  rm -rf "$work"
}
trap cleanup EXIT

# munged on a socket of its own, as its own user.
mkdir -p "$work/munge" "$work/state" "$work/spool"
chown munge:munge "$work/munge"
chmod 755 "$work/munge"
runuser -u munge -- munged --socket="$work/munge/munge.sock" --pid-file="$work/munge/munged.pid" \
  --log-file="$work/munge/munged.log" --seed-file="$work/munge/munged.seed" ||
  skip "munged does not start here"

node=$(hostname -s)
port=$((20000 + ($$ % 5000) * 2))
cat >"$SLURM_CONF" <<CONF
ClusterName=vintrel-test
SlurmctldHost=$node
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$work/munge/munge.sock
CredType=cred/munge
SlurmctldPort=$port
SlurmdPort=$((port + 1))
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
MpiDefault=none
NodeName=$node CPUs=$(nproc) State=UNKNOWN
PartitionName=bake Nodes=ALL Default=YES MaxTime=INFINITE State=UP
CONF
slurmctld || skip "slurmctld does not start here"
slurmd || skip "slurmd does not start here"
for _ in $(seq 1 60); do
  sinfo -h -o %T 2>/dev/null | grep -q idle && break
  sleep 0.5
done
sinfo -h -o %T 2>/dev/null | grep -q idle || skip "the node did not come up: $(sinfo 2>&1 | tail -n 1)"
echo "one-node cluster up on $node (ports $port, $((port + 1)))"

# Waits until job $1 has left the queue, at most $2 seconds.
wait_gone() {
  for _ in $(seq 1 $(($2 * 4))); do
    [ -z "$(squeue -h -j "$1" 2>/dev/null)" ] && return 0
    sleep 0.25
  done
  return 1
}
merge_id() { sed -n 's/.*merge job \([0-9]*\).*/\1/p' "$1"; }
array_id() { sed -n 's/^array job \([0-9]*\).*/\1/p' "$1"; }

# The scene and the one-process table to compare with.
opts=(-paths 32 -coeffs 64 -seed 3 -quiet)
"$bake" "$work/scene" -grid 16 16 8 -dscl 2 "${opts[@]}" >"$work/bake.log" 2>&1 || fail "bake failed"
mv "$work/scene/basic_intensity_cmp.dat" "$work/one-process.dat"
ms() { echo $(($(date +%s%N) / 1000000)); }
start=$(ms)
"$bake" -tables "$work/scene" "${opts[@]}" >/dev/null 2>&1 || fail "one-process table bake failed"
one=$(($(ms) - start))
cmp -s "$work/scene/basic_intensity_cmp.dat" "$work/one-process.dat" || fail "the table bake is not repeatable"
rm "$work/scene/basic_intensity_cmp.dat"

start=$(ms)
"$root/tools/slurm/bake-array.sh" -b "$bake" "$work/scene" 4 "${opts[@]}" >"$work/submit.log" 2>&1 ||
  fail "submission failed: $(cat "$work/submit.log")"
wait_gone "$(merge_id "$work/submit.log")" 300 || fail "the merge job did not finish"
slurm=$(($(ms) - start))
[ -f "$work/scene/basic_intensity_cmp.dat" ] || fail "no merged table"
cmp -s "$work/scene/basic_intensity_cmp.dat" "$work/one-process.dat" ||
  fail "the merged table differs from the one-process bake"
echo "array of 4 shards and merge: $slurm ms; one process: $one ms; tables identical"

# A shard killed before it could finish: its merge never runs; submitting only its task again (and
# a merge waiting for it) completes the same table.
rm -f "$work/scene"/basic_intensity_cmp.dat*
"$root/tools/slurm/bake-array.sh" -b "$bake" "$work/scene" 4 "${opts[@]}" >"$work/submit2.log" 2>&1 ||
  fail "second submission failed"
array=$(array_id "$work/submit2.log")
scancel "${array}_3"
wait_gone "$array" 300 || fail "the array did not finish"
[ ! -f "$work/scene/basic_intensity_cmp.dat.3-of-4" ] || fail "the cancelled shard left its file"
first_merge=$(merge_id "$work/submit2.log")
sleep 2
[ ! -f "$work/scene/basic_intensity_cmp.dat" ] || fail "a merge ran without the cancelled shard"
scancel "$first_merge" 2>/dev/null || true
"$root/tools/slurm/bake-array.sh" -b "$bake" -t 3 "$work/scene" 4 "${opts[@]}" >"$work/submit3.log" 2>&1 ||
  fail "resubmission failed"
wait_gone "$(merge_id "$work/submit3.log")" 300 || fail "the second merge did not finish"
cmp -s "$work/scene/basic_intensity_cmp.dat" "$work/one-process.dat" ||
  fail "the table after resubmitting the cancelled shard differs from the one-process bake"
echo "cancelled shard 3, resubmitted only its task: tables identical"
echo "slurm bake: ok"
