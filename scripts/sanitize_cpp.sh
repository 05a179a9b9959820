#!/usr/bin/env bash
# Builds the C++ test program under AddressSanitizer with UndefinedBehaviorSanitizer and
# under ThreadSanitizer, and runs every suite; the pool suite also at 1, 2 and 5 workers,
# the complex suite (the parallel enumeration) also at 1 and 5. Fails on the first finding. Build folders: build/sanitize-address-undefined and
# build/sanitize-thread. JOBS sets the build parallelism (default: all CPUs).
set -euo pipefail
cd "$(dirname "$0")/.."

export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:atexit_sleep_ms=0

generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi

run_suites() {
  local program=$1
  "$program"
  for workers in 1 2 5; do RAYON_NUM_THREADS=$workers "$program" worker_pool::; done
  for workers in 1 5; do RAYON_NUM_THREADS=$workers "$program" complex::; done
}

for sanitizer in address,undefined thread; do
  build=build/sanitize-${sanitizer//,/-}
  echo "== $sanitizer: $build"
  cmake -S . -B "$build" "${generator[@]}" -DTOLVA_PYTHON_MODULE=OFF -DTOLVA_BUILD_TESTS=ON -DTOLVA_WERROR=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DTOLVA_SANITIZE=$sanitizer" >/dev/null
  cmake --build "$build" --parallel "${JOBS:-$(nproc)}"
  run_suites "$build/tolva_cpp_tests"
done
echo "== no sanitizer findings"
