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
  - every log text the documentation quotes is one the runtime writes: the lines of a "log" code
    block (any level), and the lines of docs/support.md's tables whose first cell is a level
    (that level). The runtime's texts are built from pieces ("Retrying operation in " + pause +
    "ms..."): a quoted text matches when the literal pieces of one of the runtime's messages
    occur in it in order, anything standing between them ("..." in the documentation);
    NotInstalled("...") and InvalidPackage("...") inside a quoted text are matched against the
    runtime's messages of those errors the same way;
  - every Warn and Error line the runtime can write is in docs/support.md's table, or named in its
    list of the lines the executable cannot write.
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
        # A "|" inside a table's cell is written "\|".
        line = line.replace("\\|", "|")
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


# ---- Log texts ----

LOG_CALL = re.compile(r"\bUPKIT_(ERROR|WARN|INFO|DEBUG|TRACE)\s*\(")
ERROR_CALL = re.compile(r"\bRuntimeError::(NotInstalled|InvalidPackage)\s*\(")
ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "0": "\0", "\\": "\\", '"': '"', "'": "'"}


def call_arguments(text, start):
    """The text between the parenthesis at text[start - 1] and its partner."""
    depth, i, quote = 1, start, None
    while i < len(text):
        c = text[i]
        if quote:
            if c == "\\":
                i += 1
            elif c == quote:
                quote = None
        elif c in "\"'":
            quote = c
        elif c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
            if depth == 0:
                return text[start:i]
        i += 1
    return text[start:]


def message_pieces(expression):
    """The literal pieces of a message expression, in order, with None for each run of what is
    not a literal at the expression's own level (a call, a variable, a parenthesised choice)."""
    pieces, i, depth = [], 0, 0
    dynamic = False
    while i < len(expression):
        c = expression[i]
        if c == '"' and depth == 0:
            literal, i = "", i + 1
            while i < len(expression) and expression[i] != '"':
                if expression[i] == "\\":
                    i += 1
                    literal += ESCAPES.get(expression[i], expression[i])
                else:
                    literal += expression[i]
                i += 1
            if dynamic or not pieces or pieces[-1] is None:
                if dynamic:
                    pieces.append(None)
                pieces.append(literal)
            else:
                pieces[-1] += literal  # adjacent literals are one
            dynamic = False
        elif c in "([{":
            depth += 1
            dynamic = True
        elif c in ")]}":
            depth -= 1
        elif depth == 0 and not c.isspace() and c != "+":
            dynamic = True
        elif depth > 0:
            dynamic = True
        i += 1
    if dynamic:
        pieces.append(None)
    return pieces


def runtime_messages():
    """(kind, level or error kind, pieces, where) of every log call and NotInstalled or
    InvalidPackage error the runtime's sources make."""
    found = []
    for path in sorted(glob.glob(os.path.join(TOP, "runtime", "src", "**", "*.*"), recursive=True)):
        if not path.endswith((".cpp", ".h")):
            continue
        text = open(path, encoding="utf-8").read()
        where = os.path.relpath(path, TOP)
        for call in LOG_CALL.finditer(text):
            arguments = call_arguments(text, call.end())
            comma = arguments.find(",")
            if "..." in arguments[:comma] or comma < 0:
                continue  # the macro's own definition
            pieces = message_pieces(arguments[comma + 1:])
            if any(p for p in pieces if p):
                found.append(("log", call.group(1), pieces, where))
        for call in ERROR_CALL.finditer(text):
            pieces = message_pieces(call_arguments(text, call.end()))
            if any(p for p in pieces if p):
                found.append(("error", call.group(1), pieces, where))
    # The fault record is built apart and written at level Error with target "panic".
    if "\"' panicked at '\"" in open(os.path.join(TOP, "runtime", "src", "log_setup.cpp"),
                                     encoding="utf-8").read():
        found.append(("log", "ERROR", ["thread '", None, "' panicked at '", None, "': ", None],
                      "runtime/src/log_setup.cpp"))
    return found


def pieces_regex(pieces):
    return "".join("(?:.*)" if p is None else re.escape(p) for p in pieces)


def matches(quoted, pieces):
    """Whether a quoted text is the message: the message's pieces with anything between them,
    or the quoted text's "..." standing for part of a literal piece."""
    if re.fullmatch(pieces_regex(pieces), quoted, re.S):
        return True
    pattern = ".*".join(re.escape(part) for part in quoted.split("..."))
    example = "".join("\x00" if p is None else p for p in pieces)
    return re.fullmatch(pattern.replace(re.escape("\x00"), "\x00"), example, re.S) is not None


def quoted_log_texts(path):
    """(level or None, text, line number) of the log texts a document quotes."""
    texts = []
    in_log = False
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        stripped = line.rstrip("\n")
        if stripped.startswith("```"):
            in_log = stripped.strip() == "```log"
            continue
        if in_log and stripped.strip():
            texts.append((None, stripped.strip(), number))
            continue
        cell = re.match(r"\|\s*(ERROR|WARN|INFO)\s*\|\s*`([^`]+)`", stripped)
        if cell:
            texts.append((cell.group(1), cell.group(2), number))
    return texts


def check_log_texts(failures):
    messages = runtime_messages()
    logs = [m for m in messages if m[0] == "log"]
    errors = [m for m in messages if m[0] == "error"]
    support = os.path.join(TOP, "docs", "support.md")
    table = []
    for path in documents():
        where = os.path.relpath(path, TOP)
        for level, text, number in quoted_log_texts(path):
            candidates = [m for m in logs if level is None or m[1] == level]
            if not any(matches(text, m[2]) for m in candidates):
                failures.append(f"{where}:{number}: the {level or 'log'} line `{text}` is not one "
                                "the runtime writes")
            for kind, inner in re.findall(r'\b(NotInstalled|InvalidPackage)\("(.*?)"\)', text):
                if not any(m[1] == kind and matches(inner, m[2]) for m in errors):
                    failures.append(f"{where}:{number}: {kind}(\"{inner}\") is not an error the "
                                    "runtime makes")
            if path == support and level:
                table.append((level, text))
    cannot = open(support, encoding="utf-8").read().split("### Lines ZeltOy2.exe cannot write")
    unwritable = re.findall(r"^- `([^`]+)`", cannot[1], re.M) if len(cannot) > 1 else []
    for _, level, pieces, where in logs:
        if level not in ("ERROR", "WARN"):
            continue
        covered = any(lv == level and matches(text, pieces) for lv, text in table)
        if not covered and not any(matches(text, pieces) for text in unwritable):
            shown = "".join("..." if p is None else p for p in pieces)
            failures.append(f"{where}: the {level} line `{shown}` is neither in docs/support.md's "
                            "table nor among the lines the executable cannot write")


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
        scripts_named.update(re.findall(r"(?<![\w/])scripts/[\w.-]+", text))
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
    check_log_texts(failures)
    for failure in failures:
        print("check_docs: " + failure)
    print(f"check_docs: {len(failures)} problems in {len(documents())} documents")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
