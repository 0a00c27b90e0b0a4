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
