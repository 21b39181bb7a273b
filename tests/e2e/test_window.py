#!/usr/bin/python3
"""End-to-end tests of the built program, driven through its window as a person would.

Each test starts the real program (or the emulated build) on a private X server (Xvfb), finds its
controls through the accessibility bus (AT-SPI, as a screen reader does), clicks them with real
pointer and key events (xdotool), reads what the window shows, and closes the window. Where the
program reads the machine, the test gives it a machine of its own making: the program runs in a
private mount namespace with a sample /proc/meminfo bound over the real one and an applesmc
folder of the test's own at /sys/devices/platform/applesmc.768.

With --wayland the session has weston's headless compositor and no X server at all, and only the
tests that need no X run (TheProgramOnWayland).

usage: test_window.py --program PATH --emulated PATH --screenshots DIR [--wayland] [unittest options]
Exit status 77 when the tools it needs are missing (the test is then skipped).
"""

import argparse
import ctypes
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import warnings
import zlib

SKIPPED = 77
PROGRAM = EMULATED = SCREENSHOTS = NAMESPACES = None
PRIVATE_MOUNTS = ["unshare", "-m", "--propagation", "private"]  # a mount namespace of its own

NO_SENSOR = "CPU: нет датчика (нормально для многих M\u2011чипов)"
NO_SMC = "AppleSMC недоступен"
PRODUCT_LINE = "Quorvel Legacy \u00b7 macOS 10.15+ Intel"
NO_RIGHTS = "Нет прав администратора: действие не выполнено"
DONE = r"^(Освобождено ~\d+ MB|Очистка выполнена)$"


# --- the X server, through libX11 -------------------------------------------------------------

class XEvent(ctypes.Union):
    _fields_ = [("type", ctypes.c_int), ("pad", ctypes.c_long * 24)]


class XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("l", ctypes.c_long * 5)]


class XImage(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                ("format", ctypes.c_int), ("data", ctypes.POINTER(ctypes.c_ubyte)),
                ("byte_order", ctypes.c_int), ("bitmap_unit", ctypes.c_int),
                ("bitmap_bit_order", ctypes.c_int), ("bitmap_pad", ctypes.c_int),
                ("depth", ctypes.c_int), ("bytes_per_line", ctypes.c_int),
                ("bits_per_pixel", ctypes.c_int)]


def libx11():
    x = ctypes.cdll.LoadLibrary("libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XCloseDisplay.argtypes = [ctypes.c_void_p]
    x.XDefaultRootWindow.restype = ctypes.c_ulong
    x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    x.XInternAtom.restype = ctypes.c_ulong
    x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                             ctypes.c_void_p]
    x.XFlush.argtypes = [ctypes.c_void_p]
    x.XCreateSimpleWindow.restype = ctypes.c_ulong
    x.XCreateSimpleWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                                      ctypes.c_uint, ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong,
                                      ctypes.c_ulong]
    x.XMapWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    x.XSetInputFocus.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_ulong]
    x.XGetInputFocus.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_ulong),
                                 ctypes.POINTER(ctypes.c_int)]
    x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    x.XGetImage.restype = ctypes.POINTER(XImage)
    x.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                            ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
    return x


def close_window(window_id):
    """Asks the window to close, as a window manager's close button does."""
    x = libx11()
    display = x.XOpenDisplay(None)
    event = XClientMessageEvent()
    event.type = 33  # ClientMessage
    event.window = window_id
    event.message_type = x.XInternAtom(display, b"WM_PROTOCOLS", 0)
    event.format = 32
    event.l[0] = x.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
    x.XSendEvent(display, window_id, 0, 0, ctypes.byref(event))
    x.XFlush(display)
    x.XCloseDisplay(display)


class FocusedWindow:
    """A window of the test's own that holds the keyboard, as another program's would."""

    def __init__(self):
        self.x = libx11()
        self.display = self.x.XOpenDisplay(None)
        root = self.x.XDefaultRootWindow(self.display)
        self.window = self.x.XCreateSimpleWindow(self.display, root, 0, 0, 200, 100, 0, 0, 0)
        self.x.XMapWindow(self.display, self.window)
        self.x.XSync(self.display, 0)
        wait_for(self._viewable, what="the test's window to be mapped")
        self.x.XSetInputFocus(self.display, self.window, 1, 0)  # RevertToPointerRoot, now
        self.x.XSync(self.display, 0)

    def _viewable(self):
        try:
            self.x.XSetInputFocus(self.display, self.window, 1, 0)
            self.x.XSync(self.display, 0)
        except OSError:
            return False
        return self.focus() == self.window

    def focus(self):
        focused, revert = ctypes.c_ulong(), ctypes.c_int()
        self.x.XGetInputFocus(self.display, ctypes.byref(focused), ctypes.byref(revert))
        return focused.value

    def close(self):
        self.x.XCloseDisplay(self.display)


def screenshot(path, left=0, top=0, width=1280, height=800):
    """Saves the screen, or the part of it given, as a PNG file."""
    x = libx11()
    display = x.XOpenDisplay(None)
    image = x.XGetImage(display, x.XDefaultRootWindow(display), left, top, width, height,
                        0xFFFFFFFF, 2).contents  # ZPixmap
    rows = []
    for y in range(image.height):
        line = ctypes.string_at(ctypes.addressof(image.data.contents) + y * image.bytes_per_line,
                                image.width * 4)
        rgb = bytearray(image.width * 3)
        rgb[0::3], rgb[1::3], rgb[2::3] = line[2::4], line[1::4], line[0::4]
        rows.append(b"\x00" + bytes(rgb))
    x.XCloseDisplay(display)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    with open(path, "wb") as png:
        png.write(b"\x89PNG\r\n\x1a\n")
        png.write(chunk(b"IHDR", struct.pack(">IIBBBBB", image.width, image.height, 8, 2, 0, 0, 0)))
        png.write(chunk(b"IDAT", zlib.compress(b"".join(rows))))
        png.write(chunk(b"IEND", b""))


# --- the session: a bus, an X server and the accessibility bus ---------------------------------

def start_x_server():
    """A private X server: its process and its display's name."""
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x800x24",
                             "-nolisten", "tcp"], pass_fds=[write_end],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as displayfd:
        return xvfb, ":" + displayfd.readline().strip()


def start_weston():
    """weston's headless compositor, with no X server: its process and its socket's name."""
    socket = f"quorvel-e2e-{os.getpid()}"
    weston = subprocess.Popen(["weston", "--backend=headless-backend.so", "--socket=" + socket,
                               "--idle-time=0"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for(lambda: os.path.exists(os.path.join(os.environ["XDG_RUNTIME_DIR"], socket)),
             what="weston's socket")
    return weston, socket


class Session:
    def __init__(self):
        self.processes = []
        self.wayland = False

    def start(self):
        bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.processes.append(bus)
        os.environ["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
        bus.stdout.close()

        os.environ["XDG_RUNTIME_DIR"] = tempfile.mkdtemp(prefix="quorvel-e2e-run-")
        os.chmod(os.environ["XDG_RUNTIME_DIR"], 0o700)
        if self.wayland:
            display_server, os.environ["WAYLAND_DISPLAY"] = start_weston()
            os.environ.pop("DISPLAY", None)
        else:
            display_server, os.environ["DISPLAY"] = start_x_server()
        self.processes.append(display_server)

        launcher = subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append(launcher)
        os.environ["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
        os.environ["QT_QPA_PLATFORM"] = "wayland" if self.wayland else "xcb"
        global pyatspi, Atspi
        import gi
        gi.require_version("Atspi", "2.0")
        from gi.repository import Atspi
        import pyatspi  # after the buses are known
        Atspi.set_timeout(30000, 60000)  # a busy machine's answers, later than 0.8 s
        pyatspi.Registry.getDesktop(0)  # starts the registry before any program

    def stop(self):
        for process in reversed(self.processes):
            process.terminate()
            process.wait()


pyatspi = Atspi = None
SESSION = Session()


# --- a running program and its window ----------------------------------------------------------

def wait_for(condition, seconds=30.0, what="a condition"):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")


class RunningProgram:
    """The program started as a user would start it, with its window found by its title."""

    def __init__(self, command, name, add_cleanup=lambda kill: None):
        self.name = name
        self.process = subprocess.Popen(command, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        add_cleanup(self.kill)  # first: a case that lost the bus leaves no program to later ones
        self.application = wait_for(self._application, what=f"{name} on the accessibility bus")
        wait_for(lambda: len(self.labels()) >= 8, what="the dashboard")

    def _application(self):
        desktop = pyatspi.Registry.getDesktop(0)
        for index in range(desktop.childCount):
            application = desktop.getChildAtIndex(index)
            if application is not None and application.name == self.name:
                application.set_cache_mask(Atspi.Cache.NONE)  # read what is shown now
                return application
        return None

    def _nodes(self, role):
        found = []

        def walk(node):
            if node is None:
                return
            if node.getRole() == role:
                found.append(node)
            for index in range(node.childCount):
                walk(node.getChildAtIndex(index))

        walk(self.application)
        return found

    def window(self):
        return self.application.getChildAtIndex(0)

    def labels(self):
        return [node.name for node in self._nodes(pyatspi.ROLE_LABEL)]

    def line(self, prefix):
        for text in self.labels():
            if text.startswith(prefix):
                return text
        return None

    def button(self, title):
        return next(n for n in self._nodes(pyatspi.ROLE_PUSH_BUTTON) if n.name == title)

    def checkbox(self):
        return self._nodes(pyatspi.ROLE_CHECK_BOX)[0]

    def slider(self):
        return self._nodes(pyatspi.ROLE_SLIDER)[0]

    def enabled(self, node):
        return node.getState().contains(pyatspi.STATE_ENABLED)

    def checked(self, node):
        return node.getState().contains(pyatspi.STATE_CHECKED)

    def slider_range(self):
        value = self.slider().queryValue()
        return value.minimumValue, value.maximumValue, value.currentValue

    def click(self, node):
        x, y, width, height = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        subprocess.run(["xdotool", "mousemove", "--sync", str(x + width // 2), str(y + height // 2),
                        "click", "1"], check=True)
        time.sleep(0.2)

    def press(self, node, *keys):
        """Gives the control the keyboard with a click, then presses the keys."""
        self.click(node)
        subprocess.run(["xdotool", "key"] + list(keys), check=True)
        time.sleep(0.2)

    def close(self):
        """Closes the window with its close button's request; the exit status."""
        # The one program window on this private X server.
        ids = subprocess.run(["xdotool", "search", "--name", "^Quorvel Legacy$"],
                             capture_output=True, text=True)
        for window_id in ids.stdout.split():
            close_window(int(window_id))
        try:
            return self.process.wait(timeout=30)
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


class WindowTest(unittest.TestCase):
    def run_program(self, command, name):
        return RunningProgram(command, name, self.addCleanup)

    def run(self, result=None):
        # A screenshot of the screen as it was when a test failed.
        result = result or self.defaultTestResult()
        failures = len(result.failures) + len(result.errors)
        super().run(result)
        if len(result.failures) + len(result.errors) > failures and SCREENSHOTS:
            os.makedirs(SCREENSHOTS, exist_ok=True)
            path = os.path.join(SCREENSHOTS, self.id().split(".")[-1] + ".png")
            try:
                screenshot(path)
                print(f"screenshot: {path}", file=sys.stderr)
            except Exception as error:  # the X server may be gone
                print(f"no screenshot: {error}", file=sys.stderr)
        return result


RAM_LINE = re.compile(r"^RAM: \d+\.\d / \d+\.\d GB \(\d+%\)$")
SWAP_LINE = re.compile(r"^Swap: \d+\.\d MB$")


class TheProgramOnThisMachine(WindowTest):
    """The real program, reading this machine, which has no Apple SMC."""

    def test_start_up_ticks_clean_up_and_close(self):
        if os.path.isdir("/sys/devices/platform/applesmc.768"):
            self.skipTest("this machine has an Apple SMC")
        program = self.run_program([PROGRAM], os.path.basename(PROGRAM))
        self.assertEqual(program.window().name, "Quorvel Legacy")
        self.assertRegex(program.line("RAM:"), RAM_LINE)
        self.assertRegex(program.line("Swap:"), SWAP_LINE)
        self.assertEqual(program.line("CPU:"), NO_SENSOR)
        self.assertIn(NO_SMC, program.labels())
        self.assertIn(PRODUCT_LINE, program.labels())
        self.assertFalse(program.enabled(program.checkbox()))
        self.assertFalse(program.enabled(program.slider()))
        for title in ("Очистить ОЗУ", "Применить обороты", "Авто-вентиляторы"):
            self.assertTrue(program.enabled(program.button(title)))

        time.sleep(2.5)  # a tick
        self.assertRegex(program.line("RAM:"), RAM_LINE)

        if NAMESPACES:  # root's tool locks a file in the suite's /run, not in the machine's
            parents = os.stat(f"/proc/{os.getppid()}/root/run").st_dev
            self.assertNotEqual(os.stat("/run").st_dev, parents, "the machine's own /run")
        # Run from the build folder by an ordinary user, there is no helper to ask for root.
        expected = DONE if os.geteuid() == 0 else DONE[:-2] + "|" + NO_RIGHTS + ")$"
        program.click(program.button("Очистить ОЗУ"))
        status = wait_for(lambda: next((t for t in program.labels() if re.match(expected, t)),
                                       None), seconds=15, what="the clean-up's message")
        self.assertRegex(status, expected)
        self.assertNotIn(PRODUCT_LINE, program.labels())
        self.assertEqual(program.close(), 0)

    def test_roots_clean_up_keeps_the_window_answering_and_ends_with_it(self):
        if os.geteuid() != 0:
            self.skipTest("only root's window runs the tool itself")
        # A copy of the program, started ignoring SIGCHLD, beside a tool of three seconds it runs.
        folder = tempfile.mkdtemp(prefix="e2e-slow-tool-", dir=os.path.dirname(PROGRAM))
        self.addCleanup(shutil.rmtree, folder, True)
        with open(os.path.join(folder, "quorvel-memory-pressure"), "w") as tool:
            tool.write("#!/bin/sh\nsleep 3\n")
        os.chmod(tool.name, 0o755)
        program = self.run_program(["env", "--ignore-signal=CHLD", shutil.copy(PROGRAM, folder)],
                                   os.path.basename(PROGRAM))
        program.click(program.button("Очистить ОЗУ"))
        start = time.monotonic()
        self.assertIn(PRODUCT_LINE, program.labels(), "the tool has not ended yet")
        self.assertLess(time.monotonic() - start, 1.5, "the window answers meanwhile")
        wait_for(lambda: any(re.match(DONE, text) for text in program.labels()), seconds=7,
                 what="the clean-up's end, as soon as the tool's")
        program.click(program.button("Очистить ОЗУ"))
        start = time.monotonic()
        self.assertEqual(program.close(), 0)
        self.assertLess(time.monotonic() - start, 1.5, "closing the window ends the wait")


SAMPLE_MEMINFO = {
    "MemTotal": 16384000, "MemFree": 9000000, "Active": 4096000, "Inactive": 1000000,
    "Unevictable": 40960, "SwapTotal": 8388608, "SwapFree": 7864320, "Zswap": 20480,
    "SUnreclaim": 204800, "KernelStack": 16384, "PageTables": 65536,
}


def meminfo_text(figures):
    return "".join(f"{name + ':':<16}{value:>8} kB\n" for name, value in figures.items())


def expected_memory_lines(figures):
    page_kb = os.sysconf("SC_PAGE_SIZE") // 1024
    pages = (figures["Active"] // page_kb
             + (figures["Unevictable"] + figures["SUnreclaim"] + figures["KernelStack"]
                + figures["PageTables"]) // page_kb
             + figures["Zswap"] // page_kb)
    used = pages * page_kb * 1024
    total = figures["MemTotal"] * 1024
    swap = (figures["SwapTotal"] - figures["SwapFree"]) * 1024
    return ("RAM: %.1f / %.1f GB (%.0f%%)" % (used / 2**30, total / 2**30, used / total * 100),
            "Swap: %.1f MB" % (swap / 2**20))


class AMachineOfTheTestsMaking(WindowTest):
    """The real program in a private mount namespace, over files the test writes."""

    def setUp(self):
        if not NAMESPACES:
            self.skipTest("needs root, and private mount namespaces allowed here")
        self.folder = tempfile.mkdtemp(prefix="quorvel-e2e-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.meminfo = os.path.join(self.folder, "meminfo")
        self.write_meminfo(SAMPLE_MEMINFO)
        # The program's /sys: a folder of the test's own, so that the driver's files lie on the
        # same kind of file system as the sysfs root, as they do on a real machine.
        self.sys = os.path.join(self.folder, "sys")
        self.smc = os.path.join(self.sys, "devices", "platform", "applesmc.768")
        os.makedirs(self.smc)
        for name, text in {
            "name": "applesmc", "fan1_input": "2150", "fan1_min": "1200", "fan1_max": "6200",
            "fan1_manual": "0", "fan1_output": "1200", "fan1_label": "Left side  ",
            "fan2_input": "1999", "fan2_min": "1300", "fan2_max": "5800", "fan2_manual": "0",
            "fan2_output": "1300", "temp1_label": "TB0T", "temp1_input": "30000",
            "temp2_label": "TC0P", "temp2_input": "47600",
        }.items():
            self.write(name, text)

    def write(self, name, text):
        # Written in place, so that the program sees the change through its bind mount.
        with open(os.path.join(self.smc, name), "r+" if os.path.exists(
                os.path.join(self.smc, name)) else "w") as file:
            file.truncate(0)
            file.write(text + "\n")

    def read(self, name):
        with open(os.path.join(self.smc, name)) as file:
            return file.read().strip()

    def write_meminfo(self, figures):
        mode = "r+" if os.path.exists(self.meminfo) else "w"
        with open(self.meminfo, mode) as file:
            file.truncate(0)
            file.write(meminfo_text(figures))

    def start(self):
        script = ("mount --bind \"$1\" /proc/meminfo && mount --bind \"$2\" /sys && "
                  "exec \"$3\"")
        return self.run_program(PRIVATE_MOUNTS + ["sh", "-c", script, "sh", self.meminfo, self.sys,
                                                  PROGRAM], os.path.basename(PROGRAM))

    def replace_with_fifo(self, path):
        os.remove(path)
        os.mkfifo(path)

    def test_lines_follow_the_files(self):
        program = self.start()
        ram, swap = expected_memory_lines(SAMPLE_MEMINFO)
        self.assertEqual(program.line("RAM:"), ram)
        self.assertEqual(program.line("Swap:"), swap)
        self.assertEqual(program.line("CPU:"), "CPU: 48\u00b0C")
        self.assertEqual(program.line("Вентиляторов:"), "Вентиляторов: 2 \u00b7 Fan1: 2150 об/мин")
        self.assertEqual(program.slider_range()[:2], (1200.0, 6200.0))
        self.assertTrue(program.enabled(program.checkbox()))
        self.assertFalse(program.checked(program.checkbox()))
        self.assertFalse(program.enabled(program.slider()))

        changed = dict(SAMPLE_MEMINFO, Active=8192000, SwapFree=4194304)
        self.write_meminfo(changed)
        self.write("fan1_input", "3050")
        self.write("temp2_input", "61200")
        ram, swap = expected_memory_lines(changed)
        wait_for(lambda: program.line("RAM:") == ram, seconds=6, what="the next tick")
        self.assertEqual(program.line("Swap:"), swap)
        self.assertEqual(program.line("CPU:"), "CPU: 61\u00b0C")
        self.assertEqual(program.line("Вентиляторов:"), "Вентиляторов: 2 \u00b7 Fan1: 3050 об/мин")

        self.write("temp2_input", "-5")
        for name in ("fan1_input", "fan2_input"):
            os.remove(os.path.join(self.smc, name))
        wait_for(lambda: program.line("CPU:") == NO_SENSOR, seconds=6, what="the no-sensor line")
        self.assertIn("Вентиляторы: не найдены (пассивное охлаждение)", program.labels())
        self.assertFalse(program.enabled(program.checkbox()))
        self.assertEqual(program.close(), 0)

    def test_manual_speed_apply_and_automatic_fans_write_the_fan_files(self):
        program = self.start()
        program.click(program.checkbox())
        self.assertTrue(program.checked(program.checkbox()))
        self.assertTrue(program.enabled(program.slider()))
        self.assertEqual((self.read("fan1_manual"), self.read("fan1_output")), ("0", "1200"))

        program.press(program.slider(), "End")
        self.assertEqual(program.slider_range()[2], 6200.0)
        program.click(program.button("Применить обороты"))
        self.assertEqual(self.read("fan1_manual"), "1")
        self.assertEqual(self.read("fan1_output"), "6200")
        self.assertEqual(self.read("fan2_manual"), "0")

        program.press(program.slider(), "Home")
        program.click(program.button("Применить обороты"))
        self.assertEqual(self.read("fan1_output"), "1200")

        program.click(program.checkbox())  # unchecking hands the fans back
        self.assertEqual(self.read("fan1_manual"), "0")
        self.assertFalse(program.enabled(program.slider()))

        program.click(program.button("Применить обороты"))  # with the box off: nothing
        self.write("fan1_output", "999")
        program.click(program.button("Применить обороты"))
        self.assertEqual(self.read("fan1_output"), "999")

        program.click(program.checkbox())
        program.click(program.button("Применить обороты"))
        self.assertEqual(self.read("fan1_manual"), "1")
        self.write("fan2_manual", "1")
        program.click(program.button("Авто-вентиляторы"))
        self.assertEqual((self.read("fan1_manual"), self.read("fan2_manual")), ("0", "0"))
        self.assertFalse(program.checked(program.checkbox()))
        self.assertFalse(program.enabled(program.slider()))
        self.assertEqual(program.close(), 0)
        self.assertEqual(self.read("fan1_manual"), "0", "quitting writes nothing")


    def test_links_and_fifos_in_the_files_places_are_neither_followed_nor_waited_on(self):
        victim = os.path.join(self.folder, "victim")
        with open(victim, "w") as file:
            file.write("precious\n")
        os.remove(os.path.join(self.smc, "fan1_output"))
        os.symlink(victim, os.path.join(self.smc, "fan1_output"))
        self.replace_with_fifo(os.path.join(self.smc, "temp2_label"))
        self.replace_with_fifo(os.path.join(self.smc, "fan2_input"))
        self.replace_with_fifo(self.meminfo)

        program = self.start()  # a read that waited on a FIFO would keep the window away
        total = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
        self.assertEqual(program.line("RAM:"), "RAM: 0.0 / %.1f GB (0%%)" % (total / 2**30))
        self.assertEqual(program.line("Swap:"), "Swap: 0.0 MB")
        self.assertEqual(program.line("CPU:"), NO_SENSOR)
        self.assertEqual(program.line("Вентиляторов:"), "Вентиляторов: 2 \u00b7 Fan1: 2150 об/мин")

        program.click(program.checkbox())
        program.press(program.slider(), "End")
        program.click(program.button("Применить обороты"))
        with open(victim) as file:
            self.assertEqual(file.read(), "precious\n")
        self.assertEqual(self.read("fan1_manual"), "0", "a target not written hands the fan back")
        time.sleep(2.5)  # a tick, with every file read again
        self.assertTrue(program.enabled(program.checkbox()))
        self.assertEqual(program.close(), 0)

    def test_the_checkbox_works_through_its_accessibility_action(self):
        program = self.start()
        box = program.checkbox()
        action = box.queryAction()
        toggle = next(i for i in range(action.nActions) if action.getName(i) == "Toggle")
        action.doAction(toggle)
        wait_for(lambda: program.checked(box), seconds=6, what="the box to be checked")
        wait_for(lambda: program.enabled(program.slider()), seconds=6, what="the slider")
        self.write("fan1_manual", "1")
        action.doAction(toggle)
        wait_for(lambda: self.read("fan1_manual") == "0", seconds=6, what="the fans handed back")
        self.assertFalse(program.enabled(program.slider()))
        self.assertEqual(program.close(), 0)


class TheEmulatedBuild(WindowTest):
    def test_starting_leaves_the_keyboard_with_the_program_that_has_it(self):
        other = FocusedWindow()
        self.addCleanup(other.close)
        program = self.run_program([EMULATED], os.path.basename(EMULATED))
        time.sleep(0.5)  # past the first frames
        self.assertEqual(other.focus(), other.window)
        self.assertEqual(program.close(), 0)

    def test_fans_follow_the_controls(self):
        program = self.run_program([EMULATED], os.path.basename(EMULATED))
        self.assertRegex(program.line("CPU:"), r"^CPU: \d{2}\u00b0C$")
        fan_line = re.compile(r"^Вентиляторов: 2 \u00b7 Fan1: (\d+) об/мин$")
        self.assertRegex(program.line("Вентиляторов:"), fan_line)
        minimum, maximum, _ = program.slider_range()

        program.click(program.checkbox())
        program.press(program.slider(), "End")
        program.click(program.button("Применить обороты"))
        wait_for(lambda: int(fan_line.match(program.line("Вентиляторов:")).group(1)) > maximum - 300,
                 seconds=16, what="the fan to speed up")

        program.click(program.button("Авто-вентиляторы"))
        self.assertFalse(program.checked(program.checkbox()))
        wait_for(lambda: int(fan_line.match(program.line("Вентиляторов:")).group(1)) < maximum - 1000,
                 seconds=20, what="the fan to slow down")
        self.assertGreaterEqual(minimum, 1000)
        self.assertEqual(program.close(), 0)


class TheProgramOnWayland(WindowTest):
    """The emulated build on weston with no X server: a screen reader reads its lines and its
    controls' names, and works its check box."""

    def test_a_screen_reader_reads_and_works_the_window(self):
        if not SESSION.wayland:
            self.skipTest("runs in the --wayland session")
        program = self.run_program([EMULATED], os.path.basename(EMULATED))
        self.assertIn(PRODUCT_LINE, program.labels())
        self.assertRegex(program.line("Вентиляторов:"), r"^Вентиляторов: 2 \u00b7 Fan1: \d+ об/мин$")
        self.assertEqual(program.slider().name, "Ручная скорость (Intel)")
        program.checkbox().queryAction().doAction(0)
        wait_for(lambda: program.enabled(program.slider()), what="the slider, enabled")


class WithoutAUsableDisplay(unittest.TestCase):
    """Started where no display can be opened: one line of explanation and status 1."""

    def test_says_so_in_one_line_and_ends_with_status_1(self):
        environment = {name: value for name, value in os.environ.items()
                       if name not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        for display in (None, ":97"):  # none at all; one where no X server listens
            if display:
                environment["DISPLAY"] = display
            run = subprocess.run([PROGRAM], env=environment, capture_output=True, text=True,
                                 timeout=30, cwd=tempfile.gettempdir())
            self.assertEqual(run.returncode, 1, run.stderr)
            lines = run.stderr.splitlines()
            self.assertEqual(len(lines), 1, run.stderr)
            self.assertRegex(lines[0], r"^quorvel-legacy: no display could be opened")
        # Without Qt's Wayland plugin (a copy whose Qt looks for plugins where there are none).
        folder = tempfile.mkdtemp(prefix="e2e-no-plugins-")
        self.addCleanup(shutil.rmtree, folder, True)
        with open(os.path.join(folder, "qt.conf"), "w") as conf:
            conf.write("[Paths]\nPlugins=/nonexistent\n")
        run = subprocess.run([shutil.copy(PROGRAM, folder)], capture_output=True, text=True,
                             env=dict(environment, QT_QPA_PLATFORM="wayland"), timeout=30)
        self.assertRegex(run.stderr, r"^quorvel-legacy: .*\"wayland\".*; install qt6-wayland\n$")

    def test_ends_with_status_1_when_its_display_goes_away(self):
        for program in (PROGRAM, EMULATED):
            xvfb, display = start_x_server()
            environment = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb")
            running = subprocess.Popen([program], env=environment, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.PIPE, text=True)
            wait_for(lambda: subprocess.run(["xdotool", "search", "--name", "^Quorvel Legacy$"],
                                            env=environment, capture_output=True).stdout,
                     what="the window")
            xvfb.kill()
            xvfb.wait()
            self.assertEqual(running.wait(timeout=15), 1, f"{program}: {running.stderr.read()}")


def main():
    global PROGRAM, EMULATED, SCREENSHOTS
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--emulated", required=True)
    parser.add_argument("--screenshots", required=True)
    parser.add_argument("--wayland", action="store_true")
    args, rest = parser.parse_known_args()
    PROGRAM, EMULATED, SCREENSHOTS = args.program, args.emulated, args.screenshots
    SESSION.wayland = args.wayland

    needed = ("weston", "dbus-daemon") if args.wayland else ("Xvfb", "xdotool", "dbus-daemon")
    missing = [tool for tool in needed if shutil.which(tool) is None]
    if not os.path.exists("/usr/libexec/at-spi-bus-launcher"):
        missing.append("at-spi-bus-launcher")
    try:
        import pyatspi as probe  # noqa: F401
    except ImportError:
        missing.append("python3-pyatspi")
    if missing:
        print("skipped: missing " + ", ".join(missing))
        return SKIPPED

    return run_in_session(rest)


def run_in_session(arguments, module="__main__"):
    """Runs a module's tests in a session (and, as root, a /run) of their own; 0 if all pass."""
    global NAMESPACES
    NAMESPACES = os.geteuid() == 0 and subprocess.run(PRIVATE_MOUNTS + ["true"]).returncode == 0
    if NAMESPACES and "QUORVEL_E2E_RUN" not in os.environ:
        script = 'mount -t tmpfs tmpfs /run && exec "$@"'
        again = PRIVATE_MOUNTS + ["sh", "-c", script, "sh", sys.executable] + sys.argv
        return subprocess.run(again, env=dict(os.environ, QUORVEL_E2E_RUN="1")).returncode
    warnings.simplefilter("ignore", DeprecationWarning)  # pyatspi's own use of Atspi
    SESSION.start()
    try:
        program = unittest.main(module=module, argv=[sys.argv[0]] + arguments, exit=False,
                                verbosity=2, warnings="ignore")
    finally:
        SESSION.stop()
    return 0 if program.result.wasSuccessful() else 1

if __name__ == "__main__":
    sys.exit(main())
