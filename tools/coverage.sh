#!/usr/bin/env bash
# make coverage: line and branch coverage of the driver (sys/) in a build directory of its own,
# where only the driver is compiled with --coverage -O0. Three measurements, each from zeroed
# counters:
#   1. the test suite: what `make test` runs, without the corpus replay (ctest labels wine and
#      fuzz-replay left out);
#   2. the corpus replay alone (the tests labelled fuzz-replay), when there are any;
#   3. both together (the two gcovr reports merged).
# Each prints a table per file with the total: lines with the lines nothing executes, then
# branches with the lines that hold a branch never taken. Branches are counted with gcovr's
# --exclude-unreachable-branches and --exclude-throw-branches: the branches gcc makes for
# cleanup on lines that hold no code of their own, and for exception paths, are left out.
# The JSON and the CTest log of each measurement are kept in BUILD/coverage/. Usage: tools/coverage.sh BUILD JOBS
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build-coverage}
jobs=${2:-2}
out=$build/coverage
failed=0

as_root()
{
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        sudo "$@"
    fi
}

stage()
{
    echo
    echo "=== $* ($(date -u +%H:%M:%S), ${SECONDS}s since start)"
}

if ! command -v gcovr >/dev/null 2>&1; then
    stage "installing gcovr"
    export DEBIAN_FRONTEND=noninteractive
    as_root apt-get install -y --no-install-recommends gcovr \
        || { as_root apt-get update && as_root apt-get install -y --no-install-recommends gcovr; }
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
    launcher=()
    if command -v ccache >/dev/null 2>&1; then
        launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    fi
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKDX_COVERAGE=ON \
        -DKDX_WINDOWS_BUILD=OFF "${launcher[@]}"
fi
stage "building $build"
cmake --build "$build" -j"$jobs"
mkdir -p "$out"

gcovr_common=(--root "$root" --filter "$root/sys/" --exclude-unreachable-branches
              --exclude-throw-branches)

# report NAME TITLE: the line and branch tables of $out/NAME.json.
report()
{
    echo
    echo "--- $2: lines (Missing: the lines nothing executes)"
    gcovr "${gcovr_common[@]}" --add-tracefile "$out/$1.json" --txt
    echo "--- $2: branches (Missing: the lines with a branch never taken)"
    gcovr "${gcovr_common[@]}" --add-tracefile "$out/$1.json" --txt --branches
}

# measure NAME TITLE CTEST-ARGUMENTS...: zero the counters, run those tests, keep the report.
measure()
{
    local name=$1 title=$2
    shift 2
    stage "$title: ctest $*"
    find "$build" -name '*.gcda' -delete
    # The full CTest listing goes to a log; the failures and the summary are printed.
    if ! (cd "$build" && ctest -j"$jobs" --output-on-failure "$@") >"$out/$name-ctest.log" 2>&1; then
        failed=1
        grep -E '\*\*\*|Failed|Timeout' "$out/$name-ctest.log" || true
    fi
    grep -E 'tests passed|Total Test time' "$out/$name-ctest.log" || true
    gcovr "${gcovr_common[@]}" --object-directory "$build" "$build" --json "$out/$name.json"
    report "$name" "$title"
}

measure tests "the test suite" -LE '^(wine|fuzz-replay)$'

replay_count=$(cd "$build" && ctest -N -L '^fuzz-replay$' | sed -n 's/^Total Tests: //p')
if [ "${replay_count:-0}" -gt 0 ]; then
    measure replay "the corpus replay" -L '^fuzz-replay$'
    stage "the test suite and the corpus replay together"
    gcovr "${gcovr_common[@]}" --add-tracefile "$out/tests.json" \
        --add-tracefile "$out/replay.json" --json "$out/both.json"
    report both "the test suite and the corpus replay"
else
    stage "the corpus replay: no tests labelled fuzz-replay in $build, nothing to measure"
fi

stage "done; the JSON reports are in $out"
if [ "$failed" -ne 0 ]; then
    echo "make coverage: some tests FAILED (the figures above count what ran)" >&2
    exit 1
fi
