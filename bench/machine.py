"""What the machine did while the benchmark ran: the processor time others took, the
threads waiting to run, a program's own time, and machine.txt, which records it all."""
import os
import platform
import shutil
import subprocess
import time

from figures import BUSY_LOAD, BUSY_SHARE, others_share, runnable_others, trust

def processor_seconds():
    """Processor seconds the whole machine has spent busy since boot (the hypervisor's
    steal included)."""
    with open("/proc/stat") as f:
        ticks = [int(v) for v in f.readline().split()[1:9]]  # user .. steal
    return (sum(ticks) - ticks[3] - ticks[4]) / os.sysconf("SC_CLK_TCK")  # less idle, iowait


def own_seconds():
    """Processor seconds this script and its finished children have used."""
    t = os.times()
    return t.user + t.system + t.children_user + t.children_system


class Watch:
    """Measures the load just before a block and the share of the processors other
    processes take while it runs; `ours` runnable processes of our own (the busy loops)
    do not count as load, and `extra_own` adds their processor seconds, which no wait
    inside the block collects."""

    def __init__(self, ours=0):
        self.ours = ours

    def __enter__(self):
        self.load = runnable_others(self.ours)
        self.start = (time.monotonic(), processor_seconds(), own_seconds())
        self.extra_own = 0.0
        return self

    def __exit__(self, *_):
        now = (time.monotonic(), processor_seconds(), own_seconds())
        self.seconds = now[0] - self.start[0]
        self.share = others_share(now[1] - self.start[1],
                                  now[2] - self.start[2] + self.extra_own,
                                  now[0] - self.start[0], os.cpu_count() or 1)


def process_seconds(pid):
    """Processor seconds a running process of ours has used, from /proc (0 if it is gone)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, IndexError, ValueError):
        return 0.0


def first_line(command):
    try:
        out = subprocess.run(command, capture_output=True, text=True, check=True).stdout
        return out.strip().splitlines()[0]
    except (OSError, subprocess.CalledProcessError, IndexError):
        return "unknown"


def machine(record, runtimes, described, teams, settings, load_before, load_after, others,
            runnable, seconds, floor):
    """machine.txt: the processor, kernel, compilers and runtimes (`described`: a line per
    runtime), the method, the floor, and how busy the machine was."""
    cpuinfo = {}
    with open("/proc/cpuinfo") as f:
        for line in f:
            key, _, value = line.partition(":")
            cpuinfo.setdefault(key.strip(), value.strip())
    lscpu = {}
    if shutil.which("lscpu"):
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            key, _, value = line.partition(":")
            lscpu[key.strip()] = value.strip()
    topology = ", ".join(f"{lscpu[k]} {k.lower().replace('(s)', 's')}" for k in
                         ("Socket(s)", "Core(s) per socket", "Thread(s) per core") if k in lscpu)
    if "Hypervisor vendor" in lscpu:
        topology += f", virtual machine ({lscpu['Hypervisor vendor']})"
    cpus = os.cpu_count() or 1
    trusted, reason = trust(others, runnable, cpus)
    fmt = lambda load: ", ".join(f"{v:.2f}" for v in load)
    floor_text = (f"{floor['overhead_us'] * 1000:.1f} ns ({floor['low_us'] * 1000:.1f} to "
                  f"{floor['high_us'] * 1000:.1f})" if floor else "not measured")
    return (f"cpu: {cpuinfo.get('model name', 'unknown')}; {cpus} logical processors"
            f"{'; ' + topology if topology else ''}\n"
            f"kernel: {platform.system()} {platform.release()} {platform.machine()}\n"
            + "".join(f"{described[rt]}; __VERSION__ {record.get('compiler_' + rt, '?')}; "
                      f"_OPENMP {record.get('openmp_' + rt, '?')}\n" for rt in runtimes)
            + f"method: {settings}\n"
            f"cache-line round trip between two processors (bench/round_trip): {floor_text}\n"
            f"trust rule: a figure is BUSY when other processes took more than {BUSY_SHARE:.0%} "
            f"of the processors while it was measured, or when just before it more than "
            f"{BUSY_LOAD * cpus:g} threads of other processes were waiting to run\n"
            f"other threads waiting to run before the run: {runnable:.2f}\n"
            f"load average before (1, 5, 15 min): {fmt(load_before)}\n"
            f"load average after (1, 5, 15 min; counts this run's own threads, up to "
            f"{max(teams)} at a time): {fmt(load_after)}\n"
            f"processor time taken by other processes (and the hypervisor) during the run: "
            f"{others:.1%}\n"
            f"the run as a whole: {'quiet' if trusted else 'BUSY, ' + reason}\n"
            f"measured: {time.strftime('%Y-%m-%d %H:%M %Z')}, in {seconds:.0f} s\n")
