"""The gateway's cost per sample for 10 PI loops on loopback, side by side with hand-written loops in one run.

The plant server (10 first-order SISO paths, lockstep) runs in a process of its own; each variant here calls its
Step, reads the 10 PVs, runs the 10 PIDs and writes the 10 OPs, once per sample:

- hand-written, one read and one write per tag (what a first script does);
- hand-written, one batched read and one batched write;
- corvane.gateway (batched, plus heartbeat and input checks, modes and bookkeeping), without and with a state
  file written every sample.

The variants take turns, several rounds; the best mean per sample of each is kept, in wall time and in this
process's CPU time (the client side alone: on a busy machine the steadier of the two).
"""

import asyncio
import json
import os
import subprocess
import sys
import tempfile
import time

from asyncua import Client, ua

from corvane.algorithm.loopcontrol import PID
from corvane.gateway import FunctionController, Gateway

LOOPS = 10
SAMPLES = 200
ROUNDS = 5


def plant_file(path):
    model = {f"CV{i}": {f"MV{i}": {"mode": "tf_z", "num_z": [0, 0.1], "den_z": [1, -0.9]}} for i in range(LOOPS)}
    initial = {**{f"CV{i}": 50.0 for i in range(LOOPS)}, **{f"MV{i}": 50.0 for i in range(LOOPS)}}
    with open(path, "w") as f:
        json.dump({"model": model, "initial": initial, "Ts": 1}, f)


def pids():
    out = []
    for _ in range(LOOPS):
        pid = PID(1.0)
        pid.setPIDParam(KP=0.5, TI=10.0)
        out.append(pid)
    return out


class HandWritten:
    def __init__(self, client, ns, batched):
        self.client, self.batched, self.pids = client, batched, pids()
        self.pv = [ua.NodeId(f"CV{i}", ns) for i in range(LOOPS)]
        self.op = [ua.NodeId(f"MV{i}", ns) for i in range(LOOPS)]
        self.step_call = ua.CallMethodRequest(ObjectId=ua.NodeId("Plant", ns), MethodId=ua.NodeId("Step", ns))
        self.out = [50.0] * LOOPS

    async def sample(self):
        uac = self.client.uaclient
        await uac.call([self.step_call])
        if self.batched:
            dvs = await uac.read_attributes(self.pv, ua.AttributeIds.Value)
            self.out = [p.run(1, 55.0, dv.Value.Value, o) for p, dv, o in zip(self.pids, dvs, self.out)]
            await uac.write_attributes(self.op, [ua.DataValue(ua.Variant(v, ua.VariantType.Double)) for v in self.out])
        else:
            for i, pid in enumerate(self.pids):
                dv = (await uac.read_attributes([self.pv[i]], ua.AttributeIds.Value))[0]
                self.out[i] = pid.run(1, 55.0, dv.Value.Value, self.out[i])
                await uac.write_attributes([self.op[i]], [ua.DataValue(ua.Variant(self.out[i], ua.VariantType.Double))])


def gateway(url, state_file=None):
    blocks = {f"LC{i}": pid for i, pid in enumerate(pids())}

    def step(x):
        return {f"MV{i}": blocks[f"LC{i}"].run(x[f"LC{i}_MODE"], 55.0, x[f"CV{i}"], x[f"LC{i}_TV"])
                for i in range(LOOPS)}

    loops = {f"LC{i}": {"inputs": [f"CV{i}"], "output": f"MV{i}"} for i in range(LOOPS)}
    return Gateway(FunctionController(step, blocks), loops, url, Ts=1.0, lockstep=True, state_file=state_file)


async def per_sample(sample, n=SAMPLES):
    """Wall time and this process's CPU time per sample (the plant server's CPU is not counted)."""
    t, c = time.perf_counter(), time.process_time()
    for _ in range(n):
        await sample()
    return (time.perf_counter() - t) / n, (time.process_time() - c) / n


async def measure(url, tmp):
    async with Client(url) as client:
        ns = await client.get_namespace_index("urn:corvane:plant")
        variants = {"tag": HandWritten(client, ns, False).sample, "batch": HandWritten(client, ns, True).sample}
        gw, gw_state = gateway(url), gateway(url, os.path.join(tmp, "bench.state"))
        async with gw, gw_state:
            for g in (gw, gw_state):  # past the first tracking samples
                for _ in range(3):
                    await g.step()
            assert all(lp.mode == 1.0 for lp in gw.loops)
            variants.update(gateway=gw.step, state=gw_state.step)
            best = {(name, kind): float("inf") for name in variants for kind in ("wall", "cpu")}
            for _ in range(ROUNDS):
                for name, sample in variants.items():
                    wall, cpu = await per_sample(sample)
                    best[name, "wall"] = min(best[name, "wall"], wall)
                    best[name, "cpu"] = min(best[name, "cpu"], cpu)
            assert gw.written > LOOPS * SAMPLES * ROUNDS * 0.99
    return best


def rows():
    """[(name, ours s, anchor s, ratio text)]"""
    with tempfile.TemporaryDirectory() as tmp:
        plant_file(os.path.join(tmp, "plant.json"))
        proc = subprocess.Popen([sys.executable, "-m", "corvane.gateway", "plant", "plant.json", "--port", "0",
                                 "--lockstep", "--log-level", "WARNING"], cwd=tmp, stdout=subprocess.PIPE, text=True)
        try:
            url = proc.stdout.readline().split()[1]
            t = asyncio.run(measure(url, tmp))
        finally:
            proc.terminate()
            proc.wait()
    out = []
    for kind in ("wall", "cpu"):
        gw, tag, batch = t["gateway", kind], t["tag", kind], t["batch", kind]
        out += [(f"{kind}: gateway, batched vs hand-written, one read and one write per tag", gw, tag, ratio(gw, tag)),
                (f"{kind}: gateway, batched vs hand-written, batched", gw, batch, ratio(gw, batch)),
                (f"{kind}: gateway overhead over hand-written batched (difference)", gw - batch, None, "")]
    out.append(("wall: gateway with a state file every sample vs without", t["state", "wall"], t["gateway", "wall"],
                ratio(t["state", "wall"], t["gateway", "wall"])))
    return out


def ratio(ours, anchor):
    r = ours / anchor
    return f"{r:.2f}x slower" if r >= 1 else f"{1 / r:.2f}x faster"


def table(rs):
    lines = [f"| benchmark, {LOOPS} loops (Step + read + PIDs + write) | corvane (ms/sample) | anchor (ms/sample) "
             "| ratio |", "|---|---:|---:|---|"]
    for name, ours, anchor, text in rs:
        lines.append(f"| {name} | {ours * 1e3:.3f} | {'' if anchor is None else f'{anchor * 1e3:.3f}'} | {text} |")
    return "\n".join(lines)


if __name__ == "__main__":
    print(table(rows()))
