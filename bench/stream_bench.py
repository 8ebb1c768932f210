"""Timings of the module's streaming analysis; not part of the tests.

usage: stream_bench.py MODE [options]

MODE is one of
  accumulate  varbloc.Accumulator.add on chunks of --chunk samples (default
              10^6) against varbloc.block on the same array, alternating,
              --rounds times each (default 7); the chunks are fed as rows of
              a C-ordered array (gathered a tile at a time) and as
              Fortran-ordered ones (read in place), both timed.
  dask        varbloc.block on a Dask array of --chunk samples per chunk
              with the threaded scheduler of 1 and then 2 workers
              (--workers), alternating, --rounds times each, and the
              in-memory block on the same array for reference; with
              --cluster, a dask.distributed LocalCluster of that many
              worker processes (one thread each) instead of threads.

Both generate --samples samples (default 10^7) of --columns columns
(default 4) of a seeded AR(1) chain with phi 0.9, printed with the
processor, the versions and the time of day. Every round prints its wall
time (monotonic clock) and the calling thread's CPU time; the summary gives
medians and (min-max). A smoke run: --samples 200000 --rounds 1.
"""

import argparse
import os
import statistics
import sys
import time

import numpy as np

import varbloc


def ar1(samples, columns, seed=11, phi=0.9):
    """Seeded samples correlated as an AR(1) chain with `phi` is, to lag 63:
    white noise filtered by (1 + phi L)(1 + phi^2 L^2)...(1 + phi^32 L^32) =
    sum of phi^k L^k for k < 64 (L the lag), without a loop over the
    samples."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((samples, columns))
    lag, weight = 1, phi
    while lag < 64:
        x[lag:] += weight * x[:-lag].copy()
        lag, weight = lag * 2, weight * weight
    return x


def timed(call):
    """Runs `call` once: its value, wall seconds and the thread's CPU seconds."""
    cpu = time.thread_time()
    start = time.perf_counter()
    value = call()
    return value, time.perf_counter() - start, time.thread_time() - cpu


def summary(name, seconds, unit_samples):
    median = statistics.median(seconds)
    print(f"{name}: median {median:.4f} s ({min(seconds):.4f}-{max(seconds):.4f}), "
          f"{unit_samples / median / 1e6:.1f} M samples/s")


def fed(data, chunk):
    """An Accumulator of data fed chunk rows at a time."""
    accumulator = varbloc.Accumulator(data.shape[1])
    for first in range(0, len(data), chunk):
        accumulator.add(data[first:first + chunk])
    return accumulator


def accumulate(arguments):
    c_order = ar1(arguments.samples, arguments.columns)
    f_order = np.asfortranarray(c_order)
    calls = {
        "block (Fortran order, in place)": lambda: varbloc.block(f_order),
        "Accumulator.add, C-ordered chunks": lambda: fed(c_order, arguments.chunk).result(),
        "Accumulator.add, Fortran-ordered chunks": lambda: fed(f_order, arguments.chunk).result(),
        "block (C order, one copy)": lambda: varbloc.block(c_order),
    }
    seconds = {name: [] for name in calls}
    results = {}
    for round_ in range(arguments.rounds):
        for name, call in calls.items():
            results[name], wall, cpu = timed(call)
            seconds[name].append(wall)
            print(f"round {round_ + 1} {name}: {wall:.4f} s (cpu {cpu:.4f} s)")
    size = arguments.samples * arguments.columns
    for name in calls:
        summary(name, seconds[name], size)
    reference = results["block (Fortran order, in place)"].automatic.error
    for name, result in results.items():
        gap = np.max(np.abs(result.automatic.error / reference - 1))
        print(f"{name}: automatic error, largest relative difference from block {gap:.2e}")


def dask_block(arguments):
    import dask
    import dask.array as da

    data = ar1(arguments.samples, arguments.columns)
    lazy = da.from_array(data, chunks=(arguments.chunk, arguments.columns))
    reference = varbloc.block(data)
    print(f"{lazy.numblocks[0]} chunks of {arguments.chunk} samples x {arguments.columns}")
    seconds = {workers: [] for workers in arguments.workers}
    memory = []
    if arguments.cluster:
        from dask.distributed import Client, LocalCluster

    for round_ in range(arguments.rounds):
        for workers in arguments.workers:
            if arguments.cluster:
                with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, Client(cluster):
                    result, wall, _ = timed(lambda: varbloc.block(lazy))
            else:
                with dask.config.set(scheduler="threads", num_workers=workers):
                    result, wall, _ = timed(lambda: varbloc.block(lazy))
            seconds[workers].append(wall)
            print(f"round {round_ + 1}, {workers} worker(s): {wall:.4f} s")
        memory.append(timed(lambda: varbloc.block(data))[1])
    size = arguments.samples * arguments.columns
    for workers in arguments.workers:
        summary(f"dask, {workers} worker(s)", seconds[workers], size)
    summary("block in memory", memory, size)
    gap = np.max(np.abs(result.automatic.error / reference.automatic.error - 1))
    print(f"automatic error, largest relative difference from block {gap:.2e}")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=["accumulate", "dask"])
    parser.add_argument("--samples", type=int, default=10_000_000)
    parser.add_argument("--columns", type=int, default=4)
    parser.add_argument("--chunk", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--cluster", action="store_true")
    arguments = parser.parse_args(argv[1:])
    cpu = "unknown"
    if os.path.exists("/proc/cpuinfo"):
        with open("/proc/cpuinfo") as file:
            cpu = next((line.split(":", 1)[1].strip() for line in file
                        if line.startswith("model name")), cpu)
    print(f"processor: {cpu}, {os.cpu_count()} cores; python {sys.version.split()[0]}, "
          f"numpy {np.__version__}, varbloc {varbloc.__version__}")
    print(f"start {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, load average "
          f"{' '.join(f'{v:.2f}' for v in os.getloadavg())}")
    if arguments.mode == "accumulate":
        accumulate(arguments)
    else:
        dask_block(arguments)


if __name__ == "__main__":
    main(sys.argv)
