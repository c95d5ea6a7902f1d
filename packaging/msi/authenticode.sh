# Sourced by build-msi.sh: Authenticode signatures with osslsigncode, made with the
# operator's certificate and key, which the environment names:
#   QVL_SIGN_CERT           a PKCS#12 file (.p12, .pfx) with the certificate, its chain and
#                           the key; or, with QVL_SIGN_KEY, a PEM file of the certificate
#                           and its chain
#   QVL_SIGN_KEY            the PEM private key, where QVL_SIGN_CERT is PEM
#   QVL_SIGN_PASSWORD_FILE  the password of the PKCS#12 file or of the key, where they have one
#   QVL_SIGN_TIMESTAMP      an RFC 3161 time-stamp server's URL, so that the signature stays
#                           valid after the certificate expires; none unless given
qvl_sign_check() {
    command -v osslsigncode >/dev/null || { echo "osslsigncode is not installed" >&2; return 1; }
    [ -n "${QVL_SIGN_CERT:-}" ] || { echo "no certificate to sign with (QVL_SIGN_CERT)" >&2; return 1; }
    local f
    for f in "$QVL_SIGN_CERT" ${QVL_SIGN_KEY:+"$QVL_SIGN_KEY"} \
        ${QVL_SIGN_PASSWORD_FILE:+"$QVL_SIGN_PASSWORD_FILE"}; do
        [ -r "$f" ] || { echo "cannot read $f" >&2; return 1; }
    done
}
# qvl_sign FILE: signs FILE in place (SHA-256), or fails saying why.
qvl_sign() {
    local args=(sign -h sha256 -n "QUARVELIN Job Controller")
    if [ -n "${QVL_SIGN_KEY:-}" ]; then
        args+=(-certs "$QVL_SIGN_CERT" -key "$QVL_SIGN_KEY")
    else
        args+=(-pkcs12 "$QVL_SIGN_CERT")
    fi
    [ -z "${QVL_SIGN_PASSWORD_FILE:-}" ] || args+=(-readpass "$QVL_SIGN_PASSWORD_FILE")
    [ -z "${QVL_SIGN_TIMESTAMP:-}" ] || args+=(-ts "$QVL_SIGN_TIMESTAMP")
    if ! osslsigncode "${args[@]}" -in "$1" -out "$1.signed" >"$1.sign.log" 2>&1; then
        cat "$1.sign.log" >&2
        echo "$1 could not be signed" >&2
        rm -f "$1.signed" "$1.sign.log"
        return 1
    fi
    mv "$1.signed" "$1"
    rm -f "$1.sign.log"
}
