#!/usr/bin/env python3
"""Run on a host by lsmac.yml: puts the release key DOWNLOADED in place as
KEYRING only if it is one OpenPGP key, and that key's fingerprint is
FINGERPRINT; otherwise says why on standard error and exits 1, and apt is
never told to trust it. Python's standard library alone: hosts need not have
gpg.

    release_key.py FINGERPRINT DOWNLOADED KEYRING
"""
import hashlib
import os
import sys

PUBLIC_KEY = 6


def packets(data):
    """(tag, body) of each packet of a binary OpenPGP keyring."""
    at = 0
    while at < len(data):
        header = data[at]
        if not header & 0x80:
            raise ValueError("it is not a binary OpenPGP keyring")
        if header & 0x40:
            tag, first = header & 0x3F, data[at + 1]
            if first < 192:
                length, at = first, at + 2
            elif first < 224:
                length, at = ((first - 192) << 8) + data[at + 2] + 192, at + 3
            elif first == 255:
                length, at = int.from_bytes(data[at + 2:at + 6], "big"), at + 6
            else:
                raise ValueError("it has a packet of partial lengths")
        else:
            tag, size = (header >> 2) & 0x0F, 1 << (header & 3)
            if size > 4:
                raise ValueError("it has a packet of indeterminate length")
            length, at = int.from_bytes(data[at + 1:at + 1 + size], "big"), at + 1 + size
        if at + length > len(data):
            raise ValueError("it is cut short")
        yield tag, data[at:at + length]
        at += length


def fingerprint(body):
    if not body or body[0] != 4:
        raise ValueError("it holds a key that is not an OpenPGP version 4 key")
    return hashlib.sha1(b"\x99" + len(body).to_bytes(2, "big") + body).hexdigest().upper()


def main(pinned, downloaded, keyring):
    pinned = pinned.replace(" ", "").upper()
    with open(downloaded, "rb") as key:
        data = key.read()
    try:
        found = [fingerprint(body) for tag, body in packets(data) if tag == PUBLIC_KEY]
    except (ValueError, IndexError) as error:
        found, why = None, str(error)
    if found is not None:
        why = ("it holds no key" if not found else "it holds %d keys" % len(found) if len(found) > 1 else
               "its fingerprint is %s, not %s" % (found[0], pinned) if found[0] != pinned else None)
    if why:
        os.remove(downloaded)
        sys.exit("the release key was not trusted: %s" % why)
    os.chmod(downloaded, 0o644)
    os.replace(downloaded, keyring)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit("usage: release_key.py FINGERPRINT DOWNLOADED KEYRING")
    main(*sys.argv[1:])
