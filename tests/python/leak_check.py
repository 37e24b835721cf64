# SPDX-License-Identifier: LGPL-2.1-or-later
"""Runs a program of the Python tests under LeakSanitizer and fails it for
leaks in kovkit's own code only.

    leak_check.py --ours DIR [--ours DIR ...] -- COMMAND ...

The interpreter is not instrumented and keeps much of what it allocates
until the process ends, as do NumPy and PyGObject, so the leak reports of a
Python program are mostly theirs. Each Python process of the run (the
program and the Python programs it starts) looks for leaks when its atexit
handlers run, through a sitecustomize module put first on its path, and
writes the report to a folder of this script's; the sanitizer's own check at
exit is off, so that no process's exit status is changed by reports. A leak
counts when a frame of its allocation stack lies in one of the --ours folders
(the source and build trees). Those leaks are printed and the run fails;
otherwise the program's own exit status stands. Other sanitizer reports are
printed as they are.
"""

import os
import re
import subprocess
import sys
import tempfile

# Looks for leaks once the program's own atexit handlers have run (they run
# in the reverse order of registration, and this one is registered first).
SITECUSTOMIZE = """\
import atexit
import ctypes


def _kovkit_leak_check():
    try:
        ctypes.CDLL(None).__lsan_do_recoverable_leak_check()
    except (AttributeError, OSError):
        pass


atexit.register(_kovkit_leak_check)
"""

LEAK_HEAD = re.compile(r"^(Direct|Indirect) leak of ")


def leak_blocks(text):
    """The leak reports of one log: each from its "leak of" line to the
    blank line after its stack."""
    block = None
    for line in text.splitlines():
        if LEAK_HEAD.match(line):
            block = [line]
        elif block is not None:
            if line.strip():
                block.append(line)
            else:
                yield block
                block = None
    if block:
        yield block


def main(argv):
    ours = []
    while argv and argv[0] == "--ours":
        ours.append(os.path.realpath(argv[1]) + "/")
        argv = argv[2:]
    if not ours or not argv or argv[0] != "--":
        sys.exit("usage: leak_check.py --ours DIR [--ours DIR ...] -- COMMAND ...")
    command = argv[1:]
    with tempfile.TemporaryDirectory(prefix="kovkit-leaks-") as logs:
        site = os.path.join(logs, "site")
        os.mkdir(site)
        with open(os.path.join(site, "sitecustomize.py"), "w") as f:
            f.write(SITECUSTOMIZE)
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [site, env.get("PYTHONPATH")]))
        env["ASAN_OPTIONS"] = ":".join(
            filter(None, [env.get("ASAN_OPTIONS"), "detect_leaks=1", "log_path=" + logs + "/log"]))
        env["LSAN_OPTIONS"] = ":".join(
            filter(None, [env.get("LSAN_OPTIONS"), "leak_check_at_exit=0"]))
        status = subprocess.call(command, env=env)
        found = []
        for name in sorted(n for n in os.listdir(logs) if n.startswith("log.")):
            with open(os.path.join(logs, name), errors="replace") as f:
                text = f.read()
            if status != 0 and "leak of" not in text:
                sys.stderr.write(text)  # a sanitizer error, not a leak report
            for block in leak_blocks(text):
                if any(d in line for line in block[1:] for d in ours):
                    found.append("\n".join(block))
    if found:
        sys.stderr.write("leak_check: %d leak(s) in kovkit's code:\n\n%s\n"
                         % (len(found), "\n\n".join(found)))
        return 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
