"""The demo's two PI loops (examples/closed_loop.py) as a gateway script, for the plant of gateway_plant.json.

Two processes, one command each (from the project's root)::

    python -m corvane.gateway plant examples/gateway_plant.json --port 4840
    python -m corvane.gateway run examples/gateway_script.py --server opc.tcp://127.0.0.1:4840 --state demo.state

Each sample the gateway reads CV1 and CV2 from the plant server in one request, calls ``step`` and writes MV2
and MV1 in one request. ``step`` gets, per loop, ``<loop>_MODE`` (1.0, or 0.0 while the loop must track) and
``<loop>_TV`` (the loop's output as last written): passed to ``PID.run`` as MODE and TV, they make every hold
and every return bumpless. The PIDs in ``BLOCKS`` are what the state file keeps across restarts.
"""

from corvane.algorithm.loopcontrol import PID

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


BLOCKS = {name: make_pid(*TUNING[name]) for name in LOOPS}


def step(x):
    """One sample: input tags and the runner's pins -> output tag -> value."""
    out = {}
    for name, loop in LOOPS.items():
        pv = x[loop["inputs"][0]]
        out[loop["output"]] = BLOCKS[name].run(MODE=x[f"{name}_MODE"], SP=SET_POINTS[name], PV=pv,
                                               TV=x[f"{name}_TV"])
    return out
