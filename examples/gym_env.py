"""A Gymnasium environment on a corvane loop: an agent drives the steam valve of a heater.

The process: the outlet temperature TOUT of a steam heater answers the steam valve STEAM (0.5 degC per %,
40 s lag, 5 s dead time) and the inlet temperature TIN (0.8 degC per degC, 20 s lag, 2 s dead time). The
valve strokes at most 1 % per second (a RateLimit at its default rate between the agent and the valve).
Each episode draws a set point and an inlet-temperature upset at a random time from the environment's
seeded generator.

Each `step` is one control interval: the action is the valve target as a fraction of full travel (0 to 1),
and the loop runs the interval's samples natively in one call. The observation is the set point, TOUT and
the valve position at the end of the interval; the reward is minus the mean absolute control error over the
interval's samples (the interval's IAE per second, in degC).

    python examples/gym_env.py     # one episode under a PI policy and one with the valve held, side by side
"""

import copy

import gymnasium as gym
import numpy as np
from gymnasium import spaces

from corvane.algorithm.loopcontrol import PID
from corvane.algorithm.multiloop import MIMOSim
from corvane.algorithm.slewlimit import RateLimit
from corvane.loop import Loop

TS = 1  # sample period [s]
PLANT = {"TOUT": {"STEAM": {"mode": "tf_s", "num_s": [0, 0.5], "den_s": [40, 1], "iodelay_s": 5},
                  "TIN": {"mode": "tf_s", "num_s": [0, 0.8], "den_s": [20, 1], "iodelay_s": 2}}}
INITIAL = {"TOUT": 60.0, "STEAM": 40.0, "TIN": 20.0}
SP_RANGE = (50.0, 75.0)  # set points an episode may draw [degC]
UPSET = 5.0  # largest inlet-temperature change [degC]
RECORD = ["plant.TOUT", "valve.out"]
ENV_ID = "corvane/SteamHeater-v0"


def heater_loop():
    """The valve (rate-limited toward the agent's target: 60 % per minute, both ways) and the plant, wired once."""
    return (Loop()
            .add("valve", RateLimit(INITIAL["STEAM"], Ts=TS), u_end="target")
            .add("plant", MIMOSim(PLANT, INITIAL, Ts=TS), STEAM="valve.out", TIN="TIN"))


class SteamHeaterEnv(gym.Env):
    """`interval` samples per step, `episode_steps` steps per episode (then truncated). `native=False` steps
    the blocks through their own Python API instead (same numbers, slower)."""

    metadata = {"render_modes": []}

    def __init__(self, interval=5, episode_steps=120, native=True):
        if interval < 1 or episode_steps < 1:
            raise ValueError("interval and episode_steps are whole numbers >= 1")
        self.interval, self.episode_steps, self.native = int(interval), int(episode_steps), native
        self.action_space = spaces.Box(0.0, 1.0, shape=(1,), dtype=np.float32)
        # TOUT stays within its steady states: 60 + 0.5 (valve - 40) + 0.8 (TIN - 20), valve 0..100 %
        self.observation_space = spaces.Box(np.array([0.0, 0.0, 0.0], dtype=np.float32),
                                            np.array([150.0, 150.0, 100.0], dtype=np.float32))
        self._template = heater_loop()
        self._loop = None

    def reset(self, *, seed=None, options=None):
        super().reset(seed=seed)
        rng = self.np_random
        n = self.interval * self.episode_steps
        self._sp = round(float(rng.uniform(*SP_RANGE)), 1)
        at = int(rng.integers(n // 4, 3 * n // 4 + 1))
        self._tin = np.where(np.arange(n) < at, INITIAL["TIN"], INITIAL["TIN"] + rng.uniform(-UPSET, UPSET))
        self._loop = copy.deepcopy(self._template)
        self._steps = 0
        return self._observation(INITIAL["TOUT"], INITIAL["STEAM"]), {"set_point": self._sp}

    def step(self, action):
        if self._loop is None or self._steps >= self.episode_steps:
            raise RuntimeError("the episode is over (or never began): call reset()")
        a = np.asarray(action, dtype=np.float64).reshape(-1)
        if a.shape != (1,) or not np.isfinite(a[0]):
            raise ValueError(f"an action is one finite number, got {action!r}")
        k = self._steps * self.interval
        inputs = {"target": 100.0 * min(max(float(a[0]), 0.0), 1.0), "TIN": self._tin[k:k + self.interval]}
        trace = self._loop.run(self.interval, inputs, RECORD, native=self.native)
        self._steps += 1
        tout = trace["plant.TOUT"]
        reward = -float(np.mean(np.abs(self._sp - tout)))
        obs = self._observation(tout[-1], trace["valve.out"][-1])
        return obs, reward, False, self._steps >= self.episode_steps, {"trace": trace}

    def _observation(self, tout, valve):
        return np.array([self._sp, tout, valve], dtype=np.float32)


gym.register(ENV_ID, entry_point=SteamHeaterEnv)


def pi_policy(env, KP=2.0, TI=40.0):
    """A corvane PID as the agent, run once per control interval on the observations."""
    pid = PID(TS=env.interval * TS)
    pid.setPIDParam(KP=KP, TI=TI)

    def act(obs):
        sp, tout, valve = (float(x) for x in obs)
        return np.array([pid.run(MODE=1, SP=sp, PV=tout, TV=valve) / 100.0], dtype=np.float32)

    return act


def episode(env, policy, seed):
    obs, _ = env.reset(seed=seed)
    total, done = 0.0, False
    while not done:
        obs, reward, terminated, truncated, _ = env.step(policy(obs))
        total += reward
        done = terminated or truncated
    return total, obs


def main():
    env = gym.make(ENV_ID).unwrapped
    held = np.array([INITIAL["STEAM"] / 100.0], dtype=np.float32)
    for name, policy in (("PI policy", pi_policy(env)), ("valve held", lambda obs: held)):
        total, obs = episode(env, policy, seed=7)
        print(f"{name}: return {total:.1f}, final error {obs[0] - obs[1]:+.3f} degC, valve {obs[2]:.1f} %")


if __name__ == "__main__":
    main()
