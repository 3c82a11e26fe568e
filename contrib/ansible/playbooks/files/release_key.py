#!/usr/bin/env python3
"""Run on a host by the fleet playbook: puts the release key DOWNLOADED in
place as KEYRING only if it is one OpenPGP key, and that key's fingerprint
is FINGERPRINT; otherwise removes it, says why on standard error and exits
1, and neither apt nor rpm is told to trust it. With --armor, KEYRING is the
key ASCII-armored, the only form rpm imports. Python's standard library
alone: hosts need not have gpg.

Run on the controller with --version: prints the version of the release
published at URL, as its APT repository's InRelease states it, signed by
that key and not expired; otherwise says why and exits 1. This needs gpgv.

    release_key.py [--armor] FINGERPRINT DOWNLOADED KEYRING
    release_key.py --version FINGERPRINT URL
"""
import base64
import email.utils
import hashlib
import os
import subprocess
import sys
import tempfile
import time
import urllib.request

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


def armored(data):
    """DATA as a public key block, with the CRC-24 checksum rpm requires."""
    crc = 0xB704CE
    for byte in data:
        crc ^= byte << 16
        for _ in range(8):
            crc = crc << 1 ^ (0x1864CFB if crc & 0x800000 else 0)
    text = base64.b64encode(data).decode()
    return "\n".join(["-----BEGIN PGP PUBLIC KEY BLOCK-----", ""] +
                     [text[at:at + 64] for at in range(0, len(text), 64)] +
                     ["=" + base64.b64encode(crc.to_bytes(3, "big")).decode(),
                      "-----END PGP PUBLIC KEY BLOCK-----", ""]).encode()


def untrusted(pinned, data):
    """Why DATA is not the one key PINNED names, or None."""
    try:
        found = [fingerprint(body) for tag, body in packets(data) if tag == PUBLIC_KEY]
    except ValueError as error:
        return str(error)
    return ("it holds no key" if not found else "it holds %d keys" % len(found) if len(found) > 1 else
            "its fingerprint is %s, not %s" % (found[0], pinned) if found[0] != pinned else None)


def install(pinned, downloaded, keyring, armor):
    with open(downloaded, "rb") as key:
        data = key.read()
    why = untrusted(pinned, data)
    if why:
        os.remove(downloaded)
        sys.exit("the release key was not trusted: %s" % why)
    if armor:
        with open(downloaded, "wb") as key:
            key.write(armored(data))
    os.chmod(downloaded, 0o644)
    os.replace(downloaded, keyring)


def released_version(pinned, url):
    def fetch(path):
        with urllib.request.urlopen(url + path, timeout=60) as reply:
            return reply.read()
    key = fetch("/lsmac-archive-keyring.gpg")
    why = untrusted(pinned, key)
    if why:
        sys.exit("the release key was not trusted: %s" % why)
    with tempfile.NamedTemporaryFile() as keyring:
        keyring.write(key)
        keyring.flush()
        checked = subprocess.run(["gpgv", "--keyring", keyring.name, "--output", "-", "-"],
                                 input=fetch("/apt/dists/stable/InRelease"), capture_output=True)
    if checked.returncode != 0:
        sys.exit("InRelease is not signed by the release key: %s" % checked.stderr.decode(errors="replace").strip())
    fields = dict(line.split(": ", 1) for line in checked.stdout.decode().splitlines() if ": " in line)
    if "Valid-Until" not in fields or "Version" not in fields:
        sys.exit("InRelease states no Valid-Until or no Version")
    if email.utils.parsedate_to_datetime(fields["Valid-Until"]).timestamp() < time.time():
        sys.exit("InRelease expired on %s" % fields["Valid-Until"])
    print(fields["Version"])


if __name__ == "__main__":
    arguments = sys.argv[1:]
    if arguments[:1] == ["--version"] and len(arguments) == 3:
        released_version(arguments[1].replace(" ", "").upper(), arguments[2].rstrip("/"))
        sys.exit(0)
    armor = arguments[:1] == ["--armor"]
    if len(arguments) - armor != 3:
        sys.exit("usage: release_key.py [--armor] FINGERPRINT DOWNLOADED KEYRING\n"
                 "       release_key.py --version FINGERPRINT URL")
    install(arguments[armor].replace(" ", "").upper(), *arguments[armor + 1:], armor)
