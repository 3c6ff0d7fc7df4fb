"""scripts/bench: what the program costs beyond the floor it cannot go below.

Prints one line per figure, "name value":
  (a) the size of the shipped exe beside a do-nothing program built the same way;
  (b) the wall time of the native "talvenor s" beside a do-nothing program;
  (c) the wall time of "talvenor.exe s" (the x86-64 build) under 64-bit Wine
      beside a program that makes only the same platform calls;
  (c32) the same for the shipped 32-bit exe under 32-bit Wine;
  (d) the peak resident memory of (b) and (c) beside their comparators;
and, to read (b) by, a program that only prints one message through stdio.

The two programs of a timing figure run in pairs, after a few warm-up pairs,
so that each pair shares the machine's state at that moment; which of the two
goes first takes turns. A timing ratio is the median of the pairs' ratios, and
the line after it is its 95% interval, a bootstrap over the pairs. A target
holds when the interval's upper end meets it.
"""
import contextlib
import os
import pathlib
import platform
import random
import statistics
import subprocess
import sys
import tempfile
import time

from tooling.wine_prefix import WinePrefix, caller_environment, windows_path

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

WARM_UP_PAIRS = 5
NATIVE_PAIRS = 201
MEMORY_RUNS = 21
# Wine runs go on, after fewer warm-up pairs, in batches until the interval is
# this narrow, or the figure's time is up: a run under emulation takes seconds.
WINE_WARM_UP_PAIRS = 3
WINE_WIDTH = 0.05
WINE_PAIRS = (11, 601)  # at least, at most
WINE_BATCH = 10
WINE_SECONDS = 200
TARGETS = {"a": 1.25, "b": 1.10, "c": 1.05}
# What the program and the COM floor print when they fail, each in its own
# words; a run that fails without them failed in Wine, and its pair is run
# again, up to this many times a figure.
OWN_WORDS = ("Can't ", "com_floor: ")
RUNS_AGAIN = 5


class WineTransient(Exception):
    """A run under Wine failed without a word of the program's own."""


def build(preset):
    if not os.path.exists(os.path.join(ROOT, "build", preset, "CMakeCache.txt")):
        subprocess.run(["cmake", "--preset", preset], cwd=ROOT, check=True,
                       stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", preset, "-j", str(os.cpu_count())], cwd=ROOT,
                   check=True, stdout=subprocess.DEVNULL)


def built(preset, *path):
    return os.path.join(ROOT, "build", preset, *path)


def run_once(argv, env):
    """Wall time of one run in milliseconds. A failure in the program's own
    words stops the bench; one without them, under Wine, is WineTransient.
    Not WinePrefix.run, on purpose: a timed run pays for nothing around the
    program, no lock, no look at the desktop processes and no Python
    subprocess machinery; its errors go to a file, not a pipe, for the reason
    WinePrefix.run gives."""
    with tempfile.TemporaryFile() as errors:
        streams = [(os.POSIX_SPAWN_OPEN, fd, "/dev/null", os.O_RDWR, 0) for fd in (0, 1)]
        streams.append((os.POSIX_SPAWN_DUP2, errors.fileno(), 2))
        start = time.perf_counter()
        pid = os.posix_spawnp(argv[0], argv, env, file_actions=streams)
        _, status = os.waitpid(pid, 0)
        elapsed = (time.perf_counter() - start) * 1000
        if os.waitstatus_to_exitcode(status) != 0:
            errors.seek(0)
            said = errors.read().decode(errors="replace")
            failure = f"{argv} ended with {os.waitstatus_to_exitcode(status)}: {said}"
            if "WINEPREFIX" in env and not any(words in said for words in OWN_WORDS):
                raise WineTransient(failure)
            sys.exit(f"bench: {failure}")
    return elapsed


def peak_memory(argv, env):
    """Peak resident memory of one run in KiB (see bench/peak_memory.cpp)."""
    measured = subprocess.run([built("native", "bench", "peak_memory")] + argv, env=env,
                              check=True, capture_output=True, text=True)
    return int(measured.stdout)


def timed(measure, *args):
    """What measure(*args) measured, and the steal while it did: the share of
    the busy time in between that the hypervisor gave to others, what makes
    timings under Wine drift from one minute to the next."""
    before = cpu_times()
    measured = measure(*args)
    spent = [a - b for a, b in zip(cpu_times(), before)]
    busy = sum(spent) - spent[3] - spent[4]  # all but idle and iowait
    return measured, 100 * spent[7] / busy if busy else 0.0


def pairs(program, floor, env, count, again=None):
    """Each pair's two runs one after the other, the one that goes first taking
    turns, so that whatever favours the first (or the second) of two runs
    cancels out. A pair that Wine failed is run again, and counted in AGAIN."""
    measured = []
    while len(measured) < count:
        first, second = (program, floor) if len(measured) % 2 == 0 else (floor, program)
        try:
            times = {id(first): run_once(first, env), id(second): run_once(second, env)}
        except WineTransient as failed:
            if again is None or again[0] >= RUNS_AGAIN:
                sys.exit(f"bench: Wine failed a run, and too often to run it again: {failed}")
            again[0] += 1
            print(f"bench: running a pair again, since Wine failed it: {failed}",
                  file=sys.stderr, flush=True)
            continue
        measured.append((times[id(program)], times[id(floor)]))
    return measured


def cpu_times():
    """The machine's CPU time so far, as /proc/stat counts it: user, nice,
    system, idle, iowait, irq, softirq, steal."""
    with open("/proc/stat") as stat:
        return [int(ticks) for ticks in stat.readline().split()[1:9]]


def ratio_with_interval(measured, rounds=2000):
    """The median of the pairs' ratios, and a 95% bootstrap interval of it."""
    ratios = [program / floor for program, floor in measured]
    draw = random.Random(1).choices
    medians = sorted(statistics.median(draw(ratios, k=len(ratios))) for _ in range(rounds))
    return statistics.median(ratios), medians[int(rounds * 0.025)], medians[int(rounds * 0.975)]


def figure(name, value):
    print(f"{name} {value:.3f}" if isinstance(value, float) else f"{name} {value}", flush=True)


def report_times(prefix, program_name, floor_name, measurement, target=None, again=None):
    measured, steal = measurement
    name = f"{prefix}_{program_name}_over_{floor_name}_median_ratio"
    figure(f"{prefix}_{program_name}_median_ms", statistics.median(p for p, _ in measured))
    figure(f"{prefix}_{floor_name}_median_ms", statistics.median(f for _, f in measured))
    figure(f"{prefix}_pairs", len(measured))
    if again is not None:
        figure(f"{prefix}_pairs_run_again", again[0])
    figure(f"{prefix}_steal_percent", steal)
    ratio, low, high = ratio_with_interval(measured)
    figure(name, ratio)
    print(f"{name}_interval {low:.3f} {high:.3f}", flush=True)
    if target is not None:
        print(f"{prefix}_target {target:.2f} {'met' if high <= target else 'missed'}", flush=True)


def report_memory(prefix, program_name, floor_name, program, floor, env):
    program_kib = statistics.median(peak_memory(program, env) for _ in range(MEMORY_RUNS))
    floor_kib = statistics.median(peak_memory(floor, env) for _ in range(MEMORY_RUNS))
    figure(f"{prefix}_{program_name}_peak_rss_kib", program_kib)
    figure(f"{prefix}_{floor_name}_peak_rss_kib", floor_kib)
    figure(f"{prefix}_{program_name}_over_{floor_name}_peak_ratio", program_kib / floor_kib)


@contextlib.contextmanager
def under_wine(bits, work):
    """A prefix of that bitness booted for the figure: "talvenor.exe s", the COM
    floor, and their environment."""
    preset = f"win{bits}"
    # Wine's errors, though not its notes, reach the failure a run reports.
    prefix = WinePrefix(bits, os.path.join(work, preset), debug="fixme-all")
    prefix.boot(built(preset))
    try:
        state = os.path.join(work, f"state-{bits}")
        pathlib.Path(state).write_text("1\n")
        env = dict(caller_environment(), TALVENOR_STANDIN_STATE=windows_path(state),
                   **prefix.environment)
        yield ([prefix.wine, built(preset, "talvenor.exe"), "s"],
               [prefix.wine, built(preset, "bench", "com_floor.exe")], env)
    finally:
        prefix.stop()


def wine_pairs(program, floor, env, again):
    pairs(program, floor, env, WINE_WARM_UP_PAIRS, again)
    deadline = time.monotonic() + WINE_SECONDS
    measured = pairs(program, floor, env, WINE_PAIRS[0], again)
    while len(measured) < WINE_PAIRS[1] and time.monotonic() < deadline:
        _, low, high = ratio_with_interval(measured)
        if high - low <= WINE_WIDTH:
            break
        measured += pairs(program, floor, env, WINE_BATCH, again)
    return measured


def machine():
    with open("/proc/cpuinfo") as cpuinfo:
        model = next((line.split(":", 1)[1].strip() for line in cpuinfo
                      if line.startswith("model name")), "unknown")
    return f"{model}, {os.cpu_count()} cores, Linux {platform.release()}"


def main():
    for preset in ("native", "win32", "win64"):
        build(preset)
    print(f"machine {machine()}")
    print(f"date {time.strftime('%Y-%m-%d')}")

    shipped = os.path.getsize(built("win32", "talvenor.exe"))
    floor = os.path.getsize(built("win32", "bench", "do_nothing.exe"))
    figure("a_size_talvenor_exe_bytes", shipped)
    figure("a_size_do_nothing_exe_bytes", floor)
    figure("a_size_ratio", shipped / floor)
    print(f"a_target {TARGETS['a']:.2f} {'met' if shipped / floor <= TARGETS['a'] else 'missed'}")

    with tempfile.TemporaryDirectory(prefix="talvenor-bench-") as work:
        state = os.path.join(work, "remote-desktop")
        pathlib.Path(state).write_text("1\n")
        env = dict(caller_environment(), TALVENOR_STANDIN_STATE=state)
        program = [built("native", "talvenor"), "s"]
        do_nothing = [built("native", "bench", "do_nothing")]
        print_floor = [built("native", "bench", "print_floor")]
        pairs(program, do_nothing, env, WARM_UP_PAIRS)
        report_times("b_native", "talvenor_s", "do_nothing",
                     timed(pairs, program, do_nothing, env, NATIVE_PAIRS), TARGETS["b"])
        report_memory("d_native", "talvenor_s", "do_nothing", program, do_nothing, env)
        # For reading (b): what printing one message through stdio costs alone.
        report_times("b_stdio", "print_floor", "do_nothing",
                     timed(pairs, print_floor, do_nothing, env, NATIVE_PAIRS))

        with under_wine(64, work) as (program, floor, env):
            again = [0]
            report_times("c_wine", "talvenor_s", "com_floor",
                         timed(wine_pairs, program, floor, env, again), TARGETS["c"], again)
            report_memory("d_wine", "talvenor_s", "com_floor", program, floor, env)
        with under_wine(32, work) as (program, floor, env):
            again = [0]
            report_times("c32_wine", "talvenor_s", "com_floor",
                         timed(wine_pairs, program, floor, env, again), again=again)


if __name__ == "__main__":
    main()
