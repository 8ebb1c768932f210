#!/usr/bin/env python3
"""Draws varbloc's equilibration search on an AR(1) chain with a start-up transient.

usage, from anywhere, after `./build.sh test` (the module in build/release/python;
matplotlib is Debian's python3-matplotlib):
    /usr/bin/python3 scripts/plot_equilibration.py [PNGFILE]   (docs/equilibration.png)

The chain is x(t) = 0.9 x(t-1) + noise, 100,000 samples from a fixed seed,
started in its stationary distribution, plus an offset 20 exp(-t/2000) that
stands for a simulation's starting state. The upper panel shows the chain,
the lower one the effective samples after each candidate start (the search's
ess_curve), each with the start found marked: the one with the most
effective samples after it. The chain is the one of the README's example.
"""
import os
import sys

import numpy as np

from validation_kit import PYTHON_TREE, REPO


def transient_chain(n=100_000, phi=0.9, seed=2027):
    """The AR(1) chain with its decaying offset."""
    noise = np.random.default_rng(seed).standard_normal(n)
    x = np.empty(n)
    x[0] = noise[0] / np.sqrt(1 - phi**2)
    for t in range(1, n):
        x[t] = phi * x[t - 1] + noise[t]
    return x + 20 * np.exp(-np.arange(n) / 2000)


def main():
    png = sys.argv[1] if len(sys.argv) > 1 else os.path.join(REPO, "docs", "equilibration.png")
    if not os.path.isdir(os.path.join(PYTHON_TREE, "varbloc")):
        print("plot_equilibration.py: build/release/python/varbloc is missing; build it "
              "first with ./build.sh test", file=sys.stderr)
        return 2
    sys.path.insert(0, PYTHON_TREE)
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import varbloc

    x = transient_chain()
    search = varbloc.equilibration(x)
    start = search.start[0]

    fig, (chain, curve) = plt.subplots(2, 1, figsize=(8, 6), sharex=True, layout="constrained")
    t = np.arange(x.size)
    chain.plot(t[::10], x[::10], linewidth=0.5, color="tab:blue")
    chain.axvline(start, color="tab:red", linestyle="--")
    chain.set_ylabel("x(t)")
    chain.set_title("AR(1), phi = 0.9, with an offset 20 exp(-t/2000)")
    curve.plot(search.candidates, search.ess_curve[:, 0], color="tab:blue",
               label="effective samples after the candidate")
    curve.axvline(start, color="tab:red", linestyle="--", label=f"start found: {start}")
    curve.set_xlabel("candidate start t0 (samples discarded)")
    curve.set_ylabel("effective samples of the rest")
    curve.set_ylim(bottom=0)
    curve.legend(loc="upper right")
    fig.savefig(png, dpi=100)
    print(f"plot_equilibration.py: start {start}, wrote {os.path.relpath(png)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
