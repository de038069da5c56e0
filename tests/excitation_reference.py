"""The test-signal generator written out in plain Python (reference for tests and benchmarks)."""

import time

import numpy as np


class PlainTestSignal:
    def __init__(self, SEED=None):
        np.random.seed(SEED)
        self._rand_arr = np.random.randint(10, 91, size=10000) / 100
        self._ET = 10
        self._amp = 1.0

    def set_ET(self, ET=10):
        self._ET = int(ET)

    def set_amplitude(self, amp=1.0):
        self._amp = amp if amp > 0.0 else 0.0

    def __call__(self, t=None):
        if t is None:
            t = int(time.time())
        P = 2 * self._ET
        period_index = t // P
        n = len(self._rand_arr)
        rand_id0, rand_id1, rand_id2 = period_index % n, (period_index + 1) % n, (period_index + 2) % n
        sw_time0 = int(P * self._rand_arr[rand_id0])
        sw_time1 = int(P * self._rand_arr[rand_id1])
        sw_time2 = int(P * self._rand_arr[rand_id2])
        tp = t % P
        if tp < sw_time0:
            return (self._amp, sw_time0 - tp, P - tp, P - tp + sw_time1, 2 * P - tp, 2 * P - tp + sw_time2)
        return (-self._amp, P - tp, P - tp + sw_time1, 2 * P - tp, 2 * P - tp + sw_time2, 3 * P - tp)
