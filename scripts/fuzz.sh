#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz": clang, ASan+UBSan) and runs each
# for a bounded time on its seed corpus.
#   scripts/fuzz.sh                 every target, 60 s each
#   scripts/fuzz.sh 300             every target, 300 s each
#   scripts/fuzz.sh 60 log_ring     only the named targets
# New inputs go to build/fuzz/corpus/<target> (the seeds in fuzz/corpus stay
# untouched); a crash leaves its input in build/fuzz/artifacts/ and fails the
# script. Reproduce one with: build/fuzz/bin/fuzz_<target> <file>
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    # Every target in fuzz/, so that a new one is never left out.
    for source in fuzz/fuzz_*.cpp; do
        name=${source#fuzz/fuzz_}
        targets+=("${name%.cpp}")
    done
fi

scripts/deps.sh clang libclang-rt-14-dev
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]/#/fuzz_}"

# The shared objects carry the shared sanitizer runtime; it must be loaded
# first, before the C++ runtime the fuzzers link.
LD_PRELOAD=$(clang -print-file-name=libclang_rt.asan-x86_64.so)
export LD_PRELOAD
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

mkdir -p build/fuzz/artifacts
status=0
for t in "${targets[@]}"; do
    work=build/fuzz/corpus/$t
    mkdir -p "$work"
    # Longer inputs for the receive path (answers beyond 1028 bytes) and for
    # whole store and description files.
    max_len=256
    case "$t" in
        recv_path) max_len=2048 ;;
        store|pdesc) max_len=4096 ;;
        host_options) max_len=1024 ;;
    esac
    log=build/fuzz/fuzz_$t.log
    echo "=== fuzz_$t: ${seconds} s"
    if build/fuzz/bin/fuzz_"$t" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
        -max_len="$max_len" -print_final_stats=1 \
        -artifact_prefix=build/fuzz/artifacts/"$t"- "$work" fuzz/corpus/"$t" >"$log" 2>&1; then
        grep -E '^stat::number_of_executed_units|^Done' "$log" | tr '\n' ' '
        echo
    else
        status=1
        echo "fuzz_$t FAILED; last lines of $log:"
        tail -n 40 "$log"
    fi
done
exit "$status"
