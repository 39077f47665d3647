"""The Python package on tables_bench's orders table, in one run: whole
columns beside the C++ scan of the same set, DataFrames beside SQLite and
CSV, the memory a read takes, and a Dask sum on a local cluster beside
pandas.

    PYTHONPATH=build/python /usr/bin/python3 bench/python_bench.py
        [--n N] [--rounds R] [--dir DIR] [--build BUILD] [--workers W]

BUILD (./build unless given) holds the tool and orders_set, which writes
the set. Without DIR a temporary directory is used and removed at the end.
Each time is the best of R rounds (3 unless given).
"""

import argparse
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

import pandas as pd

import orvex

NUMERIC = ["key", "qty", "price"]
ALL = NUMERIC + ["code"]

# Run in a new process, as the C++ scan is: the time of the first read of
# the columns, the peak resident memory it adds and the bytes of what it
# returns (arrays, and the string objects its object arrays point to); then
# the best time of more reads in the same process.
READ_PROBE = r"""
import sys, time
import orvex

def status(field):
    with open("/proc/self/status") as lines:
        for line in lines:
            if line.startswith(field):
                return int(line.split()[1]) * 1024
    return -1

names = sys.argv[2].split(",")
with orvex.open(sys.argv[1]) as s:
    t = s["orders"]
    t.columns(names, 0, 1)  # the definition is read once per set, as the C++ side has it before its clock
    with open("/proc/self/clear_refs", "w") as reset:
        reset.write("5")  # the high-water mark starts again from the current size
    before = status("VmRSS:")
    start = time.perf_counter()
    columns = t.columns(names)
    first = time.perf_counter() - start
    peak = status("VmHWM:")
    held = sum(c.nbytes for c in columns.values())
    # Each object once: records of one text share it.
    held += sum(sys.getsizeof(v) for v in {id(v): v for c in columns.values() if c.dtype == object for v in c}.values())
    del columns
    warm = []
    for _ in range(int(sys.argv[3])):
        start = time.perf_counter()
        columns = t.columns(names)
        warm.append(time.perf_counter() - start)
        del columns  # the C++ scan too lets its arrays go after its clock stops
print(first, min(warm), peak - before, held)
"""


def best(rounds, work):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        result = work()
        times.append(time.perf_counter() - start)
    return min(times), result


def read_columns(directory, names=None):
    with orvex.open(directory) as s:
        return s["orders"].columns(names)


def read_frame(directory, names=None):
    with orvex.open(directory) as s:
        return s["orders"].to_pandas(names)


def write_sqlite(frame, path):
    with sqlite3.connect(path) as db:
        db.execute("CREATE TABLE w(key INTEGER, qty INTEGER, price REAL, code TEXT)")
        db.executemany("INSERT INTO w VALUES(?,?,?,?)",
                       zip(frame.key.tolist(), frame.qty.tolist(), frame.price.tolist(), frame.code.tolist()))
    db.close()


def read_sqlite(path):
    db = sqlite3.connect(path)
    try:
        return pd.read_sql("SELECT * FROM w", db)
    finally:
        db.close()


def same_values(frame, other):
    """The same rows, whatever integer widths each reader chose."""
    return all((frame[c].astype(other[c].dtype) == other[c]).all() for c in frame.columns) and len(frame) == len(other)


def column_reads(rounds, directory, names, writer):
    """Python's and C++'s best first read in a new process, their best reads
    after that, and the memory of Python's first read."""
    reads, scans = [], []
    mode = "numbers" if names == NUMERIC else "all"
    for _ in range(rounds):
        probe = subprocess.run([sys.executable, "-c", READ_PROBE, directory, ",".join(names), str(rounds)],
                               check=True, capture_output=True, text=True)
        reads.append([float(v) for v in probe.stdout.split()])
        scan = subprocess.run([writer, "scan", directory, mode, str(rounds)], check=True, capture_output=True,
                              text=True)
        scans.append([float(v) for v in scan.stdout.split()])
    first, warm = (min(r[i] for r in reads) for i in (0, 1))
    return first, warm, min(s[0] for s in scans), min(s[1] for s in scans), reads[0][2] / 1e6, reads[0][3] / 1e6


def dask_sum(directory, workers, partition_size, rounds):
    from dask.distributed import Client, LocalCluster

    import orvex.dask

    start = time.perf_counter()
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster):
        started = time.perf_counter() - start
        ddf = orvex.dask.read_table(directory, "orders", partition_size=partition_size)
        ddf["qty"].sum().compute()  # the workers import the package once
        took, total = best(rounds, lambda: ddf["qty"].sum().compute())
    return started, took, total, ddf.npartitions


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=1000000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--dir")
    parser.add_argument("--build", default="build")
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()
    tool = os.path.join(args.build, "tools", "orvex")
    writer = os.path.join(args.build, "bench", "orders_set")
    work = args.dir or tempfile.mkdtemp(prefix="orvex-python-bench-")
    directory = os.path.join(work, "set")
    try:
        subprocess.run([writer, "write", directory, "--n", str(args.n)], check=True)
        rows = []

        def row(what, ours, theirs, target, faster=False):
            ratio = theirs / ours if faster else ours / theirs
            rows.append((what, ours, theirs, ratio, target))

        first, warm, scan_first, scan_warm, numeric_added, numeric_held = column_reads(args.rounds, directory, NUMERIC,
                                                                                      writer)
        row("columns(numeric) / C++, first", first, scan_first, "<= 1.5")
        row("columns(numeric) / C++, again", warm, scan_warm, "<= 1.5")
        first, warm, scan_first, scan_warm, all_added, all_held = column_reads(args.rounds, directory, ALL, writer)
        row("columns(all) / C++, first", first, scan_first, "<= 4")
        row("columns(all) / C++, again", warm, scan_warm, "<= 4")

        frame = read_frame(directory)
        db = os.path.join(work, "orders.db")
        write_sqlite(frame, db)
        text = os.path.join(work, "orders.csv")

        def dump():
            with open(text, "w") as out:
                subprocess.run([tool, "dump", directory, "orders", "--csv"], stdout=out, check=True)

        dump_time, _ = best(args.rounds, dump)
        assert same_values(frame, read_sqlite(db)), "SQLite read other values"
        assert same_values(frame, pd.read_csv(text, keep_default_na=False)), "the dump read other values"
        del frame
        # In turns, each frame dropped before the next is read, so that the
        # three find the memory alike (a read into memory already touched
        # saves most of its time here).
        readers = [lambda: read_frame(directory), lambda: read_sqlite(db),
                   lambda: pd.read_csv(text, keep_default_na=False)]
        frame_time, sql_time, csv_time = (min(times) for times in zip(*(
            [best(1, reader)[0] for reader in readers] for _ in range(args.rounds))))
        row("read_sql / to_pandas()", frame_time, sql_time, ">= 10", faster=True)
        row("read_csv / to_pandas()", frame_time, csv_time, ">= 5", faster=True)

        pandas_all, total = best(args.rounds, lambda: read_frame(directory)["qty"].sum())
        pandas_qty, _ = best(args.rounds, lambda: read_frame(directory, ["qty"])["qty"].sum())
        partition_size = max(1, args.n // (2 * args.workers))
        started, dask_time, dask_total, partitions = dask_sum(directory, args.workers, partition_size, args.rounds)
        assert dask_total == total, "Dask and pandas disagree: %s, %s" % (dask_total, total)

        print("N = %d records of tables_bench's orders (sorted), best of %d rounds" % (args.n, args.rounds))
        print("%-30s %10s %10s %8s %8s" % ("", "orvex s", "other s", "ratio", "target"))
        for what, ours, theirs, ratio, target in rows:
            print("%-30s %10.3f %10.3f %8.2f %8s" % (what, ours, theirs, ratio, target))
        print("(ratio: for columns, orvex's time over the C++ scan's, in a new process (first) and")
        print(" the best of the reads after it (again); for pandas, the other's time over orvex's)")
        print("orvex dump --csv, before read_csv: %.3f s" % dump_time)
        print("\npeak memory the read of columns() adds")
        print("%-30s %10s %10s %10s" % ("", "added MB", "result MB", "over MB"))
        for what, added, held in (("numeric fields", numeric_added, numeric_held),
                                  ("all fields", all_added, all_held)):
            print("%-30s %10.1f %10.1f %10.1f" % (what, added, held, added - held))
        print("(result: the arrays' bytes, and the string objects an object array points to)")
        print("\nsum of qty = %d" % total)
        print("%-44s %8.3f s" % ("pandas: to_pandas(), sum", pandas_all))
        print("%-44s %8.3f s" % ("pandas: to_pandas(['qty']), sum", pandas_qty))
        print("%-44s %8.3f s" % ("Dask: LocalCluster(n_workers=%d), %d partitions" % (args.workers, partitions),
                                 dask_time))
        print("(the cluster took %.2f s to start, not counted)" % started)
    finally:
        if not args.dir:
            shutil.rmtree(work)


if __name__ == "__main__":
    main()
