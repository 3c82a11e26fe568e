#!/usr/bin/env python3
"""Writes OUTDIR/lsmac-VERSION.intoto.jsonl: one DSSE envelope a line, each an
in-toto Statement v1 of SLSA v1 provenance for one build of the release.
Every file SHA256SUMS names is the subject of exactly one: a target's
packages and their bills of materials that target's, the rest the release's
own. Each envelope is signed with KEY (an Ed25519 or ECDSA P-256 key in a
PEM file, or an ECDSA P-256 pkcs11: URI through OPENSSL_CONF's engine) over
DSSE's pre-authentication encoding. The same inputs, SOURCE_DATE_EPOCH and an
Ed25519 key give the same bytes.

    provenance.py OUTDIR VERSION COMMIT BUILDS PARAMETERS KEY PUBLIC-PEM
    provenance.py --key-type PUBLIC-PEM   (ed25519 or ecdsa-p256)

BUILDS has a line per target: its name, its files (space-separated), the
Built-Using its executables carry and the Debian packages that built it, all
tab-separated. PARAMETERS is the release variables' JSON object.
"""
import base64
import hashlib
import json
import pathlib
import subprocess
import sys
import tempfile

import sbom

PAYLOAD_TYPE = "application/vnd.in-toto+json"
# packaging/RELEASING.md, "Provenance", says what these builds are.
BUILD_TYPE = "https://lsmac.invalid/provenance/release/v1"
BUILDER = "https://lsmac.invalid/provenance/builder/release.sh"
# What makes the files no target builds: the tarball, the collection, the
# manifests.
RELEASE_TOOLS = ["git", "gzip", "tar", "python3", "ansible-core"]


def pae(payload_type, body):
    kind = payload_type.encode()
    return b"DSSEv1 %d %s %d %s" % (len(kind), kind, len(body), body)


def sign(key, kind, message):
    """The signature of MESSAGE: Ed25519 over it, ECDSA over its SHA-256."""
    with tempfile.TemporaryDirectory() as folder:
        data, signature = pathlib.Path(folder, "data"), pathlib.Path(folder, "signature")
        command = ["openssl", "pkeyutl", "-sign", "-in", str(data), "-out", str(signature)]
        if kind == "ed25519":
            data.write_bytes(message)
            command += ["-rawin"]
        else:
            data.write_bytes(hashlib.sha256(message).digest())
        if key.startswith("pkcs11:"):
            command += ["-engine", "pkcs11", "-keyform", "engine"]
        subprocess.run(command + ["-inkey", key], check=True, capture_output=True)
        return signature.read_bytes()


def key_type(public_pem):
    text = subprocess.run(["openssl", "pkey", "-pubin", "-in", public_pem, "-noout", "-text"],
                          check=True, capture_output=True, text=True).stdout
    if text.startswith("ED25519 Public-Key"):
        return "ed25519"
    if "NIST CURVE: P-256" in text:
        return "ecdsa-p256"
    sys.exit(f"{public_pem} is neither an Ed25519 nor an ECDSA P-256 key")


def key_id(public_pem):
    der = subprocess.run(["openssl", "pkey", "-pubin", "-in", public_pem, "-outform", "DER"],
                         check=True, capture_output=True).stdout
    return hashlib.sha256(der).hexdigest()


def debian_packages(names):
    """Each installed package of NAMES as a purl, with its version."""
    if not names:
        sys.exit("provenance.py: a build names no Debian packages")
    lines = subprocess.run(["dpkg-query", "-W", "-f=${Package}\t${Version}\t${Architecture}\n", *names],
                           check=True, capture_output=True, text=True).stdout.splitlines()
    return [{"uri": sbom.purl(*line.split("\t"))} for line in sorted(lines)]


def carried(built_using):
    """The source packages BUILT-USING names, as their bills of materials do."""
    return [{"uri": sbom.library(entry)["purl"]} for entry in built_using.split(",")]


def statement(subjects, parameters, dependencies):
    time = sbom.timestamp()
    return {
        "_type": "https://in-toto.io/Statement/v1",
        "subject": subjects,
        "predicateType": "https://slsa.dev/provenance/v1",
        "predicate": {
            "buildDefinition": {"buildType": BUILD_TYPE, "externalParameters": parameters,
                                "resolvedDependencies": dependencies},
            "runDetails": {"builder": {"id": BUILDER},
                           "metadata": {"startedOn": time, "finishedOn": time}},
        },
    }


def main(out, version, commit, builds, parameters, key, public_pem):
    out = pathlib.Path(out)
    parameters = json.loads(parameters)
    sums = [line.split("  ", 1) for line in (out / "SHA256SUMS").read_text().splitlines()]
    digests = {name: {"sha256": digest} for digest, name in sums}
    source = [{"name": "lsmac", "digest": {"gitCommit": commit}}]
    tarball = f"lsmac-{version}.tar.gz"
    statements, claimed = [], set()
    for line in pathlib.Path(builds).read_text().splitlines():
        target, files, built_using, toolchain = line.split("\t")
        names = [name for file in files.split() for name in (file, file + ".cdx.json")]
        claimed.update(names)
        dependencies = source + [{"name": tarball, "digest": digests[tarball]}]
        dependencies += debian_packages(toolchain.split()) + carried(built_using)
        statements.append(statement([{"name": name, "digest": digests[name]} for name in names],
                                    {**parameters, "target": target}, dependencies))
    rest = [name for name in digests if name not in claimed]
    statements.insert(0, statement([{"name": name, "digest": digests[name]} for name in rest], parameters,
                                   source + debian_packages(RELEASE_TOOLS)))
    kind, keyid = key_type(public_pem), key_id(public_pem)
    with open(out / f"lsmac-{version}.intoto.jsonl", "w") as jsonl:
        for item in statements:
            body = json.dumps(item, separators=(",", ":")).encode()
            signature = sign(key, kind, pae(PAYLOAD_TYPE, body))
            envelope = {"payloadType": PAYLOAD_TYPE, "payload": base64.b64encode(body).decode(),
                        "signatures": [{"keyid": keyid, "sig": base64.b64encode(signature).decode()}]}
            jsonl.write(json.dumps(envelope, separators=(",", ":")) + "\n")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--key-type"] and len(sys.argv) == 3:
        print(key_type(sys.argv[2]))
    elif len(sys.argv) == 8:
        main(*sys.argv[1:])
    else:
        sys.exit("usage: provenance.py OUTDIR VERSION COMMIT BUILDS PARAMETERS KEY PUBLIC-PEM")
