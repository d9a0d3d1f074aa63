#!/usr/bin/env bash
# The long fuzz campaign: every fuzz target of a fuzz tree in turn, two at a
# time at low priority, each for SECONDS over a working copy of its corpus.
#
#   scripts/fuzz-campaign.sh BUILD_FUZZ_DIR OUT_DIR [SECONDS] [TARGET...]
#
# OUT_DIR/<target>.log is the fuzzer's log, OUT_DIR/<target>/corpus the corpus
# it grew (seeded from tests/fuzz/corpus/<target>), OUT_DIR/<target>/ any
# crash, hang or leak it found. The figures (executions, coverage, corpus) are
# the last lines of each log. Keep new inputs with -merge=1 into the
# committed corpus only when they are small.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: fuzz-campaign.sh BUILD_FUZZ_DIR OUT_DIR [SECONDS] [TARGET...]}
out=${2:?usage: fuzz-campaign.sh BUILD_FUZZ_DIR OUT_DIR [SECONDS] [TARGET...]}
seconds=${3:-600}
shift $(( $# >= 3 ? 3 : $# ))
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for binary in "$build"/tests/fuzz/fuzz_*; do
    [ -x "$binary" ] && targets+=("$(basename "$binary" | sed 's/^fuzz_//')")
  done
fi
mkdir -p "$out/bin"

run_one() {
  local name=$1
  local work="$out/$name"
  mkdir -p "$work/corpus"
  # A copy of the binary: a rebuild meanwhile does not touch the run.
  cp "$build/tests/fuzz/fuzz_$name" "$out/bin/"
  local dict=()
  [ -f "$top/tests/fuzz/$name.dict" ] && dict=(-dict="$top/tests/fuzz/$name.dict")
  nice -n 10 "$out/bin/fuzz_$name" -max_total_time="$seconds" -timeout=1 -rss_limit_mb=2048 -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$work/" "${dict[@]}" \
    "$work/corpus" "$top/tests/fuzz/corpus/$name" >"$out/$name.log" 2>&1 || true
  echo "$name: $(grep -E '^#[0-9]+.*(DONE|pulse)' "$out/$name.log" | tail -1)"
}

# Two at a time, each pair bounded by the time each target is given.
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  run_one "${targets[i]}" &
  if ((i + 1 < ${#targets[@]})); then run_one "${targets[i + 1]}" & fi
  wait
done
