#!/usr/bin/env bash
# Builds every libFuzzer target under fuzz/ with clang and runs each for a
# bounded time (FUZZ_TIME seconds, default 60), seeded from its corpus folder:
# fuzz/<module>/corpus/<target>/ when present, else fuzz/<module>/corpus/.
# New inputs go to build-fuzz/corpus/<target>/, never into the checked-in
# seeds. Fails when a target crashes, leaks, hangs or stops early.
set -euo pipefail
cd "$(dirname "$0")/.."

fuzz_time=${FUZZ_TIME:-60}
jobs=${FUZZ_JOBS:-2}
build=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZP_BUILD_FUZZ=ON -DBUILD_TESTING=OFF -DZP_BUILD_BENCH=OFF >/dev/null

# The targets are the executables that the fuzz/<module>/ folders define.
targets=()
for dir in fuzz/*/; do
  module=$(basename "$dir")
  [ -f "$dir/CMakeLists.txt" ] || continue
  for t in $(sed -n 's/^[[:space:]]*add_executable(\([A-Za-z0-9_]*\).*/\1/p' "$dir/CMakeLists.txt"); do
    targets+=("$module:$t")
  done
done
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz.sh: no fuzz targets"
  exit 0
fi

names=()
for entry in "${targets[@]}"; do names+=("${entry#*:}"); done
cmake --build "$build" --target "${names[@]}" -j "$jobs"

status=0
for entry in "${targets[@]}"; do
  module=${entry%%:*}
  target=${entry#*:}
  exe=$(find "$build/fuzz/$module" -maxdepth 2 -type f -name "$target" -perm -u+x | head -n 1)
  if [ -z "$exe" ]; then
    echo "fuzz.sh: $target was not built" >&2
    status=1
    continue
  fi
  seeds=()
  if [ -d "fuzz/$module/corpus/$target" ]; then
    seeds=("fuzz/$module/corpus/$target")
  elif [ -d "fuzz/$module/corpus" ]; then
    seeds=("fuzz/$module/corpus")
  fi
  work="$build/corpus/$target"
  artifacts="$build/artifacts/$target"
  mkdir -p "$work" "$artifacts"
  echo "fuzz.sh: running $target for ${fuzz_time}s"
  if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$exe" -max_total_time="$fuzz_time" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$artifacts/" -print_final_stats=1 "$work" "${seeds[@]}" \
      >"$build/$target.log" 2>&1; then
    echo "fuzz.sh: $target FAILED; see $build/$target.log and $artifacts/" >&2
    tail -n 40 "$build/$target.log" >&2
    status=1
  else
    grep -E "^stat::number_of_executed_units|^stat::new_units_added" "$build/$target.log" || true
  fi
done
exit $status
