#!/usr/bin/python3
"""Lints the GitHub workflows, which cannot run here: each must parse as YAML and hold the steps
that make it prove what it is for.
- macos.yml: on an Intel Mac with Qt 5.15 and a pinned Xcode, the bundle built, tested against
  the real SMC, signed, packaged with the helper where it is started from, installed, started,
  quit, and the helper run as root; and a build with the image's newest Xcode, without AGL.
- linux.yml: the README's test command, as root, on Debian 12, Debian 13 and Ubuntu 24.04, and
  each release's Debian package kept under a name of its own.
- release.yml: on a tag v*, both of those, and a release of their files with their sums.

usage: check-workflow.py WORKFLOWS_FOLDER
"""

import os
import re
import sys

import yaml

# What each job runs, in this order.
RUNS = {
    ("macos.yml", "bundle"): [
        "git -C googletest-source fetch", "52eb8108c5bdec04579160ae17225d66034bd723",
        "cmake --install googletest-build", "cmake -S . -B build", '$HOME/googletest"',
        "cmake --build build", 'otool -L "$APP/Contents/MacOS/Quorvel Legacy" | grep AGL',
        "ctest --test-dir build",
        "--gtest_filter='SmcConnection.ThisMacsSmc", "macdeployqt", "otool -l",
        'test -n "$oldest"', "codesign --force --deep --sign -", "codesign --verify --deep --strict",
        'codesign --force --sign - "$HELPER"', 'ditto "$HELPER" "$root$INSTALLED_HELPER"',
        "plutil -replace 0.BundleIsRelocatable -bool NO", "--install-location / ",
        "--ownership recommended", 'grep -Fx -e ".$INSTALLED_HELPER"',
        "sudo installer -pkg QuorvelLegacy.pkg -target /", "-perm -020 -o -perm -002",
        'codesign --verify --deep --strict --verbose=2 "$INSTALLED"', "path=$INSTALLED_HELPER",
        'find "$path" -maxdepth 0', 'path=$(dirname "$path")',
        "reports=~/Library/Logs/DiagnosticReports", 'open "$INSTALLED"', "sleep 10", "pgrep", "screencapture",
        'tell application "System Events"', 'keystroke "q" using command down',
        "find \"$reports\" -name 'Quorvel Legacy*' -newer started.mark",
        'tests/macos/check-helper.py "$INSTALLED_HELPER" "$version"'],
    ("macos.yml", "newest-xcode"): [
        "ls -d /Applications/Xcode_26", 'xcode-select --switch "$xcode"', "cmake -S . -B build",
        "cmake --build build"],
    ("linux.yml", "test"): [
        "bash scripts/test.sh", "-DQUORVEL_BUILD_TESTS=OFF", "cpack -G DEB"],
    ("release.yml", "publish"): [
        "debian-12 debian-13 ubuntu-24.04", "quorvel-legacy_*.deb", "-eq 3",
        "QuorvelLegacy.pkg", "QuorvelLegacy.zip", "sha256sum",
        "SHA256SUMS", 'gh release view "$GITHUB_REF_NAME"',
        'gh release upload "$GITHUB_REF_NAME" release/* --repo "$GITHUB_REPOSITORY" --clobber',
        'gh release create "$GITHUB_REF_NAME" release/*'],
}
# What a job must not run: Homebrew, which no longer serves Intel Macs as it did; an Apple event
# to our app, which waits on a prompt no one answers on the runner; a look for AGL where the SDK
# has none to link.
NEVER = {
    ("macos.yml", "bundle"): ["brew install", "quit app"],
    ("macos.yml", "newest-xcode"): ["brew install", "otool"],
}
# What each job keeps as its artifacts.
KEEPS = {
    ("macos.yml", "bundle"): ["QuorvelLegacy.zip", "QuorvelLegacy.pkg",
                              "quorvel-legacy-macos.png"],
    ("linux.yml", "test"): ["build-release/quorvel-legacy_*.deb"],
}


def check(folder):
    problems = []
    workflows = {}
    for name in ("macos.yml", "linux.yml", "release.yml"):
        path = os.path.join(folder, name)
        if not os.path.exists(path):
            problems.append(f"{name} is missing")
            continue
        with open(path) as file:
            workflows[name] = yaml.safe_load(file) or {}

    def require(condition, problem):
        if not condition:
            problems.append(problem)

    def job(name, job_name):
        return (workflows.get(name, {}).get("jobs") or {}).get(job_name) or {}

    for (name, job_name), commands in RUNS.items():
        steps = job(name, job_name).get("steps") or []
        runs = "\n".join(step.get("run", "") for step in steps)
        at, after = -1, ""
        for command in commands:
            found = runs.find(command, at + 1)
            require(found >= 0, f"{name}: {job_name} does not run {command}{after}")
            at, after = max(at, found), f", or not after {command}"
        for command in NEVER.get((name, job_name), []):
            require(command not in runs, f"{name}: {job_name} runs {command}")
        kept = "\n".join(str(step.get("with", {}).get("path", "")) for step in steps
                         if step.get("uses", "").startswith("actions/upload-artifact@"))
        for artifact in KEEPS.get((name, job_name), []):
            require(artifact in kept, f"{name}: {job_name} does not keep {artifact}")
        for step in steps:
            require(("uses" in step) ^ ("run" in step),
                    f"{name}: {job_name}: a step needs exactly one of uses and run: {step}")
            require(not step.get("uses") or re.search(r"@v[0-9]+$", step["uses"]),
                    f"{name}: {job_name}: {step.get('uses')} is not pinned to a major version")
        if name != "release.yml":
            uses = [step.get("uses", "") for step in steps]
            require(any(use.startswith("actions/checkout@") for use in uses),
                    f"{name}: {job_name} lacks actions/checkout")

    # YAML reads the key "on" as true.
    def triggers(name):
        return workflows.get(name, {}).get("on", workflows.get(name, {}).get(True)) or {}

    for name in ("macos.yml", "linux.yml"):
        for trigger in ("push", "pull_request", "workflow_call"):
            require(trigger in triggers(name), f"{name}: not run on {trigger}")
        require((triggers(name).get("push") or {}).get("branches") is not None,
                f"{name}: a tag's push runs it twice (release.yml calls it)")
    for job_name in ("bundle", "newest-xcode"):
        require(str(job("macos.yml", job_name).get("runs-on", "")).endswith("-intel"),
                f"macos.yml: {job_name} does not run on an Intel runner")
        qt = next((step for step in job("macos.yml", job_name).get("steps") or []
                   if "install-qt-action" in step.get("uses", "")), {})
        require(str(qt.get("with", {}).get("version", "")).startswith("5.15"),
                f"macos.yml: {job_name} does not install Qt 5.15")
    bundle_runs = "\n".join(step.get("run", "") for step in job("macos.yml", "bundle")["steps"])
    require(re.search(r"xcode-select --switch /Applications/Xcode_[0-9.]+\.app", bundle_runs),
            "macos.yml: bundle does not pin an Xcode")
    # The oldest macOS of the program, the helper and QtCore, and none may be unknown.
    checked = re.search(r"for binary in (.*?); do", bundle_runs, re.S)
    for binary in ("MacOS/Quorvel Legacy", "$HELPER", "QtCore"):
        require(checked and f'{binary}"' in checked.group(1),
                f"macos.yml: bundle does not check the oldest macOS of {binary}")

    # The package puts the helper it built where the launcher starts it from, where only root
    # can put a file.
    launcher = "../../Sources/platform/darwin/AuthorizationHelperLauncher.cpp"
    with open(os.path.join(folder, launcher)) as file:
        started = re.findall(r'Helper = "(/Library/PrivilegedHelperTools/[^"]+)"', file.read())
    env = job("macos.yml", "bundle").get("env") or {}
    require([env.get("INSTALLED_HELPER")] == started and
            env.get("HELPER") == "build/" + os.path.basename(started[0]),
            f"macos.yml: bundle does not put build/<helper> where it is started from: {started}")

    linux = job("linux.yml", "test")
    container = linux.get("container") or {}
    matrix = (linux.get("strategy") or {}).get("matrix") or {}
    releases = {entry.get("image"): entry.get("release") for entry in matrix.get("include") or []}
    require(releases == {"debian:12": "debian-12", "debian:13": "debian-13",
                         "ubuntu:24.04": "ubuntu-24.04"},
            f"linux.yml: not run on debian:12, debian:13 and ubuntu:24.04: {releases}")
    require(container.get("image") == "${{ matrix.image }}",
            "linux.yml: not run in the matrix's image")
    kept = [step.get("with", {}).get("name") for step in linux.get("steps") or []
            if step.get("uses", "").startswith("actions/upload-artifact@")]
    require(kept == ["Quorvel-Legacy-${{ matrix.release }}"],
            "linux.yml: each release's package is not kept under its own name")
    require("--privileged" in str(container.get("options", "")),
            "linux.yml: its container cannot make namespaces and mounts")
    require(str((linux.get("env") or {}).get("CI")) == "true", "linux.yml: CI is not true")

    require((triggers("release.yml").get("push") or {}).get("tags") == ["v*"],
            "release.yml: not run on tags v*")
    called = {j.get("uses") for j in (workflows.get("release.yml", {}).get("jobs") or {}).values()}
    for name in ("linux.yml", "macos.yml"):
        require(f"./.github/workflows/{name}" in called, f"release.yml does not call {name}")
    publish = job("release.yml", "publish")
    require(set(publish.get("needs") or []) == {"linux", "macos"},
            "release.yml: publish must wait for both builds")
    require((publish.get("permissions") or {}).get("contents") == "write",
            "release.yml: publish cannot write a release")
    require(any(step.get("uses", "").startswith("actions/download-artifact@")
                for step in publish.get("steps") or []),
            "release.yml: publish does not take the builds' files")
    return problems


if __name__ == "__main__":
    found = check(sys.argv[1]) if os.path.isdir(sys.argv[1]) else ["not a folder"]
    for problem in found:
        print(f"{sys.argv[1]}: {problem}")
    sys.exit(1 if found else 0)
