"""The signal-conditioning blocks in plain Python: the reference the tests compare against and
the interpreted baseline of the benchmarks. Failures here may leave a half-done change (the
native blocks are atomic), so the tests compare state only after successful calls."""

import copy
import pickle
from collections import deque

import numpy as np

# copy.copy, copy.deepcopy and a pickle round trip with every protocol.
CLONES = [copy.copy, copy.deepcopy] + [lambda o, p=p: pickle.loads(pickle.dumps(o, p)) for p in range(6)]


def outcome(f, *args):
    """("ok", type, result) or ("raise", exception type, message) of f(*args)."""
    try:
        r = f(*args)
    except Exception as e:  # noqa: BLE001 - the exception is the result compared
        return ("raise", type(e), str(e))
    return ("ok", type(r), r)


class PlainDelay:
    def __init__(self, max_cache=10000):
        self._cache = deque(maxlen=max_cache)
        self._last_Ut = None

    def __call__(self, Ut, nLag=1):
        if len(self._cache) == 0:
            if Ut is None:
                raise ValueError("Ut is None and cache is empty.")
            self._cache.extend([Ut] * self._cache.maxlen)
        self._cache.appendleft(Ut)
        if 0 <= nLag and nLag < self._cache.maxlen:
            return self._cache[nLag]
        raise ValueError("nLag must be between 0 and " + str(self._cache.maxlen - 1) + ", but got " + str(nLag) + ".")


def plain_data_store(xArray, xt):
    xArray[1:] = xArray[:-1]
    xArray[0] = xt


class PlainDelayAlgorithm:
    Ut = 0
    Yt = 0
    nLag = 1

    def __init__(self):
        self.U_array = np.array([], dtype=float)

    def call(self):
        if len(self.U_array) == 0:
            self.U_array = np.array([self.Ut], dtype=float)
        if self.nLag > len(self.U_array) - 1:
            pad = self.U_array[-1] * np.ones(self.nLag + 1 - len(self.U_array), dtype=float)
            self.U_array = np.hstack((self.U_array, pad))
        plain_data_store(self.U_array, self.Ut)
        self.Yt = self.U_array[self.nLag]


class PlainRateLimit:
    def __init__(self, u_ini, Ts=1):
        self.u_last = float(u_ini)
        self.Ts = Ts

    def __call__(self, u_end, PRLimPerMin=60, NRLimPerMin=None):
        u_last = self.u_last
        PRLimPerSample = abs(PRLimPerMin / 60 * self.Ts)
        if NRLimPerMin is None:
            NRLimPerSample = -PRLimPerSample
        else:
            NRLimPerSample = -abs(NRLimPerMin / 60 * self.Ts)
        if u_end - u_last >= 0:
            u_out = u_last + PRLimPerSample if u_end - u_last > PRLimPerSample else u_end
        else:
            u_out = u_last + NRLimPerSample if u_end - u_last < NRLimPerSample else u_end
        self.u_last = u_out
        return float(u_out)

    def reset(self, u_ini):
        self.u_last = float(u_ini)


class PlainAntiWindup:
    def __init__(self):
        self._u0 = None
        self._y0 = None

    @staticmethod
    def _clamp(v, HI, LO):
        v = LO if LO > v else v
        return HI if HI < v else v

    def __call__(self, u, HI=100, LO=0):
        u = float(u)
        if self._u0 is None:
            self._u0 = u
        if self._y0 is None:
            self._y0 = self._clamp(u, HI, LO)
        delta_u = u - self._u0
        y = self._clamp(self._y0 + delta_u, HI, LO)
        self._u0 = u
        self._y0 = y
        return y

    def run(self, u, HI=100, LO=0):
        return self(u, HI, LO)
