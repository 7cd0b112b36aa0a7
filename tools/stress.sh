#!/usr/bin/env bash
# make stress: runs the driver suites and the simulator's scenarios under many schedule seeds,
# with the verifier on. Each test of the driver suites, each scenario and the simulator's demo
# is one schedule per seed. A failing seed is appended to tests/schedule_regressions.txt, which `make test`
# replays, and printed with the command that replays it.
#
#   tools/stress.sh BUILD_DIR SEEDS [FIRST_SEED]
set -uo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
seeds=${2:-100}
first=${3:-1}
tests="$build/tests/kdxdrivertests"
simulator="$build/tools/kdxsim/kdxsim"
regressions=tests/schedule_regressions.txt

schedules=0
failures=0
started=$(date +%s%N)

# Records a failing schedule once in the regression list, in the form tests/CMakeLists.txt
# replays ("SEED kdxdrivertests FILTER", "SEED kdxsim SCENARIO", or "SEED kdxsim" for the demo),
# and prints the command that replays it.
record()
{
    local seed="$1" program="$2" argument="${3:-}"
    local line="$seed $program${argument:+ $argument}" replay
    if [ "$program" = kdxsim ]; then
        replay="$simulator --seed $seed${argument:+ $(printf '%q' "$argument")}"
    else
        replay="KDX_SCHEDULE_SEED=$seed $tests --gtest_filter=$(printf '%q' "$argument")"
    fi
    echo "FAILED: seed $seed: replay with $replay"
    failures=$((failures + 1))
    grep -qxF "$line" "$regressions" || echo "$line" >> "$regressions"
}

for ((seed = first; seed < first + seeds; seed++)); do
    # One process runs every driver test under the seed. A verifier report aborts the
    # process: the test is recorded and the rest of the suites run again without it.
    exclude=""
    for attempt in 1 2 3 4 5 6 7 8; do
        filter="*${exclude:+-$exclude}"
        output=$(KDX_SCHEDULE_SEED=$seed "$tests" --gtest_brief=1 "--gtest_filter=$filter" 2>&1)
        status=$?
        ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran\..*/\1/p' <<<"$output")
        schedules=$((schedules + ${ran:-0}))
        for name in $(sed -n 's/^\[  FAILED  \] \([^ ,]*\).*/\1/p' <<<"$output" | sort -u); do
            record "$seed" kdxdrivertests "$name"
        done
        if [ "$status" -eq 0 ] || [ -n "$ran" ]; then
            break
        fi
        # The process died in a test: name it from the replay line of the report.
        crashed=$(sed -n 's/.*Replay: KDX_SCHEDULE_SEED=[0-9]* [^ ]* --gtest_filter=\([^ ]*\).*/\1/p' \
            <<<"$output" | head -1)
        if [ -z "$crashed" ]; then
            echo "$output" | tail -40
            record "$seed" kdxdrivertests '*'
            break
        fi
        echo "$output" | grep -A3 'HOST VERIFIER' | head -8
        schedules=$((schedules + 1))
        record "$seed" kdxdrivertests "$crashed"
        exclude="${exclude:+$exclude:}$crashed"
    done
    for scenario in tools/kdxsim/scenarios/*.kdx; do
        schedules=$((schedules + 1))
        if ! "$simulator" --seed "$seed" "$scenario" > /dev/null 2>&1; then
            record "$seed" kdxsim "$scenario"
        fi
    done
    schedules=$((schedules + 1))
    if ! "$simulator" --seed "$seed" > /dev/null 2>&1; then
        record "$seed" kdxsim
    fi
done

elapsed_ms=$((($(date +%s%N) - started) / 1000000))
printf 'stress: %d seeds (%d to %d), %d schedules in %d.%03d s, %d failed\n' \
    "$seeds" "$first" "$((first + seeds - 1))" "$schedules" "$((elapsed_ms / 1000))" \
    "$((elapsed_ms % 1000))" "$failures"
[ "$failures" -eq 0 ]
