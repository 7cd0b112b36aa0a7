#!/bin/sh
# Runs the Win32 rig under Wine, in a prefix of its own under the build directory.
#
#   wine-rig.sh setup    BUILD   a fresh prefix, the rig installed, the Wine server running
#   wine-rig.sh run      BUILD PROGRAM   one Win32 test program (exit status: its result)
#   wine-rig.sh teardown BUILD   stops the prefix's Wine server
#
# BUILD is the CMake build directory (the one holding windows/). Every command exits 77 with a
# one-line reason when Wine is not installed, which CTest reports as skipped.
# KDX_WINE_DEBUG (a WINEDEBUG value, e.g. +plugplay,+debugstr) traces Wine and the drivers'
# DbgPrint into BUILD/wine/wine.log.
set -eu

command=${1:?usage: wine-rig.sh setup|run|teardown BUILD [PROGRAM]}
build=$(cd "${2:?missing build directory}" && pwd)
rig=$build/wine
export WINEPREFIX=$rig/prefix
export WINEDEBUG=${KDX_WINE_DEBUG:--all}
# No Mono or Gecko installs, no desktop: the rig needs neither.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export DISPLAY=

if ! command -v wine >/dev/null 2>&1 || ! command -v wineserver >/dev/null 2>&1; then
    echo "skipped: wine is not installed (Debian: apt-get install wine wine64)"
    exit 77
fi

# A Windows path for a file of this machine (Wine maps / to Z:).
windows_path() { echo "Z:$1" | tr / '\\'; }

start_server() {
    # A persistent server keeps the kernel drivers loaded between programs.
    wineserver -p >/dev/null 2>&1 &
    sleep 0.2
}

case $command in
setup)
    if [ ! -f "$build/windows/rig/kdxinstall.exe" ]; then
        echo "skipped: the Windows build is missing (x86_64-w64-mingw32-g++ not installed?)"
        exit 77
    fi
    # A server left from an earlier run of this prefix must be gone before the prefix is.
    if [ -d "$WINEPREFIX" ]; then
        wineserver -k 2>/dev/null || true
        wineserver -w 2>/dev/null || true
    fi
    rm -rf "$rig"
    mkdir -p "$WINEPREFIX" "$rig/stage"
    cp "$build/windows/kdxlusb.sys" "$build/windows/rig/kdxbus.sys" "$rig/stage/"
    here=$(cd "$(dirname "$0")" && pwd)
    cp "$here/../kdxlusb.inf" "$here/kdxbus.inf" "$rig/stage/"
    # The INF names its catalog, which SetupCopyOEMInf copies along: an unsigned one of the
    # staged files (make package signs the one it ships).
    if ! python3 "$here/../makecat.py" "$rig/stage/kdxlusb.cat" "$rig/stage/kdxlusb.inf" \
        "$rig/stage/kdxlusb.sys"; then
        echo "makecat.py could not make the catalog"
        exit 1
    fi
    start_server
    if ! wine wineboot -i >"$rig/setup.log" 2>&1; then
        tail -20 "$rig/setup.log"
        echo "wineboot failed"
        exit 1
    fi
    if ! wine "$build/windows/rig/kdxinstall.exe" "$(windows_path "$rig/stage")" \
        >>"$rig/setup.log" 2>&1; then
        tail -20 "$rig/setup.log"
        echo "kdxinstall failed"
        exit 1
    fi
    grep '^kdxinstall' "$rig/setup.log"
    # Restarted so that the drivers' host process starts with this script's environment
    # (WINEDEBUG and the log) when the next program starts the bus.
    wineserver -k
    wineserver -w
    start_server
    echo "Wine rig ready in $rig"
    ;;
run)
    program=${3:?missing program}
    [ -f "$build/windows/rig/$program.exe" ] || { echo "skipped: no $program.exe (no Windows build)"; exit 77; }
    [ -d "$WINEPREFIX" ] || { echo "no prefix: run wine-rig.sh setup first"; exit 1; }
    pgrep -f "wineserver.* -p" >/dev/null 2>&1 || start_server
    status=0
    wine "$build/windows/rig/$program.exe" 2>>"$rig/wine.log" || status=$?
    exit $status
    ;;
teardown)
    if [ -d "$WINEPREFIX" ]; then
        wineserver -k 2>/dev/null || true
        wineserver -w 2>/dev/null || true
    fi
    echo "Wine server stopped"
    ;;
*)
    echo "unknown command $command"
    exit 2
    ;;
esac
