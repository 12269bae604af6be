#!/usr/bin/env python3
"""Writes the notices of every library statically linked into an executable.

Usage: third-party-notices.py PDB DEPS_PREFIX NOTICES
  PDB          the executable's PDB (lld's): its modules name every object file and archive member
               the link took, so what is listed is what went in, not what a list says
  DEPS_PREFIX  the folder scripts/build-deps installed the cross-built libraries into; its .stamp
               names, for each library, its source folder (under ../src) and its archive
  NOTICES      the file to write

Each library's notice is taken from where it came from, never typed here: for a library built
from a Debian source package, the licence file at the top of its source (LICENSE, COPYING); for an
archive or object file of an installed Debian package (the mingw-w64 runtime and winpthreads,
libstdc++, libgcc), the package's copyright file, and after all of them the text of every licence
in /usr/share/common-licenses that those files refer to. The project's own objects are left out.

Prints one line per library, "<name> <version>: <archives>", for the build record.
"""
import os
import re
import subprocess
import sys

LLVM = "/usr/lib/llvm-16/bin"
OWN = "/zeltoy2/build/"
DEPS = "/zeltoy2/deps/"
LICENCE_FILES = ("LICENSE", "LICENSE.md", "LICENSE.txt", "COPYING", "COPYRIGHT")
COMMON = re.compile(r"/usr/share/common-licenses/[A-Za-z0-9.+-]*[A-Za-z0-9+-]")


def linked_files(pdb):
    """The object files and archives the link took, as the PDB names them."""
    dump = subprocess.run([f"{LLVM}/llvm-pdbutil", "dump", "--modules", pdb],
                          check=True, capture_output=True, text=True).stdout
    return sorted({m.group(1) for m in re.finditer(r"^\s*Obj: `([^`]+)`", dump, re.M)
                   if m.group(1) and not m.group(1).startswith(OWN)})


def built_libraries(prefix):
    """archive name -> (library, source folder), from the stamp scripts/build-deps wrote."""
    libraries = {}
    with open(os.path.join(prefix, ".stamp")) as stamp:
        for line in stamp:
            fields = line.split()
            if len(fields) == 3:
                libraries[fields[2]] = (fields[0], fields[1])
    return libraries


def source_version(src, library):
    """The Debian version of a source package fetched into src (from its .dsc)."""
    for name in sorted(os.listdir(src)):
        if name.startswith(library + "_") and name.endswith(".dsc"):
            with open(os.path.join(src, name)) as dsc:
                for line in dsc:
                    if line.startswith("Version: "):
                        return line.split()[1]
    raise SystemExit(f"third-party-notices: no .dsc of {library} in {src}")


def package_of(path):
    owner = subprocess.run(["dpkg", "-S", path], capture_output=True, text=True)
    if owner.returncode != 0:
        raise SystemExit(f"third-party-notices: no Debian package holds {path}")
    package = owner.stdout.split(":")[0]
    version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package],
                             check=True, capture_output=True, text=True).stdout
    return package, version


def read(path):
    with open(path, encoding="utf-8", errors="replace") as text:
        return text.read().rstrip() + "\n"


def main():
    if len(sys.argv) == 2 and sys.argv[1] in ("-h", "--help"):
        print(__doc__)
        return
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    pdb, prefix, output = sys.argv[1:]
    src = os.path.join(os.path.dirname(os.path.abspath(prefix)), "src")
    built = built_libraries(prefix)

    groups = {}  # (name, version) -> [archives], [notice path]
    for path in linked_files(pdb):
        archive = os.path.basename(path)
        if path.startswith(DEPS):
            if archive not in built:
                sys.exit(f"third-party-notices: {path} was not built by scripts/build-deps")
            library, folder = built[archive]
            top = os.path.join(src, folder)
            licence = next((os.path.join(top, f) for f in LICENCE_FILES
                            if os.path.isfile(os.path.join(top, f))), None)
            if licence is None:
                sys.exit(f"third-party-notices: no licence file at the top of {top}")
            key = (library, source_version(src, library), "Debian source package, cross-built")
        else:
            package, version = package_of(path)
            licence = os.path.realpath(f"/usr/share/doc/{package}/copyright")
            key = (package, version, "Debian package")
        group = groups.setdefault(key, ([], licence))
        if archive not in group[0]:
            group[0].append(archive)

    parts = ["Third-party notices of ZeltOy2.exe\n\n"
             "ZeltOy2.exe contains the following libraries, linked statically. Each one's notice\n"
             "follows, as its source or its Debian package carries it.\n"]
    common = []
    shown = {}  # notice file -> the library it was shown for
    for (name, version, origin), (archives, licence) in sorted(groups.items()):
        print(f"{name} {version}: {', '.join(sorted(archives))}")
        heading = (f"\n==== {name} {version} ({origin}; in ZeltOy2.exe: "
                   f"{', '.join(sorted(archives))}) ====\n\n")
        if licence in shown:
            # Packages built from one source share their copyright file.
            parts.append(f"{heading}The notice of {shown[licence]} above ({licence}).\n")
            continue
        shown[licence] = name
        text = read(licence)
        parts.append(heading + text)
        for reference in COMMON.findall(text):
            target = os.path.realpath(reference)
            if os.path.isfile(target) and target not in common:
                common.append(target)
    for target in common:
        parts.append(f"\n==== {target} (referred to above) ====\n\n{read(target)}")
    with open(output, "w", encoding="utf-8") as notices:
        notices.write("".join(parts))


if __name__ == "__main__":
    main()
