"""examples/gym_env.py: a Gymnasium environment on a loop. Gymnasium is in the test extra: no skip here."""

import os
import sys
import warnings

import gymnasium
import numpy as np
import pytest
from gymnasium.utils.env_checker import check_env

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples"))
import gym_env  # noqa: E402


def test_passes_the_environment_checker_without_warnings():
    env = gymnasium.make(gym_env.ENV_ID).unwrapped
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        check_env(env)


def test_native_episode_equals_the_python_api_and_the_pi_policy_controls():
    runs = []
    for native in (True, False):
        env = gym_env.SteamHeaterEnv(episode_steps=60, native=native)
        policy, obs = gym_env.pi_policy(env), env.reset(seed=3)[0]
        valve = gym_env.INITIAL["STEAM"]
        steps = []
        for _ in range(60):
            obs, reward, terminated, truncated, info = env.step(policy(obs))
            sp, tout = obs[0], info["trace"]["plant.TOUT"]
            assert reward == -np.mean(np.abs(env._sp - tout)) and float(sp) == np.float32(env._sp)
            assert np.abs(np.diff(np.r_[valve, info["trace"]["valve.out"]])).max() <= 1.0  # 1 % per second
            valve = info["trace"]["valve.out"][-1]
            steps.append((obs.tolist(), reward, terminated, truncated))
        runs.append(steps)
    assert runs[0] == runs[1]
    assert runs[0][-1][3] and not any(s[3] for s in runs[0][:-1])  # truncated at the episode's end only
    held = gym_env.episode(gym_env.SteamHeaterEnv(episode_steps=60), lambda obs: np.float32([0.4]), seed=3)[0]
    assert sum(s[1] for s in runs[0]) > 2 * held  # the PI policy's error is under half the held valve's
    sp, tout, _ = runs[0][-1][0]
    assert abs(sp - tout) < 0.5


@pytest.mark.parametrize("action", [[np.nan], [0.5, 0.5], "open"])
def test_a_bad_action_raises_and_the_episode_goes_on_unchanged(action):
    a, b = gym_env.SteamHeaterEnv(), gym_env.SteamHeaterEnv()
    for env in (a, b):
        env.reset(seed=1)
        env.step(np.float32([0.9]))
    with pytest.raises(ValueError):
        a.step(action)
    (oa, *ra), (ob, *rb) = a.step(np.float32([0.2]))[:4], b.step(np.float32([0.2]))[:4]
    assert oa.tolist() == ob.tolist() and ra == rb
