"""What the benchmark's figures mean: the runtimes measured, how a team is bound, the
interval of an overhead and whether it is significant, whether the machine was quiet
enough to trust it, and what it is in round trips of a cache line."""
import statistics
import time

# runtime: (configure preset and build folder, compiler's name)
RUNTIMES = {"libgomp": ("default", "GCC"), "libomp": ("clang", "Clang")}
# Threads of teams that fit the processors stay on one core each: a figure then does not
# depend on where the scheduler happened to put them.
BOUND = {"OMP_PROC_BIND": "close", "OMP_PLACES": "cores"}

# The trust rule: a figure is busy (untrustworthy) when other processes took more than
# BUSY_SHARE of the processors while it was measured, or when the load just before it
# (other runnable threads, averaged over LOAD_SAMPLES looks) was above BUSY_LOAD per
# processor. The load average is no use here: it lags by minutes and counts the
# benchmark's own oversubscribed teams.
BUSY_SHARE = 0.10


BUSY_LOAD = 0.5


LOAD_SAMPLES = 20


Z = 1.96

# A team that fits the processors is measured by PROCESSES separate processes, each for
# a PROCESSES-th of the time: at one and two threads a process's figure depends on the
# moment and on where its code and data happened to land (by up to a factor of two for
# the same construct), and the middle mean of several processes depends on neither.
PROCESSES = 5
# The share of the processes left out at each end by middle_mean.
TRIM = 0.2


def others_share(busy, own, elapsed, cpus):
    """The share of the processors that other processes took: the machine's busy
    processor time less our own, over the processor time there was."""
    if elapsed <= 0 or cpus < 1:
        return 0.0
    return min(1.0, max(0.0, busy - own) / (elapsed * cpus))


def trust(share, load, cpus):
    """(trusted, reason): a figure is busy (untrustworthy) when others took more than
    BUSY_SHARE of the processors while it was measured, or when the load just before it
    (other runnable threads) was above BUSY_LOAD per processor."""
    reasons = []
    if share > BUSY_SHARE:
        reasons.append(f"other processes took {share:.0%} of the processors")
    if load > BUSY_LOAD * cpus:
        reasons.append(f"{load:.2f} other threads waiting to run just before")
    return not reasons, "; ".join(reasons)


def runnable_others(ours=0, samples=LOAD_SAMPLES, gap=0.005):
    """Threads of other processes ready to run, averaged over a few looks at
    /proc/loadavg (its fourth field counts the runnable ones, this script among them;
    `ours` more of them are our own)."""
    total = 0
    for k in range(samples):
        with open("/proc/loadavg") as f:
            total += max(0, int(f.read().split()[3].split("/")[0]) - 1 - ours)
        if k + 1 < samples:
            time.sleep(gap)
    return total / samples


def interval(test_mean, test_sd, ref_mean, ref_sd):
    overhead = test_mean - ref_mean
    half = Z * (test_sd + ref_sd)
    return overhead, overhead - half, overhead + half


def middle_mean(values):
    """The mean of the values less the lowest and the highest TRIM of them: a process
    caught by a hiccup does not pull it as it pulls the mean, and where the processes fall
    into two groups (two landings, two states of the host) it weighs both, where the
    median jumps from one group to the other."""
    values = sorted(values)
    cut = int(len(values) * TRIM)
    return statistics.mean(values[cut:len(values) - cut])


def combined(intervals):
    """One figure from the (overhead, low, high) of each process that measured it: one
    process's as it is; of several, the middle mean of their overheads, with the lowest
    and the highest of them as its interval."""
    if len(intervals) == 1:
        return tuple(intervals[0])
    overheads = sorted(i[0] for i in intervals)
    return middle_mean(overheads), overheads[0], overheads[-1]


def team_groups(teams, cpus):
    """The teams split into those that fit the processors (run bound to the cores) and
    the oversubscribed ones (run unbound), each group only if it is not empty."""
    fit = [t for t in teams if t <= cpus]
    over = [t for t in teams if t > cpus]
    return [(group, env) for group, env in ((fit, BOUND), (over, {})) if group]


def with_round_trips(rows, floor):
    """Each 2-thread overhead also as a number of cache-line round trips (empty for the
    other teams, for figures not told from zero, and when there is no floor)."""
    for r in rows:
        r["round_trips"] = (r["overhead_us"] / floor["overhead_us"]
                            if floor and floor["overhead_us"] > 0 and r["threads"] == 2
                            and significant(r) else None)
    return rows


def with_trust(rows, cpus):
    for r in rows:
        r["trusted"], r["busy_reason"] = trust(r["others_share"], r["load"], cpus)
    return rows


def significant(row):
    return row["low_us"] > 0 or row["high_us"] < 0


def shown(overhead, low, high, unit=1.0):
    """An overhead with its interval; when the interval includes zero, 'n.s.' and the
    interval alone, which bounds the overhead but gives no value to read."""
    digits = lambda v: f"{v * unit:.3g}" if abs(v * unit) < 1000 else f"{v * unit:.0f}"
    if low <= 0 <= high:
        return f"n.s. ({digits(low)} to {digits(high)})"
    return f"{digits(overhead)} ({digits(low)} to {digits(high)})"


def cell(row, unit=1.0):
    """A row's figure for a table: marked BUSY when it is not to be trusted."""
    text = shown(row["overhead_us"], row["low_us"], row["high_us"], unit)
    return text if row.get("trusted", True) else f"**BUSY** {text}"

