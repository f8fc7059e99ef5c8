"""Many fits on a cluster: validation.py's toys as Dask tasks.

The toys of validation.py (same seeds, same fits, same table) run as tasks
on a Dask cluster. Here that is a dask.distributed.LocalCluster of `--workers`
single-threaded worker processes on this machine; on a batch system only the
cluster object changes, e.g. `--cluster slurm` asks dask-jobqueue for
`--workers` SLURM jobs of one core each (see slurm_cluster below; PBSCluster,
HTCondorCluster, LSFCluster and SGECluster take the same arguments). Each
task returns the fit's result object itself, and the pulls are read from it
here. With tqdm installed, a progress bar follows the fits when the output is
a terminal or a notebook.

    pip install "tarnwex[dask]"
    python examples/dask_toys.py [--toys 200] [--events 2000] [--workers 2] [--cluster local|slurm]
"""

import argparse
import time
from pathlib import Path

import numpy as np
from dask.distributed import Client, LocalCluster, as_completed

import validation

HERE = Path(__file__).resolve().parent


def local_cluster(workers):
    """Worker processes on this machine, one thread each: a fit is single-threaded."""
    return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None)


def slurm_cluster(**options):
    """A SLURM cluster with one core and one worker per job; scale it to start jobs."""
    from dask_jobqueue import SLURMCluster

    return SLURMCluster(cores=1, processes=1, memory="2GiB", walltime="01:00:00", **options)


def run_toys(client, n_toys, expected, seed):
    """Fits the toys on the client's cluster: (result, seconds) pairs in seed order."""
    # The workers import the example's own modules: ship them along.
    for module in ("toymodel.py", "validation.py"):
        client.upload_file(str(HERE / module))
    seeds, _ = validation.toy_seeds(seed, n_toys, 0)
    futures = client.map(validation.fit_toy, seeds, expected=expected, pure=False)
    for _ in validation.progress(as_completed(futures), len(futures), "toys"):
        pass
    return client.gather(futures)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--toys", type=int, default=200, help="number of toy samples (default 200)")
    parser.add_argument("--events", type=int, default=2_000, help="expected events per toy (default 2000)")
    parser.add_argument("--seed", type=int, default=1, help="random seed")
    parser.add_argument("--workers", type=int, default=2, help="Dask workers (default 2)")
    parser.add_argument("--cluster", choices=["local", "slurm"], default="local", help="where the workers run")
    args = parser.parse_args()

    if args.cluster == "slurm":
        cluster = slurm_cluster()
        cluster.scale(jobs=args.workers)
    else:
        cluster = local_cluster(args.workers)
    with cluster, Client(cluster) as client:
        client.wait_for_workers(args.workers)
        start = time.perf_counter()
        expected = (validation.SIGNAL_FRACTION * args.events, (1 - validation.SIGNAL_FRACTION) * args.events)
        fits = run_toys(client, args.toys, expected, args.seed)
        seconds = time.perf_counter() - start
    summaries = [validation.summarise(fit, expected) for fit in fits]
    toys = [fit for fit in summaries if "raised" not in fit]
    validation.report(toys, args)
    print(f"\nwall time: {seconds:.1f} s for {args.toys} fits on {args.workers} Dask workers "
          f"({np.sum([t['seconds'] for t in toys]):.1f} s of fitting)")


if __name__ == "__main__":
    main()
