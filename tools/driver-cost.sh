#!/usr/bin/env bash
# make driver-cost: the driver's own CPU cost per 2048-byte read, with the host left out.
#
# kdxbench's DriverRead2048 runs twice under callgrind, with two fixed counts of reads; the
# difference between the two runs, divided by the difference of the counts, is the cost of one
# read with the setup (host, plug, open) and the teardown cancelled out. Of each run it takes the
# instructions that the driver's own functions execute, the functions defined in sys/ (with what
# the compiler inlined into them: the header helpers a real driver inlines too), plus the
# memcpy, memmove and memset calls that those functions make (RtlCopyMemory, RtlMoveMemory and
# RtlZeroMemory). The host's routines (spin locks, events, IRPs, the bus, the application side,
# the thread hand-offs) are left out; the count of kernel-routine calls the driver makes per
# read is listed, since on Windows those cost time as well.
#
# GCC inlines the 2048-byte copies as `rep movsq`, which callgrind counts once per repetition
# (256 for each copy), so they are in the functions' own counts; the processor moves those
# bytes several times faster than one repetition a cycle.
#
# Instructions become time at one instruction per cycle at the clock measured by kdxbench's
# ProcessorClock on this machine: a cautious rate, as the cores this runs on retire up to
# several instructions a cycle from code that sits in the caches.
#
#   tools/driver-cost.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
bench="$build/bench/kdxbench"
sources="$PWD/sys/"

command -v valgrind >/dev/null || { echo "driver-cost: valgrind is not installed" >&2; exit 1; }
[ -x "$bench" ] || { echo "driver-cost: $bench is not built" >&2; exit 1; }
type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")
if [ "$type" != RelWithDebInfo ]; then
    echo "driver-cost: $build is a '$type' build; the count needs RelWithDebInfo" \
         "(optimised, with the line information that names each function's file)" >&2
    exit 1
fi

# The fixed counts of reads that kdxbench registers for DriverRead2048.
mapfile -t counts < <("$bench" --benchmark_list_tests |
                      sed -n 's|^DriverRead2048/iterations:\([0-9]*\)$|\1|p' | sort -n)
if [ "${#counts[@]}" -lt 2 ]; then
    echo "driver-cost: kdxbench registers no two fixed-count runs of DriverRead2048" >&2
    exit 1
fi
fewer=${counts[0]}
more=${counts[${#counts[@]} - 1]}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for reads in "$fewer" "$more"; do
    echo "callgrind: DriverRead2048, $reads reads"
    valgrind --tool=callgrind --compress-strings=no --compress-pos=no \
             --callgrind-out-file="$work/$reads.out" \
             "$bench" "--benchmark_filter=^DriverRead2048/iterations:$reads\$" \
             >"$work/$reads.log" 2>&1 || { cat "$work/$reads.log" >&2; exit 1; }
    if grep -q "ERROR OCCURRED" "$work/$reads.log"; then
        cat "$work/$reads.log" >&2
        exit 1
    fi
done

ghz=$("$bench" --benchmark_filter='^ProcessorClock$' --benchmark_format=csv 2>/dev/null |
      awk -F, 'NR == 1 { for (i = 1; i <= NF; i++) if ($i == "\"GHz\"") column = i }
               NR > 1 && column { print $column }')
[ -n "$ghz" ] || { echo "driver-cost: ProcessorClock gave no clock rate" >&2; exit 1; }

# Per run, from the uncompressed callgrind output: each driver function's own instructions
# ("self"), the memory routines it calls ("memory"), and the calls it makes to routines outside
# the driver ("calls", by callee). A function's file is the fl= before its fn=; fi= and fe=
# (code inlined from another file) leave the function as it is. The line after calls= holds the
# inclusive cost of that call, every other cost line a cost of the function itself. A call
# without cfi= or cfl= goes to a function of the file in force (fl=, fi= or fe=).
summarise()
{
    awk -v sources="$sources" '
        /^fl=/ { file = current = substr($0, 4); next }
        /^f[ie]=/ { current = substr($0, 4); next }
        /^fn=/ { function_name = substr($0, 4); driver = index(file, sources) == 1; next }
        /^cf[il]=/ { callee_file = substr($0, 5); callee_file_given = 1; next }
        /^cfn=/ { callee = substr($0, 5); next }
        /^calls=/ {
            split(substr($0, 7), call, " ")
            if (!callee_file_given) callee_file = current
            in_call = 1
            next
        }
        /^[0-9]/ {
            if (driver && !in_call) self[function_name] += $2
            else if (driver && callee ~ /^(__)?mem(cpy|move|set)/) memory[function_name] += $2
            else if (driver && index(callee_file, sources) != 1) calls[callee] += call[1]
            in_call = callee_file_given = 0
            next
        }
        END {
            for (f in self) printf "self\t%s\t%.0f\n", f, self[f]
            for (f in memory) printf "memory\t%s\t%.0f\n", f, memory[f]
            for (c in calls) printf "calls\t%s\t%.0f\n", c, calls[c]
        }' "$1"
}
summarise "$work/$fewer.out" >"$work/$fewer.sum"
summarise "$work/$more.out" >"$work/$more.sum"

# Per read: the difference of the two runs over the difference of their counts.
awk -F'\t' -v fewer="$fewer" -v more="$more" -v ghz="$ghz" -v work="$work" '
    FNR == 1 { run++ }
    {
        key = $1 "\t" $2
        value[key] += (run == 1 ? -$3 : $3)
        keys[key] = 1
    }
    END {
        reads = more - fewer
        for (key in keys) {
            split(key, part, "\t")
            per = value[key] / reads
            if (part[1] == "calls") {
                if (per >= 0.05) printf "%.2f\t%s\n", per, part[2] > (work "/calls")
                continue
            }
            cost[part[2]] += per
            if (part[1] == "memory") memory += per
            else own += per
        }
        total = own + memory
        for (f in cost) if (cost[f] >= 0.5) printf "%.1f\t%s\n", cost[f], f > (work "/functions")
        printf "\nDriver cost per 2048-byte read (%d reads less %d, host excluded)\n", more, fewer
        printf "  instructions:  %.0f (%.0f in driver functions, %.0f in memcpy/memmove/memset)\n",
               total, own, memory
        printf "  time:          %.2f us at one instruction per cycle, %.2f GHz (ProcessorClock)\n",
               total / ghz / 1000, ghz
        printf "  target:        2 us\n"
    }' "$work/$fewer.sum" "$work/$more.sum"

echo
echo "Driver functions by instructions per read (own, with their memory routines):"
sort -t$'\t' -k1,1 -g -r "$work/functions" | head -20 |
    awk -F'\t' '{ sub(/\(.*/, "", $2); printf "  %8.1f  %s\n", $1, $2 }'
# The host's macros that record call sites turn ExAllocatePool into HostAllocatePoolAt, and so
# on: the listing names the routine the driver called.
awk '/^#define [A-Za-z]+\(/ { name = $2; sub(/\(.*/, "", name) }
     name != "" && match($0, /Host[A-Za-z]+At\(/) {
         routine = substr($0, RSTART, RLENGTH - 1)
         if (!(routine in seen)) { seen[routine] = 1; print routine "\t" name }
     }
     !/\\$/ { name = "" }' host/include/wdm.h >"$work/macros"

echo
echo "Calls per read from the driver to routines outside it (kernel and USB stack):"
sort -t$'\t' -k1,1 -g -r "$work/calls" | head -20 |
    awk -F'\t' 'FILENAME != "-" { routine[$1] = $2; next }
                { sub(/\(.*/, "", $2); if ($2 in routine) $2 = routine[$2]
                  printf "  %6.2f  %s\n", $1, $2 }' "$work/macros" -
