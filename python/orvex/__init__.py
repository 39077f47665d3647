"""Orvex table sets from Python: open a set directory, look at its tables and
read whole columns, or the records of some keys, into NumPy arrays or pandas
DataFrames.

Errors: KeyError for an unknown table or field, ValueError for a value or
an option that does not fit, OSError for what the file system refuses, and
the package's own Busy (the set is in use past `wait`) and Damaged (files
that `orvex check` would call damaged)."""

from ._orvex import Busy, Damaged
from .tables import TableSet, Table, open

__all__ = ["open", "TableSet", "Table", "Busy", "Damaged"]
