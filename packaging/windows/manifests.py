#!/usr/bin/env python3
"""Writes the winget and Scoop manifests of the Windows packages in a release:
RELEASE/winget/ (the version, installer and default locale manifests) and
RELEASE/scoop/lsmac.json, naming each package by its URL under URL and its
SHA-256. The MSIs' product and upgrade codes are read from the MSIs.

    manifests.py RELEASE URL VERSION
"""
import hashlib
import json
import pathlib
import subprocess
import sys

IDENTIFIER = "lsmac.lsmac"
MANIFEST_VERSION = "1.12.0"
DESCRIPTION = "Lists the hardware (MAC) address of every network adapter"
ARCHITECTURES = {"win32": ("x86", "32bit"), "win64": ("x64", "64bit")}


def sha256(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def msi_property(msi, name):
    table = subprocess.run(["msiinfo", "export", str(msi), "Property"], check=True,
                           capture_output=True, text=True).stdout
    for row in table.splitlines():
        key, _, value = row.rstrip("\r").partition("\t")
        if key == name:
            return value
    sys.exit(f"manifests.py: {msi} has no {name}")


def yaml(fields):
    """YAML from plain values, lists and mappings: every scalar is written as a
    JSON string or number, which YAML reads as the same value."""
    def lines(value, indent):
        if isinstance(value, dict):
            for key, item in value.items():
                if isinstance(item, (dict, list)):
                    yield f"{indent}{key}:"
                    yield from lines(item, indent + "  ")
                else:
                    yield f"{indent}{key}: {json.dumps(item)}"
        else:
            for item in value:
                if not isinstance(item, dict):
                    yield f"{indent}- {json.dumps(item)}"
                    continue
                first, *rest = lines(item, indent + "  ")
                yield f"{indent}- {first.lstrip()}"
                yield from rest
    return "\n".join(lines(fields, "")) + "\n"


def main(release, url, version):
    release = pathlib.Path(release)
    installers, scoop = [], {}
    for bits, (architecture, scoop_architecture) in ARCHITECTURES.items():
        name = f"lsmac-{version}-{bits}"
        zip_file, msi = release / f"{name}.zip", release / f"{name}.msi"
        installers.append({
            "Architecture": architecture, "InstallerType": "zip", "NestedInstallerType": "portable",
            "NestedInstallerFiles": [{"RelativeFilePath": f"{name}\\lsmac.exe", "PortableCommandAlias": "lsmac"}],
            "InstallerUrl": f"{url}/{zip_file.name}", "InstallerSha256": sha256(zip_file).upper(),
        })
        product_code = msi_property(msi, "ProductCode")
        installers.append({
            "Architecture": architecture, "InstallerType": "msi", "Scope": "machine",
            "InstallerUrl": f"{url}/{msi.name}", "InstallerSha256": sha256(msi).upper(),
            "ProductCode": product_code, "UpgradeBehavior": "install",
            "AppsAndFeaturesEntries": [{"ProductCode": product_code,
                                        "UpgradeCode": msi_property(msi, "UpgradeCode")}],
        })
        scoop[scoop_architecture] = {"url": f"{url}/{zip_file.name}", "hash": sha256(zip_file), "extract_dir": name}

    common = {"PackageIdentifier": IDENTIFIER, "PackageVersion": version}
    manifests = {
        f"{IDENTIFIER}.yaml": {**common, "DefaultLocale": "en-US", "ManifestType": "version"},
        f"{IDENTIFIER}.installer.yaml": {**common, "Commands": ["lsmac"], "Installers": installers,
                                         "ManifestType": "installer"},
        f"{IDENTIFIER}.locale.en-US.yaml": {
            **common, "PackageLocale": "en-US", "Publisher": "The lsmac developers", "PackageName": "lsmac",
            "License": "MIT", "ShortDescription": DESCRIPTION, "ManifestType": "defaultLocale"},
    }
    (release / "winget").mkdir(exist_ok=True)
    for name, fields in manifests.items():
        kind = fields["ManifestType"]
        schema = f"https://aka.ms/winget-manifest.{kind}.{MANIFEST_VERSION}.schema.json"
        text = f"# yaml-language-server: $schema={schema}\n" + yaml({**fields, "ManifestVersion": MANIFEST_VERSION})
        (release / "winget" / name).write_text(text)

    (release / "scoop").mkdir(exist_ok=True)
    manifest = {"version": version, "description": DESCRIPTION, "homepage": url, "license": "MIT",
                "architecture": scoop, "bin": "lsmac.exe"}
    (release / "scoop" / "lsmac.json").write_text(json.dumps(manifest, indent=4) + "\n")


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit("usage: manifests.py RELEASE URL VERSION")
    main(*sys.argv[1:])
