#!/usr/bin/python3
"""The installed bundle's privileged helper, run as root through sudo and spoken to over its
standard input and output as the program speaks to it. Runs on a Mac only (the macOS workflow).

usage: check-helper.py HELPER
"""

import os
import select
import subprocess
import sys
import time

TOOL = "/usr/bin/memory_pressure"


def main():
    helper = subprocess.Popen(["sudo", "-n", sys.argv[1]], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, bufsize=0)
    pending = b""

    def line(seconds, watch=None):
        """The helper's next line; `watch` is called every 0.1 s while it is awaited."""
        nonlocal pending
        deadline = time.monotonic() + seconds
        while b"\n" not in pending:
            left = deadline - time.monotonic()
            if left <= 0:
                sys.exit(f"no line from the helper within {seconds} s")
            if select.select([helper.stdout], [], [], min(left, 0.1))[0]:
                chunk = os.read(helper.stdout.fileno(), 256)
                if not chunk:
                    sys.exit("the helper ended without a line")
                pending += chunk
            elif watch:
                watch()
        text, pending = pending.split(b"\n", 1)
        return text.decode()

    def ask(request, seconds=5, watch=None):
        helper.stdin.write(request.encode() + b"\n")
        answer = line(seconds, watch)
        print(f"{request!r}: {answer!r}")
        return answer

    ready = line(30)
    print(f"first line: {ready!r}")
    words = ready.split()
    if len(words) != 2 or words[0] != "ready" or not words[1].isdigit():
        sys.exit("the first line is not 'ready <pid>'")
    helper_pid = words[1]

    for request in ("write F9Tg 0bb8", "hello", "write TC0P 00"):
        if not ask(request).startswith("error "):
            sys.exit(f"{request!r} was not refused")

    # The real memory_pressure, seen running as the helper's child while the answer is awaited.
    seen = []

    def look_for_the_tool():
        table = subprocess.run(["ps", "-ax", "-o", "ppid=", "-o", "command="],
                               capture_output=True, text=True).stdout
        for row in table.splitlines():
            parent, _, command = row.strip().partition(" ")
            if parent == helper_pid and command.strip().startswith(TOOL):
                seen.append(command.strip())

    if ask("reclaim", seconds=15, watch=look_for_the_tool) != "ok":
        sys.exit("the clean-up was not answered ok")
    if not seen:
        sys.exit(f"{TOOL} was not seen running as the helper's child")
    print(f"seen: {seen[0]}")
    if seen[0].split() != [TOOL, "-S", "-l", "critical", "-s", "3"]:
        sys.exit("the tool ran with other arguments")

    helper.stdin.close()
    started = time.monotonic()
    try:
        status = helper.wait(timeout=2)
    except subprocess.TimeoutExpired:
        helper.kill()
        sys.exit("the helper did not end within 2 s of its input closing")
    print(f"ended {time.monotonic() - started:.2f} s after its input closed, status {status}")
    return 0 if status == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
