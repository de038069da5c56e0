"""The plant server: a `MIMOSim` or `LPVPlantSim` served over OPC UA, one variable per tag.

Under the object ``Plant`` of the namespace ``urn:corvane:plant`` each tag is a variable whose node id and browse
name are the tag: MVs writable, CVs read-only, and ``Heartbeat``, a `WatchDog` counter that moves once per
sample, read-only. A blended plant has one more writable variable, ``working_value``. The plant advances one
sample per period of wall-clock time (``Ts / speed``, by absolute deadlines), or, in lockstep, one sample per call
of the method ``Plant.Step``.
"""

import asyncio
import json
import logging
import math

from asyncua import Server, ua

from corvane.algorithm.blendedplant import LPVPlantSim
from corvane.algorithm.heartbeat import WatchDog
from corvane.algorithm.multiloop import MIMOSim

from .common import HEARTBEAT, NAMESPACE, good_number
from .pacing import Pacer
from .security import secure_server

WORKING_VALUE = "working_value"
HEARTBEAT_MAX = 2**31 - 2  # fits an Int32 node; a reader never sees the same value twice in a row
log = logging.getLogger("corvane.gateway.plant")


class Disturbance:
    """Adds ``values`` (tag -> amount) from sample ``start`` on, for ``length`` samples (None: for good).

    An amount on an MV is added to what the plant receives (the node keeps the value written); an amount on a
    CV is the plant's unmeasured disturbance of that sample.
    """

    def __init__(self, start, values, length=None):
        self.start, self.length = int(start), None if length is None else int(length)
        self.values = {str(k): float(v) for k, v in dict(values).items()}

    def active(self, sample):
        return sample >= self.start and (self.length is None or sample < self.start + self.length)


def load_plant(path):
    """Read a plant file: ``{"model": ..., "initial": ..., "Ts": 1}`` or, for a blended plant, ``"plants"``.

    Returns the keyword arguments of `PlantServer` (``sim``, ``Ts``, ``disturbances``, ``working_value``).
    """
    with open(path, encoding="utf-8") as f:
        doc = json.load(f)
    if not isinstance(doc, dict):
        raise ValueError(f"{path}: a plant file holds one JSON object")
    initial, ts = doc.get("initial", {}), doc.get("Ts", 1)
    if "model" in doc:
        sim = MIMOSim(doc["model"], initial, Ts=ts)
    elif "plants" in doc:
        sim = LPVPlantSim(initial)
        for p in doc["plants"]:
            sim.addPlant(p["id"], p["working_point"], p["model"], ts)
    else:
        raise ValueError(f"{path}: give the plant's \"model\" (a model dictionary) or its local \"plants\"")
    dist = [Disturbance(d["start"], d["values"], d.get("length")) for d in doc.get("disturbances", [])]
    return {"sim": sim, "Ts": ts, "disturbances": dist, "working_value": doc.get("working_value", 0.0)}


class PlantServer:
    """Serves ``sim`` over OPC UA and advances it, paced or in lockstep.

    ``sim``: a `MIMOSim` (or `SISOSim`) or an `LPVPlantSim`. ``Ts``: its sample time in seconds (default: the
    simulator's ``Ts``, else 1); with ``speed`` the plant runs that many times faster than real time. ``lockstep``: no clock; each call of the method
    ``Step`` advances one sample. ``host``/``port``: where to listen (localhost unless told; port 0 picks a free
    one, see `url`). Security: see `corvane.gateway.security`.
    """

    def __init__(self, sim, Ts=None, *, speed=1.0, lockstep=False, host="127.0.0.1", port=4840, disturbances=(),
                 working_value=0.0, certificate=None, private_key=None, users=None, trusted=()):
        Ts = (getattr(sim, "Ts", None) or 1.0) if Ts is None else Ts
        if not (speed > 0 and Ts > 0):
            raise ValueError("Ts and speed must be positive")
        self.sim, self.Ts, self.speed, self.lockstep = sim, Ts, float(speed), bool(lockstep)
        self.host, self.port = host, int(port)
        self.disturbances = list(disturbances)
        self.security = dict(certificate=certificate, private_key=private_key, users=users, trusted=trusted)
        self.blended = isinstance(sim, LPVPlantSim)
        self.mvs, self.cvs = list(sim.get_mv_list()), list(sim.get_cv_list())
        reserved = {HEARTBEAT, WORKING_VALUE, "Step", "Plant"}
        clash = (reserved & set(self.mvs + self.cvs)) | (set(self.mvs) & set(self.cvs))
        if clash:
            raise ValueError(f"tags that are both a CV and an MV, or names the plant server uses: {sorted(clash)}")
        self.sample = 0  # samples advanced so far
        self.frozen = False  # while True the clock does not advance the plant (heartbeat stops too)
        self._u = dict(sim.get_input_data_dict())
        if self.blended:
            self._u[WORKING_VALUE] = float(working_value)
        self._bad = set()
        self._watchdog = WatchDog()
        self._forced = {}
        self.ua_server = self._clock = None  # the asyncua Server while started
        self._ids = {}

    @classmethod
    def from_file(cls, path, **kwargs):
        """A server for the plant file at ``path`` (see `load_plant`); ``kwargs`` as for the constructor."""
        return cls(**{**load_plant(path), **kwargs})

    @property
    def url(self):
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"opc.tcp://{host}:{self.port}"

    def schedule(self, start, values, length=None):
        """Add a disturbance (see `Disturbance`) from sample ``start`` on."""
        self.disturbances.append(Disturbance(start, values, length))

    async def start(self):
        server = Server()
        await server.init()
        server.set_endpoint(self.url)
        server.set_server_name("corvane plant server")
        await secure_server(server, **self.security)
        idx = await server.register_namespace(NAMESPACE)
        plant = await server.nodes.objects.add_object(ua.NodeId("Plant", idx), ua.QualifiedName("Plant", idx))
        y = self._y = self.sim.get_output_data_dict()
        for tag, value, writable in [(t, self._u[t], True) for t in self._u] + [(t, y[t], False) for t in self.cvs]:
            node = await plant.add_variable(ua.NodeId(tag, idx), ua.QualifiedName(tag, idx),
                                            ua.Variant(float(value), ua.VariantType.Double))
            if writable:
                await node.set_writable()
            self._ids[tag] = node.nodeid
        hb = await plant.add_variable(ua.NodeId(HEARTBEAT, idx), ua.QualifiedName(HEARTBEAT, idx),
                                      ua.Variant(0, ua.VariantType.Int32))
        self._ids[HEARTBEAT] = hb.nodeid
        if self.lockstep:
            await plant.add_method(ua.NodeId("Step", idx), ua.QualifiedName("Step", idx), self._step_method, [],
                                   [ua.VariantType.Int64])
        await server.start()
        self.ua_server = server
        self.port = server.bserver.port
        if not self.lockstep:
            self._clock = asyncio.create_task(self._run_clock())
        log.info("plant server at %s: MVs %s, CVs %s, %s", self.url, self.mvs, self.cvs,
                 "lockstep (method Plant.Step)" if self.lockstep else f"Ts {self.Ts} s at speed {self.speed:g}")
        return self

    async def stop(self):
        if self._clock is not None:
            self._clock.cancel()
            await asyncio.gather(self._clock, return_exceptions=True)
            self._clock = None
        if self.ua_server is not None:
            await self.ua_server.stop()
            self.ua_server = None

    async def __aenter__(self):
        return await self.start()

    async def __aexit__(self, *exc):
        await self.stop()

    async def serve_forever(self):
        """Start, serve until cancelled, stop."""
        async with self:
            await asyncio.Event().wait()

    def node_id(self, tag):
        """The node id of a tag's variable (or of ``Heartbeat``)."""
        return self._ids[tag]

    def read(self, tag):
        """A variable's current value as the server holds it."""
        dv = self.ua_server.read_attribute_value(self._ids[tag])
        return None if dv.Value is None else dv.Value.Value

    async def write(self, tag, value, variant_type=ua.VariantType.Double):
        """Set a variable from the server side (no access check): a CV, an MV, or a fault a test injects."""
        await self.ua_server.write_attribute_value(self._ids[tag], ua.DataValue(ua.Variant(value, variant_type)))

    async def force(self, tag, value=math.nan, status=None):
        """A malfunction: the variable shows ``value`` (a number, or any text), or the bad ``status`` (a name of
        ``asyncua.ua.StatusCodes``, such as ``"BadSensorFailure"``), instead of the plant's value, until `release`.
        """
        if status is not None:
            dv = ua.DataValue(StatusCode=ua.StatusCode(getattr(ua.StatusCodes, status)))
        elif isinstance(value, str):
            dv = ua.DataValue(ua.Variant(value, ua.VariantType.String))
        else:
            dv = ua.DataValue(ua.Variant(float(value), ua.VariantType.Double))
        self._forced[tag] = dv
        self.ua_server.set_attribute_value_callback(self._ids[tag], lambda nodeid, attr, dv=dv: dv)

    async def release(self, tag):
        """End a `force`: the variable shows the plant's value again."""
        if self._forced.pop(tag, None) is not None:
            value = self._u[tag] if tag in self._u else self._y[tag]
            await self.write(tag, float(value))

    def _inputs(self):
        # The MVs (and working value) as written; a value no block may take keeps the last good one.
        for tag in self._u:
            value = self.read(tag)
            if good_number(value):
                self._u[tag] = float(value)
                if tag in self._bad:
                    self._bad.discard(tag)
                    log.warning("plant input %s good again: %r", tag, value)
            elif tag not in self._bad:
                self._bad.add(tag)
                log.warning("plant input %s refused (%r): holding %r", tag, value, self._u[tag])
        u, v = dict(self._u), {}
        for d in self.disturbances:
            if d.active(self.sample):
                for tag, amount in d.values.items():
                    if tag in u:
                        u[tag] += amount
                    else:
                        v[tag] = v.get(tag, 0.0) + amount
        return u, v

    async def step(self):
        """Advance the plant one sample; return the number of samples advanced so far."""
        u, v = self._inputs()
        if self.blended:
            y = self.sim(u.pop(WORKING_VALUE), u, v)
        else:
            y = self.sim(u, v)
        self.sample += 1
        self._y = y
        for tag in self.cvs:
            if tag not in self._forced:
                await self.write(tag, float(y[tag]))
        await self.write(HEARTBEAT, self._watchdog(HEARTBEAT_MAX), ua.VariantType.Int32)
        return self.sample

    async def _step_method(self, parent):
        return [ua.Variant(await self.step(), ua.VariantType.Int64)]

    async def _run_clock(self):
        pacer = Pacer(self.Ts / self.speed, log=log, name="plant sample")
        while True:
            await pacer.wait()
            if self.frozen:
                continue
            try:
                await self.step()
            except Exception:
                # The heartbeat stops with the plant: every gateway sees it and holds its outputs.
                log.exception("plant sample %d failed; the plant does not advance", self.sample)
