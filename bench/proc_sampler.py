#!/usr/bin/python3
"""Samples the CPU time and resident memory of groups of processes once a second, and reports them.

    proc_sampler.py [--interval S] [--warmup S] [--seconds S] [--until-gone] LABEL=PID...

A group is PID and, when PID leads a session (setsid), every process of that
session, including those started and ended meanwhile. CPU is utime + stime
from /proc/PID/stat over wall time, in % of one core, counted after the
warm-up; memory is VmRSS summed over the group at each sample. Sampling
ends after --seconds, when every group has ended (--until-gone), or on
SIGTERM / SIGINT; then one line per group and a total over the groups whose
label starts with "copy" are printed.
"""

import argparse
import os
import signal
import time

TICKS_PER_SECOND = os.sysconf("SC_CLK_TCK")
KIB = 1024
MIB = 1024 * 1024


def read_process(pid):
    """(session id, utime + stime in ticks, VmRSS in bytes) of a live process, or None."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            stat = f.read()
        with open(f"/proc/{pid}/status") as f:
            status = f.read()
    except OSError:
        return None
    # The command name, in parentheses, may hold spaces: fields are counted after it.
    fields = stat[stat.rindex(")") + 2:].split()
    session, utime, stime = int(fields[3]), int(fields[11]), int(fields[12])
    rss = 0
    for line in status.splitlines():
        if line.startswith("VmRSS:"):
            rss = int(line.split()[1]) * KIB
    return session, utime + stime, rss


class Group:
    """A process and its session: the CPU ticks last seen of each member, ever, and memory samples."""

    def __init__(self, label, pid):
        self.label, self.pid = label, pid
        self.ticks = {}  # pid -> utime + stime last seen (kept after it ends)
        self.rss = []  # bytes, one per sample after the warm-up
        self.alive = True
        self.start_ticks = None

    def total_ticks(self):
        return sum(self.ticks.values())


def sample(groups, measuring):
    processes = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            found = read_process(int(name))
            if found:
                processes[int(name)] = found
    for group in groups:
        rss, members = 0, 0
        for pid, (session, ticks, resident) in processes.items():
            if pid == group.pid or session == group.pid:
                group.ticks[pid] = ticks
                rss += resident
                members += 1
        group.alive = members > 0
        if measuring and group.alive:
            group.rss.append(rss)


def report(groups, seconds):
    def line(label, cpu, rss_mean, rss_max):
        return f"{label:<12} {cpu:8.2f} {rss_mean / MIB:12.1f} {rss_max / MIB:12.1f}"

    print(f"measured over {seconds:.1f} s")
    print(f"{'group':<12} {'CPU %':>8} {'RSS mean MB':>12} {'RSS max MB':>12}")
    copies = []
    for group in groups:
        cpu = 100.0 * (group.total_ticks() - group.start_ticks) / TICKS_PER_SECOND / seconds
        rss_mean = sum(group.rss) / len(group.rss) if group.rss else 0
        print(line(group.label, cpu, rss_mean, max(group.rss, default=0)))
        if group.label.startswith("copy"):
            copies.append((cpu, rss_mean, max(group.rss, default=0)))
    if copies:
        cpus = [c for c, _, _ in copies]
        print(line("all copies", sum(cpus), sum(m for _, m, _ in copies), sum(m for _, _, m in copies)))
        print(f"per copy: CPU {sum(cpus) / len(cpus):.2f} % of one core on average, "
              f"{min(cpus):.2f} to {max(cpus):.2f} %")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--interval", type=float, default=1.0, help="seconds between samples")
    parser.add_argument("--warmup", type=float, default=0.0, help="seconds left out at the start")
    parser.add_argument("--seconds", type=float, default=0.0, help="measure this long (0: until stopped)")
    parser.add_argument("--until-gone", action="store_true", help="stop once every group has ended")
    parser.add_argument("groups", nargs="+", metavar="LABEL=PID")
    args = parser.parse_args()
    groups = [Group(label, int(pid)) for label, pid in (g.split("=", 1) for g in args.groups)]

    stopping = []
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: stopping.append(True))
    began = time.monotonic()
    sample(groups, False)
    while time.monotonic() - began < args.warmup and not stopping:
        time.sleep(min(args.interval, args.warmup))
        sample(groups, False)
    measured_from = time.monotonic()
    for group in groups:
        group.start_ticks = group.total_ticks()
    while not stopping:
        next_sample = time.monotonic() + args.interval
        sample(groups, True)
        if args.until_gone and not any(g.alive for g in groups):
            break
        if args.seconds and time.monotonic() - measured_from >= args.seconds:
            break
        time.sleep(max(0.0, next_sample - time.monotonic()))
    sample(groups, True)
    report(groups, time.monotonic() - measured_from)


if __name__ == "__main__":
    main()
