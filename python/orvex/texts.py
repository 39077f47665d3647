"""Python values as the texts the tool reads: a key's values on its command
line, a field's new value in `update`."""

import csv
import decimal
import io

import numpy as np


def key_texts(bound):
    """A key, or the first fields of one, as the texts the tool reads: None
    for no bound, a tuple for several fields."""
    if bound is None:
        return []
    return [value_text(v) for v in (bound if isinstance(bound, tuple) else (bound,))]


def value_text(value):
    """One value as the tool reads it: numbers in plain decimal notation
    (never an exponent), strings and bytes as they are."""
    if isinstance(value, (str, bytes)):
        return value
    if isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        return str(int(value))
    if isinstance(value, (float, np.floating)):
        value = decimal.Decimal(repr(float(value)))
    if isinstance(value, decimal.Decimal):
        return format(value, "f")
    raise TypeError("a value is an int, float, Decimal, str or bytes, not %s" % type(value).__name__)


def key_word(key):
    """A key as one command-line word: the values of several key fields (a
    tuple) as a CSV row."""
    values = [word_text(v) for v in (key if isinstance(key, tuple) else (key,))]
    if len(values) == 1:
        return values[0]
    line = io.StringIO()
    csv.writer(line, lineterminator="").writerow(values)
    return line.getvalue()


def word_text(value):
    """A value as text for a command-line word."""
    text = value_text(value)
    return text.decode("utf-8", "surrogateescape") if isinstance(text, bytes) else text
