"""A small tabular Q-learning agent for TradingEnv, with a momentum prior.

The state is two coarse readings of the observation: the recent trend (sum of the last few
returns: down, flat, up) and the current position (short, flat, long), nine states in all.
The Q table starts with a small bonus for following the trend (buy in an up-trend, sell in a
down-trend, close a position that runs against it), so that the greedy policy is a momentum
rule from the first step; epsilon-greedy exploration and one-step Q-learning then adjust it
to the rewards the simulation actually pays.
"""

from __future__ import annotations

import numpy as np

HOLD, BUY, SELL, CLOSE_ALL = range(4)


class MomentumQAgent:
    def __init__(self, window: int, *, lookback: int = 3, threshold: float = 0.05,
                 alpha: float = 0.1, gamma: float = 0.95, epsilon: float = 0.3,
                 epsilon_min: float = 0.02, epsilon_decay: float = 0.7,
                 prior: float = 0.5, seed: int | None = None) -> None:
        self.window = window
        self.lookback = lookback
        self.threshold = threshold
        self.alpha = alpha
        self.gamma = gamma
        self.epsilon = epsilon
        self.epsilon_min = epsilon_min
        self.epsilon_decay = epsilon_decay
        self.rng = np.random.default_rng(seed)
        self.q = np.zeros((3, 3, 4))
        # Momentum prior: index 0 = down / short, 1 = flat, 2 = up / long.
        self.q[2, 1, BUY] = self.q[0, 1, SELL] = prior
        self.q[0, 2, CLOSE_ALL] = self.q[2, 0, CLOSE_ALL] = prior

    def state(self, obs: np.ndarray) -> tuple[int, int]:
        trend = float(np.sum(obs[self.window - self.lookback:self.window]))
        trend_bucket = 0 if trend < -self.threshold else 2 if trend > self.threshold else 1
        position_bucket = int(np.sign(obs[self.window])) + 1
        return trend_bucket, position_bucket

    def act(self, obs: np.ndarray, *, greedy: bool = False) -> int:
        if not greedy and self.rng.random() < self.epsilon:
            return int(self.rng.integers(4))
        return int(np.argmax(self.q[self.state(obs)]))

    def learn(self, obs: np.ndarray, action: int, reward: float, next_obs: np.ndarray,
              done: bool) -> None:
        target = reward if done else reward + self.gamma * float(np.max(self.q[self.state(next_obs)]))
        cell = self.state(obs) + (action,)
        self.q[cell] += self.alpha * (target - self.q[cell])

    def end_episode(self) -> None:
        self.epsilon = max(self.epsilon_min, self.epsilon * self.epsilon_decay)
