#!/usr/bin/env bash
# Authenticode for real: a throw-away certificate authority issues a code-signing
# certificate; build-msi.sh signs every executable, the DLL and the MSI with it (as a
# PKCS#12 file, and a PEM certificate with its key); osslsigncode verifies each against that
# authority (and not against the machine's own authorities), refuses a file altered after
# signing, and Wine's msiexec installs the signed MSI, whose installed files are the signed
# ones.
#   signing_test.sh BUILD_DIR SOURCE_DIR VERSION ARCH RESULT_XML RUNNER
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../support/result_xml.sh"
build=$1 src=$2 version=$3 arch=$4 result=$5 runner=$6
suite=Authenticode
if ! command -v osslsigncode >/dev/null; then
    write_skipped_xml "$result" $suite SignVerifyInstall "osslsigncode is not installed"
    exit 0
fi
work=$(mktemp -d)
scratch=""
if [ -z "${WINEPREFIX:-}" ]; then  # by hand: a prefix of its own
    scratch=$work/prefix
    export WINEPREFIX=$scratch
fi
export WINEDEBUG=-all
trap '[ -z "$scratch" ] || WINEPREFIX=$scratch wineserver -k >/dev/null 2>&1; rm -rf "$work"' EXIT
failure=""
fail() { failure="${failure}$1; "; echo "FAILED: $1"; }
verify() { osslsigncode verify -CAfile "$work/ca.pem" -in "$1" >"$work/verify.log" 2>&1; }

echo "== a throw-away authority and the code-signing certificate it issues"
(
    cd "$work" && set -e
    openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 \
        -subj "/CN=qvljobctl throw-away test authority" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
    openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=QUARVELIN test signer"
    printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >ext
    openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile ext \
        -out signer.pem
    echo 'a throw-away password' >password
    openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem -passout file:password \
        -out signer.p12
) >"$work/ca.log" 2>&1 || { cat "$work/ca.log"; fail "the throw-away authority could not be made"; }

echo "== the MSI built signed, with the PKCS#12 file"
signed_pkcs12=""
QVL_SIGN_CERT=$work/signer.p12 QVL_SIGN_PASSWORD_FILE=$work/password \
    bash "$src/packaging/msi/build-msi.sh" "$build/bin" "$src" "$version" "$work/signed" "$arch" signed ||
    signed_pkcs12="build-msi.sh could not sign; "
files=$(ls "$work"/signed/*.exe "$work"/signed/*.EXE "$work"/signed/*.dll "$work"/signed/*.msi 2>/dev/null)
[ "$(echo "$files" | grep -c .)" = 8 ] || signed_pkcs12="${signed_pkcs12}not 8 signed files: $files; "
for f in $files; do
    if verify "$f"; then
        echo "verified: $(basename "$f")"
    else
        cat "$work/verify.log"; signed_pkcs12="$signed_pkcs12$(basename "$f") does not verify; "
    fi
    osslsigncode verify -in "$f" >/dev/null 2>&1 &&
        signed_pkcs12="$signed_pkcs12$(basename "$f") verifies against the machine's own authorities; "
done

echo "== one file signed with the PEM certificate and its key"
signed_pem=""
cp "$build/bin/qvlping.exe" "$work/pem.exe"
(. "$src/packaging/msi/authenticode.sh" && QVL_SIGN_CERT=$work/signer.pem QVL_SIGN_KEY=$work/signer.key \
    qvl_sign "$work/pem.exe") && verify "$work/pem.exe" || signed_pem="the PEM pair did not sign qvlping.exe"

echo "== altered after signing: refused"
altered=""
msi=$(ls "$work"/signed/*.msi 2>/dev/null | head -1)
for f in QVLJOBCTL.EXE "$(basename "${msi:-none.msi}")"; do
    [ -f "$work/signed/$f" ] || { altered="$altered$f was not made; "; continue; }
    cp "$work/signed/$f" "$work/altered-$f"
    printf 'X' | dd of="$work/altered-$f" bs=1 seek=$(($(stat -c %s "$work/altered-$f") / 3)) \
        conv=notrunc status=none
    if verify "$work/altered-$f"; then
        altered="$altered$f altered after signing still verifies; "
    else
        echo "refused: $f altered ($(grep -m1 MISMATCH "$work/verify.log" | tr -s ' '))"
    fi
done

echo "== the signed MSI installed by Wine's msiexec, and uninstalled"
installed=""
win() { "$runner" "$@" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }
win cmd /c exit >/dev/null
# Into the folder the MSI chooses itself, under the program files' folder of its width.
win msiexec /i "Z:$msi" /qn || installed="msiexec did not install the signed MSI; "
target=$(ls -d "$WINEPREFIX"/drive_c/Program\ Files*/QUARVELIN 2>/dev/null | head -1)
[ -n "$target" ] || installed="${installed}nothing in C:\Program Files*\QUARVELIN; "
cmp -s "$target/QVLJOBCTL.EXE" "$work/signed/QVLJOBCTL.EXE" && verify "$target/QVLJOBCTL.EXE" ||
    installed="${installed}the installed QVLJOBCTL.EXE is not the signed one; "
out=$(win "C:\\${target#"$WINEPREFIX"/drive_c/}/QVLJOBCTL.EXE" -version)
echo "$out"
[ "$out" = "qvljobctl $version" ] || installed="${installed}the signed controller did not run; "
win msiexec /x "Z:$msi" /qn || installed="${installed}its uninstall failed; "
[ ! -e "$target/QVLJOBCTL.EXE" ] || installed="${installed}the uninstall left the controller; "

write_results_xml "$result" $suite SignedWithPkcs12AndVerified "$signed_pkcs12" \
    SignedWithPemAndVerified "$signed_pem" AlteredFileRefused "$altered" \
    SignedMsiInstalledByWine "$installed"
failure="$failure$signed_pkcs12$signed_pem$altered$installed"
[ -z "$failure" ] || { echo "FAILED: $failure"; exit 1; }
echo passed
