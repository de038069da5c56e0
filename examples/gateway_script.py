"""The demo's two PI loops (examples/closed_loop.py) as a gateway script, for the plant of gateway_plant.json.

Two processes, one command each (from the project's root)::

    python -m corvane.gateway plant examples/gateway_plant.json --port 4840
    python -m corvane.gateway run examples/gateway_script.py --server opc.tcp://127.0.0.1:4840 --state demo.state

Each sample the gateway reads CV1 and CV2 from the plant server in one request, steps ``LOOP`` one sample
(natively) and writes MV2 and MV1 in one request. The loop reads, per gateway loop, ``<loop>_MODE`` (1.0, or 0.0
while the loop must track) and ``<loop>_TV`` (the loop's output as last written): wired to the PID's MODE and TV,
they make every hold and every return bumpless. The loop's block states are what the state file keeps across
restarts.
"""

from corvane.algorithm.loopcontrol import PID
from corvane.gateway import LoopController
from corvane.loop import Loop

TS = 1.0  # sample period [s]; the gateway runs one sample per TS of wall-clock time (see --speed)

# Loop name -> the tags it reads and the tag it writes: the pairing chosen by the demo's relative gain array.
LOOPS = {
    "LC1": {"inputs": ["CV1"], "output": "MV2"},
    "LC2": {"inputs": ["CV2"], "output": "MV1"},
}
SET_POINTS = {"LC1": 12.0, "LC2": 17.0}
TUNING = {"LC1": (0.026666666666666658, 1.5), "LC2": (0.16547305131128323, 49.5)}  # lambda rule, as the demo


def make_pid(kp, ti):
    pid = PID(TS)
    pid.setPIDParam(KP=kp, TI=ti)
    pid.setOPHighLowLimit(100.0, 0.0)
    return pid


# One PID per loop, wired by name to what the gateway gives it.
LOOP = Loop()
for name, spec in LOOPS.items():
    LOOP.add(name, make_pid(*TUNING[name]), MODE=f"{name}_MODE", SP=SET_POINTS[name], PV=spec["inputs"][0],
             TV=f"{name}_TV")

# Each output tag the gateway writes -> the loop's output that gives it.
CONTROLLER = LoopController(LOOP, {spec["output"]: f"{name}.OP" for name, spec in LOOPS.items()})
