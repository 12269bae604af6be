#!/usr/bin/env python3
"""Checks that what the documentation shows exists and runs.

Usage: tests/docs/check_docs.py   (after the presets it names are configured, as scripts/test
                                    leaves them)

Over README.md and docs/*.md:
  - every "ctest --preset P ... -R REGEX" example selects at least one test of that preset
    (ctest -N, nothing runs);
  - every program named "scripts/NAME" exists, and every program in scripts/ answers --help with
    its usage and exit code 0;
  - every environment variable shown (ZELT_*, UPKIT_*) and every file name shown in backticks
    occurs in the project's code (the tracked files other than the documentation); a name with a
    placeholder ("upkit_<id>.log") counts when each of its literal pieces occurs. A path of this
    repository ("docs/testing.md", "tests/release/release_test") must exist.
Prints each failure and exits 1 when there is one.
"""
import glob
import os
import re
import shlex
import subprocess
import sys

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
VARIABLE = re.compile(r"\b(?:ZELT|UPKIT)_[A-Z0-9_]*[A-Z0-9]\b")
FILE_NAME = re.compile(
    r"^[\w.<>%*-]*\.(?:exe|dll|log|old|pdb|txt|version|nupkg|nuspec|ico|json|md|py|h|cpp|def|"
    r"manifest|rc|cmake|portable|upkit_dir_test)$|^\.[\w-]+$")
REPOSITORY_PATH = re.compile(r"^(?:docs|scripts|tests|launcher|runtime|bench|cmake)/[\w./-]*$")


def documents():
    return [os.path.join(TOP, "README.md")] + sorted(glob.glob(os.path.join(TOP, "docs", "*.md")))


def code_text():
    files = subprocess.run(["git", "ls-files"], cwd=TOP, check=True, capture_output=True,
                           text=True).stdout.split()
    texts = []
    for name in files:
        if name.endswith(".md"):
            continue
        try:
            with open(os.path.join(TOP, name), encoding="utf-8") as f:
                texts.append(f.read())
        except (UnicodeDecodeError, OSError):
            pass
    return "\n".join(texts)


def ctest_examples(text):
    """(preset, regex) of every ctest command with -R in the text."""
    for line in re.findall(r"ctest [^`\n]*", text):
        try:
            words = shlex.split(line.split("#")[0])
        except ValueError:
            continue
        preset = regex = None
        for i, word in enumerate(words):
            if word == "--preset" and i + 1 < len(words):
                preset = words[i + 1]
            elif word.startswith("--preset="):
                preset = word.split("=", 1)[1]
            elif word == "-R" and i + 1 < len(words):
                regex = words[i + 1]
        if regex is not None:
            yield preset, regex, line.strip()


def selected_tests(preset, regex):
    command = ["ctest", "-N", "-R", regex] + (["--preset", preset] if preset else [])
    result = subprocess.run(command, cwd=TOP, capture_output=True, text=True)
    found = re.search(r"Total Tests: (\d+)", result.stdout)
    return int(found.group(1)) if found else 0


def answers_help(program):
    command = [program, "--help"]
    if program.endswith(".py") and not os.access(program, os.X_OK):
        command = [sys.executable] + command
    try:
        result = subprocess.run(command, cwd=TOP, capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as error:
        return f"{error}"
    if result.returncode != 0:
        return f"exit code {result.returncode}"
    if "usage" not in (result.stdout + result.stderr).lower():
        return "no usage printed"
    return None


def name_in_code(name, code):
    pieces = [piece for piece in re.split(r"<[^>]*>|\*|%\w+%?", name) if len(piece) >= 3]
    return bool(pieces) and all(piece in code for piece in pieces)


def main():
    if sys.argv[1:2] in (["-h"], ["--help"]):
        print(__doc__.strip())
        return 0
    failures = []
    code = code_text()
    scripts_named = set()
    for path in documents():
        text = open(path, encoding="utf-8").read()
        where = os.path.relpath(path, TOP)
        for preset, regex, line in ctest_examples(text):
            if selected_tests(preset, regex) == 0:
                failures.append(f"{where}: `{line}` selects no test")
        scripts_named.update(re.findall(r"\bscripts/[\w.-]+", text))
        for variable in sorted(set(VARIABLE.findall(text))):
            if variable not in code:
                failures.append(f"{where}: the variable {variable} occurs nowhere in the code")
        for span in sorted(set(re.findall(r"`([^`\n]+)`", text))):
            for word in span.split():
                word = word.strip("\"'(),;:")
                if REPOSITORY_PATH.match(word):
                    if not glob.glob(os.path.join(TOP, word.replace("<", "*").replace(">", ""))):
                        failures.append(f"{where}: {word} does not exist")
                elif FILE_NAME.match(word) and not name_in_code(word, code):
                    failures.append(f"{where}: the file name {word} occurs nowhere in the code")
    for name in sorted(scripts_named):
        if not os.path.exists(os.path.join(TOP, name)):
            failures.append(f"{name} is named in the documentation but does not exist")
    for program in sorted(glob.glob(os.path.join(TOP, "scripts", "*"))):
        problem = answers_help(program)
        if problem:
            failures.append(f"{os.path.relpath(program, TOP)} --help: {problem}")
    for failure in failures:
        print("check_docs: " + failure)
    print(f"check_docs: {len(failures)} problems in {len(documents())} documents")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
