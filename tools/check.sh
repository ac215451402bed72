#!/usr/bin/env bash
# The whole test suite, as root on Debian 12: unit and host tests on the
# release build (the shipped musl binary) and again under AddressSanitizer
# and UndefinedBehaviorSanitizer, a short fuzz run, the boot tests in QEMU
# with a real kernel, the packaging tests, and the licence lines.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash tools/deps.sh || exit 1
jobs=$(nproc)
results=()
stage() {
  local name=$1
  shift
  echo "=== $name"
  if "$@"; then results+=("ok - $name"); else results+=("not ok - $name"); fi
}

build_and_test() {
  local dir=$1
  shift
  cmake -S . -B "$dir" "$@" >/dev/null && cmake --build "$dir" -j"$jobs" >/dev/null &&
    (cd "$dir" && ctest --output-on-failure -j"$jobs")
}

fuzz_smoke() {
  CXX=clang++-14 cmake -S . -B build-fuzz -DKELMO_FUZZ=ON -DKELMO_TESTS=OFF >/dev/null &&
    cmake --build build-fuzz -j"$jobs" >/dev/null || return 1
  local seconds=${KELMO_FUZZ_SECONDS:-60} ok=0 work
  work=$(mktemp -d)
  for harness in volume cmdline; do
    # Work on a copy: the corpus in the repository stays as committed.
    mkdir -p "$work/$harness"
    cp fuzz/corpus/"$harness"/* "$work/$harness"/
    if [ -d fuzz/regressions/"$harness" ]; then
      build-fuzz/fuzz/fuzz_"$harness" fuzz/regressions/"$harness"/* >/dev/null 2>&1 || {
        echo "fuzz_$harness: a regression input fails"; ok=1; }
    fi
    build-fuzz/fuzz/fuzz_"$harness" -max_total_time="$seconds" -max_len=65536 \
      -artifact_prefix="$work/" "$work/$harness" 2>&1 | grep -E "DONE|ERROR|broken promise" || true
    if ls "$work"/crash-* "$work"/leak-* "$work"/timeout-* >/dev/null 2>&1; then
      echo "fuzz_$harness found a failing input:"; ls "$work"/crash-* "$work"/leak-* "$work"/timeout-* 2>/dev/null
      ok=1
    fi
  done
  rm -rf "$work"
  return $ok
}

stage "release build: unit and host tests" build_and_test build
stage "sanitizer build: unit and host tests" build_and_test build-asan -DKELMO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
stage "fuzz smoke run" fuzz_smoke
stage "boot tests in QEMU" bash tests/boot/run.sh build/kelmo-map
stage "packaging: install, .deb, reproducible build, boots through initramfs-tools and dracut" bash tests/packaging/run.sh build-pkg
stage "licence: an SPDX line in every source and script" bash tests/packaging/licence.sh

echo "=== summary"
failed=0
for r in "${results[@]}"; do
  echo "$r"
  case $r in not*) failed=$((failed + 1)) ;; esac
done
echo "stages: $((${#results[@]} - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
