#!/bin/sh
# Runs kdxsim on a scenario that must fail and checks how: the exit status is 1 (or
# KDXSIM_STATUS when set, for a scenario that must pass) and the output holds every TEXT given
# (such as the file and line of the failing line).
# usage: expect_failure.sh KDXSIM SCENARIO TEXT...
kdxsim=$1
scenario=$2
shift 2
output=$("$kdxsim" "$scenario" 2>&1)
status=$?
echo "$output"
wanted=${KDXSIM_STATUS:-1}
if [ "$status" -ne "$wanted" ]; then
    echo "expect_failure.sh: kdxsim exited with $status, not $wanted"
    exit 1
fi
for text in "$@"; do
    if ! printf '%s\n' "$output" | grep -qF -- "$text"; then
        echo "expect_failure.sh: the output lacks: $text"
        exit 1
    fi
done
