#!/usr/bin/env bash
# A fuzzing campaign: builds the libFuzzer targets with clang (in its own
# build directory), runs each for SECONDS (default 60) on its corpus in
# fuzz/corpus/<target>/, and merges back only the inputs that reached new
# coverage (libFuzzer's -merge=1). The hand-written seeds (named for what
# they hold) always stay; the inputs found by fuzzing (named by their SHA-1)
# are minimised anew after each run, so the corpora stay small. Prints the
# executions and coverage of each target, and the executions of all runs
# so far, which are kept in the ledger fuzz/campaign.tsv: it lives in the
# repository, so that a campaign adds up across machines and checkouts.
#
# A crash leaves its input in <build>/artifacts/ and makes the script fail
# once every target has had its turn.
#
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
#   A target named N times is fuzzed by N processes at once, which share
#   their new inputs and are merged together; each is a run in the ledger.
#   FUZZ_BUILD   build directory (default ./build-fuzz)
#   FUZZ_JOBS    targets fuzzed at once (default 1), one process each
#   FUZZ_LEDGER  the ledger of runs (default fuzz/campaign.tsv)
# The targets run under nice, as they are long CPU jobs.
set -euo pipefail
SECONDS_EACH=${1:-60}
shift || true
[[ $SECONDS_EACH =~ ^[0-9]+$ && $SECONDS_EACH -ge 1 ]] || { echo "usage: fuzz.sh [SECONDS] [TARGET...]"; exit 1; }
cd "$(dirname "$0")/.."
SOURCE=$PWD
BUILD=${FUZZ_BUILD:-$SOURCE/build-fuzz}
JOBS=${FUZZ_JOBS:-1}
runs=${FUZZ_LEDGER:-$SOURCE/fuzz/campaign.tsv}
[[ $JOBS =~ ^[1-9][0-9]*$ ]] || { echo "fuzz.sh: FUZZ_JOBS must be a positive number"; exit 1; }

ALL_TARGETS=$(sed -n '/^set(fuzz_targets/,/)/p' fuzz/CMakeLists.txt |
  sed -e 's/set(fuzz_targets//' -e 's/)//' | tr -s ' \n' '\n' | grep . )
NAMED=("$@")
[ ${#NAMED[@]} -gt 0 ] || mapfile -t NAMED <<<"$ALL_TARGETS"
# Each target once, in the order named, with how many processes it gets.
TARGETS=()
declare -A PROCS=()
for t in "${NAMED[@]}"; do
  grep -qx "$t" <<<"$ALL_TARGETS" || { echo "fuzz.sh: no fuzz target '$t'"; exit 1; }
  [ -n "${PROCS[$t]:-}" ] || TARGETS+=("$t")
  PROCS[$t]=$(( ${PROCS[$t]:-0} + 1 ))
done

command -v clang++ >/dev/null || { echo "fuzz.sh: needs clang (scripts/deps.sh installs it)"; exit 1; }
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# Campaigns may run side by side on one build directory: one builds at a time.
mkdir -p "$BUILD"
exec 9>"$BUILD/.build-lock"
flock 9
CC=clang CXX=clang++ cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILMAR_FUZZ=ON \
  -DQUILMAR_TESTS=OFF "${launcher[@]}" >/dev/null
nice -n 19 cmake --build "$BUILD" -j2 --target "${TARGETS[@]}" >/dev/null
flock -u 9

mkdir -p "$BUILD/artifacts" "$BUILD/logs"
[ -f "$runs" ] || printf 'date\ttarget\tseconds\texecutions\tcov\tft\tnew_inputs\tcrashed\n' >"$runs"

# One target's turn: fuzz, merge what is new into the corpus, record the
# run in the ledger and print the target's line.
campaign_one() {
  local t=$1 corpus=$SOURCE/fuzz/corpus/$1 log=$BUILD/logs/$1.log
  local fresh minimal found status=0 execs=0 cov ft before added result total f i
  local logs=() pids=() crashed=() counts=()
  fresh=$(mktemp -d "$BUILD/fresh-$t.XXXX")
  mkdir -p "$corpus"
  # New inputs go to the first directory, shared by the target's processes
  # (libFuzzer names them by content); the corpus is only read.
  for ((i = 1; i <= PROCS[$t]; i++)); do
    logs+=("$log")
    nice -n 19 "$BUILD/fuzz/$t" -max_total_time="$SECONDS_EACH" -timeout=25 -print_final_stats=1 \
      -artifact_prefix="$BUILD/artifacts/$t-" "$fresh" "$corpus" >"$log" 2>&1 &
    pids+=($!)
    log=$BUILD/logs/$t.$((i + 1)).log
  done
  log=${logs[0]}
  for i in "${!pids[@]}"; do
    crashed[$i]=no
    wait "${pids[$i]}" || { status=$?; crashed[$i]=yes; }
    counts[$i]=$(awk '/^stat::number_of_executed_units/ { print $2 }' "${logs[$i]}")
    execs=$((execs + ${counts[$i]:-0}))
  done
  read -r cov ft < <(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1 | awk '{ print $2, $4 }')
  # The seeds come first and count as covered; of the found inputs, old
  # and new, only those that add coverage to them are kept.
  before=$(ls "$corpus" | wc -l)
  minimal=$(mktemp -d "$BUILD/minimal-$t.XXXX")
  found=$(mktemp -d "$BUILD/found-$t.XXXX")
  for f in "$corpus"/*; do
    [ -f "$f" ] || continue
    if [[ $(basename "$f") =~ ^[0-9a-f]{40}$ ]]; then mv "$f" "$found"/; else cp "$f" "$minimal"/; fi
  done
  if nice -n 19 "$BUILD/fuzz/$t" -merge=1 "$minimal" "$found" "$fresh" >>"$log" 2>&1; then
    for f in "$minimal"/*; do
      [[ $(basename "$f") =~ ^[0-9a-f]{40}$ ]] && mv "$f" "$corpus"/
    done
  else
    echo "fuzz.sh: $t: merging failed, the corpus keeps what it had (see $log)"
    mv "$found"/* "$corpus"/ 2>/dev/null || true
  fi
  added=$(( $(ls "$corpus" | wc -l) - before ))
  rm -rf "$fresh" "$minimal" "$found"
  result=ok
  [ $status -eq 0 ] || result="CRASH (see $log and $BUILD/artifacts/)"
  # One short append per process, so that parallel turns do not mix lines.
  for i in "${!logs[@]}"; do
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$(date -u +%FT%TZ)" "$t" "$SECONDS_EACH" \
      "${counts[$i]:-0}" "${cov:-0}" "${ft:-0}" "$([ "$i" -eq 0 ] && echo "$added" || echo 0)" \
      "${crashed[$i]}" >>"$runs"
  done
  total=$(awk -F'\t' -v t="$t" '$2 == t { n += $4 } END { print n + 0 }' "$runs")
  printf '%-18s %12s %12s %7s %7s %8s %6s %s\n' "$t" "${execs:-0}" "$total" "${cov:-0}" "${ft:-0}" \
    "$(ls "$corpus" | wc -l)" "$added" "$result"
  return $status
}

printf '%-18s %12s %12s %7s %7s %8s %6s %s\n' target executions "all runs" cov ft corpus new result
crashed_any=0
running=0
for t in "${TARGETS[@]}"; do
  if [ $running -ge "$JOBS" ]; then
    wait -n || crashed_any=1
    running=$((running - 1))
  fi
  campaign_one "$t" &
  running=$((running + 1))
done
while [ $running -gt 0 ]; do
  wait -n || crashed_any=1
  running=$((running - 1))
done
exit $crashed_any
