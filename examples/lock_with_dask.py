"""Lock files on a Dask cluster: here a LocalCluster of two worker
processes, the same pattern as on a real cluster.

    CELLVAULT_PASSWORD=... python lock_with_dask.py OUT_DIR FILE...

(exit status 1 when a file failed, 3 when no cluster could be started)

The password never travels with the tasks (it would sit in the task graph,
the scheduler's memory and its logs): each worker reads it from its own
environment. Here the cluster sets that variable on the workers it starts;
on a real cluster, start `dask worker` with CELLVAULT_PASSWORD set from your
secret store. Paths must name files that the workers can reach.
"""

import os
import sys
from pathlib import Path

import cellvault
from distributed import Client, LocalCluster


def lock_on_worker(path, out_dir):
    """Runs on a worker: locks `path` into `out_dir` with the worker's
    password and returns the locked file's path."""
    target = str(Path(out_dir) / Path(path).name)
    try:
        cellvault.encrypt_excelfile(str(path), target, os.environ["CELLVAULT_PASSWORD"])
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:
        # PanicException derives from BaseException. Dask records the task
        # as failed and keeps the worker, but the client's result() then
        # never returns (the error escapes its event loop), so hand Dask an
        # ordinary exception instead.
        raise RuntimeError("%s: %s" % (path, error)) from None
    return target


def lock_all(client, paths, out_dir):
    """Maps the call over `paths` on the cluster; returns {path: error} for
    those that failed."""
    futures = client.map(lock_on_worker, [str(p) for p in paths], out_dir=str(out_dir))
    failures = {}
    for path, future in zip(paths, futures):
        try:
            future.result()
        except Exception as error:
            failures[path] = error
    return failures


def main(argv):
    out_dir, *paths = argv
    password = os.environ["CELLVAULT_PASSWORD"]
    # env: set on each worker process the cluster starts (here the workers
    # would inherit it anyway; a real cluster's workers are set up alike).
    try:
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                               dashboard_address=None, env={"CELLVAULT_PASSWORD": password})
    except (OSError, RuntimeError, TimeoutError) as error:
        print("cannot start a Dask cluster here: %s" % error, file=sys.stderr)
        return 3
    with cluster, Client(cluster) as client:
        failures = lock_all(client, paths, out_dir)
    for path, error in failures.items():
        print("%s: %s" % (path, error), file=sys.stderr)
    print("locked %d of %d files" % (len(paths) - len(failures), len(paths)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
