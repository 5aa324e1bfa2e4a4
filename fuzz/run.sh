#!/bin/sh
# Runs one fuzz target for a while on a scratch copy of its corpus:
#   fuzz/run.sh BUILD_DIR TARGET SECONDS [libFuzzer options...]
# New inputs land in BUILD_DIR/corpus/TARGET, crashes in BUILD_DIR/artifacts/TARGET/;
# fuzz/corpus is only read. Exits non-zero when the target failed.
set -eu
build=$1 target=$2 seconds=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)
scratch="$build/corpus/$target"
artifacts="$build/artifacts/$target"
rm -rf "$scratch"
mkdir -p "$scratch" "$artifacts"
cp "$here/corpus/$target"/* "$scratch"/
dict=""
[ -f "$here/$target.dict" ] && dict="-dict=$here/$target.dict"
echo "fuzzing $target for ${seconds}s"
exec "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 $dict \
  -artifact_prefix="$artifacts/" "$@" "$scratch"
