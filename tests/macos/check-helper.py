#!/usr/bin/python3
"""The installed bundle's privileged helper, run as root through sudo and spoken to over its
standard input and output as the program speaks to it. Runs on a Mac (the macOS workflow).

usage: check-helper.py HELPER VERSION
"""

import select
import subprocess
import sys
import time

TOOL = ["/usr/bin/memory_pressure", "-S", "-l", "critical", "-s", "3"]
helper = subprocess.Popen(["sudo", "-n", sys.argv[1]], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, text=True, bufsize=1)
seen = []


def tool_children():
    """The helper's children that are the memory-pressure tool."""
    table = subprocess.run(["ps", "-ax", "-o", "ppid=", "-o", "command="], capture_output=True,
                           text=True).stdout
    return [row.split()[1:] for row in table.splitlines()
            if row.split()[:1] == [helper_pid] and row.split()[1:2] == TOOL[:1]]


def ask(request, seconds=5):
    if request:
        helper.stdin.write(request + "\n")
    deadline = time.monotonic() + seconds
    while not select.select([helper.stdout], [], [], 0.1)[0]:
        seen.extend(tool_children() if request == "reclaim" else [])
        if time.monotonic() > deadline:
            sys.exit(f"no answer to {request!r} within {seconds} s")
    answer = helper.stdout.readline().rstrip("\n")
    print(f"{request or 'first line'}: {answer!r}")
    return answer


ready = ask(None, 30).split()
if ready[:1] != ["ready"] or len(ready) != 3 or not ready[1].isdigit() or ready[2] != sys.argv[2]:
    sys.exit(f"the first line is not 'ready <pid> {sys.argv[2]}'")
helper_pid = ready[1]
for request in ("write F9Tg 0bb8", "hello", "write TC0P 00"):  # never made by the program
    if not ask(request).startswith("error "):
        sys.exit(f"{request!r} was not refused")
if ask("reclaim", 15) != "ok" or TOOL not in seen:
    sys.exit(f"the clean-up did not run {' '.join(TOOL)} as the helper's child: {seen}")
print("seen:", " ".join(TOOL))
helper.stdin.close()
try:
    status = helper.wait(timeout=2)
except subprocess.TimeoutExpired:
    helper.kill()
    sys.exit("the helper did not end within 2 s of its input closing")
sys.exit(status)
