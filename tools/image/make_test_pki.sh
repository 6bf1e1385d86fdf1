#!/bin/sh
# Creates a local test PKI for signing without a network, once: a root CA, an intermediate CA
# (pathlen 0), a code-signing leaf and a timestamping certificate, all RSA/SHA-256 with 2048-bit
# keys (a test PKI: larger keys only made the build wait for key generation).
# Writes into DIR: root.pem, chain.pem (leaf, intermediate, root), leaf.key, tsa.pem, tsa.key,
# and time: the creation time (Unix seconds), a timestamp time at which every certificate is valid.
# An existing complete PKI is kept, so signatures stay verifiable across rebuilds.
set -eu
dir=$1
[ -s "$dir/chain.pem" ] && [ -s "$dir/tsa.key" ] && [ -s "$dir/time" ] && exit 0
mkdir -p "$dir"
work=$(mktemp -d "$dir/.work.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

cat > ext.cnf <<'CNF'
[intermediate]
basicConstraints = critical, CA:true, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[leaf]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[tsa]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF

key() { openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:"$2" -out "$1.key"; }
# issue NAME SUBJECT ISSUER SECTION
issue() {
    openssl req -new -key "$1.key" -subj "/O=setup_vannix test PKI/CN=$2" -out "$1.csr"
    openssl x509 -req -sha256 -days 7300 -in "$1.csr" -CA "$3.pem" -CAkey "$3.key" \
        -set_serial "0x$(openssl rand -hex 8)" -extfile ext.cnf -extensions "$4" -out "$1.pem" 2>/dev/null
}

key root 2048
openssl req -new -x509 -sha256 -days 7300 -key root.key -subj "/O=setup_vannix test PKI/CN=Test Root CA" \
    -addext "basicConstraints=critical,CA:true" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -addext "subjectKeyIdentifier=hash" -out root.pem
key intermediate 2048
issue intermediate "Test Intermediate CA" root intermediate
key leaf 2048
issue leaf "Test Code Signing" intermediate leaf
key tsa 2048
issue tsa "Test Timestamping" intermediate tsa

cat leaf.pem intermediate.pem root.pem > chain.pem
cat tsa.pem intermediate.pem root.pem > tsa-chain.pem
cp root.pem leaf.key tsa.key "$dir/"
cp tsa-chain.pem "$dir/tsa.pem"
cp chain.pem "$dir/chain.pem"
date +%s > "$dir/time"
