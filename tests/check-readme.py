#!/usr/bin/python3
"""Keeps README.md and CONTRIBUTING.md true where a program can tell: every command in their code
blocks names scripts, stages, options, targets, tests and paths of the tree that exist; every
text of the window is in the README's table; the README stays short."""

import glob
import os
import pathlib
import re
import shlex
import sys

TREE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TRACKED = ("scripts/", "tests/", "tools/", "Sources/", "packaging/", "docs/", "bench/", "fuzz/", ".ci/")
WINDOW_SOURCES = ("Sources/LegacyMainViewController.cpp", "Sources/LegacyAppDelegate.cpp")


def read(path):
    return pathlib.Path(TREE, path).read_text(encoding="utf-8")


def named(name, text):
    return re.search(rf"(?<![\w-]){re.escape(name)}(?![\w-])", text) is not None


def problems_of_command(words, cmake, tests):
    for index, word in enumerate(words):
        following = words[index + 1] if index + 1 < len(words) else ""
        if word.startswith(TRACKED) and not glob.glob(word, root_dir=TREE):
            yield f"no {word} in the tree"
        if word.startswith("scripts/") and os.path.isfile(os.path.join(TREE, word)):
            yield from (f"{word} takes no {arg}" for arg in words[index + 1:]
                        if not named(arg, read(word)))
        if word.startswith("-DQUORVEL_") and not named(word[2:].split("=")[0], cmake):
            yield f"no CMake option {word[2:]}"
        if word == "--target" and not re.search(rf"add_(executable|library)\({re.escape(following)}\b", cmake):
            yield f"no target {following}"
        if word == "-R" and words[0] == "ctest" and not any(re.search(following, name) for name in tests):
            yield f"no test matches {following}"


def command_problems(document, cmake, tests):
    for block in re.findall(r"^```sh\n(.*?)^```", read(document), re.M | re.S):
        for line in block.replace("\\\n", " ").splitlines():
            words = shlex.split(line.replace("$(", "( ").replace("(cd", "( cd"), comments=True)
            yield from (f"{document}: {line.strip()}: {problem}"
                        for problem in problems_of_command(words, cmake, tests))


def window_texts():
    for path in WINDOW_SOURCES:
        for line in read(path).splitlines():
            code = line.split("//")[0] if "#include" not in line else ""
            for literal in re.findall(r'"((?:[^"\\]|\\.)*)"', code):
                text = re.sub(r"\\u([0-9A-Fa-f]{4})", lambda m: chr(int(m.group(1), 16)), literal)
                if " " in text or not text.isascii():
                    parts = re.split(r"%[-.\d]*(?:ll|l)?[dufs]", text.replace("%%", "\0"))
                    yield text, "[^|\"]+".join(re.escape(part).replace("\0", "%") for part in parts)


def main():
    every = lambda pattern: "\n".join(map(read, glob.glob(pattern, root_dir=TREE, recursive=True)))
    cmake = every("**/CMakeLists.txt")
    tests = re.findall(r"TEST(?:_F)?\((\w+), (\w+)\)", every("tests/*.cpp"))
    tests = [f"{suite}.{name}" for suite, name in tests] + re.findall(r"add_test\(NAME (\w+)", cmake)
    problems = [p for document in ("README.md", "CONTRIBUTING.md")
                for p in command_problems(document, cmake, tests)]
    readme = read("README.md")
    table = "\n".join(line for line in readme.splitlines() if line.startswith("|"))
    problems += [f"README.md: the window's text \"{text}\" is not in its table"
                 for text, pattern in window_texts() if not re.search(f'"{pattern}"', table)]
    if readme.count("\n") >= 200:
        problems.append(f"README.md: {readme.count(chr(10))} lines, more than 200")
    # The user's part, its texts table apart, reads in two minutes.
    user = [line for line in readme.split("\n## Building from source")[0].splitlines()
            if not line.startswith("|")]
    if len(" ".join(user).split()) > 500:
        problems.append(f"README.md: {len(' '.join(user).split())} words for users, more than 500")
    sys.stdout.write("".join(problem + "\n" for problem in problems))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
