"""Table sets and tables: thin Python objects over the extension module."""

import decimal

import numpy as np

from . import _orvex
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
        return Table(_orvex.Table(self._native, name))

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
    def __init__(self, native):
        self._native = native

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
        if decimals not in _DECIMALS:
            raise ValueError("decimals must be one of %s" % ", ".join(_DECIMALS))
        if strings not in _STRINGS:
            raise ValueError("strings must be one of %s" % ", ".join(_STRINGS))
        fields = self.fields
        if names is None:
            names = [f["name"] for f in fields]
        elif isinstance(names, str):
            names = [names]
        else:
            names = list(names)
        count = len(self)
        start, stop, _ = slice(start, stop).indices(count)
        stop = max(start, stop)
        native = "raw" if decimals != "float" else "float"
        read = self._native.columns(names, start, stop, native, strings == "bytes")
        precision = {f["name"]: f["precision"] for f in fields}
        out = {}
        for name in names:
            values = read[name]
            if isinstance(values, list):
                column = np.empty(len(values), dtype=object)
                column[:] = values
                values = column
            elif decimals == "decimal" and precision[name] is not None:
                exponent = -precision[name]
                column = np.empty(len(values), dtype=object)
                column[:] = [decimal.Decimal(int(v)).scaleb(exponent) for v in values]
                values = column
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
        import pandas

        return pandas.DataFrame(self.columns(names, start, stop, decimals, strings))
