#!/usr/bin/python3
"""The installed program's privileged actions, as an ordinary user who opened it from the desktop.

Runs as root, with the Debian package installed, in a private mount namespace of its own making
(it starts itself again under `unshare -m`), so that nothing it sets up outlives it: a user of its
own (in a private /etc/passwd), a system message bus, polkitd with a rule of the test's own that
grants that user the program's polkit action (and, in a second run, denies it), a /sys with an
applesmc folder whose files only root may write, and, in place of the installed memory-pressure
tool, a wrapper that notes who ran it. Then, as that user, it starts a desktop session of its own
(X server, session bus, accessibility bus), starts /usr/bin/quorvel-legacy and drives its window.

usage: test_privileged.py
Exit status 0 when every check passed, 77 when it cannot run here, 1 otherwise.
"""

import os
import pwd
import shutil
import subprocess
import sys
import tempfile
import time

SKIPPED = 77
HERE = os.path.dirname(os.path.abspath(__file__))
PROGRAM = "/usr/bin/quorvel-legacy"
TOOL = "/usr/bin/quorvel-memory-pressure"
USER = "quorvel-e2e"
REFUSED = "Нет прав администратора: действие не выполнено"
MARK = "QUORVEL_PRIVILEGED_NAMESPACE"

FAN_FILES = {
    "name": "applesmc", "fan1_input": "2150", "fan1_min": "1200", "fan1_max": "6200",
    "fan1_manual": "0", "fan1_output": "1200", "fan2_input": "1999", "fan2_min": "1300",
    "fan2_max": "5800", "fan2_manual": "0", "fan2_output": "1300",
    "temp1_label": "TC0P", "temp1_input": "47600",
}

RULE = """polkit.addRule(function(action, subject) {
    if (action.id == "org.quorvel.legacy.helper") {
        polkit.log("quorvel-e2e: " + action.id + " asked for " + subject.user);
        if (subject.user == "%s") {
            return polkit.Result.%s;
        }
    }
});
"""


def log(text):
    print(text, flush=True)


# --- as root, inside the namespace ---------------------------------------------------------------

class Machine:
    """The namespace's machine: its user, its buses and polkitd, its SMC and its tool."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="quorvel-privileged-")
        os.chmod(self.folder, 0o755)
        self.processes = []
        self.uid = next(uid for uid in range(61000, 62000) if not self._uid_taken(uid))
        self.home = self.path("home")
        os.mkdir(self.home, 0o700)
        os.chown(self.home, self.uid, self.uid)
        self._add_user()
        # A /run of its own: its system bus, and root's clean-up lock, which is the machine's.
        subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", "/run"], check=True)
        os.mkdir("/run/dbus", 0o755)
        self.state = "/run/dbus/quorvel-e2e"  # a folder only root may write
        os.mkdir(self.state, 0o755)
        self._make_sys()
        self._wrap_tool()
        self._copy_scripts()

    def path(self, *names):
        return os.path.join(self.folder, *names)

    @staticmethod
    def _uid_taken(uid):
        try:
            pwd.getpwuid(uid)
            return True
        except KeyError:
            return False

    def _add_user(self):
        for name, line in (("passwd", f"{USER}:x:{self.uid}:{self.uid}::{self.home}:/bin/sh\n"),
                           ("group", f"{USER}:x:{self.uid}:\n")):
            copy = self.path(name)
            shutil.copyfile(f"/etc/{name}", copy)
            with open(copy, "a") as file:
                file.write(line)
            os.chmod(copy, 0o644)
            subprocess.run(["mount", "--bind", copy, f"/etc/{name}"], check=True)

    def _make_sys(self):
        self.smc = self.path("sys", "devices", "platform", "applesmc.768")
        os.makedirs(self.smc)
        for folder in (self.path("sys"), self.path("sys", "devices"),
                       self.path("sys", "devices", "platform"), self.smc):
            os.chmod(folder, 0o755)
        self.reset_fans()
        subprocess.run(["mount", "--bind", self.path("sys"), "/sys"], check=True)

    def reset_fans(self):
        for name, text in FAN_FILES.items():
            path = os.path.join(self.smc, name)
            with open(path, "w") as file:
                file.write(text + "\n")
            os.chmod(path, 0o644)

    def fan(self, name):
        with open(os.path.join(self.smc, name)) as file:
            return file.read().strip()

    def _wrap_tool(self):
        """The installed tool, behind a wrapper of root's that notes each run and its user."""
        real = os.path.join(self.state, "quorvel-memory-pressure")
        shutil.copy2(TOOL, real)
        self.tool_runs = os.path.join(self.state, "tool-runs")
        wrapper = os.path.join(self.state, "wrapper")
        with open(wrapper, "w") as file:
            file.write("#!/bin/sh\n"
                       f"echo \"$(id -u) $*\" >> {self.tool_runs}\n"
                       f"exec {real} \"$@\"\n")
        os.chmod(wrapper, 0o755)
        subprocess.run(["mount", "--bind", wrapper, TOOL], check=True)

    def _copy_scripts(self):
        """This script and the window helpers, where the test's user can read them."""
        scripts = self.path("scripts")
        os.mkdir(scripts, 0o755)
        for source in (os.path.abspath(__file__), os.path.join(HERE, "..", "e2e", "test_window.py")):
            shutil.copy(source, scripts)
        self.script = os.path.join(scripts, os.path.basename(__file__))

    def start_services(self, rule_result):
        rules = self.path("rules-" + rule_result.lower())
        os.mkdir(rules, 0o755)
        with open(os.path.join(rules, "50-quorvel-e2e.rules"), "w") as file:
            file.write(RULE % (USER, rule_result))
        subprocess.run(["mount", "--bind", rules, "/etc/polkit-1/rules.d"], check=True)

        bus = subprocess.Popen(["dbus-daemon", "--system", "--nofork", "--nopidfile"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append(bus)
        wait_until(lambda: os.path.exists("/run/dbus/system_bus_socket"), "the system bus")
        self.polkit_log = self.path(f"polkitd-{rule_result.lower()}.log")
        with open(self.polkit_log, "w") as output:
            polkitd = subprocess.Popen(["/usr/lib/polkit-1/polkitd"], stdout=output,
                                       stderr=subprocess.STDOUT)
        self.processes.append(polkitd)
        wait_until(lambda: "Acquired the name" in read(self.polkit_log), "polkitd on the bus")

    def stop_services(self):
        for process in reversed(self.processes):
            process.terminate()
            process.wait()
        self.processes = []
        subprocess.run(["umount", "/etc/polkit-1/rules.d"], check=True)
        if os.path.exists("/run/dbus/system_bus_socket"):
            os.remove("/run/dbus/system_bus_socket")

    def authorizations(self):
        return read(self.polkit_log).count("quorvel-e2e: org.quorvel.legacy.helper asked for")

    def run_as_user(self, expectation):
        environment = {"HOME": self.home, "PATH": "/usr/bin:/bin", "LANG": "C.UTF-8",
                       "XDG_RUNTIME_DIR": self.home, "QUORVEL_E2E_SMC": self.smc,
                       "QUORVEL_E2E_EXPECT": expectation}
        return subprocess.run(["setpriv", f"--reuid={self.uid}", f"--regid={self.uid}",
                               "--clear-groups", "/usr/bin/python3", self.script, "--as-user"],
                              env=environment, cwd=self.home).returncode

    def close(self):
        self.stop_services()


def read(path):
    try:
        with open(path) as file:
            return file.read()
    except OSError:
        return ""


def wait_until(condition, what, seconds=15.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.05)
    raise RuntimeError(f"timed out waiting for {what}")


def inside_namespace():
    machine = Machine()
    failures = []

    def check(condition, text):
        if not condition:
            failures.append(text)
            log("FAILED: " + text)

    try:
        # Granted: one authorization for the run, and every action done as root by the helper.
        machine.start_services("YES")
        check(machine.run_as_user("granted") == 0, "the granted run's window checks")
        check(machine.fan("fan1_output") == "6200", "fan 1's target is written")
        check(machine.fan("fan1_manual") == "0" and machine.fan("fan2_manual") == "0",
              "the fans are handed back")
        runs = read(machine.tool_runs).splitlines()
        check(runs == ["0 -S -l critical -s 3"], f"the tool ran once, as root: {runs}")
        check(machine.authorizations() == 1,
              f"one authorization for the run, not {machine.authorizations()}")
        machine.stop_services()

        # Denied: nothing is written, nothing runs, and the window says so.
        machine.reset_fans()
        os.remove(machine.tool_runs)
        machine.start_services("NO")
        check(machine.run_as_user("denied") == 0, "the denied run's window checks")
        check(machine.fan("fan1_output") == "1200" and machine.fan("fan1_manual") == "0",
              "nothing is written when authorization is denied")
        check(not os.path.exists(machine.tool_runs), "the tool is not run when denied")
        check(machine.authorizations() >= 1, "the denied run asked polkit")
    finally:
        machine.close()
    log("privileged actions: " + ("ok" if not failures else f"{len(failures)} failed"))
    return 0 if not failures else 1


# --- as the test's user ----------------------------------------------------------------------------

def as_user():
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import test_window as window

    smc = os.environ["QUORVEL_E2E_SMC"]
    granted = os.environ["QUORVEL_E2E_EXPECT"] == "granted"
    failures = []

    def check(condition, text):
        if not condition:
            failures.append(text)
            log("FAILED (as the user): " + text)

    def fan(name):
        with open(os.path.join(smc, name)) as file:
            return file.read().strip()

    def status(program):
        return next((t for t in program.labels()
                     if t == REFUSED or t.startswith("Освобождено ~") or t == "Очистка выполнена"
                     or t.startswith("Quorvel Legacy \u00b7")), None)

    window.SESSION.start()
    try:
        program = window.RunningProgram([PROGRAM], "quorvel-legacy")
        with open(f"/proc/{program.process.pid}/status") as file:
            uids = next(line for line in file if line.startswith("Uid:")).split()[1:]
        check(uids and all(uid != "0" for uid in uids), f"the window runs as root: {uids}")
        check(program.line("Вентиляторов:") == "Вентиляторов: 2 \u00b7 Fan1: 2150 об/мин",
              f"the fan line: {program.line('Вентиляторов:')}")

        program.click(program.checkbox())
        program.press(program.slider(), "End")
        program.click(program.button("Применить обороты"))
        if granted:
            window.wait_for(lambda: fan("fan1_output") == "6200", seconds=20,
                            what="the target written through the helper")
            check(fan("fan1_manual") == "1", "fan 1 is switched to manual")
            check(status(program) != REFUSED, "no refusal is shown")
            program.click(program.button("Авто-вентиляторы"))
            window.wait_for(lambda: fan("fan1_manual") == "0", seconds=10,
                            what="the fans handed back")
            program.click(program.button("Очистить ОЗУ"))
            window.wait_for(lambda: status(program) is not None and
                            not status(program).startswith("Quorvel"),
                            seconds=30, what="the clean-up's message")
            check(status(program) != REFUSED, f"the clean-up was done: {status(program)}")
        else:
            window.wait_for(lambda: status(program) == REFUSED, seconds=20,
                            what="the refusal in the status line")
            check(fan("fan1_output") == "1200", "nothing is written")
            program.click(program.button("Очистить ОЗУ"))
            window.wait_for(lambda: status(program) == REFUSED, seconds=20,
                            what="the clean-up refused")
            program.click(program.button("Авто-вентиляторы"))
            check(status(program) == REFUSED, "handing back is refused")
        check(program.close() == 0, "the window closes with status 0")
    except Exception as error:  # a timeout, a control not found
        failures.append(str(error))
        log(f"FAILED (as the user): {error}")
    finally:
        window.SESSION.stop()
    return 0 if not failures else 1


def main():
    if "--as-user" in sys.argv:
        return as_user()
    if os.environ.get(MARK) == "1":
        return inside_namespace()

    reasons = []
    if os.geteuid() != 0:
        reasons.append("needs root")
    for path in (PROGRAM, TOOL, "/usr/bin/pkexec", "/usr/lib/polkit-1/polkitd",
                 "/usr/libexec/quorvel-legacy/quorvel-legacy-helper"):
        if not os.path.exists(path):
            reasons.append(f"{path} is missing")
    for tool in ("unshare", "setpriv", "dbus-daemon", "Xvfb", "xdotool"):
        if shutil.which(tool) is None:
            reasons.append(f"{tool} is missing")
    if not reasons:
        probe = subprocess.run(["unshare", "-m", "--propagation", "private", "true"])
        if probe.returncode != 0:
            reasons.append("mount namespaces are not allowed here")
    if reasons:
        print("skipped: " + "; ".join(reasons))
        return SKIPPED
    environment = dict(os.environ, **{MARK: "1"})
    return subprocess.run(["unshare", "-m", "--propagation", "private", "/usr/bin/python3",
                           os.path.abspath(__file__)], env=environment).returncode


if __name__ == "__main__":
    sys.exit(main())
