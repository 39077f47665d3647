"""Writing sets from Python, checked against the tool doing the same to a
copy: what `orvex dump --csv` prints, the messages, and the files left when
a call or a whole `with` block fails."""

import hashlib
import os
import shutil
import subprocess

import numpy as np
import pandas as pd
import pytest

import orvex

TOOL = os.environ["ORVEX_TOOL"]
FIELDS = ("id:u_long:20 | a:int:12 b:long:32 c:u_int:32 p:fixed:2:20 q:fixed:0:8 s:str:8 k:str:8:packed "
          "r:u_long:8@ref=people n:int:12@range=1..500")
ROWS = {"id": np.array([3, 1, 2], dtype=np.uint32), "a": [-2048, 2047, 0],
        "b": np.array([-2147483648, 2147483647, 0]), "c": np.array([4294967295, 0, 7], dtype=np.uint64),
        "p": [-5242.88, 5242.87, 0.05], "q": np.array([-128.0, 127, 0]), "s": ["a,b", "héllo", ""],
        "k": ["AB C", "", "Z"], "r": [1, 0, 0], "n": [1, 500, 7]}


def tool(*args, stdin=None):
    run = subprocess.run([TOOL, *args], input=stdin, capture_output=True, text=True)
    return run.stdout if run.returncode == 0 else run.stderr.strip().removeprefix("orvex: ")


def files(directory):
    return {name: hashlib.sha256(open(os.path.join(directory, name), "rb").read()).hexdigest()
            for name in sorted(os.listdir(directory))}


@pytest.fixture
def pair(tmp_path):
    """The same set made by the tool (load --csv) and by Python (append)."""
    made = [str(tmp_path / "tool"), str(tmp_path / "python")]
    tool("create", made[0], "people", "id:u_int:8")
    tool("load", made[0], "people", "--csv", stdin="id\n1\n2\n")
    tool("create", made[0], "t", FIELDS)
    tool("load", made[0], "t", "--csv", "--append", stdin=pd.DataFrame(ROWS).to_csv(index=False))
    os.mkdir(made[1])
    with orvex.open(made[1], write=True) as s:
        s.create("people", ["id:u_int:8"]).append({"id": [1, 2]})
        t = s.create("t", FIELDS)
        t.append({name: values[:1] for name, values in ROWS.items()})
        t.append(pd.DataFrame(ROWS)[1:])
    return made


@pytest.mark.parametrize("stripped", [False, True])
def test_appended_rows_read_back_as_loaded(pair, stripped):
    if stripped:  # and then the same rows again, into the narrower fields
        tool("strip", pair[0])
        tool("load", pair[0], "t", "--csv", "--append", stdin=pd.DataFrame(ROWS).to_csv(index=False))
        with orvex.open(pair[1], write=True) as s:
            t = s["t"]  # its definition read before the strip
            s.strip()
            t.append(ROWS)
    assert tool("dump", pair[1], "t", "--csv") == tool("dump", pair[0], "t", "--csv")
    with orvex.open(pair[1]) as s:
        read = s["t"].columns()
    for name, values in ROWS.items():
        assert list(read[name]) == list(values) * (2 if stripped else 1), name


# (columns changed, error, message): the first bad value by row and field.
ERRORS = [
    ({"n": [5, 900, 5]}, ValueError, "row 1, field n: 900 is outside the declared range 1..500"),
    ({"a": [0, 0, 4096]}, ValueError, r"row 2, field a: 4096 does not fit \(int of 12 bits holds -2048..2047\)"),
    ({"r": [0, 2, 0]}, ValueError, r"row 1, field r: 2 is not a record of people \(2 records\)"),
    ({"p": [0.05, 0.001, 0]}, ValueError, "row 1, field p: 0.001 has more than the field's 2 decimals"),
    ({"c": [1, 2, "x"]}, ValueError, "row 2, field c: not an integer: 'x'"),
    ({"b": [0, None, 0]}, ValueError, "row 1, field b: not an integer: ''"),
    ({"k": ["A", "~", "B"]}, ValueError, "row 1, field k: '~' cannot be kept in a packed string"),
    ({"zz": [1, 2, 3]}, KeyError, "table t has no field zz"),
    ({"n": [1]}, ValueError, "column n has 1 values, column id 3"),
]


@pytest.mark.parametrize("change, error, message", ERRORS)
def test_a_refused_append_leaves_the_table_as_it_was(pair, change, error, message):
    before = files(pair[1])
    with orvex.open(pair[1], write=True) as s:
        with pytest.raises(error, match=message):
            s["t"].append({**ROWS, **change})
        assert len(s["t"]) == 3
    assert files(pair[1]) == before


def test_a_block_that_raises_leaves_every_file_as_it_was(pair):
    before = files(pair[1])
    with pytest.raises(ZeroDivisionError):
        with orvex.open(pair[1], write=True) as s:
            s.create("u", "x:int:8").append({"x": np.arange(-100, 100)})
            s["t"].sort()
            s["t"].update(1, s="new")
            s["t"].delete(3)
            s.strip()
            1 / 0
    assert files(pair[1]) == before


# (tool's words after DIR, the same through Python): each applied to both
# sets, which must then agree on every table, its order and the messages.
EDITS = [
    (["delete", "people", "1"], lambda s: s["people"].delete(1)),
    (["sort", "t"], lambda s: s["t"].sort()),
    (["update", "t", "2", "s=zz", "n=9"], lambda s: s["t"].update(2, s="zz", n=9)),
    (["update", "t", "2", "n=0"], lambda s: s["t"].update(2, n=0)),
    (["update", "t", "2", "id=7"], lambda s: s["t"].update(2, id=7)),
    (["delete", "people", "1"], lambda s: s["people"].delete(1)),
    (["delete", "t", "1", "--to", "2"], lambda s: s["t"].delete(1, to=2)),
    (["delete", "people", "1"], lambda s: s["people"].delete(1)),
    (["delete", "t", "1"], lambda s: s["t"].delete(1)),
]


def test_edits_agree_with_the_tool(pair):
    for words, edit in EDITS:
        said = tool(words[0], pair[0], *words[1:])
        with orvex.open(pair[1], write=True) as s:
            try:
                count = edit(s)
                assert str(count) in said.split(), words
            except ValueError as e:
                assert said == str(e), words
            sorted_now = {name: s[name].sorted for name in s.tables()}
        for name in ("people", "t"):
            assert tool("dump", pair[1], name, "--csv") == tool("dump", pair[0], name, "--csv"), words
        with orvex.open(pair[0]) as s:
            assert sorted_now == {name: s[name].sorted for name in s.tables()}, words
