#!/usr/bin/env bash
# Runs every benchmark against an existing build and prints its tables.
# Builds nothing: build first (cmake --build BUILD_DIR), which also builds the
# benchmark helpers in BUILD_DIR/bench.
#
# Usage: bench/run_all.sh [BUILD_DIR]     (default: ./build)
# The interpreter is $PYTHON if set, else CPython 3.12 from PATH or pyenv.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-build}"
if [[ ! -d "$build" ]]; then
  echo "run_all.sh: no build directory '$build' (pass one: bench/run_all.sh BUILD_DIR)" >&2
  exit 2
fi
build="$(cd "$build" && pwd)"

is_python312() {
  "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null
}

python="${PYTHON:-}"
if [[ -z "$python" ]]; then
  candidates=(python3.12)
  if command -v pyenv >/dev/null 2>&1; then
    candidates+=("$(pyenv root)"/versions/3.12*/bin/python3.12)
  fi
  candidates+=("$HOME"/.pyenv/versions/3.12*/bin/python3.12)
  for candidate in "${candidates[@]}"; do
    if is_python312 "$candidate"; then
      python="$candidate"
      break
    fi
  done
fi
if [[ -z "$python" ]] || ! is_python312 "$python"; then
  echo "run_all.sh: CPython 3.12 not found; set PYTHON=/path/to/python3.12" >&2
  exit 2
fi

missing=0
for pattern in "python/pyvorn_device.*.so" "plugins/libvorn_sim.so" "bench/_vorn_bench.*.so" \
  "bench/libvorn_bench_clock.so" "bin/vorn-server" "plugins/libvorn_remote.so" "bench/vorn_bench_zmq_floor"; do
  if ! compgen -G "$build/$pattern" >/dev/null; then
    echo "run_all.sh: missing $build/$pattern (build the project first)" >&2
    missing=1
  fi
done
[[ $missing == 0 ]] || exit 2

echo "pyvorn_device benchmarks"
echo "build:  $build"
echo "python: $("$python" -c 'import sys; print(sys.version.split()[0])') ($python)"
echo "cpu:    $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
echo "date:   $(date -u '+%Y-%m-%d %H:%M UTC')"

start=$SECONDS
for script in bench_binding.py bench_transfer.py bench_streams.py bench_remote.py; do
  "$python" "$here/$script" "$build"
done
echo
echo "total time: $((SECONDS - start)) s"
