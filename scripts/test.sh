#!/bin/sh
# Builds and runs every test three times: a normal build, an AddressSanitizer + UndefinedBehaviorSanitizer
# build and a ThreadSanitizer build; and, in a fourth normal build against the server layer in the stock
# server's API shape, the plug-ins' end-to-end tests, the channel cycles and the soak.
set -e
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh

JOBS=${JOBS:-$(nproc)}

run_build() {
	dir=$1; shift
	cmake -S . -B "$dir" "$@" >/dev/null
	cmake --build "$dir" -j "$JOBS"
	(cd "$dir" && ctest --output-on-failure -j 4 --timeout 300)
}

echo "== normal build"
run_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo

echo "== stock server API shape: end-to-end tests, channel cycles, soak"
run_build build-stock -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMRCP_SERVER_API=stock

echo "== address and undefined-behaviour sanitizer build"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
run_build build-asan -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON

echo "== thread sanitizer build"
# Every report is a fault to mend: the run stops at the first one.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
run_build build-tsan -DCMAKE_BUILD_TYPE=Debug -DSANITIZE_THREAD=ON
