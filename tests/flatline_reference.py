"""The constant detector written out in plain Python: the whole window rescanned per call."""

from collections import deque

import numpy as np


class PlainConstDect:
    def __init__(self):
        self._U_queue = deque([])

    def __call__(self, Ut, DectLen=10):
        self._U_queue.append(Ut)
        while len(self._U_queue) < DectLen:
            self._U_queue.append(Ut)
        while len(self._U_queue) > DectLen:
            self._U_queue.popleft()
        Udiff = np.abs(np.diff(self._U_queue, prepend=self._U_queue[0]))
        Udiff_flag = np.where(Udiff < 1e-6, True, False)
        return Udiff_flag.all()
