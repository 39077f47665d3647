"""Table sets and tables: thin Python objects over the extension module."""

import decimal

import numpy as np

from . import _orvex
from .texts import key_texts
from .writes import SetWrites, TableWrites


def open(directory, write=False, wait=5.0, sync=True):
    """Opens the table set in `directory`: shared lock to read, exclusive to
    write, waiting up to `wait` seconds for another process's lock."""
    return TableSet(_orvex.Set(str(directory), bool(write), float(wait), bool(sync)))


class TableSet(SetWrites):
    def __init__(self, native):
        self._native = native

    def tables(self):
        return self._native.tables()

    def __getitem__(self, name):
        return Table(_orvex.Table(self._native, name), self._native)

    @property
    def writable(self):
        return self._native.writable

    def commit(self):
        self._native.commit()

    def close(self):
        """Releases the lock; changes not committed are rolled back."""
        self._native.close()

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        try:
            if kind is None and not self._native.closed and self._native.writable:
                self._native.commit()
        finally:
            self._native.close()
        return False


_DECIMALS = ("float", "raw", "decimal")
_STRINGS = ("str", "bytes")


class Table(TableWrites):
    def __init__(self, native, set_native):
        self._native = native
        self._set = set_native  # what its writes change

    @property
    def name(self):
        return self._native.name

    @property
    def fields(self):
        return self._native.fields()

    @property
    def sorted(self):
        return self._native.sorted()

    def __len__(self):
        return self._native.size()

    def columns(self, names=None, start=0, stop=None, decimals="float", strings="str"):
        """The values of records [start, stop) by field name, in record order:
        NumPy arrays, strings and exact decimals as object arrays."""
        names, native = self._reading(names, decimals, strings)
        start, stop, _ = slice(start, stop).indices(len(self))
        return self._finish(self._native.columns(names, start, max(start, stop), *native), decimals)

    def find(self, *key, names=None, scan=False, decimals="float", strings="str"):
        """The records whose key starts with `key` (a value for each of the
        first key fields), in table order, as a DataFrame like to_pandas'.
        The table must be sorted on its key unless `scan` reads every
        record."""
        return self.range(key, key, names=names, scan=scan, decimals=decimals, strings=strings)

    def range(self, low=None, high=None, limit=None, names=None, scan=False, decimals="float", strings="str"):
        """The records from the first whose key starts with `low` to the last
        whose key starts with `high`, both included (None: from the first,
        to the last), at most `limit` of them, as find gives them. A bound of
        several key fields is a tuple."""
        names, native = self._reading(names, decimals, strings)
        bounds = [key_texts(bound) for bound in (low, high)]
        limit = _EVERY if limit is None else max(int(limit), 0)
        read = self._native.between(names, bounds[0], bounds[1], limit, bool(scan), *native)
        return _frame(self._finish(read, decimals))

    def _reading(self, names, decimals, strings):
        """The field names to read and the module's reading options."""
        if decimals not in _DECIMALS:
            raise ValueError("decimals must be one of %s" % ", ".join(_DECIMALS))
        if strings not in _STRINGS:
            raise ValueError("strings must be one of %s" % ", ".join(_STRINGS))
        if names is None:
            names = [f["name"] for f in self.fields]
        elif isinstance(names, str):
            names = [names]
        else:
            names = list(names)
        return names, ("raw" if decimals != "float" else "float", strings == "bytes")

    def _finish(self, read, decimals):
        """The module's columns, stored integers as exact decimals when
        asked."""
        precision = {f["name"]: f["precision"] for f in self.fields} if decimals == "decimal" else {}
        out = {}
        for name, values in read.items():
            if precision.get(name) is not None:
                exponent = -precision[name]
                values = _objects([decimal.Decimal(int(v)).scaleb(exponent) for v in values])
            out[name] = values
        return out

    def to_numpy(self, names=None, start=0, stop=None, decimals="float", strings="str"):
        """The same values as one structured array, a field per column."""
        columns = self.columns(names, start, stop, decimals, strings)
        dtype = [(name, values.dtype) for name, values in columns.items()]
        length = len(next(iter(columns.values()))) if columns else 0
        out = np.empty(length, dtype=dtype)
        for name, values in columns.items():
            out[name] = values
        return out

    def to_pandas(self, names=None, start=0, stop=None, decimals="float", strings="str"):
        """The same values as a DataFrame, its columns in the order asked."""
        return _frame(self.columns(names, start, stop, decimals, strings))


_EVERY = 2**64 - 1  # no limit


def _objects(values):
    column = np.empty(len(values), dtype=object)
    column[:] = values
    return column


def _frame(columns):
    import pandas

    # The arrays are new and the frame's alone: it takes them as they are,
    # rather than copying those of one dtype into a block.
    return pandas.DataFrame(columns, copy=False)
