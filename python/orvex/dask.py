"""Orvex tables as Dask DataFrames.

A partition is a range of records, read by whichever worker computes it: the
worker opens the set itself (shared lock for the read) and reads its range
with `Table.to_pandas`, so only the directory's path travels in the graph and
the same graph runs on the local schedulers and on dask.distributed clusters.

On a table known to be sorted on a one-field key the index is that key and
the divisions are the keys where partitions start, so that selecting by key
reads only the partitions that can hold it. Anywhere else the index is the
record number, whose divisions are the ranges themselves.
"""

import numpy as np
import pandas as pd
import dask.dataframe as dd
from dask.dataframe.io.utils import DataFrameIOFunction

from . import tables

_NUMBER_TYPES = {"int": np.int32, "long": np.int32, "u_int": np.uint32, "u_long": np.uint32}
_FIXED_TYPES = {"float": np.float64, "raw": np.int64, "decimal": object}


def read_table(directory, table, columns=None, partition_size=1_000_000, decimals="float", strings="str",
               wait=5.0):
    """The records of `table` in the set `directory` as a Dask DataFrame of
    `partition_size` records per partition (fewer where equal keys would be
    split). `columns` picks fields (the key of a sorted table is the index,
    not a column); `decimals`, `strings` and `wait` are as for
    `orvex.open` and `Table.columns`."""
    if int(partition_size) < 1:
        raise ValueError("partition_size must be at least 1")
    directory = str(directory)
    with tables.open(directory, wait=wait) as s:
        t = s[table]
        fields = t.fields
        count = len(t)
        keys = [f["name"] for f in fields if f["in_key"]]
        index = keys[0] if len(keys) == 1 and t.sorted else None
        names = _column_names(fields, columns, index, t.name)
        starts = list(range(0, count, int(partition_size))) or [0]
        divisions = None
        if index is not None and count:
            starts = _partition_starts(t, index, count, int(partition_size), decimals, strings)
            divisions = _key_divisions(t, index, starts, count, decimals, strings)
        elif count:
            divisions = starts + [count - 1]
    types = {f["name"]: _dtype(f, decimals) for f in fields}
    reader = _ReadRecords(directory, table, names, index, decimals, strings, wait)
    meta = reader.frame({name: np.empty(0, types[name]) for name in names + ([index] if index else [])}, 0)
    ranges = list(zip(starts, starts[1:] + [count]))
    return dd.from_map(reader, ranges, meta=meta, divisions=divisions, label="orvex-read",
                       enforce_metadata=False)


def _column_names(fields, columns, index, table):
    known = [f["name"] for f in fields]
    if columns is None:
        columns = known
    elif isinstance(columns, str):
        columns = [columns]
    for name in columns:
        if name not in known:
            raise KeyError("no field %s in table %s" % (name, table))
    return [name for name in columns if name != index]


def _dtype(field, decimals):
    if field["type"] == "fixed":
        return _FIXED_TYPES[decimals]
    return _NUMBER_TYPES.get(field["type"], object)


def _key_at(t, key, position, decimals, strings):
    return t.columns([key], position, position + 1, decimals, strings)[key][0]


def _first_where(t, key, low, high, holds, decimals, strings):
    """The first record of [low, high) whose key `holds`, or high; it must
    hold for every record after that one."""
    while low < high:
        middle = (low + high) // 2
        if holds(_key_at(t, key, middle, decimals, strings)):
            high = middle
        else:
            low = middle + 1
    return low


def _partition_starts(t, key, count, size, decimals, strings):
    """Every `size` records, each start moved past the records whose key
    equals the one before it, so that a key lives in one partition (equal
    keys are adjacent in a sorted table). Where the table's order turns from
    the largest key back to smaller ones (it orders stored bits, and a
    negative number's come after the others') a partition starts too, so
    that each partition's keys increase, as pandas needs to select by key."""
    first = _key_at(t, key, 0, decimals, strings)
    starts = set(range(0, count, size))
    if _key_at(t, key, count - 1, decimals, strings) < first:
        starts.add(_first_where(t, key, 1, count, lambda k: k < first, decimals, strings))
    moved = [0]
    for start in sorted(starts)[1:]:
        if start <= moved[-1]:
            continue
        before, at = t.columns([key], start - 1, start + 1, decimals, strings)[key]
        if before == at:
            start = _first_where(t, key, start, count, lambda k: k != at, decimals, strings)
        if start < count:
            moved.append(start)
    return moved


def _key_divisions(t, key, starts, count, decimals, strings):
    """The keys where partitions start and the last key, or None when the
    starts do not increase (negative keys follow the others in the table;
    each partition's own keys do increase)."""
    values = [_key_at(t, key, start, decimals, strings) for start in starts + [count - 1]]
    values = [v.item() if isinstance(v, np.generic) else v for v in values]
    return values if all(a < b for a, b in zip(values[:-2], values[1:-1])) else None


class _ReadRecords(DataFrameIOFunction):
    """Reads one range of records into a DataFrame. Plain data and a module
    level class, so that it pickles to any worker; Dask narrows `columns` to
    the ones a computation uses."""

    def __init__(self, directory, table, names, index, decimals, strings, wait):
        self.directory = directory
        self.table = table
        self.names = list(names)
        self.index = index
        self.decimals = decimals
        self.strings = strings
        self.wait = wait

    def __dask_tokenize__(self):
        return (type(self).__name__, self.directory, self.table, self.names, self.index, self.decimals,
                self.strings, self.wait)

    @property
    def columns(self):
        return self.names

    def project_columns(self, columns):
        return _ReadRecords(self.directory, self.table, [name for name in self.names if name in columns],
                            self.index, self.decimals, self.strings, self.wait)

    def __call__(self, bounds):
        start, stop = bounds
        wanted = self.names + ([self.index] if self.index else [])
        with tables.open(self.directory, wait=self.wait) as s:
            t = s[self.table]
            stop = min(stop, len(t))
            read = t.columns(wanted, start, stop, self.decimals, self.strings) if wanted else {}
        return self.frame(read, start, max(stop - start, 0))

    def frame(self, read, start, length=0):
        if self.index:
            return pd.DataFrame({name: read[name] for name in self.names},
                                index=pd.Index(read[self.index], name=self.index))
        return pd.DataFrame({name: read[name] for name in self.names}, index=pd.RangeIndex(start, start + length))
