#!/usr/bin/env python3
"""The running program against two floors, side by side: a plain Qt program that builds the same
fifteen rows with the same texts, fonts and sizes and no logic (start-up), and a Qt program
showing one label (start-up, memory and idle CPU).

Start-up: the time from starting each program until its window is mapped on an X server (Xvfb),
median of several runs, the three programs taking turns so that the machine's drift touches each
alike. The program fills its readings before its window first reaches the screen, so the
window's mapping is when the first readings can be seen.
Idle: resident memory (VmRSS) and CPU time over 60 seconds of the program and the one-label
floor running together.

usage: measure-window.py PROGRAM PLAIN_ROWS MINIMAL [--runs N] [--seconds S]
"""

import argparse
import ctypes
import os
import statistics
import subprocess
import sys
import time

SUBSTRUCTURE_NOTIFY_MASK = 1 << 19
MAP_NOTIFY = 19


class XEvent(ctypes.Union):
    _fields_ = [("type", ctypes.c_int), ("pad", ctypes.c_long * 24)]


def open_display():
    x = ctypes.cdll.LoadLibrary("libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    x.XDefaultRootWindow.restype = ctypes.c_ulong
    x.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
    x.XPending.argtypes = [ctypes.c_void_p]
    x.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.POINTER(XEvent)]
    x.XFlush.argtypes = [ctypes.c_void_p]
    display = x.XOpenDisplay(None)
    if not display:
        sys.exit("no X display")
    x.XSelectInput(display, x.XDefaultRootWindow(display), SUBSTRUCTURE_NOTIFY_MASK)
    x.XFlush(display)
    return x, display


def time_to_map(x, display, program, timeout=20.0):
    while x.XPending(display):
        x.XNextEvent(display, ctypes.byref(XEvent()))
    start = time.monotonic()
    process = subprocess.Popen([program], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    event = XEvent()
    mapped = None
    while time.monotonic() - start < timeout and mapped is None:
        if x.XPending(display):
            x.XNextEvent(display, ctypes.byref(event))
            if event.type == MAP_NOTIFY:
                mapped = time.monotonic() - start
        else:
            time.sleep(0.0005)
    process.terminate()
    process.wait()
    return mapped


def status_kilobytes(pid, field):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program")
    parser.add_argument("rows")
    parser.add_argument("minimal")
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--seconds", type=float, default=60.0)
    args = parser.parse_args()

    x, display = open_display()
    programs = (("program", args.program), ("rows", args.rows), ("minimal", args.minimal))
    times = {name: [] for name, _ in programs}
    for _ in range(args.runs):
        for name, path in programs:
            times[name].append(time_to_map(x, display, path))
    for name, path in programs:
        if None in times[name]:
            sys.exit(f"{path}: no window appeared")
    startup = {name: statistics.median(runs) for name, runs in times.items()}
    print(f"start-up to window on screen, median of {args.runs}, taking turns:")
    print(f"  program {startup['program'] * 1000:.1f} ms, the same rows without logic "
          f"{startup['rows'] * 1000:.1f} ms, one label {startup['minimal'] * 1000:.1f} ms")
    print(f"  ratio to the same rows {startup['program'] / startup['rows']:.2f}x "
          f"(target at most 1.05x); to one label {startup['program'] / startup['minimal']:.2f}x")

    processes = {name: subprocess.Popen([path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                 for name, path in (("program", args.program), ("minimal", args.minimal))}
    time.sleep(5)
    before = {name: cpu_seconds(p.pid) for name, p in processes.items()}
    time.sleep(args.seconds)
    after = {name: cpu_seconds(p.pid) for name, p in processes.items()}
    resident = {name: status_kilobytes(p.pid, "VmRSS") for name, p in processes.items()}
    for process in processes.values():
        process.terminate()
        process.wait()
    print(f"idle over {args.seconds:.0f} s:")
    for name in ("program", "minimal"):
        used = after[name] - before[name]
        print(f"  {name}: resident {resident[name] / 1024:.1f} MiB, CPU {used * 1000:.0f} ms,"
              f" {100 * used / args.seconds:.3f} % of one core")
    print(f"  resident memory ratio {resident['program'] / resident['minimal']:.2f}x"
          " (target at most 1.2x)")


if __name__ == "__main__":
    main()
