#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The whole test suite, as root on Debian 12: unit and host tests on the
# release build (the shipped musl binary) and again under AddressSanitizer
# and UndefinedBehaviorSanitizer, a short fuzz run, the boot tests in QEMU
# with a real kernel, the packaging tests, the demos, the licence lines and
# ShellCheck over every shell file. Every stage must run tests and pass them
# all: none skipped.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top" || exit 1
bash tools/deps.sh || exit 1
jobs=$(nproc)
results=()
stage() {
  local name=$1
  shift
  echo "=== $name"
  if "$@"; then results+=("ok - $name"); else results+=("not ok - $name"); fi
}

# configure DIR COMPILER OPTIONS...: a tree configured with another compiler
# is made anew (CMake would restart it itself, dropping the options given).
configure() {
  local dir=$1 compiler=$2 want cached
  shift 2
  want=$(readlink -f "$(command -v "$compiler")") || { echo "$compiler is missing"; return 1; }
  if [ -f "$dir/CMakeCache.txt" ]; then
    cached=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$dir/CMakeCache.txt")
    if [ "$(readlink -f "$cached")" != "$want" ]; then
      echo "$dir was configured with ${cached:-no compiler}: made anew with $compiler"
      rm -rf "$dir"
    fi
  fi
  if [ -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" "$@" >/dev/null
  else
    cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER="$compiler" "$@" >/dev/null
  fi
}

# Each stage configures every option it depends on, so a build tree made
# by something else (tools/demo.sh makes build/ without the tests) cannot
# change what the stage runs. Under this command a skipped test is a failure
# (KELMO_NO_SKIP makes the tests themselves fail instead of skipping, and
# ctest's own list of tests that did not run is checked too), and so is a
# stage that ran no test.
build_and_test() {
  local dir=$1 log ran
  shift
  configure "$dir" g++ -DKELMO_TESTS=ON -DKELMO_FUZZ=OFF "$@" &&
    cmake --build "$dir" -j"$jobs" >/dev/null || return 1
  log=$dir/ctest.log
  (cd "$dir" && KELMO_NO_SKIP=1 ctest --output-on-failure --no-tests=error -j"$jobs") 2>&1 | tee "$log"
  ((PIPESTATUS[0] == 0)) || return 1
  if grep -q '^The following tests did not run:' "$log"; then
    echo "a test was skipped or not run"
    return 1
  fi
  ran=$(sed -n 's/.* tests failed out of \([0-9]*\)$/\1/p' "$log" | tail -n 1)
  if ((${ran:-0} == 0)); then
    echo "no test ran"
    return 1
  fi
}

# A test script whose closing line is "N passed, M failed": that line must
# be there with N > 0 and M = 0, and the script must end with status 0.
counted() {
  local log status
  log=$(mktemp)
  "$@" 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  if ! tail -n 1 "$log" | grep -Eq '^[1-9][0-9]* passed, 0 failed$'; then
    echo "no closing count with passes and no failures"
    status=1
  fi
  rm -f "$log"
  return "$status"
}

# The libFuzzer harnesses: every input of fuzz/regressions/HARNESS replayed
# once, then a timed run over a copy of the seed corpus. Any failure counts:
# the fuzzer's exit status, or a crash, leak, timeout or out-of-memory input
# left behind.
fuzz_smoke() {
  configure build-fuzz clang++-14 -DKELMO_FUZZ=ON -DKELMO_TESTS=OFF -DKELMO_SANITIZE=OFF -DCMAKE_BUILD_TYPE=Release &&
    cmake --build build-fuzz -j"$jobs" >/dev/null || return 1
  local seconds=${KELMO_FUZZ_SECONDS:-60} ok=0 work harness status inputs replayed d
  local limits=(-timeout=10 -rss_limit_mb=1024)
  if [ ! -d fuzz/regressions ]; then
    echo "fuzz/regressions is missing"
    return 1
  fi
  for d in fuzz/regressions/*/; do
    [ -x "build-fuzz/fuzz/fuzz_$(basename "$d")" ] || { echo "fuzz/regressions/$(basename "$d"): no such harness"; ok=1; }
  done
  work=$(mktemp -d)
  for harness in volume cmdline; do
    local fuzzer=build-fuzz/fuzz/fuzz_$harness
    inputs=()
    if [ -d fuzz/regressions/"$harness" ]; then
      mapfile -t inputs < <(find fuzz/regressions/"$harness" -type f | LC_ALL=C sort)
    fi
    if ((${#inputs[@]})); then
      status=0
      "$fuzzer" "${limits[@]}" "${inputs[@]}" >"$work/replay-$harness.log" 2>&1 || status=$?
      replayed=$(grep -c '^Executed ' "$work/replay-$harness.log" || true)
      if ((status != 0 || replayed != ${#inputs[@]})); then
        echo "fuzz_$harness: a regression input fails (status $status, $replayed of ${#inputs[@]} replayed):"
        tail -n 30 "$work/replay-$harness.log"
        ok=1
      else
        echo "fuzz_$harness: ${#inputs[@]} regression inputs replayed, none fails"
      fi
    else
      echo "fuzz_$harness: no regression inputs"
    fi
    # Work on a copy: the corpus in the repository stays as committed.
    mkdir -p "$work/$harness" "$work/artifacts-$harness"
    cp fuzz/corpus/"$harness"/* "$work/$harness"/
    status=0
    "$fuzzer" "${limits[@]}" -max_total_time="$seconds" -max_len=65536 -artifact_prefix="$work/artifacts-$harness/" \
      "$work/$harness" >"$work/fuzz-$harness.log" 2>&1 || status=$?
    grep -E "^Done [0-9]+ runs|ERROR|broken promise" "$work/fuzz-$harness.log" | sed "s/^/fuzz_$harness: /"
    if ((status != 0)) || ! grep -Eq '^Done [1-9][0-9]* runs' "$work/fuzz-$harness.log" ||
      [ -n "$(ls -A "$work/artifacts-$harness")" ]; then
      echo "fuzz_$harness failed (status $status); inputs left: $(ls -A "$work/artifacts-$harness" | tr '\n' ' ')"
      tail -n 40 "$work/fuzz-$harness.log"
      ok=1
    fi
  done
  rm -rf "$work"
  return $ok
}

# The boot stages share one choice of QEMU accelerator, probed here once (a
# boot of the test kernel under KVM) unless KELMO_QEMU_ACCEL is set already.
choose_boot_accel() {
  local accel
  [ -n "${KELMO_QEMU_ACCEL:-}" ] && return 0
  if accel=$(bash tests/boot/accel.sh); then
    export KELMO_QEMU_ACCEL=$accel
  fi
}

# The demos the README offers, run as a person runs them, after the stages
# that build what they reuse (build/, build-pkg/, the kernel and the live
# ISOs in the boot cache): about 3.5 minutes under TCG on two loaded cores.
# The boot demo fails when what it shows is not what the stick holds;
# --live and --stick close with a count.
demos() {
  local status=0
  echo "# tools/demo.sh"
  bash tools/demo.sh || { echo "tools/demo.sh failed"; status=1; }
  echo "# tools/demo.sh --live"
  counted bash tools/demo.sh --live || status=1
  echo "# tools/demo.sh --stick"
  counted bash tools/demo.sh --stick || status=1
  return $status
}

stage "release build: unit and host tests" build_and_test build -DKELMO_SANITIZE=OFF -DKELMO_LIBC=musl -DCMAKE_BUILD_TYPE=Release
stage "sanitizer build: unit and host tests" build_and_test build-asan -DKELMO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
stage "fuzz smoke run" fuzz_smoke
stage "kelmo-stick: prepare, update, list, next and every bad input, on image files and loop devices" counted bash tests/stick/cli.sh build
stage "kelmo-stick: a stick in use (mounts in other namespaces, loop devices stacked on it, two commands at once) is never written" counted bash tests/stick/busy.sh build
stage "kelmo-stick: ISOs under every kind of name exFAT allows, in list, next and both GRUB menus (run in grub-emu)" counted bash tests/stick/names.sh build
choose_boot_accel
stage "boot tests in QEMU" counted bash tests/boot/run.sh build/kelmo-map
stage "packaging: install, .deb, reproducible build, boots through initramfs-tools and dracut, live ISOs from power-on" counted bash tests/packaging/run.sh build-pkg
stage "stick: made by kelmo-stick, ISOs copied on it, each booted from the menu from power-on (BIOS and UEFI)" counted bash tests/stick/boot.sh build-pkg
stage "Secure Boot from power-on: a stick made by kelmo-stick, OVMF with Microsoft's keys" counted bash tests/stick/secure.sh build-pkg
stage "stick: kelmo-stick persist, a file written in one boot from power-on and seen in the next (Debian live-boot and dracut)" counted bash tests/stick/persist.sh build-pkg
stage "demos: tools/demo.sh, --live and --stick, as the README offers them" demos
stage "licence: an SPDX line in every source and script" counted bash tests/packaging/licence.sh
stage "shellcheck: every shell file in the repository, no warning" counted bash tests/shellcheck.sh

echo "=== summary"
failed=0
for r in "${results[@]}"; do
  echo "$r"
  case $r in not*) failed=$((failed + 1)) ;; esac
done
echo "stages: $((${#results[@]} - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
