#!/usr/bin/env bash
# make fuzz: builds the libFuzzer programs with clang in their own build directory (installing
# clang when it is missing), runs each target for FUZZ_SECONDS (default 60) on one process,
# then merges what it found into the committed corpus, minimised to the inputs that reach new
# edges (fuzz/corpus/<target>); the working corpus stays in BUILD_DIR/fuzz-found.
# Crashes are written into fuzz/regressions/<target>/, which make test replays.
# Usage: fuzz/run.sh BUILD_DIR [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-fuzz}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(device session)
seconds=${FUZZ_SECONDS:-60}

as_root()
{
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# clang with its libFuzzer runtime (Debian: clang pulls in libclang-rt-dev or libclang-common-dev).
have_libfuzzer()
{
    command -v clang++ >/dev/null 2>&1 &&
        echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' |
        clang++ -x c++ -fsanitize=fuzzer - -o /dev/null >/dev/null 2>&1
}
if ! have_libfuzzer; then
    echo "=== installing clang (libFuzzer)"
    export DEBIAN_FRONTEND=noninteractive
    as_root apt-get update
    as_root apt-get install -y --no-install-recommends clang
    have_libfuzzer || { echo "clang with libFuzzer is still missing" >&2; exit 1; }
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
    launcher=()
    command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    CC=clang CXX=clang++ cmake -S . -B "$build" -DKDX_FUZZ=ON -DKDX_WINDOWS_BUILD=OFF \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}"
fi
for target in "${targets[@]}"; do
    cmake --build "$build" -j"${JOBS:-2}" --target "kdxfuzz_$target"
done

declare -A max_len=([device]=1024 [session]=512)
for target in "${targets[@]}"; do
    program="$build/fuzz/kdxfuzz_$target"
    found="$build/fuzz-found/$target"
    corpus="fuzz/corpus/$target"
    mkdir -p "$found" "fuzz/regressions/$target"
    echo "=== fuzzing $target for ${seconds}s (new inputs in $found, crashes in fuzz/regressions/$target)"
    # -fork 1 keeps going after a crash (each one is kept), one process at a time.
    "$program" -max_total_time="$seconds" -max_len="${max_len[$target]}" -timeout=20 \
        -report_slow_units=20 -rss_limit_mb=4096 \
        -print_final_stats=1 -reload=0 -fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 \
        -artifact_prefix="fuzz/regressions/$target/" "$found" "$corpus" 2>&1 |
        grep --line-buffered -E '^#|^INFO: fuzzed|^stat::|crash|Test unit written|ERROR|^==' || true
    echo "=== merging into $corpus"
    merged="$build/fuzz-merged/$target"
    rm -rf "$merged" && mkdir -p "$merged"
    "$program" -merge=1 -use_counters=0 -max_len="${max_len[$target]}" -timeout=20 "$merged" "$corpus" "$found" \
        2>&1 | grep -E '^MERGE-OUTER: [0-9]+ new files' || true
    rm -f "$corpus"/* && cp "$merged"/* "$corpus"/
    echo "=== $target: corpus $(ls "$corpus" | wc -l) inputs, $(du -sb "$corpus" | cut -f1) bytes;" \
         "regressions $(ls "fuzz/regressions/$target" | wc -l)"
done
