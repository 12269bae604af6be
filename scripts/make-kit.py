#!/usr/bin/env python3
"""Packs the Windows test kit of a release: ZeltOy2-tests.zip.

Usage: scripts/make-kit.py --bin DIR --exe FILE --pdb FILE --commit SHA --version X.Y.Z
                           --signed yes|no OUTPUT.zip

The kit holds, at its top, run-tests.exe and README.txt; in bin\\, every test program, test host,
fixture and benchmark of the build folder DIR (the release build's bin), with the release's own
ZeltOy2.exe and ZeltOy2.pdb (FILE) in place of the build's, and kit-info.txt naming the commit,
the version, whether the executable is signed and the programs run-tests.exe runs. The zip is the
same bytes for the same inputs: entries sorted, one fixed time, no owner or permissions.
"""
import argparse
import os
import sys
import zipfile

# The test programs of a normal run, in the order they run; the program of the runner's own
# failure paths; the benchmarks of --bench.
PROGRAMS = ["runtime_tests.exe", "launcher_tests.exe"]
SELF_CHECK = "kit_selfcheck_tests.exe"
BENCHMARKS = ["startup_win_bench.exe", "worst_start_win_bench.exe"]
# In the build's bin but not in the kit: benchmarks that compare builds or need the build tree,
# the runner (at the kit's top), the product (the release's own goes in), and lld's link name.
# The runner's own tests run from a build folder, where the test programs lie beside run-tests.exe.
LEFT_OUT = {"compilers_win_bench.exe", "discovery_win_bench.exe", "log_throughput_win_bench.exe",
            "kit_tests.exe", "run-tests.exe", "ZeltOy2.exe", "ZeltOy2.pdb", "WindowsPlayer.exe",
            "WindowsPlayer.pdb"}
# DOS time of every entry: 1980-01-01 00:00, the first a zip can hold.
FIXED_TIME = (1980, 1, 1, 0, 0, 0)

README = """ZeltOy2 test kit
================

This folder tests ZeltOy2.exe of one release on this PC: the whole Windows test suite of the
release, plus checks that only a real Windows can fail (the system's dialogs, long paths, access
rights, what the screen shows at the game's start). It changes nothing on the PC that it does not
put back, and it never asks for administrator rights.

How to run it
-------------
1. Extract the whole zip into a folder of its own (in Explorer: right-click the zip, Extract
   All...). Running it from inside the zip does not work.
2. Double-click run-tests.exe. A console window shows each test as it runs. A whole run takes a
   few minutes; leave the PC alone meanwhile (do not lock the screen: one check reads the
   screen). A few windows flash up and close by themselves; that is the tests.
3. At the end the window shows "N passed, N failed, N skipped" and waits for a key.

What to send back
-----------------
report.txt, which run-tests.exe writes beside itself. Its first lines describe this PC (Windows
version and build, processor, the user's rights, the file system), then one line per test, then
the details of every failure. A skipped test says why (for example a check that needs something
this PC does not have).

Options (from a command prompt in this folder)
----------------------------------------------
run-tests.exe --help                  all options
run-tests.exe --junit results.xml     also a JUnit file, for a CI server
run-tests.exe --bench                 also the start-up benchmarks (an hour or more)
run-tests.exe --allow-system-changes  also the tests that change the system for a while (the
                                      user's registry, a small virtual disk: run elevated);
                                      only on a throwaway virtual machine

The kit is for testing only: never ship it to players.
"""


def add(archive, name, data):
    info = zipfile.ZipInfo(name, date_time=FIXED_TIME)
    info.compress_type = zipfile.ZIP_DEFLATED
    info.external_attr = 0
    info.create_system = 0  # MS-DOS: no Unix owner or permissions
    archive.writestr(info, data, compresslevel=9)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def main():
    parser = argparse.ArgumentParser(
        description="Packs the Windows test kit of a release (ZeltOy2-tests.zip).")
    parser.add_argument("--bin", required=True, help="the release build's bin folder")
    parser.add_argument("--exe", required=True, help="the release's ZeltOy2.exe")
    parser.add_argument("--pdb", required=True, help="the release's ZeltOy2.pdb")
    parser.add_argument("--commit", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--signed", required=True, choices=["yes", "no"])
    parser.add_argument("output")
    args = parser.parse_args()

    needed = PROGRAMS + [SELF_CHECK] + BENCHMARKS + ["run-tests.exe"]
    missing = [n for n in needed if not os.path.isfile(os.path.join(args.bin, n))]
    if missing:
        sys.exit("make-kit: the build has no " + ", ".join(missing))

    info = "\n".join([
        "commit: " + args.commit,
        "version: " + args.version,
        "signed: " + args.signed,
        "programs: " + " ".join(PROGRAMS),
        "self-check: " + SELF_CHECK,
        "benchmarks: " + " ".join(BENCHMARKS),
    ]) + "\n"
    entries = {
        "run-tests.exe": read(os.path.join(args.bin, "run-tests.exe")),
        "README.txt": README.replace("\n", "\r\n").encode("utf-8"),
        "bin/kit-info.txt": info.encode("utf-8"),
        "bin/ZeltOy2.exe": read(args.exe),
        "bin/ZeltOy2.pdb": read(args.pdb),
    }
    for name in os.listdir(args.bin):
        path = os.path.join(args.bin, name)
        if name in LEFT_OUT or not os.path.isfile(path):
            continue
        if name.lower().endswith((".exe", ".dll")):
            entries["bin/" + name] = read(path)

    tmp = args.output + ".tmp"
    with zipfile.ZipFile(tmp, "w") as archive:
        for name in sorted(entries):
            add(archive, name, entries[name])
    os.replace(tmp, args.output)


if __name__ == "__main__":
    main()
