#!/usr/bin/env bash
# Runs every fuzz target (fuzz/) for a bounded time, with AddressSanitizer
# and UndefinedBehaviorSanitizer:
#   bash scripts/fuzz.sh [seconds per target, default 60] [target ...]
# The repository's inputs (fuzz/corpus/<target>/) are read, never written;
# what the fuzzer learns goes to build/fuzz/corpus/<target>/ and is reused by
# the next run. A finding is saved as build/fuzz/findings/<target>/crash-...
# and makes the script fail: replay it with
#   build/fuzz/fuzz/fuzz_<target> build/fuzz/findings/<target>/crash-...
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(inf_fields id_rewrite replace_text whole_run reg_file machine_ini image_run collect_image)
fi

# Under CI a run is repeatable: a fixed seed (ZAV_FUZZ_SEED, 1 there by
# default), so that a run elsewhere with the same seed, from a fresh clone,
# explores what CI explores (as far as its speed takes it in the time); any
# other run starts from a new seed each time.
seed="${ZAV_FUZZ_SEED:-${CI:+1}}"
seed_arg=()
[ -n "$seed" ] && seed_arg=(-seed="$seed")

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

status=0
total=0
for target in "${targets[@]}"; do
  work="build/fuzz/corpus/$target"
  findings="build/fuzz/findings/$target"
  log="build/fuzz/logs/$target.log"
  mkdir -p "$work" "$findings" "$(dirname "$log")"
  dict=()
  [ -f "fuzz/dict/$target.dict" ] && dict=(-dict="fuzz/dict/$target.dict")
  result=passed
  if ! "build/fuzz/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$findings/" "${dict[@]}" "${seed_arg[@]}" \
       "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
    result=FAILED
    status=1
  fi
  runs=$(grep -a 'stat::number_of_executed_units' "$log" | awk '{print $2}' | tail -1)
  total=$((total + ${runs:-0}))
  printf '[ fuzz     ] %-13s %10s executions in %ss: %s\n' "$target" "${runs:-?}" "$seconds" "$result"
  if [ "$result" = FAILED ]; then
    grep -a -m1 -A20 -E 'fuzz check failed|==ERROR|runtime error|deadly signal' "$log" || tail -20 "$log"
    # The finding itself, so that a run on another machine (CI) can be
    # replayed: `base64 -d > finding` and run the target on it.
    for finding in "$findings"/*; do
      [ -f "$finding" ] || continue
      echo "finding $(basename "$finding"), $(stat -c %s "$finding") bytes, base64:"
      head -c 65536 "$finding" | base64
    done
  fi
done
printf '[ fuzz     ] total: %s executions over %s targets\n' "$total" "${#targets[@]}"
exit $status
