"""Pacing by absolute deadlines: sample k is due at start + k * period, whatever the earlier samples took."""

import asyncio
import logging
import time


class Pacer:
    """Waits for each sample's deadline on the monotonic clock.

    A sample that starts more than ``late_after`` seconds after its deadline is late: it runs, and is counted
    and logged. A sample that starts a whole period or more after its deadline means the deadlines in between
    have passed: they are not run back to back to catch up (that would double samples); they are counted as
    missed and logged, and the sample runs on the newest deadline passed. A period of 0 means no waiting.
    """

    def __init__(self, period, late_after=None, log=None, name="sample"):
        if not period >= 0:
            raise ValueError(f"period must be a non-negative number of seconds, got {period!r}")
        self.period = float(period)
        self.late_after = 0.1 * self.period if late_after is None else float(late_after)
        self.log = log or logging.getLogger(__name__)
        self.name = name
        self.start = None  # monotonic time of the first deadline
        self.index = 0  # index of the next deadline on the grid
        self.late = 0
        self.missed = 0

    def deadline(self, index):
        return self.start + index * self.period

    async def wait(self):
        """Sleep until the next deadline; return (deadline, start time) of the sample that may now run."""
        now = time.monotonic()
        if self.start is None:
            self.start = now
        if self.period == 0.0:
            return now, now
        due = self.deadline(self.index)
        if due > now:
            await asyncio.sleep(due - now)
            now = time.monotonic()
        behind = int((now - due) // self.period)
        if behind > 0:
            self.missed += behind
            self.index += behind
            self.log.warning("%d deadline(s) passed while the previous %s ran: not run (%d missed so far)", behind,
                             self.name, self.missed)
            due = self.deadline(self.index)
        if now - due > self.late_after:
            self.late += 1
            self.log.warning("%s %d started %.1f ms after its deadline (%d late so far)", self.name, self.index,
                             (now - due) * 1e3, self.late)
        self.index += 1
        return due, now
