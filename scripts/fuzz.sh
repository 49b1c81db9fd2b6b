#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang-14 (fuzzer, ASan, UBSan)
# and runs each for a bounded time. Any crash, sanitizer report, failed check
# or leak fails the run; the input that caused it is kept in
# <build-dir>/artifacts/.
#
#   scripts/fuzz.sh [seconds-per-target] [target...]     (default: 60, all)
#
# Targets: aligned_chunker, chunk_path, sim_options, remote_frames (see fuzz/README.md). Each starts
# from its seeds in fuzz/corpus/<target>/ plus what earlier runs found in
# <build-dir>/corpus/<target>/ (default build dir: build-fuzz, or
# $VORN_FUZZ_BUILD_DIR). A longer run, e.g. half an hour per target:
#   scripts/fuzz.sh 1800
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"
seconds="${1:-60}"
shift || true
targets=("$@")
[[ ${#targets[@]} -gt 0 ]] || targets=(aligned_chunker chunk_path sim_options remote_frames)
build_dir="$(realpath -m "${VORN_FUZZ_BUILD_DIR:-build-fuzz}")"
cxx="${VORN_FUZZ_CXX:-clang++-14}"
command -v "$cxx" >/dev/null || { echo "fuzz.sh needs $cxx (Debian: clang-14 libclang-rt-14-dev)" >&2; exit 1; }

flags=(-std=c++20 -g -O1 -Wall -Wextra -Wshadow -Wconversion -Werror -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
  -Iinclude)
sources_of() {
  case "$1" in
    # The chunker asks the pump whether it runs on a worker; both link the pump.
    aligned_chunker | chunk_path)
      echo "-Isrc src/core/stream/event_pump.cpp src/core/stream/chunk_intake.cpp src/core/stream/copy_blocks.cpp" \
        "src/core/stream/aligned_chunker.cpp src/core/stream/view_lease.cpp"
      ;;
    sim_options) echo "-Iplugins/sim plugins/sim/sim_options.cpp" ;;
    remote_frames) echo "-Iplugins/remote plugins/remote/wire/frame.cpp" ;;
    *) echo "unknown fuzz target: $1" >&2; return 1 ;;
  esac
}

mkdir -p "$build_dir/artifacts"
for target in "${targets[@]}"; do
  sources="$(sources_of "$target")"
  echo "== building fuzz target $target"
  # shellcheck disable=SC2086  # the include flag and sources are separate words
  "$cxx" "${flags[@]}" "fuzz/${target}_fuzz.cpp" $sources -o "$build_dir/${target}_fuzz"
done

# allocator_may_return_null: chunk_path asks for copies no allocator gives,
# and the code under test handles the null that malloc then returns.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:allocator_may_return_null=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
status=0
summary=()
for target in "${targets[@]}"; do
  corpus="$build_dir/corpus/$target"
  log="$build_dir/$target.log"
  mkdir -p "$corpus"
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
    -artifact_prefix="$build_dir/artifacts/$target-")
  [[ -f "fuzz/$target.dict" ]] && options+=(-dict="fuzz/$target.dict")
  echo "== fuzzing $target for ${seconds}s (log: $log)"
  if "$build_dir/${target}_fuzz" "${options[@]}" "$corpus" "fuzz/corpus/$target" >"$log" 2>&1; then
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
    last="$(grep -E '^#[0-9]+' "$log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+')"
    summary+=("$target: $runs executions, $last")
  else
    status=1
    summary+=("$target: FAILED")
    echo "FAILED: fuzz target $target; the end of its log:" >&2
    grep -vE '^#[0-9]+ +(NEW|REDUCE|pulse)' "$log" | tail -60 >&2
  fi
done
echo "== fuzzing summary"
printf '%s\n' "${summary[@]}"
exit "$status"
