#!/usr/bin/env python3
"""Print a deb822 sources file with a "deb-src" entry for every "deb" entry apt already uses.

The package hosts come from the machine's own configuration, never from this repository.

Usage: derive-deb-src.py   (scripts/setup installs what it prints when source packages are needed)
"""
import glob
import os
import re
import sys

ROOT = "/etc/apt"


def one_line_entries(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if not line.startswith("deb "):
                continue
            rest = line[4:].strip()
            options = {}
            m = re.match(r"\[([^\]]*)\]\s*(.*)", rest)
            if m:
                for opt in m.group(1).split():
                    if "=" in opt:
                        k, v = opt.split("=", 1)
                        options[k] = v
                rest = m.group(2)
            parts = rest.split()
            if len(parts) < 2:
                continue
            entry = {"URIs": parts[0], "Suites": parts[1], "Components": " ".join(parts[2:])}
            if "signed-by" in options:
                entry["Signed-By"] = options["signed-by"]
            yield entry


def deb822_entries(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    for stanza in re.split(r"\n\s*\n", text):
        fields = {}
        key = None
        for raw in stanza.splitlines():
            if raw.startswith("#"):
                continue
            if raw[:1] in (" ", "\t") and key:
                fields[key] += "\n" + raw
                continue
            if ":" in raw:
                key, value = raw.split(":", 1)
                fields[key.strip()] = value.strip()
        if "deb" not in fields.get("Types", "").split():
            continue
        if fields.get("Enabled", "yes").lower() == "no":
            continue
        entry = {k: fields[k] for k in ("URIs", "Suites", "Components", "Signed-By") if k in fields}
        if "URIs" in entry and "Suites" in entry:
            yield entry


def main():
    if sys.argv[1:2] in (["-h"], ["--help"]):
        print(__doc__.strip())
        return
    entries = []
    if os.path.exists(os.path.join(ROOT, "sources.list")):
        entries += one_line_entries(os.path.join(ROOT, "sources.list"))
    for path in sorted(glob.glob(os.path.join(ROOT, "sources.list.d", "*.list"))):
        entries += one_line_entries(path)
    for path in sorted(glob.glob(os.path.join(ROOT, "sources.list.d", "*.sources"))):
        if os.path.basename(path) == "zelt-deb-src.sources":
            continue
        entries += deb822_entries(path)
    out = []
    for e in entries:
        lines = ["Types: deb-src"]
        for k in ("URIs", "Suites", "Components", "Signed-By"):
            if e.get(k):
                lines.append(f"{k}: {e[k]}")
        out.append("\n".join(lines))
    if out:
        print("\n\n".join(out))


if __name__ == "__main__":
    main()
