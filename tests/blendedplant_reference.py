"""The blend in plain Python over MIMOSim objects: an independent reference for
tests and the baseline of the benchmark."""

import copy

import numpy as np

from corvane.algorithm import blendedplant as bp
from corvane.algorithm import multiloop as ml
from multiloop_reference import EXAMPLE, INI


class RefLPV:
    """The blend in plain Python over MIMOSim objects, step by step as described."""

    def __init__(self, ini={}):
        self.plants, self.ini, self.u, self.y = [], copy.deepcopy(ini), {}, {}

    def add(self, pid, wp, model, Ts):
        self.delete(pid)
        ini = copy.deepcopy(self.ini)
        ini.update({cv: 0.0 for cv in model})
        sim = ml.MIMOSim(model, ini_value_dict=ini, Ts=Ts)
        for k in sim.get_output_data_dict():
            self.y.setdefault(k, self.ini.get(k, 0.0))
        for k in sim.get_input_data_dict():
            self.u.setdefault(k, self.ini.get(k, 0.0))
        self.plants.insert(0, [pid, float(wp), sim, 0.0])
        self.sort()

    def sort(self):
        _, idx = np.unique([p[1] for p in self.plants], return_index=True)
        self.plants = [self.plants[i] for i in idx]

    def delete(self, pid):
        ids = [p[0] for p in self.plants]
        if pid in ids:
            while pid in [p[0] for p in self.plants]:
                self.plants.pop([p[0] for p in self.plants].index(pid))
            self.sort()

    def __call__(self, w, u={}, v={}):
        self.u.update({k: x for k, x in u.items() if k in self.u})
        idf = np.interp(float(w), [p[1] for p in self.plants], range(len(self.plants)))
        id1, id2 = int(np.floor(idf)), int(np.ceil(idf))
        w2 = min(max(idf - id1, 0.0), 1.0)
        res = []
        for p in self.plants:
            res.append(p[2](u, v))
            p[3] = 0.0
        if id1 == id2:
            self.plants[id1][3] = 1.0
            for k in res[id1]:
                self.y[k] = res[id1][k] + self.ini.get(k, 0.0)
        else:
            self.plants[id1][3], self.plants[id2][3] = 1.0 - w2, w2
            for k in res[id1]:
                self.y[k] = ((1.0 - w2) * res[id1][k] + w2 * res[id2][k]) + self.ini.get(k, 0.0)
        return dict(self.y)


def scaled(model, gain):
    """A copy of a model dictionary with every gain scaled."""
    m = copy.deepcopy(model)
    for row in m.values():
        for entry in row.values():
            for key in ("num_s", "num_z", "stp"):
                if key in entry:
                    entry[key] = [gain * x for x in entry[key]]
    return m


def three_plants(sim=None):
    """Three local plants: the worked example scaled by 1, 2 and 3 at working points 10, 20 and 40."""
    sim = sim or bp.LPVPlantSim(INI)
    for pid, wp in [(1, 10), (2, 20), (3, 40)]:
        sim.addPlant(pid, wp, scaled(EXAMPLE, pid), 1)
    return sim
