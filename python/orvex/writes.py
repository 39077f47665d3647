"""Changing a set from Python: what the tool's create, load --append, sort,
strip, delete and update do, with the same checks and messages, inside the
set's one change (committed at the end of its `with` block or by
`commit()`). Each call is all or nothing: a refused value leaves the set as
it was, and a failure half way rolls the whole change back."""

import numpy as np

from . import _orvex
from .texts import key_word, word_text


class SetWrites:
    """What TableSet adds to change a set."""

    def create(self, name, fields, text=False):
        """Defines an empty table from the field syntax of `orvex create`:
        one string ('id:u_int:24 | qty:int:13') or a list of field words."""
        words = [fields] if isinstance(fields, str) else list(fields)
        _orvex.create(self._native, name, words, not text)
        return self[name]

    def strip(self, names=None):
        """Strips the named tables (all when None) to the bits their values
        need; they read the same values afterwards."""
        names = [] if names is None else [names] if isinstance(names, str) else list(names)
        _orvex.strip(self._native, names)


class TableWrites:
    """What Table adds to change its records."""

    def append(self, data):
        """Adds the rows of a DataFrame or a dict of columns (arrays or lists),
        a column per field, with every check of `orvex load`. Nothing is
        written unless every value fits; ValueError names the first bad one
        by its row, numbered from 0: "row 3, field qty: 900 is outside the
        declared range 1..500". A missing value (None, NaN among strings)
        is the empty text it has in CSV: an empty string, refused by a
        number field."""
        columns = {}
        for name in data.keys():
            values = data[name]
            values = values.to_numpy() if hasattr(values, "to_numpy") else np.asarray(values)
            numbers = values.ndim == 1 and values.dtype.kind in "biuf"
            columns[str(name)] = values if numbers else values.tolist()
        _orvex.append(self._set, self.name, columns)

    def sort(self):
        """Sorts the records on the key; references to them follow."""
        return _orvex.sort(self._set, self.name)

    def delete(self, key, to=None, scan=False):
        """Removes the records of `key`, or of the keys from `key` to `to`,
        renumbering the references to the records after them; the number
        removed. A key of several fields is a tuple (leading fields only
        stand for every key that starts with them)."""
        key = key_word(key)
        return _orvex.delete(self._set, self.name, key, key if to is None else key_word(to), scan)

    def update(self, key, **fields):
        """Sets fields (not of the key) of the records of `key`; the number
        updated."""
        if not fields:
            raise TypeError("update() needs at least one field=value")
        words = ["%s=%s" % (name, word_text(value)) for name, value in fields.items()]
        return _orvex.update(self._set, self.name, key_word(key), words, False)
