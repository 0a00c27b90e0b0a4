"""Pieces shared by the benchmarks' report scripts."""
import os


def busy_note(load):
    """The note printed when the load average was above half the cores."""
    try:
        busy = float(load.split()[0]) > (os.cpu_count() or 1) / 2
    except (ValueError, IndexError):
        busy = False
    if busy:
        print("note: the machine was busy; the means swing with other work, "
              "the medians and minimums much less")


def pool_rounds(paths, subject, floor):
    """The run times (seconds) of `subject` and `floor` pooled over the
    hyperfine JSON files of the rounds, and the ratio of their means in each
    round: ({command: [times]}, [ratios])."""
    import json
    times = {subject: [], floor: []}
    round_ratios = []
    for path in paths:
        with open(path) as f:
            results = {r["command"]: r for r in json.load(f)["results"]}
        for command in times:
            times[command] += results[command]["times"]
        round_ratios.append(results[subject]["mean"] / results[floor]["mean"])
    return times, round_ratios


def ms(seconds):
    return f"{seconds * 1000:.3f} ms"


def summarise(times):
    """Prints mean, spread, median and minimum of each command's run times
    (seconds); answers {command: (mean, median, minimum)}."""
    import statistics
    summary = {}
    for command, runs in times.items():
        summary[command] = (statistics.fmean(runs), statistics.median(runs), min(runs))
        print(f"{command}: mean {ms(summary[command][0])} +- {ms(statistics.stdev(runs))}, "
              f"median {ms(summary[command][1])}, min {ms(summary[command][2])}, "
              f"runs {len(runs)}")
    return summary


def print_ratio(summary, subject, floor, target, rounds):
    """Prints the ratio of means subject/floor against the target, then the
    ratios of medians and minimums and of the means of each round; `summary`
    holds (mean, median, minimum) per command. Answers whether it is met."""
    ratio = summary[subject][0] / summary[floor][0]
    ok = ratio <= target
    print(f"ratio of means {subject}/{floor}: {ratio:.2f} (target <= {target:g}) "
          f"{'PASS' if ok else 'FAIL'}")
    print(f"ratio of medians: {summary[subject][1] / summary[floor][1]:.2f}  "
          f"of minimums: {summary[subject][2] / summary[floor][2]:.2f}  "
          f"of means per round: {' '.join(f'{r:.2f}' for r in rounds)}")
    return ok
