"""Orvex table sets from Python: open a set directory, look at its tables and
read whole columns into NumPy arrays or pandas DataFrames."""

from ._orvex import Busy
from .tables import TableSet, Table, open

__all__ = ["open", "TableSet", "Table", "Busy"]
