#!/bin/sh
# Authenticode-signs IN into OUT with LSMAC_CODESIGN_CERT and the key
# LSMAC_CODESIGN_KEY names: a PEM file, or an RFC 7512 pkcs11: URI of a key
# kept in a token, reached through the PKCS#11 module LSMAC_PKCS11_MODULE
# with the PIN LSMAC_PKCS11_PIN. With LSMAC_TIMESTAMP_URL (one or more RFC
# 3161 authorities, space-separated, tried in turn) the signature carries a
# timestamp, so that it stays valid after the certificate expires.
#
#   codesign.sh IN OUT
set -eu
in=$1 out=$2
set -- -certs "$LSMAC_CODESIGN_CERT" -key "$LSMAC_CODESIGN_KEY" -h sha256 -n lsmac
case $LSMAC_CODESIGN_KEY in
  pkcs11:*) set -- "$@" -pkcs11module "${LSMAC_PKCS11_MODULE:?names the PKCS#11 module of LSMAC_CODESIGN_KEY}" ;;
esac
for url in ${LSMAC_TIMESTAMP_URL:-}; do set -- "$@" -ts "$url"; done
# The PIN is read from a pipe, not given as an argument that ps would show.
printf '%s' "${LSMAC_PKCS11_PIN:-}" | osslsigncode sign "$@" ${LSMAC_PKCS11_PIN:+-readpass /dev/stdin} \
  -in "$in" -out "$out"
