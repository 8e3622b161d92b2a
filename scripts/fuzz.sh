#!/bin/sh
# Builds the fuzz targets with clang, libFuzzer and the address and undefined-behaviour
# sanitizers in build-fuzz/, then fuzzes each for a while (FUZZ_SECONDS, default 60).
# Inputs that crash are written to build-fuzz/crashes/<target>/; copy them into
# fuzz/corpus/<target>/ once mended, so that the normal builds replay them.
# Usage: sh scripts/fuzz.sh [target...]    (default: every target). Not part of CI.
set -e
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh

DIR=${FUZZ_BUILD_DIR:-build-fuzz}
SECONDS_EACH=${FUZZ_SECONDS:-60}
JOBS=${JOBS:-4}
TARGETS=${*:-"fuzz_recog_properties fuzz_rule fuzz_recog_reply fuzz_qa fuzz_service_uri fuzz_grammar_uri
fuzz_synth_properties fuzz_synth_reply fuzz_vendor_params fuzz_token_header"}

# The plug-in code gets the coverage instrumentation too, not only the targets.
CC=clang CXX=clang++ cmake -S . -B "$DIR" -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON -DFUZZ=ON \
	-DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
for t in $TARGETS; do
	cmake --build "$DIR" -j "$JOBS" --target "$t"
done

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
failed=""
for t in $TARGETS; do
	echo "== $t: $SECONDS_EACH s"
	work="$DIR/corpus-work/$t"
	crashes="$DIR/crashes/$t"
	mkdir -p "$work" "$crashes"
	# New inputs go to the work folder; the committed corpus is only read.
	if ! "$DIR/fuzz/$t" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 \
		-print_final_stats=1 -artifact_prefix="$crashes/" "$work" "fuzz/corpus/$t" \
		>"$DIR/$t.log" 2>&1; then
		failed="$failed $t"
		tail -40 "$DIR/$t.log"
	else
		grep -E "stat::number_of_executed_units|cov:" "$DIR/$t.log" | tail -2
	fi
done
if [ -n "$failed" ]; then
	echo "findings in:$failed (inputs under $DIR/crashes/)"
	exit 1
fi
echo "no findings"
