#!/bin/sh
# Builds the Windows package twice into a temporary directory with win/package.sh, as
# `make package` does, and checks what Windows will check of it without Windows: the
# Authenticode signature of kdxlusb.sys against the shipped test certificate, the signed image
# still a kernel-mode driver, the catalog kdxlusb.cat signed and holding the hashes of the
# image and of the INF (and a copy of either with one byte changed refused), and kdxlusb.inf
# naming the catalog and installing that image as the function driver of the device the
# driver names VLT<n> ports for, in the Ports class.
#
#   win/check-package.sh BUILD_DIR
set -eu
build=${1:?usage: check-package.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
fail() { printf 'package check failed: %s\n' "$*" >&2; exit 1; }
# echo, without dash's reading of backslashes (the INF is full of them).
say() { printf '%s\n' "$*"; }

for tool in osslsigncode openssl python3; do
    command -v "$tool" >/dev/null 2>&1 || { echo "skipped: $tool is not installed"; exit 77; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
package=$work/package
sh "$here/package.sh" "$build" "$package" "$work/cert" >/dev/null || fail "package.sh failed"
cp "$package/kdxlusb-test.cer" "$work/first.cer"
sh "$here/package.sh" "$build" "$package" "$work/cert" >/dev/null || fail "package.sh failed again"
cmp -s "$work/first.cer" "$package/kdxlusb-test.cer" ||
    fail "the second run made a new certificate instead of reusing the first"

contents=$(cd "$package" && ls | tr '\n' ' ')
[ "$contents" = "INSTALL.txt kdxlusb-test.cer kdxlusb.cat kdxlusb.inf kdxlusb.sys " ] ||
    fail "the package holds: $contents"
# The INF is win/kdxlusb.inf with DriverVer set from the commit built.
grep -v '^DriverVer' "$here/kdxlusb.inf" > "$work/source.inf"
grep -v '^DriverVer' "$package/kdxlusb.inf" > "$work/package.inf"
cmp -s "$work/source.inf" "$work/package.inf" ||
    fail "kdxlusb.inf differs from win/kdxlusb.inf in more than DriverVer"
if date=$(TZ=UTC git -C "$here" log -1 --format=%cd --date=format-local:%m/%d/%Y 2>/dev/null)
then
    version=$(sed -n 's/^DriverVer *= *[^,]*,\([0-9]*\.[0-9]*\)\..*/\1/p' "$here/kdxlusb.inf")
    expected="DriverVer   = $date,$version.$(git -C "$here" rev-list --count HEAD).0"
    [ "$(grep '^DriverVer' "$package/kdxlusb.inf")" = "$expected" ] ||
        fail "kdxlusb.inf has $(grep '^DriverVer' "$package/kdxlusb.inf"), not $expected"
fi

# The certificate: self-signed, RSA of 2048 bits or more, SHA-256, for code signing.
certificate=$(openssl x509 -inform DER -in "$package/kdxlusb-test.cer" -noout -text) ||
    fail "kdxlusb-test.cer is not a DER certificate"
bits=$(say "$certificate" | sed -n 's/.*Public-Key: (\([0-9]*\) bit).*/\1/p')
[ "${bits:-0}" -ge 2048 ] || fail "the certificate's key has ${bits:-no} bits"
say "$certificate" | grep -q 'Signature Algorithm: sha256WithRSAEncryption' ||
    fail "the certificate is not signed with SHA-256 and RSA"
say "$certificate" | grep -q 'Code Signing' || fail "the certificate is not for code signing"
certificate_name()
{
    openssl x509 -inform DER -in "$package/kdxlusb-test.cer" -noout -"$1" | sed "s/^$1=//"
}
issuer=$(certificate_name issuer)
owner=$(certificate_name subject)
[ "$issuer" = "$owner" ] || fail "the certificate is issued by $issuer to $owner, not self-signed"

# The signature, trusting the shipped certificate alone. A PE checksum left stale by signing
# only warns in osslsigncode, but Windows checks the checksum of every driver it loads.
openssl x509 -inform DER -in "$package/kdxlusb-test.cer" -out "$work/trusted.pem"
verified=$(osslsigncode verify -CAfile "$work/trusted.pem" -in "$package/kdxlusb.sys" 2>&1) ||
    fail "osslsigncode does not accept the signature of kdxlusb.sys: $verified"
say "$verified" | grep -Eq '^Message digest algorithm[[:space:]]*: SHA256' ||
    fail "kdxlusb.sys is not signed with a SHA-256 digest"
if say "$verified" | grep -q 'invalid PE checksum'; then
    fail "the signed kdxlusb.sys has a stale PE checksum"
fi
sh "$here/check-image.sh" "$package/kdxlusb.sys" >/dev/null

# The image signed is the one built: its Authenticode digest, which leaves out the checksum
# and the signature, is that of the build signed here again.
digest() { say "$1" | sed -n 's/^Current message digest[[:space:]]*: *\([0-9A-F]*\).*/\1/p'; }
osslsigncode sign -certs "$work/cert/certificate.pem" -key "$work/cert/key.pem" -h sha256 \
    -in "$build/windows/kdxlusb.sys" -out "$work/reference.sys" >/dev/null
reference=$(osslsigncode verify -CAfile "$work/trusted.pem" -in "$work/reference.sys" 2>&1)
[ -n "$(digest "$verified")" ] && [ "$(digest "$verified")" = "$(digest "$reference")" ] ||
    fail "the package's kdxlusb.sys (digest $(digest "$verified")) is not the build's" \
        "$build/windows/kdxlusb.sys (digest $(digest "$reference"))"

# The Authenticode hash makecat.py computes is osslsigncode's, for the image as built and for
# one whose length is not a multiple of 8 (hashed as signing will pad it).
built=$(python3 "$here/makecat.py" --pe-hash "$build/windows/kdxlusb.sys")
[ "$built" = "$(digest "$reference")" ] ||
    fail "makecat.py hashes $build/windows/kdxlusb.sys differently from osslsigncode"
{ cat "$build/windows/kdxlusb.sys"; printf 'odd'; } > "$work/odd.sys"
osslsigncode sign -certs "$work/cert/certificate.pem" -key "$work/cert/key.pem" -h sha256 \
    -in "$work/odd.sys" -out "$work/odd-signed.sys" >/dev/null
odd=$(osslsigncode verify -CAfile "$work/trusted.pem" -in "$work/odd-signed.sys" 2>&1)
[ "$(python3 "$here/makecat.py" --pe-hash "$work/odd.sys")" = "$(digest "$odd")" ] ||
    fail "makecat.py hashes an image of odd length differently from osslsigncode"

# The catalog: its signature by the shipped certificate, and its members.
catalog=$(osslsigncode verify -CAfile "$work/trusted.pem" -in "$package/kdxlusb.cat" 2>&1) ||
    fail "osslsigncode does not accept the signature of kdxlusb.cat: $catalog"
members=$(openssl asn1parse -inform DER -in "$package/kdxlusb.cat") ||
    fail "kdxlusb.cat does not parse"
say "$members" | grep -q 'OBJECT *:1.3.6.1.4.1.311.10.1$' ||
    fail "kdxlusb.cat does not hold a certificate trust list"
say "$members" | grep -q 'OBJECT *:1.3.6.1.4.1.311.12.1.3$' ||
    fail "kdxlusb.cat is not a catalog of SHA-256 members"
# kdxlusb.sys is a member when osslsigncode finds it in the catalog (by its Authenticode hash)
# and accepts the catalog's signature.
image_in_catalog()
{
    osslsigncode verify -CAfile "$work/trusted.pem" -in "$1" -catalog "$package/kdxlusb.cat" \
        >/dev/null 2>&1
}
# The INF is a member when its SHA-256 hash is the digest of one member and, as UTF-16
# upper-case hexadecimal, that member's tag.
inf_in_catalog()
{
    hash=$(openssl dgst -sha256 -r "$1" | cut -c1-64 | tr a-f A-F)
    tag=$(printf '%s' "$hash" | od -An -tx1 | tr -d ' \n' | sed 's/../&00/g' | tr a-f A-F)
    say "$members" | grep -q "OCTET STRING *\[HEX DUMP\]:$hash\$" &&
        say "$members" | grep -q "OCTET STRING *\[HEX DUMP\]:$tag\$"
}
image_in_catalog "$package/kdxlusb.sys" ||
    fail "kdxlusb.sys does not verify against kdxlusb.cat"
inf_in_catalog "$package/kdxlusb.inf" || fail "the hash of kdxlusb.inf is not in kdxlusb.cat"
# One byte changed in a copy of either, and the catalog no longer covers it.
cp "$package/kdxlusb.sys" "$work/tampered.sys"
printf 'X' | dd of="$work/tampered.sys" bs=1 seek=4096 conv=notrunc 2>/dev/null
! image_in_catalog "$work/tampered.sys" || fail "a changed kdxlusb.sys still verifies"
sed '1s/^;/#/' "$package/kdxlusb.inf" > "$work/tampered.inf"
! inf_in_catalog "$work/tampered.inf" || fail "a changed kdxlusb.inf is still in the catalog"

# kdxlusb.inf as "section|key|value" records, one per line: sections in lower case,
# comments and the blanks around keys and values gone; a line without "=" has an empty key,
# a section header the key "[".
records=$(awk '
    {
        sub(/\r$/, ""); line = ""; quoted = 0
        for (i = 1; i <= length($0); i++) {
            c = substr($0, i, 1)
            if (c == "\"") quoted = !quoted
            if (c == ";" && !quoted) break
            line = line c
        }
        gsub(/^[ \t]+|[ \t]+$/, "", line)
        if (line == "") next
        if (line ~ /^\[.*\]$/) {
            section = tolower(substr(line, 2, length(line) - 2)); print section "|[|"; next
        }
        key = ""; value = line
        if ((at = index(line, "=")) > 0) {
            key = substr(line, 1, at - 1); value = substr(line, at + 1)
            gsub(/[ \t]+$/, "", key); gsub(/^[ \t]+/, "", value)
        }
        print section "|" key "|" value
    }' "$package/kdxlusb.inf")

# The value of KEY in SECTION, both case-insensitive; empty when absent.
value()
{
    say "$records" | awk -F'|' -v s="$1" -v k="$2" \
        '$1 == tolower(s) && tolower($2) == tolower(k) { print $3; exit }'
}
# The lines of SECTION that have no key.
entries()
{
    say "$records" |
        awk -F'|' -v s="$(say "$1" | tr 'A-Z' 'a-z')" '$1 == s && $2 == "" { print $3 }'
}
# Field N of the comma-separated VALUE, trimmed.
field() { say "$1" | cut -d, -f"$2" | sed 's/^[[:space:]]*//; s/[[:space:]]*$//'; }
has_section() { say "$records" | grep -qxF "$(say "$1" | tr 'A-Z' 'a-z')|[|"; }
same() { [ "$(say "$1" | tr 'a-z' 'A-Z')" = "$(say "$2" | tr 'a-z' 'A-Z')" ]; }
expect()
{
    same "$3" "$4" || fail "kdxlusb.inf: [$1] $2 is ${3:-missing}, not $4"
}

expect Version Signature "$(value Version Signature)" '"$WINDOWS NT$"'
expect Version Class "$(value Version Class)" Ports
expect Version ClassGuid "$(value Version ClassGuid)" '{4D36E978-E325-11CE-BFC1-08002BE10318}'
expect Version CatalogFile "$(value Version CatalogFile)" kdxlusb.cat
catalog=$(value Version CatalogFile.NTamd64)
[ -z "$catalog" ] || [ -f "$package/$catalog" ] ||
    fail "kdxlusb.inf names the catalog $catalog, which the package lacks"

# The models for x64, and in them the hardware ID of the product the driver numbers VLT ports
# for, read from the driver's header.
manufacturer=$(say "$records" | awk -F'|' '$1 == "manufacturer" && $2 != "[" { print $3; exit }')
models=$(field "$manufacturer" 1)
say "$manufacturer" | cut -d, -f2- | grep -qi 'NTamd64' ||
    fail "kdxlusb.inf: [Manufacturer] has no NTamd64 models: $manufacturer"
product=$(sed -n 's/^#define KDX_PRODUCT_NUMBERED_PORT 0x\([0-9A-Fa-f]*\).*/\1/p' \
    "$here/../sys/kdxlusb.h")
[ -n "$product" ] || fail "KDX_PRODUCT_NUMBERED_PORT is not in sys/kdxlusb.h"
hardware_id=$(printf 'USB\\VID_0000&PID_%04X' "0x$product")
install=$(say "$records" | awk -F'|' -v s="$(say "$models.NTamd64" | tr 'A-Z' 'a-z')" '
    $1 == s && $2 != "[" { print $3 }' | while read -r model; do
        if same "$(field "$model" 2)" "$hardware_id"; then field "$model" 1; fi
    done)
[ -n "$install" ] || fail "kdxlusb.inf: [$models.NTamd64] does not match $hardware_id"

# Windows uses the most decorated install section there is.
for decoration in .NTamd64 .NT ""; do
    if has_section "$install$decoration"; then
        install=$install$decoration
        break
    fi
done
has_section "$install" || fail "kdxlusb.inf: the install section $install is missing"

# kdxlusb.sys copied from disk 1 to the drivers directory (12).
copied=
for list in $(value "$install" CopyFiles | tr ',' ' '); do
    case $list in
        @*) same "$list" @kdxlusb.sys && copied=$list ;;
        *)
            if entries "$list" | cut -d, -f1 | grep -qixF kdxlusb.sys; then
                copied=$list
                destination=$(value DestinationDirs "$list")
                [ -n "$destination" ] || destination=$(value DestinationDirs DefaultDestDir)
                expect DestinationDirs "$list" "$(field "$destination" 1)" 12
            fi ;;
    esac
done
[ -n "$copied" ] || fail "kdxlusb.inf: the CopyFiles of [$install] do not copy kdxlusb.sys"
disk=$(field "$(value SourceDisksFiles kdxlusb.sys)$(value SourceDisksFiles.amd64 kdxlusb.sys)" 1)
[ -n "$disk" ] || fail "kdxlusb.inf: kdxlusb.sys is not in [SourceDisksFiles]"
[ -n "$(value SourceDisksNames "$disk")$(value SourceDisksNames.amd64 "$disk")" ] ||
    fail "kdxlusb.inf: disk $disk of kdxlusb.sys is not in [SourceDisksNames]"

# The service kdxlusb, a kernel driver from %12%\kdxlusb.sys, as the device's function driver
# (flag 0x2).
service=$(value "$install.Services" AddService)
expect "$install.Services" "AddService name" "$(field "$service" 1)" kdxlusb
[ $(($(field "$service" 2) & 2)) -ne 0 ] ||
    fail "kdxlusb.inf: AddService flags $(field "$service" 2) do not make kdxlusb" \
        "the function driver"
section=$(field "$service" 3)
expect "$section" ServiceBinary "$(value "$section" ServiceBinary)" '%12%\kdxlusb.sys'
expect "$section" ServiceType "$(value "$section" ServiceType)" 1

# Every %string% used is defined in [Strings] (%12% and other numbers are directory IDs).
for token in $(say "$records" | cut -d'|' -f2- | grep -o '%[^%]*%' | sort -u); do
    name=$(say "$token" | tr -d %)
    case $name in *[!0-9]*) ;; *) continue ;; esac
    [ -n "$(value Strings "$name")" ] || fail "kdxlusb.inf: $token is not in [Strings]"
done

say "package: kdxlusb.sys and kdxlusb.cat signed and verified, both files in the catalog;" \
    "kdxlusb.inf installs service kdxlusb for $hardware_id in class Ports"
