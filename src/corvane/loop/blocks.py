"""What a Loop knows of each block: its input pins, its outputs, and one sample through its own Python API.

Every block's inputs are the parameter names of its per-sample call (or the attributes of a function-block
class); its output is named below (plants: one output per CV tag). Values travel between blocks as floats:
each output is converted with float() when it is stored, and the pins that count samples (a delay, a window
length, a timer's DT) receive an int when the value is a whole number.
"""

import math

from corvane.algorithm.blendedplant import LPVPlantSim
from corvane.algorithm.clampguard import AntiWindupLimter
from corvane.algorithm.deadtime import Delay, Delay_Algorithm
from corvane.algorithm.flatline import ConstDect
from corvane.algorithm.heartbeat import WatchDog
from corvane.algorithm.logicblocks import RStrigger, TOFFtrigger, TONtrigger
from corvane.algorithm.loopcontrol import PID
from corvane.algorithm.multiloop import MIMOSim
from corvane.algorithm.phasefilter import LDLAG
from corvane.algorithm.slewlimit import RateLimit

# Kind numbers shared with the native runner (_native.cpp).
CALLABLE, PID_, LDLAG_, DELAY, DELAY_ALGO, RATE, CLAMP, CONST, WATCHDOG, TON, TOFF, LATCH, MIMO, LPV = range(14)


def as_count(v):
    """A pin that counts samples takes a whole number as an int."""
    return int(v) if isinstance(v, float) and math.isfinite(v) and v.is_integer() else v


class Kind:
    """A block class: input pins (in the native runner's order), the ones required, the output name, and one
    sample through the block's own API (`call(block, given) -> output`, given: pin -> value of the wired pins)."""

    def __init__(self, number, pins, output, call, required=(), counts=()):
        self.number, self.pins, self.output, self._call = number, tuple(pins), output, call
        self.required, self.counts = frozenset(required), frozenset(counts)

    def call(self, block, given):
        return self._call(block, given)

    def inputs(self, block):
        return self.pins

    def outputs(self, block):
        return (self.output,)


def _function_block(out):
    def call(block, given):
        for pin, v in given.items():
            setattr(block, pin, v)
        block.call()
        return getattr(block, out)

    return call


def _pid(block, g):
    return block.run(g["MODE"], g["SP"], g["PV"], g["TV"], *([g["FF"]] if "FF" in g else []))


def _keywords(method=None):
    def call(block, g):
        return (getattr(block, method) if method else block)(**g)

    return call


class PlantKind(Kind):
    """MIMOSim and SISOSim: an input per MV tag, an output per CV tag; an MV whose source has no value yet is
    left out of the call, so the plant keeps its value."""

    def __init__(self, number, first=()):
        super().__init__(number, (), None, None, required=first)
        self.first = tuple(first)

    def inputs(self, block):
        return self.first + tuple(block.get_mv_list())

    def outputs(self, block):
        return tuple(block.get_cv_list())

    def call(self, block, g):
        u = {k: v for k, v in g.items() if k not in self.first}
        return block(*[g[p] for p in self.first], u)


KINDS = {
    PID: Kind(PID_, ("MODE", "SP", "PV", "TV", "FF"), "OP", _pid, required=("MODE", "SP", "PV", "TV")),
    LDLAG: Kind(LDLAG_, ("u",), "out", _keywords(), required=("u",)),
    Delay: Kind(DELAY, ("Ut", "nLag"), "out", _keywords(), required=("Ut",), counts=("nLag",)),
    Delay_Algorithm: Kind(DELAY_ALGO, ("Ut", "nLag"), "Yt", _function_block("Yt"), counts=("nLag",)),
    RateLimit: Kind(RATE, ("u_end", "PRLimPerMin", "NRLimPerMin"), "out", _keywords(), required=("u_end",)),
    AntiWindupLimter: Kind(CLAMP, ("u", "HI", "LO"), "out", _keywords(), required=("u",)),
    ConstDect: Kind(CONST, ("Ut", "DectLen"), "out", _keywords(), required=("Ut",), counts=("DectLen",)),
    WatchDog: Kind(WATCHDOG, ("MaxOut",), "out", _keywords()),
    TONtrigger: Kind(TON, ("Ut", "DT"), "Yt", _function_block("Yt"), counts=("DT",)),
    TOFFtrigger: Kind(TOFF, ("Ut", "DT"), "Yt", _function_block("Yt"), counts=("DT",)),
    RStrigger: Kind(LATCH, ("S", "R"), "Q", _function_block("Q")),
    MIMOSim: PlantKind(MIMO),
    LPVPlantSim: PlantKind(LPV, first=("working_value",)),
}


class CallableKind(Kind):
    """Any other callable: called with its wired pins as keywords; what it returns is the output "out"."""

    def __init__(self, pins):
        super().__init__(CALLABLE, pins, "out", _keywords())


def kind_of(block, pins):
    for cls in type(block).__mro__:
        if cls in KINDS:
            return KINDS[cls]
    if not callable(block):
        raise TypeError(f"a block is a library block or a callable, got {type(block).__name__}")
    return CallableKind(tuple(pins))
