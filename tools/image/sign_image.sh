#!/bin/sh
# Authenticode-signs an image:
#   sign_image.sh IN OUT [--pkcs11-module MODULE] [--pkcs11-engine ENGINE] [--extra-certs PEM]
#                 CERTS KEY (TIMESTAMP_URL | TSA_CERTS TSA_KEY TIME_FILE)
# CERTS is a PEM chain (leaf first), KEY a PEM key file. With --pkcs11-module the key stays in a
# token or HSM: KEY is its PKCS#11 URI, and CERTS a PEM chain or the PKCS#11 URI of the leaf on
# the token (then --extra-certs adds the intermediates, which tokens rarely hold). The PIN comes
# from the URI's pin-source=file:... or from SETUP_VANNIX_PKCS11_PIN in the environment, which is
# handed to osslsigncode on its standard input so that it shows on no command line.
# osslsigncode 2.9 reaches the module through OpenSSL's "pkcs11" engine (libengine-pkcs11-openssl);
# --pkcs11-engine names another engine file.
# With a URL the timestamp comes from that service; otherwise it is made offline with the given
# timestamping certificate at the fixed time in TIME_FILE (Unix seconds, inside the certificates'
# validity), so that the signer's part of the signature is the same at every signing.
# IN may be OUT. A failed signing prints why and leaves no OUT (unless OUT is IN).
set -eu
usage() {
    echo "usage:" >&2
    sed -n '3,4s/^#//p' "$0" >&2
    exit 2
}
[ $# -ge 2 ] || usage
in=$1 out=$2
shift 2
module="" engine="" extra=""
while [ $# -gt 0 ]; do
    case $1 in
        --pkcs11-module) module=$2; shift 2 ;;
        --pkcs11-engine) engine=$2; shift 2 ;;
        --extra-certs) extra=$2; shift 2 ;;
        --*) echo "sign_image.sh: unknown option $1" >&2; usage ;;
        *) break ;;
    esac
done
[ $# -eq 3 ] || [ $# -eq 5 ] || usage
certs=$1 key=$2
shift 2

# The argument list is built in "$@", so that paths and URIs stay single words.
if [ $# -eq 1 ]; then
    set -- -ts "$1"
else
    time=$(cat "$3")
    set -- -TSA-certs "$1" -TSA-key "$2" -TSA-time "$time" -time "$time"
fi
set -- "$@" -h sha256 -key "$key"
pin_on_stdin=no
if [ -n "$module" ]; then
    set -- "$@" -pkcs11module "$module"
    [ -z "$engine" ] || set -- "$@" -pkcs11engine "$engine"
    case $certs in
        pkcs11:*) set -- "$@" -pkcs11cert "$certs" ;;
        *) set -- "$@" -certs "$certs" ;;
    esac
    if [ -n "${SETUP_VANNIX_PKCS11_PIN+set}" ]; then
        set -- "$@" -readpass -
        pin_on_stdin=yes
    fi
else
    set -- "$@" -certs "$certs"
fi
[ -z "$extra" ] || set -- "$@" -ac "$extra"

# osslsigncode refuses to overwrite its output; sign beside it and move into place (IN may be OUT).
# It reports errors on standard output, which is kept for a failure.
rm -f "$out.tmp"
status=0
if [ "$pin_on_stdin" = yes ]; then
    log=$(printf '%s\n' "$SETUP_VANNIX_PKCS11_PIN" |
          osslsigncode sign "$@" -in "$in" -out "$out.tmp" 2>&1) || status=$?
else
    log=$(osslsigncode sign "$@" -in "$in" -out "$out.tmp" 2>&1 </dev/null) || status=$?
fi
if [ "$status" -ne 0 ] || [ ! -s "$out.tmp" ]; then
    printf '%s\n' "$log" >&2
    rm -f "$out.tmp"
    [ "$in" = "$out" ] || rm -f "$out"
    case $log in
        *"PIN incorrect"*) why="the token refused the PIN" ;;
        *"UI_process"*) why="no PIN: set SETUP_VANNIX_PKCS11_PIN or pin-source=file:... in the key URI" ;;
        *"Unable to load PKCS#11 module"*) why="cannot load the PKCS#11 module $module" ;;
        *"load 'pkcs11' engine"*) why="OpenSSL has no pkcs11 engine (Debian: libengine-pkcs11-openssl)" ;;
        *"private key was not found"*) why="no private key at $key" ;;
        *) why="osslsigncode failed (see above)" ;;
    esac
    echo "sign_image.sh: cannot sign $in: $why" >&2
    exit 1
fi
mv "$out.tmp" "$out"
