"""Command line: ``python -m corvane.gateway plant|run|certificate ...`` (``--help`` for each)."""

import argparse
import asyncio
import gc
import importlib.util
import json
import logging
import os
import signal
import sys

from .runner import FunctionController, Gateway
from .security import make_certificate

PASSWORD_ENV = "CORVANE_OPCUA_PASSWORD"
SCRIPT_OPTIONS = ("STALE_AFTER", "FROZEN_AFTER", "NODES", "HEARTBEAT", "SAVE_EVERY")


def load_script(path):
    """The gateway's arguments from a script: ``TS``, ``LOOPS``, and ``CONTROLLER`` or ``step`` (+ ``BLOCKS``).

    Optional: ``STALE_AFTER``, ``FROZEN_AFTER``, ``NODES``, ``HEARTBEAT``, ``SAVE_EVERY`` (see `Gateway`).
    """
    spec = importlib.util.spec_from_file_location("corvane_gateway_script", path)
    if spec is None:
        raise SystemExit(f"cannot load {path}: not a Python file")
    script = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(script)
    missing = [name for name in ("TS", "LOOPS") if not hasattr(script, name)]
    if missing or not (hasattr(script, "CONTROLLER") or hasattr(script, "step")):
        raise SystemExit(f"{path} must define TS, LOOPS, and CONTROLLER or a function step (missing: "
                         f"{', '.join(missing) or 'step'})")
    controller = getattr(script, "CONTROLLER", None) or FunctionController(script.step, getattr(script, "BLOCKS", {}))
    options = {name.lower(): getattr(script, name) for name in SCRIPT_OPTIONS if hasattr(script, name)}
    return dict(controller=controller, loops=script.LOOPS, Ts=script.TS, **options)


def _parser():
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--log-level", default="INFO", help="logging level (default INFO)")
    common.add_argument("--log-file", help="append the log to this file instead of standard error")
    p = argparse.ArgumentParser(prog="python -m corvane.gateway", description=__doc__)
    sub = p.add_subparsers(dest="command", required=True)

    plant = sub.add_parser("plant", parents=[common], help="serve a simulated plant over OPC UA")
    plant.add_argument("plant", help='plant file: {"model": ..., "initial": ..., "Ts": 1}')
    plant.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    plant.add_argument("--port", type=int, default=4840, help="port (default 4840; 0 picks a free one)")
    pace = plant.add_mutually_exclusive_group()
    pace.add_argument("--speed", type=float, default=1.0, help="times faster than real time (default 1)")
    pace.add_argument("--lockstep", action="store_true", help="advance one sample per call of the method Step")
    plant.add_argument("--cert", help="server certificate (DER or PEM): secure endpoints only")
    plant.add_argument("--key", help="the server certificate's private key (PEM)")
    plant.add_argument("--users", help="JSON file of user name -> password")
    plant.add_argument("--trust", action="append", default=[], help="a trusted client certificate (repeatable)")

    run = sub.add_parser("run", parents=[common], help="run a gateway script against an OPC UA server")
    run.add_argument("script", help="the gateway script (TS, LOOPS, step or CONTROLLER)")
    run.add_argument("--server", required=True, help="the server's URL, e.g. opc.tcp://127.0.0.1:4840")
    run.add_argument("--state", help="state file, written after every sample (or every --save-every)")
    run.add_argument("--save-every", type=int, help="write the state file every K samples")
    run.add_argument("--speed", type=float, help="times faster than real time (default 1; lockstep: no waiting)")
    run.add_argument("--lockstep", action="store_true", help="call the plant server's Step before each sample")
    run.add_argument("--samples", type=int, help="stop after this many samples")
    run.add_argument("--trace", help="append one JSON line per sample to this file")
    run.add_argument("--cert", help="client certificate: an encrypted channel (Basic256Sha256)")
    run.add_argument("--key", help="the client certificate's private key")
    run.add_argument("--server-cert", help="the server's certificate (default: as the server presents it)")
    run.add_argument("--user", help=f"user name; the password is read from ${PASSWORD_ENV}")

    cert = sub.add_parser("certificate", parents=[common], help="write a self-signed certificate and its key")
    cert.add_argument("cert", help="certificate file to write (DER)")
    cert.add_argument("key", help="private key file to write (PEM)")
    cert.add_argument("--server", action="store_true", help="for the plant server (default: for a gateway)")
    return p


def _stop_on_signals(callback):
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, callback)


async def _plant(args):
    from .plant import PlantServer

    users = None
    if args.users:
        with open(args.users, encoding="utf-8") as f:
            users = json.load(f)
    server = PlantServer.from_file(args.plant, host=args.host, port=args.port, speed=args.speed,
                                   lockstep=args.lockstep, certificate=args.cert, private_key=args.key, users=users,
                                   trusted=args.trust)
    done = asyncio.Event()
    async with server:
        print(f"serving {server.url}", flush=True)
        _stop_on_signals(done.set)
        await done.wait()


async def _run(args):
    kwargs = load_script(args.script)
    if args.save_every is not None:
        kwargs["save_every"] = args.save_every
    trace = open(args.trace, "a", encoding="utf-8") if args.trace else None

    def record(rec):
        trace.write(json.dumps(rec) + "\n")
        trace.flush()

    gateway = Gateway(server=args.server, speed=args.speed, lockstep=args.lockstep, state_file=args.state,
                      on_sample=record if trace else None, certificate=args.cert, private_key=args.key,
                      server_certificate=args.server_cert, user=args.user,
                      password=os.environ.get(PASSWORD_ENV) if args.user else None, **kwargs)
    _stop_on_signals(gateway.stop)
    # What exists by now (modules, the script's blocks) is never garbage: frozen, it is not scanned by the
    # collector, whose pauses then stay short next to a sample period.
    gc.collect()
    gc.freeze()
    try:
        await gateway.run(args.samples)
    finally:
        if trace:
            trace.close()
    logging.getLogger("corvane.gateway").info("stopped after sample %d: %d late, %d missed deadlines",
                                              gateway.sample, gateway.pacer.late, gateway.pacer.missed)


def main(argv=None):
    args = _parser().parse_args(argv)
    logging.basicConfig(level=args.log_level.upper(), filename=args.log_file,
                        format="%(asctime)s %(levelname)s %(name)s: %(message)s")
    logging.getLogger("asyncua").setLevel(max(logging.WARNING, logging.getLogger().level))
    if args.command == "certificate":
        make_certificate(args.cert, args.key, server=args.server)
        return 0
    asyncio.run(_plant(args) if args.command == "plant" else _run(args))
    return 0


if __name__ == "__main__":
    sys.exit(main())
