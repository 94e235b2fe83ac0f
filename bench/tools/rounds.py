#!/usr/bin/env python3
"""Runs several commands side by side, in interleaved rounds, and prints each one's
median wall time, median peak memory and median page faults.

usage: rounds.py RUN_TIMED RUNS WARMUP NAME=COMMAND...

Every round runs each command, so all of them see the same machine state (the other
processes, the page cache) at about the same moment, in an order shuffled each round
(with a fixed seed); RUN_TIMED times a run that directly follows an unmeasured run of
the same command. WARMUP rounds run first and are not counted. Each run goes through RUN_TIMED (run_timed.c),
which discards the output and reports the child's wall time (start-up included, as for
any user of the command), its peak resident set and its page faults. Output, one line
per command:

    NAME WALL_SECONDS PEAK_KIB FAULTS
"""
import random
import shlex
import statistics
import subprocess
import sys


def run_once(runner, argv):
    # close_fds=False: Python then starts the runner with vfork. Started the other way,
    # the runner's children ran measurably slower on the machines this was written on
    # (a bare walk took 110 ms instead of 65), for no reason found in their state; Python's
    # own descriptors are close-on-exec either way.
    out = subprocess.run([runner, *argv], check=True, capture_output=True, text=True,
                         close_fds=False).stdout
    wall, peak, faults = out.split()
    return float(wall), int(peak), int(faults)


def main():
    if len(sys.argv) < 5:
        sys.exit(__doc__)
    runner, runs, warmup = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    commands = []
    for argument in sys.argv[4:]:
        name, _, command = argument.partition("=")
        commands.append((name, shlex.split(command)))
    walls = {name: [] for name, _ in commands}
    peaks = {name: [] for name, _ in commands}
    faults = {name: [] for name, _ in commands}
    shuffle = random.Random(7)
    for round_index in range(warmup + runs):
        order = list(commands)
        shuffle.shuffle(order)
        for name, argv in order:
            wall, peak, count = run_once(runner, argv)
            if round_index >= warmup:
                walls[name].append(wall)
                peaks[name].append(peak)
                faults[name].append(count)
    for name, _ in commands:
        print(f"{name} {statistics.median(walls[name]):.6f} {statistics.median(peaks[name]):.0f}"
              f" {statistics.median(faults[name]):.0f}")


if __name__ == "__main__":
    main()
