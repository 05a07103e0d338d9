#!/usr/bin/env bash
# A bounded fuzz pass of the container decoding: the committed corpus as
# seeds, new inputs in a throw-away folder, any crashing input saved under
# BUILD_DIR/fuzz-artifacts (copy it into tools/sqpack/fuzz/corpus to keep it
# as a regression case once the fault is fixed).
#
#   tools/sqpack/fuzz/run.sh BUILD_DIR [SECONDS]
set -euo pipefail
build=${1:?usage: run.sh BUILD_DIR [SECONDS]}
seconds=${2:-20}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$build/fuzz-artifacts"
log="$build/fuzz.log"
if ! "$build/sqpack_fuzz_container" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/fuzz-artifacts/" "$scratch" "$here/corpus" >"$log" 2>&1; then
  tail -n 40 "$log"
  echo "fuzz: FAILED; the input is in $build/fuzz-artifacts" >&2
  exit 1
fi
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
echo "fuzz: $runs inputs in ${seconds} s, no failure (log: $log)"
