#!/usr/bin/env python3
"""PPO in one file: a PyTorch actor-critic learns to trade the reference UI's market in N
environments at once (py_engine_native_env.VectorTradingEnv).

    /usr/bin/python3 examples/ppo.py --market trend                    # about a minute
    /usr/bin/python3 examples/ppo.py --market random_walk --total-timesteps 1000000
    /usr/bin/python3 examples/ppo.py --replay runs/ppo.pt --screenshot page.png

Training: rollouts of --num-steps steps in each of --num-envs environments, generalised
advantage estimation, then --update-epochs epochs of minibatches on the clipped surrogate
objective with a value loss and an entropy bonus; advantages normalised per minibatch,
orthogonal initialisation, the learning rate annealed linearly to zero. One line per update:
update, env steps, steps/s, mean return of the episodes finished in it, losses.

Then the greedy policy (the most likely action) plays --eval-episodes held-out test episodes,
and so do random actions and buy-and-hold (BUY at the first step, HOLD to the end). The run
prints their mean episode returns with standard errors, writes the learning curve (episode
return against env steps, smoothed, the test baselines as horizontal lines) and saves the
policy (the network's state dict and these arguments) with torch.save.

With --replay FILE the saved policy plays one test episode greedily, on the page in Chromium
(--headed shows it; --screenshot F saves the page near the episode's end, its entries and exits
drawn on the chart).

Observations reach the network as the environment gives them. The environment's autoreset is
Gymnasium's next-step mode: the step after an episode's end only resets, so it is left out of
the losses and of the episode returns.
"""

from __future__ import annotations

import argparse
import math
import os
import random
import sys
import time
from types import ModuleType
from typing import Any

import numpy as np
import torch
from torch import nn
from torch.distributions import Categorical

HERE = os.path.dirname(os.path.abspath(__file__))
HOLD, BUY = 0, 1


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    p.add_argument("--seed", type=int, default=1, help="seeds torch, NumPy and the UI")
    p.add_argument("--market", default="trend", choices=("trend", "random_walk", "mean_revert"),
                   help="the UI's generated market")
    p.add_argument("--setting", action="append", default=[], metavar="NAME=VALUE",
                   help="another UI setting (e.g. trend_drift=0.001); repeatable")
    p.add_argument("--stop-loss", type=float, default=0.0,
                   help="stop-loss of every entry as a fraction of the price (0: none)")
    # -- the algorithm -----------------------------------------------------------------------
    p.add_argument("--total-timesteps", type=int, default=307_200, help="env steps in all")
    p.add_argument("--num-envs", type=int, default=16, help="environments stepped at once")
    p.add_argument("--num-steps", type=int, default=128, help="steps per environment a rollout")
    p.add_argument("--learning-rate", type=float, default=1e-3)
    p.add_argument("--anneal-lr", type=int, default=1, choices=(0, 1),
                   help="anneal the learning rate linearly to zero")
    p.add_argument("--gamma", type=float, default=0.99, help="discount")
    p.add_argument("--gae-lambda", type=float, default=0.95)
    p.add_argument("--num-minibatches", type=int, default=4)
    p.add_argument("--update-epochs", type=int, default=4)
    p.add_argument("--clip-coef", type=float, default=0.2, help="the surrogate's clip")
    p.add_argument("--clip-vloss", type=int, default=1, choices=(0, 1),
                   help="clip the value loss too")
    p.add_argument("--ent-coef", type=float, default=0.01, help="entropy bonus")
    p.add_argument("--vf-coef", type=float, default=0.5, help="value loss weight")
    p.add_argument("--max-grad-norm", type=float, default=0.5)
    p.add_argument("--target-kl", type=float, default=None, help="stop an update's epochs early")
    p.add_argument("--reward-scale", type=float, default=0.1,
                   help="rewards (account currency) are multiplied by this for learning")
    p.add_argument("--hidden", type=int, default=64, help="units of each hidden layer")
    # -- evaluation and output ---------------------------------------------------------------
    p.add_argument("--eval-episodes", type=int, default=128,
                   help="held-out test episodes per policy")
    p.add_argument("--out", default="runs", help="folder for the curve and the policy")
    p.add_argument("--name", default=None, help="file name stem (default ppo_MARKET)")
    p.add_argument("--replay", metavar="FILE", help="play a saved policy on one test episode")
    p.add_argument("--headed", action="store_true", help="with --replay: show the page")
    p.add_argument("--screenshot", metavar="F", help="with --replay: save the page as PNG F")
    p.add_argument("--build", help="directory holding py_engine_native.abi3.so")
    p.add_argument("--progress", type=int, default=None, choices=(0, 1),
                   help="progress bar (default: on a terminal, for 50 updates or more)")
    args = p.parse_args(argv)
    args.batch_size = args.num_envs * args.num_steps
    args.minibatch_size = args.batch_size // args.num_minibatches
    if args.minibatch_size < 1 or args.total_timesteps < args.batch_size:
        p.error("--total-timesteps must cover one rollout (num-envs x num-steps) and "
                "--num-minibatches must not exceed it")
    return args


def ui_settings(args: argparse.Namespace) -> dict[str, object]:
    settings: dict[str, object] = {"seed": args.seed, "market": args.market}
    for item in args.setting:
        name, sep, value = item.partition("=")
        if not sep:
            raise SystemExit(f"ppo: --setting {item!r}: expected NAME=VALUE")
        try:
            settings[name] = int(value)
        except ValueError:
            try:
                settings[name] = float(value)
            except ValueError:
                settings[name] = value
    return settings


def layer(linear: nn.Linear, std: float = math.sqrt(2)) -> nn.Linear:
    nn.init.orthogonal_(linear.weight, std)
    nn.init.constant_(linear.bias, 0.0)
    return linear


class Agent(nn.Module):
    """Separate actor and critic MLPs (tanh), orthogonal init, a small-gain policy head. The
    observations are standardised on the way in with running statistics (saved with the
    weights; train() updates them from every rollout)."""

    def __init__(self, obs_size: int, actions: int, hidden: int) -> None:
        super().__init__()
        self.register_buffer("obs_mean", torch.zeros(obs_size))
        self.register_buffer("obs_var", torch.ones(obs_size))
        self.register_buffer("obs_count", torch.tensor(1e-4))

        def body() -> list[nn.Module]:
            return [layer(nn.Linear(obs_size, hidden)), nn.Tanh(),
                    layer(nn.Linear(hidden, hidden)), nn.Tanh()]
        self.critic = nn.Sequential(*body(), layer(nn.Linear(hidden, 1), 1.0))
        self.actor = nn.Sequential(*body(), layer(nn.Linear(hidden, actions), 0.01))

    def observe(self, batch: torch.Tensor) -> None:
        """Adds a batch to the running mean and variance (parallel algorithm)."""
        count = batch.shape[0]
        delta = batch.mean(0) - self.obs_mean
        total = self.obs_count + count
        m2 = (self.obs_var * self.obs_count + batch.var(0, unbiased=False) * count
              + delta**2 * self.obs_count * count / total)
        self.obs_mean += delta * count / total
        self.obs_var.copy_(m2 / total)
        self.obs_count.fill_(total)

    def normalise(self, x: torch.Tensor) -> torch.Tensor:
        return torch.clamp((x - self.obs_mean) / torch.sqrt(self.obs_var + 1e-8), -10.0, 10.0)

    def value(self, x: torch.Tensor) -> torch.Tensor:
        return self.critic(self.normalise(x)).squeeze(-1)

    def act(self, x: torch.Tensor, action: torch.Tensor | None = None) -> tuple[torch.Tensor, ...]:
        dist = Categorical(logits=self.actor(self.normalise(x)))
        if action is None:
            action = dist.sample()
        return action, dist.log_prob(action), dist.entropy(), self.value(x)

    def greedy(self, x: torch.Tensor) -> torch.Tensor:
        return self.actor(self.normalise(x)).argmax(-1)


def train(args: argparse.Namespace, envs: Any) -> tuple[Agent, list[tuple[int, float]]]:
    n, t_len = args.num_envs, args.num_steps
    obs_size = envs.single_observation_space.shape[0]
    agent = Agent(obs_size, int(envs.single_action_space.n), args.hidden)
    optimizer = torch.optim.Adam(agent.parameters(), lr=args.learning_rate, eps=1e-5)

    obs_buf = torch.zeros((t_len, n, obs_size))
    actions = torch.zeros((t_len, n), dtype=torch.long)
    logprobs, rewards, dones, values, valid = (torch.zeros((t_len, n)) for _ in range(5))

    curve: list[tuple[int, float]] = []  # (env steps, return) of every finished episode
    episode_return = np.zeros(n)
    global_step, began = 0, time.perf_counter()
    next_obs_np, _ = envs.reset(seed=args.seed)
    next_obs = torch.as_tensor(next_obs_np, dtype=torch.float32)
    resetting = np.zeros(n, dtype=bool)  # the next step of these environments only resets
    num_updates = args.total_timesteps // args.batch_size
    bar = progress_bar(args, num_updates)

    for update in range(1, num_updates + 1):
        if args.anneal_lr:
            optimizer.param_groups[0]["lr"] = (1.0 - (update - 1) / num_updates) * args.learning_rate
        finished: list[float] = []
        for step in range(t_len):
            global_step += n
            obs_buf[step] = next_obs
            valid[step] = torch.as_tensor(~resetting, dtype=torch.float32)
            with torch.no_grad():
                action, logprob, _, value = agent.act(next_obs)
            actions[step], logprobs[step], values[step] = action, logprob, value
            next_obs_np, reward, terminated, truncated, _ = envs.step(action.numpy())
            done = terminated | truncated
            rewards[step] = torch.as_tensor(reward * args.reward_scale, dtype=torch.float32)
            dones[step] = torch.as_tensor(done, dtype=torch.float32)
            episode_return += np.where(resetting, 0.0, reward)
            for i in np.flatnonzero(done & ~resetting):
                finished.append(float(episode_return[i]))
                curve.append((global_step, float(episode_return[i])))
            episode_return[done | resetting] = 0.0
            resetting = done
            next_obs = torch.as_tensor(next_obs_np, dtype=torch.float32)

        # Generalised advantage estimation; an episode's end cuts the bootstrap.
        with torch.no_grad():
            next_value = agent.value(next_obs)
            advantages = torch.zeros_like(rewards)
            lastgaelam = torch.zeros(n)
            for t in reversed(range(t_len)):
                following = next_value if t == t_len - 1 else values[t + 1]
                carry = 1.0 - dones[t]
                delta = rewards[t] + args.gamma * following * carry - values[t]
                lastgaelam = delta + args.gamma * args.gae_lambda * carry * lastgaelam
                advantages[t] = lastgaelam
            returns = advantages + values

        keep = valid.reshape(-1).bool()
        b_obs = obs_buf.reshape(-1, obs_size)[keep]
        b_actions, b_logprobs = actions.reshape(-1)[keep], logprobs.reshape(-1)[keep]
        b_adv, b_returns = advantages.reshape(-1)[keep], returns.reshape(-1)[keep]
        b_values = values.reshape(-1)[keep]
        clipfracs: list[float] = []
        for _ in range(args.update_epochs):
            # Minibatches of equal size (give or take one): the reset steps left out make the
            # batch a little smaller than num_envs x num_steps.
            for mb in torch.randperm(b_obs.shape[0]).tensor_split(args.num_minibatches):
                _, newlogprob, entropy, newvalue = agent.act(b_obs[mb], b_actions[mb])
                logratio = newlogprob - b_logprobs[mb]
                ratio = logratio.exp()
                with torch.no_grad():
                    approx_kl = ((ratio - 1) - logratio).mean()
                    clipfracs.append(((ratio - 1.0).abs() > args.clip_coef).float().mean().item())
                mb_adv = b_adv[mb]
                mb_adv = (mb_adv - mb_adv.mean()) / (mb_adv.std() + 1e-8)
                pg_loss = torch.max(-mb_adv * ratio, -mb_adv * torch.clamp(
                    ratio, 1 - args.clip_coef, 1 + args.clip_coef)).mean()
                if args.clip_vloss:
                    unclipped = (newvalue - b_returns[mb]) ** 2
                    clipped = b_values[mb] + torch.clamp(
                        newvalue - b_values[mb], -args.clip_coef, args.clip_coef)
                    v_loss = 0.5 * torch.max(unclipped, (clipped - b_returns[mb]) ** 2).mean()
                else:
                    v_loss = 0.5 * ((newvalue - b_returns[mb]) ** 2).mean()
                entropy_loss = entropy.mean()
                loss = pg_loss - args.ent_coef * entropy_loss + v_loss * args.vf_coef
                optimizer.zero_grad()
                loss.backward()
                nn.utils.clip_grad_norm_(agent.parameters(), args.max_grad_norm)
                optimizer.step()
            if args.target_kl is not None and approx_kl > args.target_kl:
                break
        agent.observe(obs_buf.reshape(-1, obs_size))  # after the update: its ratios used the old

        sps = global_step / (time.perf_counter() - began)
        mean_return = f"{np.mean(finished):+8.2f}" if finished else f"{'-':>8}"
        log(bar, f"update {update}/{num_updates} steps={global_step} sps={sps:.0f} "
                 f"return={mean_return} episodes={len(finished)} pg_loss={pg_loss.item():+.4f} "
                 f"v_loss={v_loss.item():.4f} entropy={entropy_loss.item():.3f} "
                 f"kl={approx_kl.item():.4f} clipfrac={np.mean(clipfracs):.3f}")
        if bar is not None:
            bar.update(1)
    if bar is not None:
        bar.close()
    return agent, curve


def progress_bar(args: argparse.Namespace, updates: int) -> Any:
    if not (args.progress if args.progress is not None
            else updates >= 50 and sys.stderr.isatty()):
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=updates, unit="update", file=sys.stderr, dynamic_ncols=True)


def log(bar: Any, line: str) -> None:
    if bar is not None:
        bar.write(line)
    else:
        print(line, flush=True)


def evaluate(envs: Any, policy: Any, episodes: int, seed: int) -> np.ndarray:
    """Returns of `episodes` test episodes played by policy(obs, step) -> actions: rounds of
    num_envs episodes, each environment reset onto a test episode chosen by its own seed."""
    n, returns = envs.num_envs, []
    for first in range(0, episodes, n):
        obs, _ = envs.reset(seed=seed + first, options={"episode_type": "test"})
        total, live, step = np.zeros(n), np.ones(n, dtype=bool), 0
        while live.any():
            obs, reward, terminated, truncated, _ = envs.step(policy(obs, step))
            total += np.where(live, reward, 0.0)
            live &= ~(terminated | truncated)
            step += 1
        returns.extend(total[:episodes - first])
    return np.asarray(returns)


def baselines(envs: Any, agent: Agent, episodes: int, seed: int) -> dict[str, np.ndarray]:
    """Test-episode returns of the greedy policy, random actions and buy-and-hold, all on the
    same episodes."""
    rng = np.random.default_rng(seed)
    n, actions = envs.num_envs, int(envs.single_action_space.n)

    def greedy(obs: np.ndarray, step: int) -> np.ndarray:
        with torch.no_grad():
            return agent.greedy(torch.as_tensor(obs, dtype=torch.float32)).numpy()

    policies = {
        "ppo (greedy)": greedy,
        "random": lambda obs, step: rng.integers(0, actions, n),
        "buy-and-hold": lambda obs, step: np.full(n, BUY if step == 0 else HOLD),
    }
    return {name: evaluate(envs, policy, episodes, seed) for name, policy in policies.items()}


def table(results: dict[str, np.ndarray]) -> str:
    lines = [f"{'policy':<14} {'episodes':>8} {'mean return':>12} {'std err':>8}"]
    for name, r in results.items():
        lines.append(f"{name:<14} {r.size:>8} {r.mean():>+12.2f} {standard_error(r):>8.2f}")
    return "\n".join(lines)


def standard_error(r: np.ndarray) -> float:
    return float(r.std(ddof=1) / math.sqrt(r.size)) if r.size > 1 else math.nan


def plot(path: str, curve: list[tuple[int, float]], results: dict[str, np.ndarray],
         title: str) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 4.5), dpi=100)
    if curve:
        steps, values = np.asarray(curve).T
        window = max(1, min(50, len(values) // 10))
        smooth = np.convolve(values, np.ones(window) / window, mode="valid")
        ax.plot(steps, values, ".", color="tab:blue", alpha=0.15, markersize=2)
        ax.plot(steps[window - 1:], smooth, color="tab:blue",
                label=f"ppo, training episodes (mean of {window})")
    for (name, r), color in zip(list(results.items()), ("tab:green", "tab:gray", "tab:orange")):
        ax.axhline(r.mean(), color=color, linestyle="--",
                   label=f"{name}, test: {r.mean():+.1f} ± {standard_error(r):.1f}")
    ax.set_xlabel("env steps")
    ax.set_ylabel("episode return")
    ax.set_title(title)
    ax.grid(alpha=0.3)
    ax.legend(loc="lower right", fontsize=8)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def replay(args: argparse.Namespace, pkg: ModuleType) -> None:
    saved = torch.load(args.replay)
    run_args = argparse.Namespace(**saved["args"])
    render = "human" if args.headed else "rgb_array"
    # A shown page is pictured by its launcher as it closes (render() returns no pixels then).
    shown_picture = os.path.abspath(args.screenshot) if args.screenshot and args.headed else None
    envs = pkg.VectorTradingEnv(1, render_mode=render, settings=ui_settings(run_args),
                                stop_loss=run_args.stop_loss or None,
                                page_screenshot=shown_picture)
    try:
        agent = Agent(envs.single_observation_space.shape[0], int(envs.single_action_space.n),
                      run_args.hidden)
        agent.load_state_dict(saved["model"])
        obs, info = envs.reset(seed=args.seed, options={"episode_type": "test"})
        total, step, frame, trades = 0.0, 0, None, 0
        while True:
            with torch.no_grad():
                action = agent.greedy(torch.as_tensor(obs, dtype=torch.float32)).numpy()
            obs, reward, terminated, truncated, infos = envs.step(action)
            total, step = total + float(reward[0]), step + 1
            if terminated[0] or truncated[0]:
                trades = int(infos["summary"]["closed_trades"][0])
                break
            if args.screenshot and obs[0, -1] >= 0.97 and frame is None and not shown_picture:
                frame = envs.render()  # before the end closes the session
        print(f"replay: test episode {info['episode_index'][0]}: {step} steps, "
              f"return {total:+.2f}, {trades} closed trades", flush=True)
        if args.screenshot and not shown_picture:
            from PIL import Image
            Image.fromarray(frame if frame is not None else envs.render()).save(args.screenshot)
    finally:
        envs.close()
    if args.screenshot and os.path.exists(args.screenshot):
        print(f"replay: wrote {os.path.abspath(args.screenshot)}", flush=True)


def import_package(build: str | None) -> ModuleType:
    """py_engine_native_env, with py_engine_native from `build` (or ./build) when given."""
    for path in (build, os.path.join(HERE, "..", "build"), os.path.join(HERE, "..")):
        if path and os.path.isdir(path):
            sys.path.append(os.path.abspath(path))
    if build:
        sys.path.insert(0, os.path.abspath(build))
    try:
        import py_engine_native_env
    except ImportError as e:
        raise SystemExit(f"ppo: cannot import the environment package ({e}); build the module "
                         "(scripts/build.sh) and pass --build build")
    return py_engine_native_env


def main(argv: list[str] | None = None) -> None:
    args = parse_args(argv)
    pkg = import_package(args.build)
    if args.replay:
        replay(args, pkg)
        return
    random.seed(args.seed)
    np.random.seed(args.seed)
    torch.manual_seed(args.seed)
    torch.set_num_threads(1)  # small networks: threads cost more than they give
    os.makedirs(args.out, exist_ok=True)
    stem = os.path.join(args.out, args.name or f"ppo_{args.market}")
    began = time.perf_counter()
    envs = pkg.VectorTradingEnv(args.num_envs, settings=ui_settings(args),
                                stop_loss=args.stop_loss or None)
    try:
        agent, curve = train(args, envs)
        trained = time.perf_counter() - began
        results = baselines(envs, agent, args.eval_episodes, seed=10_000 + args.seed)
    finally:
        envs.close()
    torch.save({"model": agent.state_dict(), "args": vars(args)}, stem + ".pt")
    plot(stem + ".png", curve, results,
         f"PPO on the {args.market} market ({args.total_timesteps:,} steps, {trained:.0f} s)")
    print(f"test episodes ({args.market}, trained {trained:.0f} s):")
    print(table(results))
    agent_r = results["ppo (greedy)"]
    for name in ("random", "buy-and-hold"):
        other = results[name]
        se = math.hypot(standard_error(agent_r), standard_error(other))
        print(f"ppo - {name}: {agent_r.mean() - other.mean():+.2f} "
              f"({(agent_r.mean() - other.mean()) / se:+.1f} standard errors)")
    print(f"learning curve: {os.path.abspath(stem + '.png')}")
    print(f"policy: {os.path.abspath(stem + '.pt')}", flush=True)


if __name__ == "__main__":
    try:
        main()
    except RuntimeError as e:  # the engine's errors, a UI that failed or never came
        raise SystemExit(f"ppo: {e}")
