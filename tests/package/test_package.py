#!/usr/bin/python3
"""The Debian package, as a user gets it: built, installed with apt, started, removed.

Runs only as root, on a machine where the package is not installed already; it installs the
package into the system and purges it again.

usage: test_package.py --build BUILD_DIR --screenshots DIR
Exit status 77 when it cannot run here (the test is then skipped).
"""

import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import test_window  # noqa: E402  the session and window helpers of the end-to-end tests

SKIPPED = 77
PACKAGE = "quorvel-legacy"
BUILD = None


def installed():
    status = subprocess.run(["dpkg-query", "-W", "-f=${Status}", PACKAGE],
                            capture_output=True, text=True)
    return status.stdout.strip() == "install ok installed"


def apt(*arguments):
    environment = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "-y", "-q", "--no-install-recommends"] + list(arguments),
                   check=True, env=environment, stdout=subprocess.DEVNULL)


class TheDebianPackage(test_window.WindowTest):
    def test_installs_runs_finds_its_helpers_and_purges_cleanly(self):
        for old in glob.glob(os.path.join(BUILD, f"{PACKAGE}_*.deb")):
            os.remove(old)
        subprocess.run(["cpack", "-G", "DEB"], cwd=BUILD, check=True, stdout=subprocess.DEVNULL)
        package = glob.glob(os.path.join(BUILD, f"{PACKAGE}_*.deb"))[0]
        check = subprocess.run(["bash", os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                     "check-package.sh"), package],
                               capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)

        apt("install", os.path.abspath(package))
        self.addCleanup(lambda: installed() and apt("purge", PACKAGE))
        self.assertTrue(installed())
        files = subprocess.run(["dpkg", "-L", PACKAGE], capture_output=True, text=True,
                               check=True).stdout.split()
        for path in ("/usr/bin/quorvel-legacy", "/usr/bin/quorvel-memory-pressure",
                     "/usr/libexec/quorvel-legacy/quorvel-legacy-helper",
                     "/usr/share/polkit-1/actions/org.quorvel.legacy.policy",
                     "/usr/share/applications/org.quorvel.legacy.desktop",
                     "/usr/share/metainfo/org.quorvel.legacy.metainfo.xml",
                     "/usr/share/icons/hicolor/scalable/apps/quorvel-legacy.svg",
                     "/usr/share/icons/hicolor/48x48/apps/quorvel-legacy.png"):
            self.assertIn(path, files)
            self.assertTrue(os.path.exists(path), path)

        # The installed program, watched for the programs it starts.
        trace = tempfile.NamedTemporaryFile(prefix="quorvel-exec-", delete=False).name
        self.addCleanup(os.remove, trace)
        program = self.run_program(["strace", "-f", "-qq", "-e", "trace=execve", "-o", trace,
                                    "/usr/bin/quorvel-legacy"], "quorvel-legacy")
        self.assertEqual(program.window().name, "Quorvel Legacy")
        self.assertRegex(program.line("RAM:"), test_window.RAM_LINE)
        program.click(program.button("Очистить ОЗУ"))
        test_window.wait_for(lambda: any(t.startswith("Освобождено ~") or t == "Очистка выполнена"
                                         for t in program.labels()),
                             seconds=15, what="the clean-up's message")
        self.assertEqual(program.close(), 0)
        with open(trace) as log:
            started = log.read()
        self.assertRegex(started, re.escape('execve("/usr/bin/quorvel-memory-pressure", '
                                            '["/usr/bin/quorvel-memory-pressure", "-S", "-l", '
                                            '"critical", "-s", "3"]') + r".*= 0")

        # As an ordinary user, through polkit and the helper (in a namespace of its own).
        privileged = subprocess.run(["/usr/bin/python3",
                                     os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                  "test_privileged.py")])
        if privileged.returncode == 77:
            print("the privileged actions were not tried: see above", file=sys.stderr)
        else:
            self.assertEqual(privileged.returncode, 0, "the privileged actions")

        apt("purge", PACKAGE)
        self.assertFalse(installed())
        left = [path for path in files
                if os.path.isfile(path) or (path.endswith(PACKAGE) and os.path.exists(path))]
        self.assertEqual(left, [], "nothing of the package is left behind")
        self.assertFalse(os.path.exists("/usr/share/doc/" + PACKAGE))


def main():
    global BUILD
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--screenshots", required=True)
    args, rest = parser.parse_known_args()
    BUILD = args.build
    test_window.SCREENSHOTS = args.screenshots

    reasons = []
    if os.geteuid() != 0:
        reasons.append("installing a package needs root")
    for tool in ("apt-get", "cpack", "lintian", "hardening-check", "strace", "Xvfb", "xdotool",
                 "dbus-daemon"):
        if shutil.which(tool) is None:
            reasons.append(f"{tool} is missing")
    if not reasons and installed():
        reasons.append(f"{PACKAGE} is installed on this machine already")
    try:
        import pyatspi  # noqa: F401
    except ImportError:
        reasons.append("python3-pyatspi is missing")
    if reasons:
        print("skipped: " + "; ".join(reasons))
        return SKIPPED

    return test_window.run_in_session(rest)

if __name__ == "__main__":
    sys.exit(main())
