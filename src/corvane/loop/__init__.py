"""corvane.loop: blocks wired once by pin names and stepped natively, N samples per call.

Each sample, the blocks run in the order they were added, and each input reads the newest value of its source
(this sample's if the source already ran, else the last sample's, else its initial value); a plant MV input
whose source has no value yet is left out of the call, so the plant keeps its value.
"""

from .loop import Loop, LoopError, run_many
from .trace import Trace

__all__ = ["Loop", "LoopError", "Trace", "run_many"]
