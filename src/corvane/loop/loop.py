"""A closed loop of the user's own blocks, wired once by pin names and stepped N samples per call.

Each sample, the blocks run in the order they were added, and each input reads the newest value of its
source (this sample's if the source already ran, else the last sample's, else its initial value); a plant MV
input whose source has no value yet is left out of the call, so the plant keeps its value.
"""

import concurrent.futures
import copy
import numbers
import os
import types

import numpy as np

from . import blocks as kinds
from .trace import Trace

try:
    from . import _native
except ImportError:  # a source checkout without the built module: the Python path only
    _native = None


class LoopError(ValueError):
    """A wiring that cannot run: an unknown block or pin, a missing input, a name used twice."""


class _Entry:
    __slots__ = ("name", "block", "kind", "sources", "ins", "outs")

    def __init__(self, name, block, kind, sources):
        self.name, self.block, self.kind, self.sources = name, block, kind, dict(sources)
        self.ins = kind.inputs(block) if kind.number != kinds.CALLABLE else tuple(sources)
        self.outs = kind.outputs(block)

    def __getstate__(self):  # the kind is found again from the block
        return self.name, self.block, self.sources, self.ins

    def __setstate__(self, state):
        self.name, self.block, self.sources, self.ins = state
        self.kind = kinds.kind_of(self.block, self.sources)
        self.outs = self.kind.outputs(self.block)


class Loop:
    """Blocks wired by pin names: ``add(name, block, pin=source, ...)``, then ``run(n, inputs, record)``.

    A source is ``"block.output"`` (a block's output: ``"lc.OP"``, ``"plant.CV1"``), any other name (an input
    given to `run`, a scalar or an array of n values), or a number (a constant). Unwired optional pins keep the
    block's defaults. The output of each block: ``OP`` for a `PID`, ``Yt`` for `Delay_Algorithm` and the timers,
    ``Q`` for the latch, the CV tags for a simulator, ``out`` for every other block and any callable.
    """

    def __init__(self):
        self._entries = []
        self._initial = {}
        self._state = None  # the value and has-a-value of every output, carried from run to run
        self._program = None  # the compiled wiring, until the wiring changes

    def _changed(self):
        self._state = self._program = None

    # -- wiring --------------------------------------------------------------------------------------------
    def add(self, name, block, **pins):
        """Appends a block under `name`; keywords wire its input pins. Returns the loop."""
        if not isinstance(name, str) or not name or "." in name:
            raise LoopError(f"a block name is a non-empty text without '.', got {name!r}")
        if any(e.name == name for e in self._entries):
            raise LoopError(f"a block named {name!r} is already in the loop")
        if any(e.block is block for e in self._entries):
            raise LoopError(f"this {type(block).__name__} is already in the loop")
        kind = kinds.kind_of(block, pins)
        entry = _Entry(name, block, kind, {})
        for pin, source in pins.items():
            self._wire(entry, pin, source)
        missing = [p for p in kind.required if p not in pins]
        if missing:
            raise LoopError(f"block {name!r}: pins {', '.join(missing)} must be wired")
        self._entries.append(entry)
        self._changed()
        return self

    def connect(self, source, target):
        """Wires `target` (``"block.pin"``) to `source`. Returns the loop."""
        name, _, pin = target.partition(".")
        self._wire(self._entry(name), pin, source)
        self._changed()
        return self

    def initial(self, output, value):
        """The value that ``"block.output"`` reads as before the block first runs. Returns the loop."""
        self._output_slot(output)
        self._initial[output] = float(value)
        self._changed()
        return self

    def _wire(self, entry, pin, source):
        if pin not in entry.ins and entry.kind.number != kinds.CALLABLE:
            raise LoopError(f"block {entry.name!r} has no input pin {pin!r} (pins: {', '.join(entry.ins)})")
        if isinstance(source, bool) or not isinstance(source, (str, numbers.Real)):
            raise LoopError(f"the source of {entry.name}.{pin} is a name or a number, got {source!r}")
        entry.sources[pin] = source if isinstance(source, str) else float(source)
        if entry.kind.number == kinds.CALLABLE and pin not in entry.ins:
            entry.ins = entry.ins + (pin,)

    def _entry(self, name):
        for e in self._entries:
            if e.name == name:
                return e
        raise LoopError(f"no block named {name!r}")

    def _output_slot(self, output):
        name, dot, pin = output.partition(".")
        if not dot:
            raise LoopError(f"an output is named 'block.output', got {output!r}")
        entry = self._entry(name)
        if pin not in entry.outs:
            raise LoopError(f"block {name!r} has no output {pin!r} (outputs: {', '.join(map(str, entry.outs))})")
        return output

    @property
    def blocks(self):
        """name -> block, in the order they run."""
        return {e.name: e.block for e in self._entries}

    def outputs(self):
        """Every output pin, ``"block.output"``, in the order the blocks run."""
        return [f"{e.name}.{o}" for e in self._entries for o in e.outs]

    def inputs(self):
        """Every input name the wiring reads (what `run` and `step` must be given), in the order first wired."""
        return list(dict.fromkeys(s for e in self._entries for s in e.sources.values()
                                  if isinstance(s, str) and "." not in s))

    # -- state ---------------------------------------------------------------------------------------------
    def state(self):
        """What the loop carries into its next sample, in plain containers: ``{"blocks": name -> the state of each
        library block (callables keep their own), "outputs": "block.output" -> the value it carries, or None
        before it has one}``. `set_state` takes it back."""
        outs = self.outputs()
        values, has = self._start_state(len(outs))
        lib = [e for e in self._entries if e.kind.number != kinds.CALLABLE]
        return {"blocks": {e.name: state for e, (_, state) in zip(lib, self._snapshot(lib))},
                "outputs": {o: v if h else None for o, v, h in zip(outs, values, has)}}

    def set_state(self, state):
        """Restores a `state()` into this loop's own block objects, in place, so the wiring stays: all of it, or
        nothing and an exception (LoopError when it does not fit the wiring)."""
        outs = self.outputs()
        lib = [e for e in self._entries if e.kind.number != kinds.CALLABLE]
        if not (isinstance(state, dict) and isinstance(state.get("blocks"), dict)
                and isinstance(state.get("outputs"), dict)):
            raise LoopError("not a loop's state")
        blocks, carried = dict(state["blocks"]), dict(state["outputs"])
        if set(blocks) != {e.name for e in lib}:
            raise LoopError(f"the state holds blocks {sorted(map(str, blocks))}, the loop {[e.name for e in lib]}")
        if set(carried) != set(outs) or not all(v is None or type(v) is float for v in carried.values()):
            raise LoopError("the state's output values do not fit the loop's outputs")
        snap = self._snapshot(lib)
        try:
            for e in lib:
                e.block.__setstate__(blocks[e.name])
        except Exception:
            self._restore(snap)
            raise
        values = [carried[o] for o in outs]
        self._state = ([0.0 if v is None else v for v in values], [v is not None for v in values])

    # -- running -------------------------------------------------------------------------------------------
    def _compiled(self, inputs):
        if self._program is None:
            self._program = self._compile()
        program, slots, n_out, total, constants = self._program
        missing = [s for s in slots if slots[s] >= n_out and s not in inputs]
        if missing:
            raise LoopError(f"inputs not given: {', '.join(missing)}")
        return self._program

    def _compile(self):
        """Slots: every output, then every input name, then every constant."""
        slots = {out: i for i, out in enumerate(self.outputs())}
        n_out = len(slots)
        for e in self._entries:
            for src in e.sources.values():
                if isinstance(src, str) and "." not in src:
                    slots.setdefault(src, len(slots))
        constants, by_bits = {}, {}  # slot -> value; a constant's bits -> its slot (-0.0 is not 0.0)
        program = []
        for e in self._entries:
            ins = []
            for pin in e.ins:
                src = e.sources.get(pin)
                if src is None:
                    ins.append(-1)
                elif isinstance(src, float):
                    slot = by_bits.setdefault(src.hex(), len(slots) + len(constants))
                    constants[slot] = src
                    ins.append(slot)
                elif src in slots:
                    ins.append(slots[src])
                else:
                    raise LoopError(f"{e.name}.{pin}: no output {src!r} in the loop")
            program.append((e, tuple(ins), tuple(slots[f"{e.name}.{o}"] for o in e.outs)))
        return program, slots, n_out, len(slots) + len(constants), constants

    def _start_state(self, n_out):
        if self._state is None or len(self._state[0]) != n_out:
            outs = self.outputs()
            values = [self._initial.get(o, 0.0) for o in outs]
            has = [o in self._initial for o in outs]
            self._state = (values, has)
        return self._state

    def run(self, n, inputs=None, record=None, native=True):
        """Steps every block `n` samples; returns a `Trace` of the pins in `record` (default: every output).

        `inputs`: input name -> a number or an array of n numbers. `native`: run on the blocks' native cores
        with the interpreter lock released (blocks that cannot, and callables, run under the lock); False steps
        every block through its own Python API. Both give the same trace, bit for bit, and leave the blocks in
        the same state. A run that fails raises with the sample and the block named, and leaves every library
        block as it was before the run.
        """
        if not isinstance(n, numbers.Integral) or isinstance(n, bool) or n < 0:
            raise LoopError(f"n is a whole number of samples >= 0, got {n!r}")
        n = int(n)
        inputs = dict(inputs or {})
        program, slots, n_out, total, constants = self._compiled(inputs)
        record = list(self.outputs() if record is None else record)
        for r in record:
            if r not in slots:
                raise LoopError(f"cannot record {r!r}: it is no output or input of the loop")
        exo = []
        for name, value in inputs.items():
            if slots.get(name, -1) < n_out:
                raise LoopError(f"input {name!r} feeds no pin")
            arr = np.asarray(value, dtype=np.float64)
            if arr.ndim == 0:
                arr = float(arr)
            elif arr.shape != (n,):
                raise LoopError(f"input {name!r} has {arr.shape} values, the run {n} samples")
            exo.append((slots[name], arr))
        values, has = self._start_state(n_out)
        init = values + [0.0] * (total - n_out)
        init_has = has + [False] * (total - n_out)
        for slot, value in constants.items():
            init[slot], init_has[slot] = value, True
        rec = [slots[r] for r in record]
        if native and _native is not None:
            data, end, end_has = self._run_native(program, n, exo, init, init_has, rec)
        else:
            data, end, end_has = self._run_python(program, n, exo, init, init_has, rec)
        self._state = (list(end[:n_out]), list(end_has[:n_out]))
        return Trace(record, data)

    def _snapshot(self, entries=None):
        """Copies of the library blocks' states (callables keep their own)."""
        return [(e.block, copy.deepcopy(e.block).__getstate__()) for e in (entries or self._entries)
                if e.kind.number != kinds.CALLABLE]

    @staticmethod
    def _restore(snapshot):
        for block, state in snapshot:
            own = getattr(block, "__dict__", None)
            if isinstance(own, dict) and isinstance(state[1], dict):
                own.clear()  # __setstate__ merges: attributes the run added go as well
            block.__setstate__(state)

    def _run_python(self, program, n, exo, vals, has, rec):
        data = np.empty((n, len(rec)))
        snap = self._snapshot()
        k, e = 0, None
        try:
            for k in range(n):
                for slot, arr in exo:
                    vals[slot] = arr if isinstance(arr, float) else float(arr[k])
                    has[slot] = True
                for e, ins, outs in program:
                    _python_step(e, ins, outs, vals, has)
                for j, slot in enumerate(rec):
                    data[k, j] = vals[slot]
        except BaseException as exc:
            self._restore(snap)
            exc.add_note(f"in sample {k} of block '{e.name}'" if e is not None else f"in sample {k}")
            raise
        return data, vals, has

    def _run_native(self, program, n, exo, vals, has, rec):
        blocks = [(e.kind.number, e.name, e.block, ins, outs, (lambda *args, e=e: _python_call(e, args)))
                  for e, ins, outs in program]
        snap = []

        def through_python(indices):  # the blocks whose objects the native run changes: saved first
            snap.extend(self._snapshot([program[i][0] for i in indices]))

        try:
            return _native.run(blocks, n, exo, vals, has, rec, through_python)
        except BaseException:
            self._restore(snap)  # blocks run through Python may have advanced
            raise

    # -- one sample ----------------------------------------------------------------------------------------
    def step(self, inputs=None, native=True):
        """One sample: returns every output pin's new value, ``{"block.output": value}``."""
        trace = self.run(1, inputs, native=native)
        return {name: float(trace[name][0]) for name in trace.names}

    def __repr__(self):
        return f"<Loop of {len(self._entries)} blocks: {', '.join(e.name for e in self._entries)}>"


def _given(e, ins, vals, has):
    """The wired pins of one block's sample: pin -> value (plant MV inputs without a value left out)."""
    g = {}
    plant = e.kind.number in (kinds.MIMO, kinds.LPV)
    for pin, src in zip(e.ins, ins):
        if src < 0 or (plant and not has[src] and pin != "working_value"):
            continue
        v = vals[src]
        g[pin] = kinds.as_count(v) if pin in e.kind.counts else v
    return g


def _outputs(e, out):
    if e.kind.number in (kinds.MIMO, kinds.LPV):
        return [float(out[cv]) for cv in e.outs]
    return [float(out)]


def _python_step(e, ins, outs, vals, has):
    for slot, v in zip(outs, _outputs(e, e.kind.call(e.block, _given(e, ins, vals, has)))):
        vals[slot] = v
        has[slot] = True


def _python_call(e, args):
    """One sample of a block the native runner cannot step: args are the pins' values (None: no value)."""
    g = {}
    for pin, v in zip(e.ins, args):
        if v is not None:
            g[pin] = kinds.as_count(v) if pin in e.kind.counts else v
    return tuple(_outputs(e, e.kind.call(e.block, g)))


_SHARED_BY_COPIES = (types.FunctionType, types.BuiltinFunctionType)


def run_many(loops, n, inputs=None, record=None, workers=None):
    """Runs every loop `n` samples on a pool of threads (the native runs release the interpreter lock);
    returns their traces in order. The loops must not share a block (deep copies of one loop do not; the
    functions they share, as `copy.deepcopy` leaves them, run under the lock and are called by each)."""
    loops = list(loops)
    seen = set()
    for lp in loops:
        for b in lp.blocks.values():
            if isinstance(b, _SHARED_BY_COPIES):
                continue
            if id(b) in seen:
                raise LoopError("two loops share a block: run copies (copy.deepcopy) instead")
            seen.add(id(b))
    workers = workers or min(len(loops), os.cpu_count() or 1) or 1
    if workers == 1:
        return [lp.run(n, inputs, record) for lp in loops]
    # One share of the loops per thread (every workers-th loop): a task per loop costs the pool's bookkeeping,
    # under the lock, for each (bench_loop's run_many rows: two threads 2.5 -> 1.4-2.2 s).
    shares = [loops[i::workers] for i in range(workers)]
    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        done = list(pool.map(lambda share: [lp.run(n, inputs, record) for lp in share], shares))
    traces = [None] * len(loops)
    for i, share in enumerate(done):
        traces[i::workers] = share
    return traces


__all__ = ["Loop", "LoopError", "run_many"]
