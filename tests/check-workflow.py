#!/usr/bin/python3
"""Lints the GitHub workflows, which cannot run here: each must parse as YAML and hold the steps
that make it prove what it is for.
- macos.yml: on an Intel Mac with Qt 5.15 and a pinned Xcode, the bundle built, tested against
  the real SMC, signed, packaged for the installer, installed, started, quit, and its helper run
  as root; and a build with the image's newest Xcode, whose SDK has no AGL.
- linux.yml: the README's test command as this project's CI runs it, as root on Debian 12, and the
  Debian package kept.
- release.yml: on a tag v*, both of those, and a release of their files with their sums.

usage: check-workflow.py WORKFLOWS_FOLDER
"""

import os
import re
import sys

import yaml

problems = []


def require(condition, problem):
    if not condition:
        problems.append(problem)


def steps_of(job):
    steps = job.get("steps") or []
    uses = [step.get("uses", "") for step in steps]
    runs = "\n".join(step.get("run", "") for step in steps)
    return steps, uses, runs


def in_order(runs, *commands):
    """Whether every command is run, each after the one before it."""
    at = -1
    for command in commands:
        found = runs.find(command, at + 1)
        if found < 0:
            return False
        at = found
    return True


def check_common(name, workflow, callable_):
    # YAML reads the key "on" as true.
    triggers = workflow.get("on", workflow.get(True)) or {}
    if callable_:
        for trigger in ("push", "pull_request", "workflow_call"):
            require(trigger in triggers, f"{name}: not run on {trigger}")
        branches = (triggers.get("push") or {}).get("branches")
        require(branches is not None, f"{name}: a tag's push runs it twice (release.yml calls it)")
    for job_name, job in (workflow.get("jobs") or {}).items():
        for step in job.get("steps") or []:
            require(("uses" in step) ^ ("run" in step),
                    f"{name}: {job_name}: a step needs exactly one of uses and run: {step}")
            require(not step.get("uses") or re.search(r"@v[0-9]+$", step["uses"]),
                    f"{name}: {job_name}: {step.get('uses')} is not pinned to a major version")
    return triggers


def check_qt(name, steps):
    qt = next((step for step in steps if "install-qt-action" in step.get("uses", "")), None)
    require(qt is not None and str(qt.get("with", {}).get("version", "")).startswith("5.15"),
            f"{name} does not install Qt 5.15")


def check_macos(workflow):
    check_common("macos.yml", workflow, callable_=True)
    jobs = workflow.get("jobs") or {}
    require(set(jobs) == {"bundle", "newest-xcode"}, "macos.yml: jobs bundle and newest-xcode")
    for name, job in jobs.items():
        require(str(job.get("runs-on", "")).endswith("-intel"),
                f"{name} does not run on an Intel runner")

    bundle = jobs.get("bundle") or {}
    steps, uses, runs = steps_of(bundle)
    check_qt("bundle", steps)
    for action in ("actions/checkout", "actions/upload-artifact"):
        require(any(use.startswith(action + "@") for use in uses), f"bundle lacks {action}")
    for command in ("cmake -S . -B build", "cmake --build build", "ctest --test-dir build",
                    "macdeployqt", "otool -l", "codesign --force --deep --sign -",
                    "codesign --verify --deep --strict", 'test -n "$oldest"',
                    "--gtest_filter='SmcConnection.ThisMacsSmc",
                    "plutil -replace 0.BundleIsRelocatable -bool NO",
                    "--install-location /Applications", "--ownership recommended",
                    "sudo installer -pkg QuorvelLegacy.pkg -target /",
                    'stat -f %Su "$INSTALLED/Contents/MacOS/quorvel-legacy-helper"',
                    "-perm -020 -o -perm -002", 'codesign --verify --deep --strict --verbose=2 '
                    '"$INSTALLED"', 'open "$INSTALLED"', "sleep 10", "screencapture",
                    "osascript -e 'quit app \"Quorvel Legacy\"'", "Library/Logs/DiagnosticReports",
                    'tests/macos/check-helper.py "$INSTALLED/Contents/MacOS/quorvel-legacy-helper"'):
        require(command in runs, f"bundle does not run {command}")
    require(re.search(r"xcode-select --switch /Applications/Xcode_[0-9.]+\.app", runs),
            "bundle does not pin an Xcode")
    # The oldest macOS of the program, the helper and QtCore, and none may be unknown.
    checked = re.search(r"for binary in (.*?); do", runs, re.S)
    for binary in ("MacOS/Quorvel Legacy", "MacOS/quorvel-legacy-helper", "QtCore"):
        require(checked and f'{binary}"' in checked.group(1),
                f"bundle does not check the oldest macOS of {binary}")
    require(in_order(runs, "macdeployqt", "codesign --force", "codesign --verify", "pkgbuild",
                     "sudo installer", 'open "$INSTALLED"', "sleep 10", "pgrep", "screencapture",
                     "osascript", "check-helper.py"),
            "bundle must sign after macdeployqt, package the verified bundle, install it, start "
            "it, look at it, quit it, then try its helper")
    uploaded = "\n".join(str(step.get("with", {}).get("path", "")) for step in steps
                         if step.get("uses", "").startswith("actions/upload-artifact@"))
    for artifact in ("QuorvelLegacy.zip", "QuorvelLegacy.pkg", "quorvel-legacy-macos.png"):
        require(artifact in uploaded, f"bundle does not keep {artifact}")

    newest = jobs.get("newest-xcode") or {}
    steps, _, runs = steps_of(newest)
    check_qt("newest-xcode", steps)
    for command in ("ls -d /Applications/Xcode_26", 'xcode-select --switch "$xcode"',
                    'test ! -e "$sdk/System/Library/Frameworks/AGL.framework"',
                    "cmake -S . -B build", "cmake --build build"):
        require(command in runs, f"newest-xcode does not run {command}")


def check_linux(workflow):
    check_common("linux.yml", workflow, callable_=True)
    jobs = workflow.get("jobs") or {}
    require(len(jobs) == 1, "linux.yml: one job expected")
    for name, job in jobs.items():
        container = job.get("container") or {}
        require(container.get("image") == "debian:12", f"{name} does not run in debian:12")
        require("--privileged" in str(container.get("options", "")),
                f"{name}'s container cannot make namespaces and mounts")
        require(str((job.get("env") or {}).get("CI")) == "true", f"{name} does not set CI=true")
        steps, uses, runs = steps_of(job)
        require(any(use.startswith("actions/checkout@") for use in uses), f"{name} lacks checkout")
        require(re.search(r"^bash \.ci/run$", runs, re.M), f"{name} does not run bash .ci/run")
        require(in_order(runs, "bash .ci/run", "-DQUORVEL_BUILD_TESTS=OFF", "cpack -G DEB"),
                f"{name} does not build the package as the README does, after the tests")
        require(any("quorvel-legacy_*.deb" in str(step.get("with", {}).get("path", ""))
                    for step in steps if step.get("uses", "").startswith("actions/upload-artifact@")),
                f"{name} does not keep the .deb")


def check_release(workflow):
    triggers = check_common("release.yml", workflow, callable_=False)
    require((triggers.get("push") or {}).get("tags") == ["v*"], "release.yml: not run on tags v*")
    jobs = workflow.get("jobs") or {}
    called = {job.get("uses") for job in jobs.values()}
    for called_workflow in ("./.github/workflows/linux.yml", "./.github/workflows/macos.yml"):
        require(called_workflow in called, f"release.yml does not call {called_workflow}")
    publish = jobs.get("publish") or {}
    require(set(publish.get("needs") or []) == {"linux", "macos"},
            "release.yml: publish must wait for both builds")
    require((publish.get("permissions") or {}).get("contents") == "write",
            "release.yml: publish cannot write a release")
    _, uses, runs = steps_of(publish)
    require(any(use.startswith("actions/download-artifact@") for use in uses),
            "release.yml does not take the builds' files")
    for command in ("quorvel-legacy_*.deb", "QuorvelLegacy.pkg", "QuorvelLegacy.zip",
                    "sha256sum", "SHA256SUMS", 'gh release create "$GITHUB_REF_NAME" release/*'):
        require(command in runs, f"release.yml: publish does not use {command}")


def main():
    folder = sys.argv[1]
    for name, check in (("macos.yml", check_macos), ("linux.yml", check_linux),
                        ("release.yml", check_release)):
        path = os.path.join(folder, name)
        if not os.path.exists(path):
            problems.append(f"{name} is missing")
            continue
        with open(path) as file:
            check(yaml.safe_load(file) or {})
    for problem in problems:
        print(f"{folder}: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
