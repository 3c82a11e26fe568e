#!/usr/bin/env python3
"""Runs COMMAND in a control group of its own and appends to FIGURES one line:
its wall time in seconds, the CPU time of every process that ever ran in the
group in seconds, and the peak of their summed resident sizes in KiB,
sampled every 20 ms: the whole controller, ssh's ControlPersist masters
included, which leave the process tree. What is left in the group when
COMMAND ends (those masters) is killed, so that the next run starts cold.
cgroup v1's cpuacct and memory hierarchies, as root.

    controller_cost.py FIGURES COMMAND [ARGS...]
"""
import os
import signal
import subprocess
import sys
import time

groups = [f"/sys/fs/cgroup/{kind}/lsmac-bench-{os.getpid()}" for kind in ("cpuacct", "memory")]


def members():
    with open(os.path.join(groups[1], "cgroup.procs")) as procs:
        return [int(pid) for pid in procs.read().split()]


def resident(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            return next((int(line.split()[1]) for line in status if line.startswith("VmRSS:")), 0)
    except OSError:
        return 0


def join():
    for group in groups:
        with open(os.path.join(group, "cgroup.procs"), "w") as procs:
            procs.write(str(os.getpid()))


for group in groups:
    os.mkdir(group)
try:
    started = time.monotonic()
    process = subprocess.Popen(sys.argv[2:], preexec_fn=join)
    peak = 0
    while process.poll() is None:
        peak = max(peak, sum(map(resident, members())))
        time.sleep(0.02)
    wall = time.monotonic() - started
    with open(os.path.join(groups[0], "cpuacct.usage")) as usage:
        cpu = int(usage.read()) / 1e9
    with open(sys.argv[1], "a") as figures:
        print(f"{wall:.2f} {cpu:.3f} {peak}", file=figures)
finally:
    while members():
        for pid in members():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        time.sleep(0.05)
    for group in groups:
        os.rmdir(group)
sys.exit(process.returncode)
