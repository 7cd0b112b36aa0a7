#!/bin/sh
# Checks what can be checked of kdxlusb.sys without Windows: a PE32+ image for x86-64 with the
# native subsystem, entry point set, importing only from ntoskrnl.exe, HAL.dll and USBD.SYS.
set -eu
image=${1:?usage: check-image.sh kdxlusb.sys}
objdump=x86_64-w64-mingw32-objdump
fail() { echo "kdxlusb.sys image check failed: $*" >&2; exit 1; }

[ -f "$image" ] || fail "$image does not exist"
headers=$($objdump -p "$image") || fail "objdump cannot read $image"

echo "$headers" | grep -q 'file format pei-x86-64' || fail "not a PE image for x86-64"
echo "$headers" | grep -Eq '^Magic[[:space:]]+020b' || fail "not PE32+ (optional header magic 0x20b)"
echo "$headers" | grep -Eq '^Subsystem[[:space:]]+00000001' || fail "subsystem is not native"
echo "$headers" | grep -Eq '^AddressOfEntryPoint[[:space:]]+0*[1-9a-fA-F]' || fail "no entry point"

modules=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr -d '\r')
[ -n "$modules" ] || fail "imports nothing"
for module in $modules; do
    case $(echo "$module" | tr 'A-Z' 'a-z') in
        ntoskrnl.exe|hal.dll|usbd.sys) ;;
        *) fail "imports from $module" ;;
    esac
done
echo "kdxlusb.sys: PE32+ x86-64, native subsystem, imports from:" $modules
