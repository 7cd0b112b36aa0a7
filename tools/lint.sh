#!/bin/sh
# make lint: clang-tidy and cppcheck over the driver (sys/) and, with a looser set, the host
# (host/src), from the compile database of the host build in BUILD_DIR. The checks clang-tidy
# runs are in sys/.clang-tidy and host/.clang-tidy; what either tool is told to leave alone is
# justified where it is left out or, for one line, in a comment on that line. Any finding fails.
#
#   tools/lint.sh BUILD_DIR [JOBS]
set -eu
build=${1:?usage: lint.sh BUILD_DIR [JOBS]}
jobs=${2:-2}
cd "$(dirname "$0")/.."
fail() { echo "lint: $*" >&2; exit 1; }

for tool in clang-tidy cppcheck python3; do
    command -v "$tool" >/dev/null 2>&1 ||
        fail "$tool is not installed (on Debian: apt-get install clang-tidy cppcheck python3)"
done
[ -f "$build/compile_commands.json" ] ||
    cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null ||
    fail "cannot configure $build"

# One compile database per tree, as cppcheck checks every file of the database it is given.
python3 - "$build" <<'EOF'
import json, os, sys
build = sys.argv[1]
with open(os.path.join(build, "compile_commands.json")) as f:
    entries = json.load(f)
root = os.getcwd()
for tree in ("sys", "host/src"):
    prefix = os.path.join(root, tree) + os.sep
    directory = os.path.join(build, "lint", tree.replace("/", "-"))
    os.makedirs(directory, exist_ok=True)
    chosen = [e for e in entries if os.path.join(e["directory"], e["file"]).startswith(prefix)]
    with open(os.path.join(directory, "compile_commands.json"), "w") as f:
        json.dump(chosen, f, indent=1)
EOF

status=0
for tree in sys host/src; do
    database=$build/lint/$(echo "$tree" | tr / -)
    echo "lint: clang-tidy $tree"
    # clang-tidy counts the warnings of the headers it was told to ignore on stderr.
    find "$tree" -name '*.cpp' | sort |
        xargs -P "$jobs" -n 4 clang-tidy -p "$database" --quiet 2>&1 |
        grep -v '^[0-9]* warnings\? \(and [0-9]* errors\? \)\?generated\.$' || true
done > "$build/lint/clang-tidy.txt"
cat "$build/lint/clang-tidy.txt"
grep -q 'warning:\|error:' "$build/lint/clang-tidy.txt" && status=1

echo "lint: cppcheck sys"
cppcheck --project="$build/lint/sys/compile_commands.json" --std=c++17 -j "$jobs" --quiet \
    --enable=warning,performance,portability --inline-suppr --error-exitcode=1 || status=1
echo "lint: cppcheck host/src"
cppcheck --project="$build/lint/host-src/compile_commands.json" --std=c++17 -j "$jobs" --quiet \
    --enable=warning,portability --inline-suppr --error-exitcode=1 || status=1

[ "$status" -eq 0 ] || fail "findings above"
echo "lint: clean"
