#!/bin/sh
# Authenticode-signs an image:
#   sign_image.sh IN OUT CERTS KEY (TIMESTAMP_URL | TSA_CERTS TSA_KEY TIME_FILE)
# With a URL the timestamp comes from that service; otherwise it is made offline with the given
# timestamping certificate at the fixed time in TIME_FILE (Unix seconds, inside the certificates'
# validity), so that re-signing the same image gives the same file.
set -eu
in=$1 out=$2 certs=$3 key=$4
shift 4
if [ $# -eq 1 ]; then
    timestamp="-ts $1"
else
    time=$(cat "$3")
    timestamp="-TSA-certs $1 -TSA-key $2 -TSA-time $time -time $time"
fi
# osslsigncode refuses to overwrite its output; sign beside it and move into place (IN may be OUT).
rm -f "$out.tmp"
# shellcheck disable=SC2086
osslsigncode sign -certs "$certs" -key "$key" -h sha256 $timestamp -in "$in" -out "$out.tmp" >/dev/null
mv "$out.tmp" "$out"
