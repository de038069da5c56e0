"""corvane.gateway on loopback: a real asyncua plant server and gateway, in this process or as the commands."""

import asyncio
import copy
import gc
import importlib.util
import json
import logging
import math
import multiprocessing
import os
import pickle
import random
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
from asyncua import Client, ua

from corvane.algorithm.blendedplant import LPVPlantSim
from corvane.algorithm.loopcontrol import PID
from corvane.algorithm.multiloop import MIMOSim
from corvane.algorithm.phasefilter import LDLAG
from corvane.gateway import (FunctionController, Gateway, LoopController, Pacer, PlantServer, StateError, load_state,
                             make_certificate, save_state)
from corvane.gateway.__main__ import main as command
from corvane.gateway.state import loads
from corvane.loop import Loop
from stored_cases import CASES, reset_recorder_file

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PLANT_FILE = os.path.join(ROOT, "examples", "gateway_plant.json")
SCRIPT = os.path.join(ROOT, "examples", "gateway_script.py")
PLANT = json.load(open(PLANT_FILE))


def example():
    """A fresh instance of the example script's module: its own Loop and PIDs."""
    spec = importlib.util.spec_from_file_location("gateway_script_under_test", SCRIPT)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def function_controller(mod):
    """The example's loops as a plain function over the same PIDs."""
    blocks = mod.LOOP.blocks

    def step(x):
        return {spec["output"]: blocks[name].run(MODE=x[f"{name}_MODE"], SP=mod.SET_POINTS[name],
                                                 PV=x[spec["inputs"][0]], TV=x[f"{name}_TV"])
                for name, spec in mod.LOOPS.items()}

    return FunctionController(step, blocks)


class Spoiled:
    """A controller whose output tags in ``spoiled`` (a set the caller may change) come out as NaN."""

    def __init__(self, controller, spoiled):
        self.controller, self.spoiled = controller, spoiled

    def step(self, x):
        return {tag: math.nan if tag in self.spoiled else v for tag, v in self.controller.step(x).items()}


def gateway(url, spoiled=None, function=False, **kwargs):
    """The example's Loop (or, ``function``, the same PIDs in a plain function) as the controller."""
    mod = example()
    controller = function_controller(mod) if function else mod.CONTROLLER
    if spoiled is not None:
        controller = Spoiled(controller, spoiled)
    return Gateway(controller, mod.LOOPS, url, Ts=mod.TS, **kwargs)


def pi_output(mod, loop, tv, pv_before, pv):
    """What the example's PI does on its first automatic sample after tracking at ``tv``."""
    kp, ti = mod.TUNING[loop]
    sp = mod.SET_POINTS[loop]
    e0, e = sp - pv_before, sp - pv
    return min(max((kp * (e - e0) + ((kp * mod.TS) / ti) * e) + tv, 0.0), 100.0)


def check_bumpless_returns(records, mod):
    """Every return to automatic starts from the held output, as the PI law does in one sample."""
    returns = 0
    for before, rec in zip(records, records[1:]):
        for name, spec in mod.LOOPS.items():
            if before["modes"][name] == 0.0 and rec["modes"][name] == 1.0 and spec["output"] in rec["written"]:
                pv = spec["inputs"][0]
                tv = before["inputs"][f"{name}_TV"]
                assert rec["inputs"][f"{name}_TV"] == tv
                expected = pi_output(mod, name, tv, before["inputs"][pv], rec["inputs"][pv])
                assert rec["written"][spec["output"]] == pytest.approx(expected, abs=1e-12)
                returns += 1
    return returns


async def until(predicate, timeout=30.0):
    end = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < end, "timed out"
        await asyncio.sleep(0.01)


# --- the commands: closed loop, lockstep equal to the same loop in-process ---------------------------------

def start_plant(tmp_path, plant_file, *args):
    with open(tmp_path / "plant.out", "w") as log:  # the child keeps its own descriptor
        proc = subprocess.Popen([sys.executable, "-m", "corvane.gateway", "plant", str(plant_file), "--port", "0",
                                 *args], stdout=log, stderr=subprocess.STDOUT, cwd=tmp_path)
    end = time.monotonic() + 60
    while time.monotonic() < end:
        text = (tmp_path / "plant.out").read_text()
        for line in text.splitlines():
            if line.startswith("serving "):
                return proc, line.split()[1]
        assert proc.poll() is None, text
        time.sleep(0.05)
    stop(proc)
    raise AssertionError("the plant server did not start")


def stop(proc):
    """Stops a plant process on request, killing it if it does not stop; it must have stopped cleanly."""
    proc.send_signal(signal.SIGTERM)
    try:
        rc = proc.wait(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert rc == 0


def gateway_args(url, tmp_path, *args):
    return ["run", SCRIPT, "--server", url, "--lockstep", "--trace", str(tmp_path / "trace.jsonl"), *args]


def records(tmp_path):
    recs = []
    if not (tmp_path / "trace.jsonl").exists():
        return recs
    for line in open(tmp_path / "trace.jsonl"):
        try:
            recs.append(json.loads(line))
        except json.JSONDecodeError:  # a line torn by a kill
            pass
    return recs


def in_process_reference(doc, n):
    """The plant and the example's PIDs closed in one Loop, run natively in one call: the plant first (it reads
    the PIDs' outputs of the sample before: the MVs it holds), then the PIDs, tracking in sample 0 as the
    gateway's first sample does. Returns (input tags and pins, outputs written) per sample."""
    mod = example()
    pids = mod.LOOP.blocks
    plant = MIMOSim(doc["model"], doc["initial"], Ts=doc["Ts"])
    ref = Loop().add("plant", plant, MV3="MV3", **{spec["output"]: f"{name}.OP" for name, spec in mod.LOOPS.items()})
    for name, spec in mod.LOOPS.items():
        ref.add(name, pids[name], MODE="mode", SP=mod.SET_POINTS[name], PV=f"plant.{spec['inputs'][0]}",
                TV=f"{name}.OP")
        ref.initial(f"{name}.OP", doc["initial"][spec["output"]])
    mv3 = np.full(n, doc["initial"]["MV3"])
    for d in doc["disturbances"]:
        mv3[d["start"]:d["start"] + d["length"]] += d["values"]["MV3"]
    trace = ref.run(n, {"MV3": mv3, "mode": (np.arange(n) > 0).astype(float)})
    out = {name: np.r_[doc["initial"][spec["output"]], trace[f"{name}.OP"]] for name, spec in mod.LOOPS.items()}
    ref_trace = []
    for k in range(n):
        x = {cv: float(trace[f"plant.{cv}"][k]) for cv in ("CV1", "CV2")}
        for name in mod.LOOPS:
            x[f"{name}_MODE"], x[f"{name}_TV"] = float(k > 0), float(out[name][k])
        written = {spec["output"]: float(out[name][k + 1]) for name, spec in mod.LOOPS.items()} if k else {}
        ref_trace.append((x, written))
    return ref_trace


def test_commands_close_the_loop_in_lockstep_exactly_as_in_process(tmp_path):
    doc = dict(PLANT, disturbances=[{"start": 300, "length": 20, "values": {"MV3": 0.3}}])
    (tmp_path / "plant.json").write_text(json.dumps(doc))
    n = 900
    plant, url = start_plant(tmp_path, tmp_path / "plant.json", "--lockstep")
    try:
        gw = subprocess.run([sys.executable, "-m", "corvane.gateway", *gateway_args(url, tmp_path, "--samples", str(n))],
                            cwd=tmp_path, capture_output=True, text=True, timeout=300)
        assert gw.returncode == 0, gw.stderr
    finally:
        stop(plant)
    recs = records(tmp_path)
    assert [r["sample"] for r in recs] == list(range(n))
    ref = in_process_reference(doc, n)
    for rec, (x, written) in zip(recs, ref):
        assert rec["inputs"] == pytest.approx(x, abs=1e-12, rel=0)
        assert rec["written"] == pytest.approx(written, abs=1e-12, rel=0)
    mod = example()
    assert abs(recs[-1]["inputs"]["CV1"] - mod.SET_POINTS["LC1"]) < 0.02
    assert abs(recs[-1]["inputs"]["CV2"] - mod.SET_POINTS["LC2"]) < 0.05
    # The commands ran the installed package, not the source tree.
    where = subprocess.run([sys.executable, "-c", "import corvane.gateway as g; print(g.__file__)"], cwd=tmp_path,
                           capture_output=True, text=True, check=True).stdout
    assert not where.startswith(os.path.join(ROOT, "src"))


# --- kill -9 and restart -------------------------------------------------------------------------------

async def read_outputs(url, tags):
    async with Client(url) as client:
        ns = await client.get_namespace_index("urn:corvane:plant")
        return dict(zip(tags, await client.read_values([client.get_node(ua.NodeId(t, ns)) for t in tags])))


def test_killed_gateway_resumes_from_its_last_outputs(tmp_path):
    # Each gateway is a process of its own, forked from a server that has imported the package once.
    processes = multiprocessing.get_context("forkserver")
    processes.set_forkserver_preload(["corvane.gateway.__main__", "corvane.loop"])
    mod = example()
    outputs = [spec["output"] for spec in mod.LOOPS.values()]
    state = tmp_path / "gateway.state"
    rng = random.Random(19)
    plant, url = start_plant(tmp_path, PLANT_FILE, "--lockstep")
    try:
        last = {t: PLANT["initial"][t] for t in outputs}
        seen = 0
        for run in range(21):
            if run == 10:
                state.write_bytes(b"\x80\x05not a pickle at all")  # corrupt: refused, start in tracking
            log = tmp_path / f"run{run}.log"
            args = gateway_args(url, tmp_path, "--state", str(state), "--log-file", str(log))
            gw = processes.Process(target=command, args=(args,), daemon=True)
            gw.start()
            try:
                end = time.monotonic() + 60
                while len(records(tmp_path)) <= seen + 1:
                    assert gw.is_alive() and time.monotonic() < end, log.read_text() if log.exists() else "no log"
                    time.sleep(0.01)
                time.sleep(rng.uniform(0.0, 0.2))
                os.kill(gw.pid, signal.SIGTERM if run == 20 else signal.SIGKILL)  # the last one stops on request
                gw.join(30)
            finally:
                if gw.is_alive():
                    gw.kill()
                    gw.join()
            assert gw.exitcode == (0 if run == 20 else -signal.SIGKILL)
            example().CONTROLLER.__setstate__(load_state(state)["controller"])  # a whole state of the Loop
            recs = records(tmp_path)[seen:]
            first = recs[0]
            assert set(first["modes"].values()) == {0.0} and not first["written"]
            for name, spec in mod.LOOPS.items():
                assert first["inputs"][f"{name}_TV"] == last[spec["output"]]
            assert check_bumpless_returns(recs, mod) >= 2
            seen += len(recs)
            last = asyncio.run(read_outputs(url, outputs))
        assert "refused" in open(tmp_path / "run10.log").read()
        assert (tmp_path / "gateway.state.refused").exists()
    finally:
        stop(plant)


# --- plant server stopped and restarted, plant frozen, under a running gateway -----------------------------

def test_stale_link_holds_outputs_and_returns_bumplessly(caplog):
    caplog.set_level(logging.INFO, logger="corvane.gateway")
    stale_after = 4

    async def scenario():
        srv = await PlantServer.from_file(PLANT_FILE, port=0, speed=20).start()
        recs = []
        gw = gateway(srv.url, speed=20, stale_after=stale_after, on_sample=recs.append)
        task = asyncio.create_task(gw.run())
        try:
            await until(lambda: len(recs) >= 20)
            srv.frozen, frozen_at = True, len(recs)
            await until(lambda: len(recs) >= frozen_at + 12)
            srv.frozen, thawed_at = False, len(recs)
            await until(lambda: len(recs) >= thawed_at + 10)
            await srv.stop()
            stopped_at = len(recs)
            await until(lambda: len(recs) >= stopped_at + 12)
            srv = await PlantServer.from_file(PLANT_FILE, port=srv.port, speed=20).start()
            restarted_at = len(recs)
            await until(lambda: len(recs) >= restarted_at + 20)
            gw.stop()
            await task
        finally:  # a failed wait above leaves neither the gateway nor a server running
            gw.stop()
            task.cancel()
            await asyncio.gather(task, return_exceptions=True)
            await srv.stop()
        return recs, frozen_at, thawed_at, stopped_at, restarted_at

    recs, frozen_at, thawed_at, stopped_at, restarted_at = asyncio.run(scenario())
    mod = example()

    def first(start, test):
        return next(r["sample"] for r in recs[start:] if test(r))

    def held(a, b):
        assert all(not r["written"] and set(r["modes"].values()) == {0.0} for r in recs[a:b])

    assert all(r["link"] for r in recs[5:frozen_at])
    # Frozen plant: the heartbeat stops; stale within stale_after samples (+1 for the freeze's own sample).
    stale = first(frozen_at, lambda r: not r["link"])
    assert stale - frozen_at <= stale_after + 1
    held(stale, thawed_at)
    # Stopped server: the first failed read.
    lost = first(stopped_at, lambda r: not r["link"])
    assert lost - stopped_at <= stale_after
    held(lost, restarted_at)
    back = first(restarted_at, lambda r: set(r["modes"].values()) == {1.0})
    # The restarted plant starts at its initial MVs: the loops resume from what it holds.
    for name, spec in mod.LOOPS.items():
        assert recs[back - 1]["inputs"][f"{name}_TV"] == PLANT["initial"][spec["output"]]
    assert check_bumpless_returns(recs, mod) >= 6
    text = caplog.text
    assert "stale: heartbeat" in text and "lost" in text and "automatic again" in text


# --- bad inputs and outputs ----------------------------------------------------------------------------

async def delete(srv, tag):
    await srv.ua_server.delete_nodes([srv.ua_server.get_node(srv.node_id(tag))])


async def recreate(srv, tag, value):
    plant = srv.ua_server.get_node(ua.NodeId("Plant", srv.node_id(tag).NamespaceIndex))
    node = await plant.add_variable(srv.node_id(tag), ua.QualifiedName(tag, srv.node_id(tag).NamespaceIndex),
                                    ua.Variant(value, ua.VariantType.Double))
    await node.set_writable()


async def spoil(spoiled, tag, on):
    (spoiled.add if on else spoiled.discard)(tag)


FAULTS = {
    "NaN": (lambda srv, sp: srv.force("CV1", math.nan), lambda srv, sp: srv.release("CV1"), "value nan"),
    "text": (lambda srv, sp: srv.force("CV1", "12.5 degC"), lambda srv, sp: srv.release("CV1"), "'12.5 degC'"),
    "bad status": (lambda srv, sp: srv.force("CV1", status="BadSensorFailure"), lambda srv, sp: srv.release("CV1"),
                   "BadSensorFailure"),
    "deleted input": (lambda srv, sp: delete(srv, "CV1"), lambda srv, sp: recreate(srv, "CV1", 11.0),
                      "BadNodeIdUnknown"),
    "deleted output": (lambda srv, sp: delete(srv, "MV2"), lambda srv, sp: recreate(srv, "MV2", 16.5),
                       "writing MV2 refused"),
    "NaN output": (lambda srv, sp: spoil(sp, "MV2", True), lambda srv, sp: spoil(sp, "MV2", False),
                   "the controller gave nan for MV2"),
}


@pytest.mark.parametrize("fault, function", [(f, False) for f in sorted(FAULTS)] + [("NaN", True),
                                                                                     ("deleted output", True)])
def test_bad_input_or_output_holds_its_loop_only(fault, function, caplog):
    caplog.set_level(logging.INFO, logger="corvane.gateway")
    inject, clear, message = FAULTS[fault]

    async def scenario():
        spoiled = set()
        async with PlantServer.from_file(PLANT_FILE, port=0, lockstep=True) as srv:
            async with gateway(srv.url, spoiled, function, lockstep=True) as gw:
                recs = []
                for k in range(60):
                    if k == 20:
                        await inject(srv, spoiled)
                    if k == 30:
                        await clear(srv, spoiled)
                    recs.append(await gw.step())
                return recs

    recs = asyncio.run(scenario())
    mod = example()
    # LC1 reads CV1 and writes MV2; LC2 (CV2 -> MV1) carries on.
    assert all(r["modes"]["LC2"] == 1.0 and "MV1" in r["written"] for r in recs[1:])
    assert all("MV2" not in r["written"] for r in recs[20:30])
    if "output" not in fault:  # (a refused or bad output is tried again every stale_after samples)
        assert all(r["modes"]["LC1"] == 0.0 for r in recs[20:30])
    assert all(r["modes"]["LC1"] == 1.0 for r in recs[40:])
    assert check_bumpless_returns(recs, mod) >= 3
    assert message in caplog.text


# --- pacing --------------------------------------------------------------------------------------------

def test_pacing_by_absolute_deadlines():
    period, n = 0.05, 200  # Ts 1 s at speed 20

    async def scenario():
        async with PlantServer.from_file(PLANT_FILE, port=0, speed=20) as srv:
            recs = []
            gw = gateway(srv.url, speed=20, on_sample=recs.append)
            await gw.run(n)
            return recs, gw.pacer

    # As the command does: this process's heap (the whole suite's) is not scanned by each full collection.
    gc.collect()
    gc.freeze()
    try:
        recs, pacer = asyncio.run(scenario())
    finally:
        gc.unfreeze()
    t0 = recs[0]["deadline"]
    assert pacer.missed == 0 and len(recs) == n
    lateness = [r["start"] - (t0 + k * period) for k, r in enumerate(recs)]
    assert all(0.0 <= x < period for x in lateness), max(lateness)
    assert lateness[-1] < period  # total drift over the run
    assert pacer.late == sum(x > pacer.late_after for x in lateness)


def test_a_stalled_sample_is_counted_not_doubled(caplog):
    period = 0.4  # margins of a fifth to half a period: a busy machine's oversleeping stays inside them

    async def scenario():
        pacer = Pacer(period, late_after=period / 2)
        starts = [(await pacer.wait())[1]]
        time.sleep(3.5 * period)  # sample 0 overruns the deadlines of samples 1, 2 and 3
        starts.append((await pacer.wait())[1])  # runs late, on deadline 3
        starts.append((await pacer.wait())[1])
        return pacer, starts

    pacer, starts = asyncio.run(scenario())
    assert pacer.missed == 2 and pacer.late == 1 and pacer.index == 5
    assert starts[2] >= pacer.start + 4 * period  # not run back to back: it waits for its own deadline
    assert "2 deadline(s) passed" in caplog.text


# --- security ------------------------------------------------------------------------------------------

async def write_status(client, tag, value):
    ns = await client.get_namespace_index("urn:corvane:plant")
    kind = ua.VariantType.Double if isinstance(value, float) else ua.VariantType.Int32
    code = await client.uaclient.write_attributes([ua.NodeId(tag, ns)], [ua.DataValue(ua.Variant(value, kind))])
    return code[0].name


def test_open_server_refuses_writes_to_cvs_and_heartbeat():
    async def scenario():
        async with PlantServer.from_file(PLANT_FILE, port=0, lockstep=True) as srv:
            assert srv.ua_server.bserver.hostname == "127.0.0.1"
            async with Client(srv.url) as client:
                codes = [await write_status(client, t, v) for t, v in
                         (("CV1", 1.0), ("Heartbeat", 7), ("MV1", 15.5), ("MV2", math.nan))]
            admin = Client(srv.url)
            admin.set_user("admin")  # asyncua's default would make this user an administrator
            admin.set_password("anything")
            try:
                await admin.connect()
            except Exception as exc:
                codes.append(type(exc).__name__)
            else:
                codes.append(await write_status(admin, "CV1", 2.0))
                await admin.disconnect()
            values = srv.read("CV1"), srv.read("MV1")
            await srv.step()  # MV2 is NaN: the plant keeps its last good value
            return codes, values, srv.read("CV2")

    codes, values, cv2 = asyncio.run(scenario())
    assert codes[:4] == ["BadUserAccessDenied", "BadUserAccessDenied", "Good", "Good"]
    assert codes[4] in ("BadIdentityTokenRejected", "BadUserAccessDenied")
    assert values == (PLANT["initial"]["CV1"], 15.5)
    assert math.isfinite(cv2)


def test_secure_server_admits_only_passwords_and_trusted_certificates(tmp_path):
    for name, server in (("server", True), ("client", False), ("stranger", False)):
        make_certificate(tmp_path / f"{name}.der", tmp_path / f"{name}.pem", server=server)
    cert = {n: (str(tmp_path / f"{n}.der"), str(tmp_path / f"{n}.pem")) for n in ("client", "stranger")}

    async def outcome(url, certificate=None, user=None, password=None, identity=True):
        client = Client(url)
        if certificate:
            client.application_uri = "urn:corvane:gateway"
            await client.set_security_string(f"Basic256Sha256,SignAndEncrypt,{certificate[0]},{certificate[1]}")
            if identity and not user:
                await client.load_client_certificate(certificate[0])
                await client.load_private_key(certificate[1])
        if user:
            client.set_user(user)
            client.set_password(password)
        try:
            await client.connect()
        except Exception as exc:
            return type(exc).__name__
        try:
            return await write_status(client, "CV1", 1.0), await write_status(client, "MV1", 15.5)
        finally:
            await client.disconnect()

    async def scenario():
        async with PlantServer.from_file(PLANT_FILE, port=0, lockstep=True, certificate=tmp_path / "server.der",
                                         private_key=tmp_path / "server.pem", users={"operator": "s3cret"},
                                         trusted=[tmp_path / "client.der"]) as srv:
            results = {
                "anonymous": await outcome(srv.url),
                "anonymous, encrypted": await outcome(srv.url, cert["stranger"], identity=False),
                "wrong password": await outcome(srv.url, cert["stranger"], "operator", "guess"),
                "password": await outcome(srv.url, cert["stranger"], "operator", "s3cret"),
                "untrusted certificate": await outcome(srv.url, cert["stranger"]),
                "trusted certificate": await outcome(srv.url, cert["client"]),
            }
            gw = gateway(srv.url, lockstep=True, certificate=cert["client"][0], private_key=cert["client"][1],
                         user="operator", password="s3cret")
            async with gw:
                recs = [await gw.step() for _ in range(5)]
            return results, recs

    results, recs = asyncio.run(scenario())
    admitted = ("BadUserAccessDenied", "Good")
    assert {k: v == admitted for k, v in results.items()} == {
        "anonymous": False, "anonymous, encrypted": False, "wrong password": False, "password": True,
        "untrusted certificate": False, "trusted certificate": True}
    assert recs[-1]["written"].keys() == {"MV1", "MV2"}


# --- blended plant -------------------------------------------------------------------------------------

def test_blended_plant_is_served_with_its_working_value(tmp_path):
    first, second = ({"CV1": {"MV1": {"mode": "tf_z", "num_z": [0, g], "den_z": [1, -0.5]}}} for g in (1.0, 3.0))
    doc = {"Ts": 1, "initial": {"CV1": 5.0, "MV1": 2.0}, "working_value": 10.0,
           "plants": [{"id": 1, "working_point": 10, "model": first}, {"id": 2, "working_point": 20, "model": second}]}
    (tmp_path / "lpv.json").write_text(json.dumps(doc))
    moves = [(10.0, 3.0), (15.0, 3.0), (20.0, 1.0), (12.0, 2.5)]

    async def scenario():
        async with PlantServer.from_file(tmp_path / "lpv.json", port=0, lockstep=True) as srv:
            async with Client(srv.url) as client:
                ns = await client.get_namespace_index("urn:corvane:plant")
                nodes = {t: client.get_node(ua.NodeId(t, ns)) for t in ("working_value", "MV1", "CV1")}
                step = client.get_node(ua.NodeId("Step", ns))
                out = []
                for w, mv in moves:
                    await client.write_values([nodes["working_value"], nodes["MV1"]], [w, mv])
                    await client.get_node(ua.NodeId("Plant", ns)).call_method(step.nodeid)
                    out.append(await nodes["CV1"].read_value())
                return out

    ref = LPVPlantSim({"CV1": 5.0, "MV1": 2.0})
    ref.addPlant(1, 10, first, 1)
    ref.addPlant(2, 20, second, 1)
    assert asyncio.run(scenario()) == [float(ref(w, {"MV1": mv})["CV1"]) for w, mv in moves]


# --- the state file ------------------------------------------------------------------------------------

def test_state_loader_admits_every_library_block():
    reset_recorder_file()
    for name, (make, _) in CASES.items():
        obj = make()
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            data = pickle.dumps(obj, protocol)
            assert pickle.dumps(loads(data)) == pickle.dumps(pickle.loads(data)), (name, protocol)
    stored = os.path.join(ROOT, "tests", "data", "pickles")
    files = [os.path.join(d, f) for d, _, fs in os.walk(stored) for f in fs if f.endswith(".pkl")]
    assert len(files) >= len(CASES)
    for path in files:
        data = open(path, "rb").read()
        assert pickle.dumps(loads(data)) == pickle.dumps(pickle.loads(data)), path


class _Reduce:
    def __init__(self, func, *args):
        self.func, self.args = func, args

    def __reduce__(self):
        return self.func, self.args


@pytest.mark.parametrize("payload", [
    pytest.param(lambda p: pickle.dumps(_Reduce(os.system, f"touch {p}")), id="os.system"),
    pytest.param(lambda p: pickle.dumps(_Reduce(eval, f"open({str(p)!r}, 'w')")), id="eval"),
    pytest.param(lambda p: b"ccorvane.algorithm.sharedkit\nc2d\n" + pickle.dumps(([1], [1, 1]), 0)[:-1] + b"R.",
                 id="library function"),
    pytest.param(lambda p: pickle.dumps(_Reduce(__import__("numpy").load, str(p))), id="numpy.load"),
    pytest.param(lambda p: b"\x80\x02c_codecs\nencode\nX\x03\x00\x00\x00abcX\x05\x00\x00\x00rot13\x86R.",
                 id="other codec"),
    pytest.param(lambda p: pickle.dumps({"a": PID()})[:-7], id="truncated"),
    pytest.param(lambda p: b"PK\x03\x04 not a pickle", id="garbage"),
])
def test_state_loader_refuses_foreign_and_corrupt_files(payload, tmp_path):
    victim = tmp_path / "victim"
    path = tmp_path / "state"
    path.write_bytes(payload(victim))
    with pytest.raises(StateError):
        load_state(path)
    assert not victim.exists()


def test_saved_state_restores_in_place_or_not_at_all(tmp_path):
    pid, lag = PID(1.0), LDLAG(0.5, 4.0, 1)
    for k in range(5):
        lag(pid.run(1, 50.0, 40.0 + k, 30.0))
    path = tmp_path / "state"
    save_state(path, FunctionController(None, {"pid": pid, "lag": lag}).__getstate__())
    assert sorted(os.listdir(tmp_path)) == ["state"]
    fresh_pid, fresh_lag = PID(1.0), LDLAG(0.5, 4.0, 1)
    FunctionController(None, {"pid": fresh_pid, "lag": fresh_lag}).__setstate__(load_state(path))
    assert pickle.dumps((fresh_pid, fresh_lag)) == pickle.dumps((pid, lag))
    # The same names holding other blocks: refused, and no block changed.
    other = FunctionController(None, {"pid": PID(2.0), "lag": PID(3.0)})
    before = pickle.dumps(other.blocks)
    with pytest.raises(StateError, match="'lag'"):
        other.__setstate__(load_state(path))
    assert pickle.dumps(other.blocks) == before


def test_loop_state_restores_in_place_or_not_at_all(tmp_path):
    inputs = {"CV1": 10.5, "CV2": 19.0, "LC1_MODE": 1.0, "LC1_TV": 16.0, "LC2_MODE": 1.0, "LC2_TV": 15.0}
    run, fresh = example().CONTROLLER, example().CONTROLLER
    for _ in range(5):
        run.step(inputs)
    path = tmp_path / "state"
    save_state(path, run.__getstate__())
    pids = fresh.loop.blocks
    fresh.__setstate__(load_state(path))
    assert all(fresh.loop.blocks[n] is pids[n] for n in pids)  # the script's own blocks, wired as they were
    assert pickle.dumps(fresh.loop.blocks) == pickle.dumps(run.loop.blocks)
    assert [fresh.step(inputs) for _ in range(3)] == [run.step(inputs) for _ in range(3)]
    # A function controller's state, or a loop's with a block refusing its state: refused, nothing changed.
    other = FunctionController(None, {"LC1": PID(1.0)}).__getstate__()
    spoiled = example().CONTROLLER.__getstate__()  # LC1 would change
    spoiled["blocks"]["LC2"] = PID(1.0).__getstate__()[:2] + (99,)
    before = pickle.dumps(fresh.loop.blocks)
    for state in (other, spoiled):
        with pytest.raises(StateError, match="the loop refused"):
            fresh.__setstate__(state)
        assert pickle.dumps(fresh.loop.blocks) == before


def test_controllers_pickle_and_copy_whole():
    inputs = {"CV1": 10.5, "CV2": 19.0, "LC1_MODE": 1.0, "LC1_TV": 16.0, "LC2_MODE": 1.0, "LC2_TV": 15.0}
    run = example().CONTROLLER
    run.step(inputs)
    twins = [pickle.loads(pickle.dumps(run)), copy.deepcopy(run)]
    expected = [run.step(inputs) for _ in range(3)]
    assert all([t.step(inputs) for _ in range(3)] == expected for t in twins)
    fc = FunctionController(dict, {"LC1": PID(1.0)})
    back = pickle.loads(pickle.dumps(fc))
    assert back.step is dict and pickle.dumps(back.blocks) == pickle.dumps(fc.blocks)


@pytest.mark.parametrize("change, kind, error", [
    (lambda mod: mod.LOOP, TypeError, "LoopController"),
    (lambda mod: LoopController(mod.LOOP.add("extra", PID(), MODE=1.0, SP="SP9", PV="CV1", TV=0.0),
                                mod.CONTROLLER.outputs), ValueError, "reads SP9"),
    (lambda mod: LoopController(mod.LOOP, {"MV2": "LC1.OP"}), ValueError, "the loops write"),
    (lambda mod: LoopController(mod.LOOP, {"MV2": "LC1.OP", "MV1": "LC2.out"}), ValueError, "no output 'LC2.out'"),
])
def test_a_loop_the_gateway_cannot_run_is_refused(change, kind, error):
    mod = example()
    with pytest.raises(kind, match=error):
        Gateway(change(mod), mod.LOOPS, "opc.tcp://127.0.0.1:9", Ts=1.0)


@pytest.mark.parametrize("model, error", [
    ({"CV1": {"MV1": {"mode": "stp", "stp": [1, 2]}}, "MV1": {"CV1": {"mode": "stp", "stp": [1]}}}, "both a CV"),
    ({"Plant": {"MV1": {"mode": "stp", "stp": [1, 2]}}}, "names the plant server uses"),
])
def test_a_plant_whose_tags_clash_is_refused(model, error):
    with pytest.raises(ValueError, match=error):
        PlantServer(MIMOSim(model, {}))


@pytest.mark.parametrize("loops", [
    {"LC1": {"inputs": ["CV1"], "output": "MV2"}, "LC2": {"inputs": ["CV2"], "output": "MV2"}},
    {"LC1": {"inputs": ["CV1", "LC2_TV"], "output": "MV2"}, "LC2": {"inputs": ["CV2"], "output": "MV1"}},
])
def test_loops_sharing_an_output_or_reading_a_pin_are_refused(loops):
    with pytest.raises(ValueError, match=r"an output of its own.*\['LC1_MODE', 'LC1_TV', 'LC2_MODE', 'LC2_TV'\]"):
        Gateway(FunctionController(dict), loops, "opc.tcp://127.0.0.1:9", Ts=1.0)


def test_a_loop_that_cannot_track_is_warned_of(caplog):
    mod = example()
    pid = PID(1.0)
    loop = Loop().add("LC1", mod.LOOP.blocks["LC1"], MODE="LC1_MODE", SP=12.0, PV="CV1", TV="LC1_TV")
    loop.add("LC2", pid, MODE=1.0, SP=17.0, PV="CV2", TV="LC2.OP")
    Gateway(LoopController(loop, {"MV2": "LC1.OP", "MV1": "LC2.OP"}), mod.LOOPS, "opc.tcp://127.0.0.1:9", Ts=1.0)
    assert "LC2: the loop does not read LC2_MODE and LC2_TV" in caplog.text
    assert "LC1:" not in caplog.text


def test_one_gateway_per_state_file(tmp_path):
    async def scenario():
        url = "opc.tcp://127.0.0.1:9"  # nothing listens: the gateways hold
        async with gateway(url, state_file=tmp_path / "s"):
            with pytest.raises(RuntimeError, match="another gateway"):
                await gateway(url, state_file=tmp_path / "s").start()

    asyncio.run(scenario())
