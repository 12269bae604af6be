#!/usr/bin/env python3
"""Lays out a demo installation of ZeltOy2: manifest, empty folders and a few full packages.

Usage: make-demo-install.py ROOT VERSION
The executables (ZeltOy2.exe, the sample engine, the updater) are copied in by scripts/demo.
"""
import os
import sys
import zipfile

APP_ID = "ZeltOy2"


def manifest(version: str) -> str:
    return f"""<?xml version="1.0" encoding="utf-8"?>
<package xmlns="http://schemas.microsoft.com/packaging/2010/07/nuspec.xsd">
  <metadata>
    <id>{APP_ID}</id>
    <title>ZeltOy2</title>
    <version>{version}</version>
    <authors>Zelt</authors>
    <description>ZeltOy2 demo installation</description>
    <mainExe>ZeltOy2.exe</mainExe>
    <channel>win</channel>
  </metadata>
</package>
"""


def write_package(path: str, version: str) -> None:
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED) as z:
        z.writestr(f"{APP_ID}.nuspec", manifest(version))
        z.writestr("lib/app/ZeltOy2.exe", b"MZ" + b"\0" * 62)


def main() -> None:
    if sys.argv[1:2] in (["-h"], ["--help"]):
        print(__doc__.strip())
        return
    root, version = sys.argv[1], sys.argv[2]
    major, minor, patch = (int(x) for x in version.split("."))
    current = os.path.join(root, "current")
    packages = os.path.join(root, "packages")
    os.makedirs(current, exist_ok=True)
    os.makedirs(packages, exist_ok=True)
    with open(os.path.join(current, "sq.version"), "w", encoding="utf-8", newline="\n") as f:
        f.write(manifest(version))
    # One outdated package (removed at start), the installed one and a newer download (kept for
    # the updater).
    for v in (f"{major}.{minor}.{patch - 45}", version, f"{major}.{minor + 1}.0"):
        write_package(os.path.join(packages, f"{APP_ID}-{v}-full.nupkg"), v)


if __name__ == "__main__":
    main()
