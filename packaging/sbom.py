#!/usr/bin/env python3
"""Writes ARTIFACT.cdx.json, a CycloneDX 1.6 bill of materials of one release
file: the file and its hashes, the lsmac executable inside it with its own,
and what that static executable carries: the Debian source packages that
BUILT-USING names ("glibc (= 2.36-9+deb12u14), gcc-12 (= ...)"), of the
Debian release that built it. A source tarball carries no executable and
takes no BUILT-USING. The same inputs and SOURCE_DATE_EPOCH give the same
bytes.

    sbom.py VERSION COMMIT ARTIFACT [BUILT-USING]
"""
import datetime
import hashlib
import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import zipfile

TOOL = "packaging/release.sh"
DEVELOPERS = {"name": "The lsmac developers"}
# Debian's licences of the sources a static lsmac links in, as SPDX expressions.
LICENSES = {
    "glibc": "LGPL-2.1-or-later",
    "gcc": "GPL-3.0-or-later WITH GCC-exception-3.1",
    "mingw-w64": "ZPL-2.1",
}
DESCRIPTIONS = {
    "glibc": "The GNU C library",
    "gcc": "The GCC runtime libraries: libgcc and libstdc++ (and libssp on Windows)",
    "mingw-w64": "The mingw-w64 C runtime and Windows import libraries",
}


def hashes(data):
    return [{"alg": "SHA-256", "content": hashlib.sha256(data).hexdigest()},
            {"alg": "SHA-512", "content": hashlib.sha512(data).hexdigest()}]


def purl(name, version, arch):
    """A Debian package's URL, as scanners match it."""
    return f"pkg:deb/debian/{name}@{version.replace('+', '%2B')}?arch={arch}&distro=debian-12"


def timestamp():
    epoch = int(os.environ["SOURCE_DATE_EPOCH"])
    return datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def run(*command):
    return subprocess.run(command, check=True, capture_output=True).stdout


def executable(artifact):
    """The path of lsmac's executable in ARTIFACT and its bytes, or None."""
    name = artifact.name
    if name.endswith(".deb"):
        path = "usr/bin/lsmac"
        return path, run("sh", "-c", 'dpkg-deb --fsys-tarfile "$1" | tar -xOf - "./$2"', "-", str(artifact), path)
    if name.endswith(".rpm"):
        path = "usr/bin/lsmac"
        return path, run("sh", "-c", 'rpm2cpio "$1" | cpio --quiet -i --to-stdout "./$2"', "-", str(artifact), path)
    if name.endswith(".zip"):
        with zipfile.ZipFile(artifact) as archive:
            path = next(member for member in archive.namelist() if member.endswith("/lsmac.exe"))
            return path, archive.read(path)
    if name.endswith(".msi"):
        with tempfile.TemporaryDirectory() as folder:
            run("msiextract", "-C", folder, str(artifact))
            found = next(pathlib.Path(folder).rglob("lsmac.exe"))
            return found.relative_to(folder).as_posix(), found.read_bytes()
    return None


def library(entry):
    source, version = re.fullmatch(r"(\S+) \(= (\S+)\)", entry.strip()).groups()
    family = "gcc" if re.fullmatch(r"gcc-\d+", source) else source
    url = purl(source, version, "source")
    return {"type": "library", "bom-ref": url, "supplier": {"name": "Debian"}, "name": source,
            "version": version, "description": DESCRIPTIONS[family],
            "licenses": [{"expression": LICENSES[family]}], "purl": url}


def bom(version, commit, artifact, built_using):
    data = artifact.read_bytes()
    supplier = {"name": DEVELOPERS["name"]}
    lsmac = {"supplier": supplier, "authors": [DEVELOPERS], "version": version,
             "licenses": [{"license": {"id": "MIT"}}]}
    root = {"type": "file", "bom-ref": artifact.name, **lsmac, "name": artifact.name, "hashes": hashes(data)}
    components, dependencies = [], []
    inside = executable(artifact)
    if inside:
        path, program = inside
        libraries = [library(entry) for entry in built_using.split(",")]
        system = {"type": "operating-system", "bom-ref": "debian-12", "name": "debian", "version": "12",
                  "description": "The Debian release whose toolchain built the executable"}
        components = [{"type": "file", "bom-ref": path, **lsmac, "name": path, "hashes": hashes(program)},
                      *libraries, system]
        dependencies = [{"ref": artifact.name, "dependsOn": [path]},
                        {"ref": path, "dependsOn": [item["bom-ref"] for item in libraries]},
                        *({"ref": item["bom-ref"], "dependsOn": []} for item in libraries)]
    else:
        dependencies = [{"ref": artifact.name, "dependsOn": []}]
    references = [artifact.name] + [component["bom-ref"] for component in components]
    return {
        "$schema": "http://cyclonedx.org/schema/bom-1.6.schema.json",
        "bomFormat": "CycloneDX",
        "specVersion": "1.6",
        "version": 1,
        "metadata": {
            "timestamp": timestamp(),
            "lifecycles": [{"phase": "build"}],
            "tools": {"components": [{"type": "application", "name": TOOL, "version": version,
                                      "supplier": {"name": DEVELOPERS["name"]}}]},
            "authors": [DEVELOPERS],
            "supplier": supplier,
            "component": root,
            "properties": [{"name": "lsmac:commit", "value": commit}],
        },
        "components": components,
        "dependencies": dependencies,
        "compositions": [{"aggregate": "complete", "assemblies": references,
                          "dependencies": [item["ref"] for item in dependencies]}],
    }


def main(version, commit, artifact, built_using=""):
    artifact = pathlib.Path(artifact)
    text = json.dumps(bom(version, commit, artifact, built_using), indent=2, ensure_ascii=False) + "\n"
    artifact.with_name(artifact.name + ".cdx.json").write_text(text)


if __name__ == "__main__":
    if len(sys.argv) not in (4, 5):
        sys.exit("usage: sbom.py VERSION COMMIT ARTIFACT [BUILT-USING]")
    main(*sys.argv[1:])
