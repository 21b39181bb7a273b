#!/usr/bin/python3
"""Lints the macOS workflow, which cannot run here: it must parse as YAML and build, test, sign
and upload the bundle on an Intel Mac with Qt 5.15 and a pinned Xcode.

usage: check-workflow.py WORKFLOW
"""

import re
import sys

import yaml


def main():
    with open(sys.argv[1]) as file:
        workflow = yaml.safe_load(file)
    problems = []
    # YAML reads the key "on" as true.
    triggers = workflow.get("on", workflow.get(True)) or {}
    for trigger in ("push", "pull_request"):
        if trigger not in triggers:
            problems.append(f"not run on {trigger}")
    jobs = workflow.get("jobs") or {}
    if len(jobs) != 1:
        problems.append("one job expected")
    for name, job in jobs.items():
        if not str(job.get("runs-on", "")).endswith("-intel"):
            problems.append(f"{name} does not run on an Intel runner")
        steps = job.get("steps") or []
        uses = [step.get("uses", "") for step in steps]
        runs = "\n".join(step.get("run", "") for step in steps)
        qt = next((step for step in steps if "install-qt-action" in step.get("uses", "")), None)
        if qt is None or not str(qt.get("with", {}).get("version", "")).startswith("5.15"):
            problems.append(f"{name} does not install Qt 5.15")
        for action in ("actions/checkout", "actions/upload-artifact"):
            if not any(use.startswith(action + "@") for use in uses):
                problems.append(f"{name} lacks {action}")
        for command in ("cmake -S . -B build", "cmake --build build", "ctest --test-dir build",
                        "macdeployqt", "otool -l", "codesign --force --deep --sign -",
                        "codesign --verify --deep --strict"):
            if command not in runs:
                problems.append(f"{name} does not run {command}")
        if not re.search(r"xcode-select --switch /Applications/Xcode_[0-9.]+\.app", runs):
            problems.append(f"{name} does not pin an Xcode")
        # The oldest macOS of the program, the helper and QtCore, and none may be unknown.
        checked = re.search(r"for binary in (.*?); do", runs, re.S)
        for binary in ("MacOS/Quorvel Legacy", "MacOS/quorvel-legacy-helper", "QtCore"):
            if checked is None or f'{binary}"' not in checked.group(1):
                problems.append(f"{name} does not check the oldest macOS of {binary}")
        if 'test -n "$oldest"' not in runs:
            problems.append(f"{name} lets an empty minos answer pass")
        signing = runs.find("codesign --force")
        if signing < runs.find("macdeployqt") or signing > runs.find("codesign --verify"):
            problems.append(f"{name} must sign after macdeployqt and verify after signing")
        for step in steps:
            if not ("uses" in step) ^ ("run" in step):
                problems.append(f"{name}: a step needs exactly one of uses and run: {step}")
    for problem in problems:
        print(f"{sys.argv[1]}: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
