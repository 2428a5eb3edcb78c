"""Many recordings tracked at once, each in a process of its own, into one
folder: a CSV (and, when asked, a plot and an overlay) per recording, named
after it. A recording that fails is reported and the others go on."""

from __future__ import annotations

import multiprocessing
import os
import signal
import sys
import time
from concurrent.futures import ProcessPoolExecutor, as_completed
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field
from pathlib import Path
from typing import Optional

import cv2

from .recording import OutputError, track_recording
from .track import InputError


@dataclass(frozen=True)
class Job:
    """One recording and where its results go."""

    source: str
    csv: str
    plot: Optional[str] = None
    overlay: Optional[str] = None
    fps: Optional[float] = None
    mm_per_px: Optional[float] = None
    options: dict = field(default_factory=dict)


def jobs_for(sources, out_dir, plot=False, overlay=False, **settings):
    """A Job per source, its outputs in `out_dir` under the source's name;
    ValueError when two sources would write the same files."""
    jobs, names = [], set()
    for source in sources:
        stem = Path(source).stem or Path(source).name
        if stem in names:
            raise ValueError(f"{source}: a second recording named {stem!r} "
                             "would overwrite the first's results")
        names.add(stem)
        base = Path(out_dir) / stem
        jobs.append(Job(str(source), f"{base}.csv",
                        f"{base}.png" if plot else None,
                        f"{base}.avi" if overlay else None, **settings))
    return jobs


def run(job: Job):
    """Tracks one recording: (source, its closing line, None) or (source,
    None, what went wrong)."""
    try:
        summary, warning = track_recording(
            job.source, job.csv, job.plot, job.overlay, job.fps,
            job.mm_per_px, **job.options)
        hint = summary.hint(job.options.get("bright_pupil", False))
        line = summary.line() + (f"; warning: {warning}" if warning else "") \
            + (f"; note: {hint}" if hint else "")
        return job.source, line, None
    except (InputError, OutputError, ValueError, OSError) as error:
        return job.source, None, str(error)


_STOPS = {signal.SIGINT, signal.SIGTERM}


class _Worker:
    """A pool process's answer to Ctrl-C, which reaches every process of
    the terminal's group: the recording under way is ended as the command
    ends one (its files finished with the rows so far), and no further
    one is started. Idle, the process would otherwise die with a
    traceback; busy, it would take the next recording in the queue."""

    stopped = False
    busy = False

    @classmethod
    def start(cls):
        # Held back while the process started (see _pool()); SIGTERM, sent
        # to every process by a cluster's time limit, is met the same way.
        for stop in _STOPS:
            signal.signal(stop, cls._interrupt)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, _STOPS)
        # Each process is one recording's worker: OpenCV's own threads
        # would only compete with the other processes.
        cv2.setNumThreads(1)

    @classmethod
    def _interrupt(cls, signum, frame):
        # Once: a second Ctrl-C must not cut the files' finishing short.
        if not cls.stopped:
            cls.stopped = True
            if cls.busy:
                raise KeyboardInterrupt

    @classmethod
    def run(cls, job: Job):
        if cls.stopped:
            return job.source, None, "interrupted"
        cls.busy = True
        try:
            return run(job)
        except KeyboardInterrupt:
            return job.source, None, "interrupted"
        finally:
            cls.busy = False


def run_all(jobs, workers: int, report=None) -> int:
    """Runs `jobs`, `workers` at a time; reports a line per recording as it
    ends and one for all; returns how many failed."""
    report = report or (lambda line: print(line, file=sys.stderr))
    start, failed = time.perf_counter(), 0
    results = map(run, jobs) if workers <= 1 else _in_processes(jobs,
                                                                workers)
    for source, line, error in results:
        if error is None:
            report(f"{source}: {line}")
        else:
            failed += 1
            report(f"{source}: FAILED: {error}")
    report(f"recordings: {len(jobs)}, failed: {failed}, "
           f"{time.perf_counter() - start:.1f} s on {workers} "
           f"process{'es' if workers > 1 else ''}")
    return failed


def _in_processes(jobs, workers):
    """run()'s results, `workers` processes at a time, as they end. A
    process that dies (killed for its memory, a decoder's crash on a
    damaged file) breaks the whole pool, and every recording not yet done
    with it. The pool hands them out in order, a process's worth and one
    more at a time: only the first few not done can have been running, and
    each of those is run again alone (the one that dies again fails); the
    rest, never started, go on in a new pool."""
    pending = list(range(len(jobs)))
    while pending:
        broken = []
        yield from _pool(jobs, pending, workers, broken)
        broken.sort()
        suspects, pending = broken[:workers + 1], broken[workers + 1:]
        for k in suspects:
            again = []
            yield from _pool(jobs, [k], 1, again)
            if again:
                yield jobs[k].source, None, (
                    "its process ended abruptly (out of memory, or a crash "
                    "in a library)")


def _pool(jobs, indices, workers, broken):
    """run() on jobs[k] for k in `indices`, its results as they end; the
    indices of those a dead process took down appended to `broken`."""
    # The processes start here, and take Ctrl-C only once they can tell
    # it: until then it waits, here too.
    signal.pthread_sigmask(signal.SIG_BLOCK, _STOPS)
    pool = ProcessPoolExecutor(max_workers=workers, initializer=_Worker.start)
    try:
        futures = {pool.submit(_Worker.run, jobs[k]): k for k in indices}
        signal.pthread_sigmask(signal.SIG_UNBLOCK, _STOPS)
        for future in as_completed(futures):
            try:
                yield future.result()
            except BrokenProcessPool:
                broken.append(futures[future])
    except KeyboardInterrupt:
        # Told to this process alone (`kill -INT`), it is passed on; the
        # workers that had it already ignore it.
        for child in multiprocessing.active_children():
            os.kill(child.pid, signal.SIGINT)
        raise
    finally:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, _STOPS)
        pool.shutdown(cancel_futures=True)


def default_workers() -> int:
    return max(1, len(os.sched_getaffinity(0)) if hasattr(
        os, "sched_getaffinity") else (os.cpu_count() or 1))
