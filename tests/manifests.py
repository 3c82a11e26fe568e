"""Checks a release's winget and Scoop manifests: each Windows package, and no
other, named at its address under URL with its SHA-256, the MSIs with their
product codes, and the release's version.

    manifests.py RELEASE URL VERSION
"""
import hashlib
import json
import pathlib
import subprocess
import sys

import yaml

release, url, version = pathlib.Path(sys.argv[1]), sys.argv[2], sys.argv[3]
expected = {(architecture, kind): f"lsmac-{version}-{bits}.{kind}"
            for architecture, bits in (("x86", "win32"), ("x64", "win64")) for kind in ("zip", "msi")}


def sha256(name):
    return hashlib.sha256((release / name).read_bytes()).hexdigest()


def named(address):
    assert address.startswith(url + "/"), f"{address} is not under {url}"
    return address[len(url) + 1:]


found = {}
for installer in yaml.safe_load((release / "winget/lsmac.lsmac.installer.yaml").read_text())["Installers"]:
    name = named(installer["InstallerUrl"])
    assert installer["InstallerSha256"].lower() == sha256(name), f"{name}: InstallerSha256"
    found[installer["Architecture"], installer["InstallerType"]] = name
    if name.endswith(".msi"):
        codes = subprocess.run(["msiinfo", "export", str(release / name), "Property"],
                               check=True, capture_output=True, text=True).stdout
        assert f"ProductCode\t{installer['ProductCode']}" in codes, f"{name}: ProductCode"
assert found == expected, f"winget names {found}"
for manifest in ("lsmac.lsmac.yaml", "lsmac.lsmac.locale.en-US.yaml"):
    assert yaml.safe_load((release / "winget" / manifest).read_text())["PackageVersion"] == version, manifest

scoop = json.loads((release / "scoop/lsmac.json").read_text())
assert scoop["version"] == version, "Scoop's version"
for architecture, bits in (("32bit", "win32"), ("64bit", "win64")):
    entry, name = scoop["architecture"][architecture], f"lsmac-{version}-{bits}.zip"
    assert named(entry["url"]) == name and entry["hash"] == sha256(name), f"Scoop's {architecture}: {entry}"
