# Runs a fuzz target twice with the same arguments and fails when the two runs explore
# differently: the lines that report new coverage (count, coverage, features, corpus) must be
# the same in both, and so must the final one.
import re
import subprocess
import sys

PROGRESS = re.compile(r"^#(\d+)\s+(INITED|NEW|REDUCE|DONE)\s+cov: (\d+) ft: (\d+) corp: (\S+)")


def progress(command):
    run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                         errors="replace")
    if run.returncode != 0:
        sys.stdout.write(run.stdout)
        sys.exit(f"the fuzz target failed with exit code {run.returncode}")
    return [m.groups() for m in map(PROGRESS.match, run.stdout.splitlines()) if m]


def main():
    command = sys.argv[1:]
    first, second = progress(command), progress(command)
    if not first or first[-1][1] != "DONE":
        sys.exit("no progress lines in the fuzz target's output")
    for a, b in zip(first, second):
        if a != b:
            sys.exit(f"the runs differ: {' '.join(a)} against {' '.join(b)}")
    if len(first) != len(second):
        sys.exit(f"the runs differ: {len(first)} against {len(second)} progress lines")
    print(f"both runs: {' '.join(first[-1])}")


main()
