"""The gateway runner: read all inputs in one request, step the controller, write all outputs in one request.

Each sample, paced by absolute deadlines:

1. (lockstep only) call the plant server's ``Step`` method;
2. read the heartbeat and every input tag in one request;
3. judge the link (a `ConstDect` on the heartbeat: no change within ``stale_after`` samples means stale; a failed
   request means lost) and each input (a finite number with a good status; optionally not frozen, by a
   `ConstDect` of its own);
4. step the controller with the inputs and, per loop, ``<loop>_MODE`` (1.0, or 0.0 when the loop must track) and
   ``<loop>_TV`` (the loop's output as last written, which a tracking loop holds);
5. write the outputs of the loops in automatic in one request (a tracking loop's output is held, not written);
6. save the state file (every ``save_every`` samples).

A loop tracks while the link or any of its inputs is bad, and for one sample after they are good again, so
that its controller is re-initialised from good values before it acts: the return is bumpless.
"""

import asyncio
import fcntl
import logging
import math
import numbers
import os
import sys

from asyncua import Client, ua

from corvane.algorithm.flatline import ConstDect

from .common import HEARTBEAT, NAMESPACE, good_number
from .pacing import Pacer
from .security import secure_client
from .state import StateError, load_state, save_state

log = logging.getLogger("corvane.gateway")
_LINK = "link not good"


def _number(value):
    """A controller's output as a float, or None when it is not a finite real number."""
    if type(value) is float:
        return value if math.isfinite(value) else None
    if isinstance(value, numbers.Real) and not isinstance(value, bool):
        value = float(value)
        if math.isfinite(value):
            return value
    return None


class FunctionController:
    """A plain function as the gateway's controller.

    ``step(inputs) -> outputs``: ``inputs`` maps input tags and the runner's ``<loop>_MODE`` and ``<loop>_TV``
    to numbers; ``outputs`` maps each loop's output tag to a number. ``blocks``: name -> the library blocks the
    function uses (a `PID`, a filter, ...); their states are what the state file keeps, restored in place.
    """

    def __init__(self, step, blocks=None):
        self.step = step
        self.blocks = dict(blocks or {})
        for name, block in self.blocks.items():
            if not callable(getattr(block, "__setstate__", None)):
                raise TypeError(f"block {name!r} ({type(block).__name__}) cannot restore a state in place")

    def __reduce__(self):  # a pickle or copy is a whole controller; __getstate__ is the state file's part
        return type(self), (self.step, self.blocks)

    def __getstate__(self):
        return {name: block.__getstate__() for name, block in self.blocks.items()}

    def __setstate__(self, state):
        if not isinstance(state, dict) or set(state) != set(self.blocks):
            saved = sorted(state) if isinstance(state, dict) else type(state).__name__
            raise StateError(f"the state holds blocks {saved}, the script {sorted(self.blocks)}")
        before = self.__getstate__()
        for name, block_state in state.items():
            try:
                self.blocks[name].__setstate__(block_state)
            except Exception as exc:
                for done, old in before.items():
                    self.blocks[done].__setstate__(old)
                raise StateError(f"block {name!r} refused its saved state: {exc}") from None


class LoopController:
    """A `corvane.loop.Loop` as the gateway's controller: one sample per period, stepped natively.

    The loop reads the input tags and the runner's ``<loop>_MODE`` and ``<loop>_TV`` as its inputs, by name
    (``MODE="LC1_MODE", TV="LC1_TV"`` on the loop's PID). ``outputs``: each output tag the gateway writes -> the
    loop's output that gives it (``{"MV2": "LC1.OP"}``). The state file keeps the loop's `state()` (its blocks'
    states and the values its outputs carry), restored into the loop's own blocks in place: the wiring stays.
    """

    def __init__(self, loop, outputs):
        self.loop, self.outputs = loop, dict(outputs)
        pins = loop.outputs()
        unknown = [pin for pin in self.outputs.values() if pin not in pins]
        if unknown:
            raise ValueError(f"the loop has no output {unknown[0]!r} (outputs: {', '.join(pins)})")

    def step(self, inputs):
        values = self.loop.step({name: inputs[name] for name in self.loop.inputs()})
        return {tag: values[pin] for tag, pin in self.outputs.items()}

    def __reduce__(self):
        return type(self), (self.loop, self.outputs)

    def __getstate__(self):
        return self.loop.state()

    def __setstate__(self, state):
        try:
            self.loop.set_state(state)
        except Exception as exc:
            raise StateError(f"the loop refused its saved state: {exc}") from None


def _check_loop(controller, loops, given):
    """Refuses a loop the gateway cannot feed or whose outputs it does not write; warns of a loop that cannot track."""
    reads = controller.loop.inputs()
    missing = [name for name in reads if name not in given]
    if missing:
        raise ValueError(f"the loop reads {', '.join(missing)}: the gateway gives only the input tags and, per loop, "
                         f"<loop>_MODE and <loop>_TV ({', '.join(given)})")
    written = {lp.output for lp in loops}
    if set(controller.outputs) != written:
        raise ValueError(f"the controller gives the output tags {sorted(controller.outputs)}, the loops write "
                         f"{sorted(written)}")
    for lp in loops:
        unread = [pin for pin in (lp.mode_pin, lp.tv_pin) if pin not in reads]
        if unread:
            log.warning("%s: the loop does not read %s: it cannot track the output the gateway holds, and its "
                        "return to automatic will not be bumpless", lp.name, " and ".join(unread))


def _is_loop(obj):
    loop = sys.modules.get("corvane.loop")  # imported by whoever built a Loop; not by the gateway itself
    return loop is not None and isinstance(obj, loop.Loop)


class _Loop:
    def __init__(self, name, inputs, output):
        self.name, self.inputs, self.output = str(name), tuple(inputs), str(output)
        self.mode_pin, self.tv_pin = f"{self.name}_MODE", f"{self.name}_TV"
        self.held = None  # the output as last written (or read back from the server)
        self.ready = False  # the last sample had good inputs and a good output: automatic may follow
        self.mode = 0.0
        self.fault, self.retry_at = None, 0  # a bad or refused output, and the sample of the next try


class _Input:
    def __init__(self, tag, frozen_after):
        self.tag, self.frozen_after = tag, frozen_after
        self.value = math.nan  # the last good value
        self.good = self.known = False  # good in this sample; good once at least
        self.problem = _LINK
        self._dect, self._fed = ConstDect(), 0

    def judge(self, dv):
        """Take one read result; return why it is bad, or None."""
        value = dv.Value.Value if dv.Value is not None else None
        if not dv.StatusCode.is_good():
            return f"status {dv.StatusCode.name}"
        if not good_number(value):
            return f"value {value!r}"
        if self.frozen_after:
            self._fed += 1
            # ConstDect is True on its first call (its window is filled with that value): judge full windows only.
            if self._dect(value, self.frozen_after) and self._fed >= self.frozen_after:
                return f"frozen at {value!r} for {self.frozen_after} samples"
        self.value = float(value)
        return None


def _as_loops(loops):
    out = []
    for name, spec in dict(loops).items():
        if isinstance(spec, dict):
            inputs, output = spec["inputs"], spec["output"]
        else:
            inputs, output = spec
        out.append(_Loop(name, [inputs] if isinstance(inputs, str) else inputs, output))
    return out


class Gateway:
    """Runs ``controller`` against an OPC UA server, paced, with communication health and a resumable state.

    ``controller``: a `LoopController`, or an object with ``step(inputs) -> outputs`` and, for a state file,
    ``__getstate__()`` and an in-place ``__setstate__(state)`` (see `FunctionController`); a plain function is
    wrapped in one.
    ``loops``: loop name -> ``{"inputs": [tags], "output": tag}``. ``server``: the server's URL. ``Ts``: the
    sample time in seconds; the runner waits ``Ts / speed`` between samples (``speed`` infinite: no waiting;
    the default in lockstep). ``lockstep``: call the plant server's ``Step`` before each sample.
    ``state_file``: where the state is kept (every ``save_every`` samples), ``None`` for none.
    ``stale_after``: samples without a heartbeat change after which the link is stale. ``frozen_after``: tag ->
    samples after which an unchanging input is bad (an int: for every input; off by default, since a
    simulated plant at rest holds still). ``nodes``: tag -> node id text (``"ns=2;s=FIC101.PV"``) for tags that
    are not variables of the plant server's namespace. ``heartbeat``: the heartbeat's tag or node id, ``None``
    for a server without one. ``on_sample``: called with a record of each sample.
    """

    def __init__(self, controller, loops, server, *, Ts, speed=None, lockstep=False, state_file=None, save_every=1,
                 stale_after=5, frozen_after=None, nodes=None, heartbeat=HEARTBEAT, io_timeout=None, on_sample=None,
                 certificate=None, private_key=None, server_certificate=None, user=None, password=None):
        if _is_loop(controller):
            raise TypeError("a Loop is given as LoopController(loop, {output tag: 'block.output', ...})")
        if not hasattr(controller, "step") and callable(controller):
            controller = FunctionController(controller)
        self.controller, self.server, self.lockstep = controller, server, bool(lockstep)
        self.loops = _as_loops(loops)
        if not self.loops:
            raise ValueError("a gateway needs at least one loop")
        speed = (math.inf if lockstep else 1.0) if speed is None else float(speed)
        if not (Ts > 0 and speed > 0):
            raise ValueError("Ts and speed must be positive")
        self.Ts, self.period = float(Ts), float(Ts) / speed
        self.state_file, self.save_every = state_file, max(1, int(save_every))
        self.stale_after = int(stale_after)
        if self.stale_after < 2:
            raise ValueError("stale_after must be at least 2 samples")
        if isinstance(frozen_after, int):
            frozen_after = {t: frozen_after for lp in self.loops for t in lp.inputs}
        tags = list(dict.fromkeys(t for lp in self.loops for t in lp.inputs))
        outputs = [lp.output for lp in self.loops]
        pins = {p for lp in self.loops for p in (lp.mode_pin, lp.tv_pin)}
        if len(set(outputs)) < len(outputs) or pins & set(tags):
            raise ValueError(f"each loop needs an output of its own, and no input may be named like the pins "
                             f"{sorted(pins)}")
        if isinstance(controller, LoopController):
            _check_loop(controller, self.loops, tags + sorted(pins))
        self.inputs = [_Input(t, (frozen_after or {}).get(t)) for t in tags]
        self.nodes, self.heartbeat = dict(nodes or {}), heartbeat
        self.io_timeout = max(2 * self.period, 0.5) if io_timeout is None else float(io_timeout)
        self.on_sample = on_sample
        self.security = dict(certificate=certificate, private_key=private_key, server_certificate=server_certificate,
                             user=user, password=password)
        self.pacer = Pacer(self.period, log=log)
        self.sample = 0  # samples run, over restarts (kept in the state file)
        self.written = 0  # outputs written
        self.link = False
        self._client = self._connecting = self._hb = None
        self._ids = {}
        self._stopping = self._failing = False
        self._lock = None
        self._tasks = set()

    # --- state file -------------------------------------------------------------------------------------

    def _lock_state(self):
        fd = os.open(f"{self.state_file}.lock", os.O_RDWR | os.O_CREAT, 0o600)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            raise RuntimeError(f"another gateway runs on the state file {self.state_file}") from None
        self._lock = fd

    def _resume(self):
        if not os.path.exists(self.state_file):
            log.info("no state file %s: starting from the script's blocks", self.state_file)
            return
        try:
            state = load_state(self.state_file)
            if not (isinstance(state, dict) and {"sample", "held", "controller"} <= set(state)):
                raise StateError("not a gateway runner's state")
            held, sample = state["held"], state["sample"]
            if not (type(sample) is int and isinstance(held, dict)
                    and all(v is None or good_number(v) for v in held.values())):
                raise StateError("malformed runner state")
            try:
                self.controller.__setstate__(state["controller"])
            except StateError:
                raise
            except Exception as exc:
                raise StateError(f"the controller refused it ({type(exc).__name__}: {exc})") from None
        except StateError as exc:
            refused = f"{self.state_file}.refused"
            os.replace(self.state_file, refused)
            log.error("state file %s refused (%s); kept as %s. Starting from the script's blocks, in tracking",
                      self.state_file, exc, refused)
            return
        self.sample = sample
        for lp in self.loops:
            lp.held = held.get(lp.name)
        log.info("resumed from %s at sample %d", self.state_file, sample)

    def _save(self):
        held = {lp.name: lp.held for lp in self.loops}
        save_state(self.state_file, {"sample": self.sample, "held": held, "controller": self.controller.__getstate__()})

    # --- connection -------------------------------------------------------------------------------------

    def _node_id(self, tag, ns):
        text = self.nodes.get(tag, tag)
        return ua.NodeId.from_string(text) if "=" in text else ua.NodeId(text, ns)

    async def _connect(self):
        slow = max(self.io_timeout, 5.0)  # opening a secure channel may take a while
        client = Client(self.server, timeout=slow)
        try:
            await secure_client(client, **self.security)
            await asyncio.wait_for(client.connect(), 2 * slow)
            client.uaclient.protocol.timeout = self.io_timeout  # each request of a sample
            tags = [i.tag for i in self.inputs] + [lp.output for lp in self.loops]
            named = tags + ([self.heartbeat] if self.heartbeat else [])
            bare = self.lockstep or any("=" not in self.nodes.get(t, t) for t in named)
            ns = await client.get_namespace_index(NAMESPACE) if bare else 0
            ids = {t: self._node_id(t, ns) for t in tags}
            if self.heartbeat:
                ids[HEARTBEAT] = self._node_id(self.heartbeat, ns)
            if self.lockstep:
                ids["Plant"], ids["Step"] = ua.NodeId("Plant", ns), ua.NodeId("Step", ns)
            back = [lp.output for lp in self.loops] + ([HEARTBEAT] if self.heartbeat else [])
            dvs = await client.uaclient.read_attributes([ids[t] for t in back], ua.AttributeIds.Value)
        except BaseException:
            await self._drop(client)
            raise
        # The outputs resume from what the server holds: the values last written, whenever the gateway stopped.
        for lp, dv in zip(self.loops, dvs):
            value = dv.Value.Value if dv.Value is not None else None
            if dv.StatusCode.is_good() and good_number(value):
                if lp.held is not None and value != lp.held:
                    log.info("%s: output %s reads %r on the server (held %r): resuming from the server's value",
                             lp.name, lp.output, value, lp.held)
                lp.held = float(value)
        self._hb = ConstDect()
        if self.heartbeat:
            self._hb(self._value(dvs[-1]), self.stale_after)  # its first call: the window holds this value
        self._ids = ids
        return client

    @staticmethod
    def _value(dv):
        value = dv.Value.Value if dv.Value is not None else None
        return value if dv.StatusCode.is_good() and good_number(value) else math.nan

    async def _drop(self, client):
        try:
            await asyncio.wait_for(client.disconnect(), 1.0)
        except Exception:
            client.disconnect_socket()

    async def _keep_connecting(self):
        failures = 0
        while not self._stopping:
            try:
                self._client = await self._connect()
                log.info("connected to %s", self.server)
                return
            except Exception as exc:
                failures += 1
                (log.warning if failures == 1 else log.debug)("cannot connect to %s (%s: %s); retrying",
                                                              self.server, type(exc).__name__, exc)
                await asyncio.sleep(max(self.period, 0.2))

    def _lost(self, why):
        client, self._client = self._client, None
        if self.link:
            log.warning("link to %s lost: %s", self.server, why)
        self.link = False
        if client is not None:
            task = asyncio.ensure_future(self._drop(client))
            self._tasks.add(task)
            task.add_done_callback(self._tasks.discard)

    # --- one sample -------------------------------------------------------------------------------------

    async def _read(self):
        """Read the heartbeat and the inputs; set self.link; return the read results of the inputs."""
        client = self._client
        if client is None:
            if self._connecting is None or self._connecting.done():
                self._connecting = asyncio.ensure_future(self._keep_connecting())
            return None
        ids = self._ids
        try:
            if self.lockstep:
                req = ua.CallMethodRequest(ObjectId=ids["Plant"], MethodId=ids["Step"], InputArguments=[])
                res = await client.uaclient.call([req])
                res[0].StatusCode.check()
            read = [ids[i.tag] for i in self.inputs] + ([ids[HEARTBEAT]] if self.heartbeat else [])
            dvs = await client.uaclient.read_attributes(read, ua.AttributeIds.Value)
        except Exception as exc:  # a request times out after io_timeout (the client's request timeout)
            self._lost(f"{type(exc).__name__}: {exc}")
            return None
        why = None
        if self.heartbeat:
            hb = self._value(dvs[-1])
            if math.isnan(hb):
                why = f"heartbeat unreadable ({dvs[-1].StatusCode.name})"
            elif self._hb(hb, self.stale_after):
                why = f"heartbeat {hb!r} unchanged for {self.stale_after} samples"
        if (why is None) != self.link:
            if why is None:
                log.info("link to %s good", self.server)
            else:
                log.warning("link to %s stale: %s", self.server, why)
        self.link = why is None
        return dvs

    def _judge_inputs(self, dvs):
        for i, inp in enumerate(self.inputs):
            problem = _LINK if dvs is None or not self.link else inp.judge(dvs[i])
            if problem is None and inp.problem not in (None, _LINK):
                log.info("input %s good again: %r", inp.tag, inp.value)
            elif problem not in (None, _LINK, inp.problem):
                log.warning("input %s bad: %s; its loops hold their outputs", inp.tag, problem)
            inp.good, inp.problem = problem is None, problem
            inp.known = inp.known or inp.good

    def _modes(self, unknown):
        good = {i.tag: i for i in self.inputs}
        pins = {i.tag: i.value for i in self.inputs}
        for lp in self.loops:
            bad = [t for t in lp.inputs if not good[t].good]
            if not self.link:
                why = _LINK
            elif unknown:
                why = f"no value of {unknown[0]} read yet: the controller waits"
            elif lp.held is None:
                why = f"output {lp.output} not known"
            elif bad:
                why = f"input {bad[0]}: {good[bad[0]].problem}"
            elif lp.fault and self.sample < lp.retry_at:
                why = lp.fault
            else:
                why = None if lp.ready else "settling for one sample"
            mode = 1.0 if why is None else 0.0
            # An output fault has its own messages (_write); its retries are not logged as mode changes.
            if mode != lp.mode and not lp.fault:
                if mode:
                    log.info("%s: automatic again", lp.name)
                else:
                    log.warning("%s: tracking, output %s held at %r (%s)", lp.name, lp.output, lp.held, why)
            lp.mode = mode
            lp.ready = self.link and not bad and lp.held is not None  # a good tracking sample: automatic may follow
            pins[lp.mode_pin] = mode
            pins[lp.tv_pin] = math.nan if lp.held is None else lp.held
        return pins

    def _output_fault(self, lp, fault):
        # The loop tracks its held output and tries again every stale_after samples.
        if lp.fault is None:
            log.error("%s: %s; output %s held at %r, tried again every %d samples", lp.name, fault, lp.output,
                      lp.held, self.stale_after)
        lp.fault, lp.retry_at, lp.ready = fault, self.sample + self.stale_after, False

    async def _write(self, outputs):
        writes = []
        for lp in self.loops:
            if lp.mode != 1.0:
                continue
            given = outputs.get(lp.output) if isinstance(outputs, dict) else outputs
            value = _number(given)
            if value is None:
                self._output_fault(lp, f"the controller gave {given!r} for {lp.output}")
            else:
                writes.append((lp, value))
        if not writes:
            return {}
        codes = [None] * len(writes)
        if self._client is not None:
            dvs = [ua.DataValue(ua.Variant(v, ua.VariantType.Double)) for _, v in writes]
            try:
                codes = await self._client.uaclient.write_attributes([self._ids[lp.output] for lp, _ in writes], dvs)
            except Exception as exc:
                self._lost(f"{type(exc).__name__}: {exc}")
        done = {}
        for (lp, value), code in zip(writes, codes):
            if code is None:
                lp.ready = False  # the link is lost: the loop tracks
            elif not code.is_good():
                self._output_fault(lp, f"writing {lp.output} refused ({code.name})")
            else:
                lp.held = done[lp.output] = value
                if lp.fault:
                    log.info("%s: output %s written again: automatic", lp.name, lp.output)
                    lp.fault = None
        self.written += len(done)
        return done

    async def step(self):
        """Run one sample now (`run` calls it at each deadline); return its record.

        The record: ``sample`` (its index), ``link`` (good or not), ``inputs`` (what the controller got),
        ``written`` (output tag -> value written), ``modes`` (loop -> 1.0 automatic, 0.0 tracking).
        """
        dvs = await self._read()
        self._judge_inputs(dvs)
        # Until every input has been read good once, the blocks are not fed made-up numbers: every output held.
        unknown = [i.tag for i in self.inputs if not i.known]
        pins = self._modes(unknown)
        written = {}
        if unknown:
            for lp in self.loops:
                lp.ready = False
        else:
            try:
                outputs = self.controller.step(dict(pins))
            except Exception:
                (log.debug if self._failing else log.exception)(
                    "the controller failed at sample %d: every output held", self.sample)
                self._failing = True
                for lp in self.loops:
                    lp.ready = False
            else:
                self._failing = False
                written = await self._write(outputs)
        record = {"sample": self.sample, "link": self.link, "inputs": pins, "written": written,
                  "modes": {lp.name: lp.mode for lp in self.loops}}
        self.sample += 1
        if self._lock is not None and self.sample % self.save_every == 0:
            self._save()
        return record

    async def start(self):
        """Take the state file (locked against a second gateway), resume from it, connect."""
        if self.state_file:
            self._lock_state()
            self._resume()
        self._stopping = False
        try:
            self._client = await self._connect()
            log.info("connected to %s", self.server)
        except Exception as exc:
            log.warning("cannot connect to %s (%s: %s); the loops hold until it answers", self.server,
                        type(exc).__name__, exc)
        return self

    async def close(self):
        """Save the state, release the state file, disconnect."""
        self._stopping = True
        if self._connecting is not None:
            self._connecting.cancel()
        if self._lock is not None:
            try:
                self._save()
            finally:
                os.close(self._lock)
                self._lock = None
        if self._client is not None:
            await self._drop(self._client)
            self._client = None

    async def __aenter__(self):
        return await self.start()

    async def __aexit__(self, *exc):
        await self.close()

    async def run(self, samples=None):
        """Start, run ``samples`` samples at their deadlines (None: until `stop`), close."""
        async with self:
            n = 0
            while not self._stopping and (samples is None or n < samples):
                deadline, start = await self.pacer.wait()
                record = await self.step()
                record.update(deadline=deadline, start=start)
                n += 1
                if self.on_sample is not None:
                    self.on_sample(record)
        return self

    def stop(self):
        """Make `run` return after the current sample."""
        self._stopping = True
