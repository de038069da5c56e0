"""Control scripts on OPC UA: a plant server for a simulated plant and a gateway runner for the controller.

Needs the optional extra ``gateway`` (``pip install corvane[gateway]``), which brings asyncua. Two commands,
one per process::

    python -m corvane.gateway plant PLANT.json --port 4840
    python -m corvane.gateway run SCRIPT.py --server opc.tcp://127.0.0.1:4840 --state gateway.state

or from Python: `PlantServer` and `Gateway` (both asyncio).
"""

from .common import HEARTBEAT, NAMESPACE
from .pacing import Pacer
from .runner import FunctionController, Gateway, LoopController
from .security import make_certificate
from .state import StateError, load_state, save_state


def __getattr__(name):
    # The plant server needs the simulators (and scipy): imported when first asked for, so that a gateway,
    # which never needs them, starts quickly.
    if name in ("Disturbance", "PlantServer", "load_plant"):
        from . import plant

        return getattr(plant, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

__all__ = ["Disturbance", "FunctionController", "Gateway", "HEARTBEAT", "LoopController", "NAMESPACE", "Pacer",
           "PlantServer", "StateError", "load_plant", "load_state", "make_certificate", "save_state"]
