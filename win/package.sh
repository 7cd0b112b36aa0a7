#!/bin/sh
# make package: gathers in PACKAGE_DIR (default BUILD_DIR/package) what a person installs on
# Windows x64: kdxlusb.sys with an Authenticode signature, the public part of the certificate
# that signed it (kdxlusb-test.cer, DER), kdxlusb.inf, its catalog kdxlusb.cat (the SHA-256
# hashes of the INF and of the signed image, signed with the same certificate) and INSTALL.txt.
#
# The INF's DriverVer follows the build: the date of the commit built (UTC) and the version
# MAJOR.MINOR.COMMITS.0, MAJOR.MINOR as in win/kdxlusb.inf and COMMITS the number of commits
# up to it, so that every later build ranks above an earlier one in the driver store. Outside
# a git checkout the INF's own DriverVer is kept.
#
# The certificate is a throwaway self-signed test certificate. It and its private key are made
# with openssl in CERT_DIR (default BUILD_DIR/package-cert) when absent or about to expire, and
# kept there so that rebuilt packages stay trusted where the certificate was installed. Running
# again signs the current build again and overwrites the package.
#
#   win/package.sh BUILD_DIR [PACKAGE_DIR [CERT_DIR]]
set -eu
usage="usage: package.sh BUILD_DIR [PACKAGE_DIR [CERT_DIR]]"
build=${1:?$usage}
package=${2:-$build/package}
certs=${3:-$build/package-cert}
here=$(cd "$(dirname "$0")" && pwd)
image=$build/windows/kdxlusb.sys
subject="kdxlusb test signing"
fail() { echo "package: $*" >&2; exit 1; }

missing=
for tool in openssl osslsigncode python3; do
    command -v "$tool" >/dev/null 2>&1 || missing="$missing $tool"
done
[ -z "$missing" ] || fail "cannot sign without$missing (on Debian: apt-get install$missing)"
[ -f "$image" ] || fail "$image is not built: the Windows build needs x86_64-w64-mingw32-g++" \
    "(on Debian: apt-get install g++-mingw-w64-x86-64), then make"

key=$certs/key.pem
certificate=$certs/certificate.pem

# A self-signed RSA 3072 certificate for code signing, valid five years, and its key.
make_certificate()
{
    mkdir -p "$certs"
    cat > "$certs/certificate.cnf" <<EOF
[req]
prompt = no
distinguished_name = subject
x509_extensions = extensions
[subject]
CN = $subject
[extensions]
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
EOF
    (umask 077 && openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:3072 -out "$key")
    openssl req -x509 -new -key "$key" -sha256 -days 1825 -config "$certs/certificate.cnf" \
        -out "$certificate"
    echo "package: made the test certificate $certificate"
}

if [ ! -f "$key" ] || [ ! -f "$certificate" ] ||
   ! openssl x509 -in "$certificate" -noout -checkend 86400 >/dev/null; then
    make_certificate
fi

mkdir -p "$package"
rm -f "$package/kdxlusb.sys"
osslsigncode sign -certs "$certificate" -key "$key" -h sha256 \
    -n "kdxlusb USB serial port driver" -in "$image" -out "$package/kdxlusb.sys" >/dev/null ||
    fail "osslsigncode could not sign $image"
openssl x509 -in "$certificate" -outform DER -out "$package/kdxlusb-test.cer"

# DriverVer and the catalog's date from the commit built.
date=$(TZ=UTC git -C "$here" log -1 --format=%cd --date=format-local:%m/%d/%Y 2>/dev/null) ||
    date=
catalog_date=700101000000Z
if [ -n "$date" ]; then
    commits=$(git -C "$here" rev-list --count HEAD)
    catalog_date=$(TZ=UTC git -C "$here" log -1 --format=%cd --date=format-local:%y%m%d%H%M%SZ)
    sed "s|^\(DriverVer *= *\)[^,]*,\([0-9]*\.[0-9]*\)\.[0-9]*\.[0-9]*|\1$date,\2.$commits.0|" \
        "$here/kdxlusb.inf" > "$package/kdxlusb.inf"
else
    cp "$here/kdxlusb.inf" "$package/kdxlusb.inf"
fi

# The catalog of what the INF installs and of the INF itself, signed as the image is.
rm -f "$package/kdxlusb.cat"
python3 "$here/makecat.py" --os 2:10.0 --date "$catalog_date" "$package/kdxlusb.cat.unsigned" \
    "$package/kdxlusb.inf" "$package/kdxlusb.sys" || fail "makecat.py could not make the catalog"
osslsigncode sign -certs "$certificate" -key "$key" -h sha256 \
    -in "$package/kdxlusb.cat.unsigned" -out "$package/kdxlusb.cat" >/dev/null ||
    fail "osslsigncode could not sign the catalog"
rm -f "$package/kdxlusb.cat.unsigned"
# Windows line ends, for Notepad.
sed 's/$/\r/' "$here/INSTALL.txt" > "$package/INSTALL.txt"

thumbprint=$(openssl x509 -in "$certificate" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
echo "package: $package (kdxlusb.sys and kdxlusb.cat signed by CN=$subject," \
    "SHA-1 thumbprint $thumbprint)"
