#!/usr/bin/env python3
"""Run on a host by lsmac.yml: puts the release key DOWNLOADED in place as
KEYRING only if it is one OpenPGP key, and that key's fingerprint is
FINGERPRINT; otherwise removes it, says why on standard error and exits 1,
and apt is never told to trust it. Python's standard library alone: hosts
need not have gpg.

    release_key.py FINGERPRINT DOWNLOADED KEYRING
"""
import hashlib
import os
import sys

PUBLIC_KEY = 6


def packets(data):
    """(tag, body) of each packet of a binary keyring as gpg exports it, in
    packets with old-format headers of a definite length."""
    at = 0
    while at < len(data):
        header = data[at]
        if header & 0xC0 != 0x80 or header & 3 == 3:
            raise ValueError("it is not a binary OpenPGP keyring")
        size = 1 << (header & 3)
        length, at = int.from_bytes(data[at + 1:at + 1 + size], "big"), at + 1 + size
        if at + length > len(data):
            raise ValueError("it is cut short")
        yield (header >> 2) & 0x0F, data[at:at + length]
        at += length


def fingerprint(body):
    """A version 4 key's; any other key's differs from every one pinned."""
    return hashlib.sha1(b"\x99" + len(body).to_bytes(2, "big") + body).hexdigest().upper()


def main(pinned, downloaded, keyring):
    pinned = pinned.replace(" ", "").upper()
    with open(downloaded, "rb") as key:
        data = key.read()
    try:
        found = [fingerprint(body) for tag, body in packets(data) if tag == PUBLIC_KEY]
        why = ("it holds no key" if not found else "it holds %d keys" % len(found) if len(found) > 1 else
               "its fingerprint is %s, not %s" % (found[0], pinned) if found[0] != pinned else None)
    except ValueError as error:
        why = str(error)
    if why:
        os.remove(downloaded)
        sys.exit("the release key was not trusted: %s" % why)
    os.chmod(downloaded, 0o644)
    os.replace(downloaded, keyring)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit("usage: release_key.py FINGERPRINT DOWNLOADED KEYRING")
    main(*sys.argv[1:])
