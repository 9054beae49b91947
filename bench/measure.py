#!/usr/bin/env python3
"""Runs one command and prints what it cost: wall seconds, CPU seconds (user + system, children
included) and peak resident memory in MiB, as one line: "wall cpu peak-rss-mib".

    measure.py [--cwd DIR] -- COMMAND [ARGS...]
"""
import os
import subprocess
import sys
import time

args = sys.argv[1:]
cwd = None
if args[:1] == ["--cwd"]:
    cwd, args = args[1], args[2:]
if args[:1] == ["--"]:
    args = args[1:]

start = time.monotonic()
process = subprocess.Popen(args, cwd=cwd, stdout=subprocess.DEVNULL)
_, status, usage = os.wait4(process.pid, 0)
wall = time.monotonic() - start
code = os.waitstatus_to_exitcode(status)
print(f"{wall:.3f} {usage.ru_utime + usage.ru_stime:.3f} {usage.ru_maxrss / 1024:.1f} {code}")
