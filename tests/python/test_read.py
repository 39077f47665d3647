"""Reading sets from Python, checked against what `orvex dump --csv` and
`orvex find --csv` print for the same files, and the set's locks and changes
as the tool keeps them."""

import csv
import decimal
import io
import os
import subprocess
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import orvex

# Every stored type, signed extremes, a packed string, a reference, a
# non-ASCII string, one the CSV must quote, a packed one filling its field
# and a long one read twice.
FIELDS = ["id:u_long:20", "|", "a:int:12", "b:long:32", "c:u_int:32", "p:fixed:2:20", "q:fixed:0:8",
          "s:str:8", "k:str:8:packed", "r:u_long:8@ref=people", "l:str:12"]
ROWS = """id,a,b,c,p,q,s,k,r,l
3,-2048,-2147483648,4294967295,-5242.88,-128,"a,b",AB CDEFG,1,twelve bytes
1,2047,2147483647,0,5242.87,127,héllo,,0,
2,0,0,7,0.05,0,,Z_,0,twelve bytes
"""
# A key of three fields, sorted: negative numbers after the others, as the
# key's bits compare.
KEYED = ["g:int:8", "name:str:6", "x:fixed:2:16", "|", "v:u_int:8"]
KEYED_ROWS = "g,name,x,v\n2,c,4,1\n1,b,2,2\n-1,z,9,3\n1,a,1.5,4\n2,a,-3,5\n1,a,2,6\n3,b,5,7\n"


@pytest.fixture(scope="module", params=["as loaded", "stripped"])
def shop(request, tmp_path_factory, tool):
    directory = str(tmp_path_factory.mktemp("shop"))
    tool("create", directory, "people", "id:u_int:8")
    tool("load", directory, "people", "--csv", stdin="id\n1\n2\n")
    tool("create", directory, "t", *FIELDS)
    tool("load", directory, "t", "--csv", stdin=ROWS)
    tool("create", directory, "k", *KEYED)
    tool("load", directory, "k", "--csv", stdin=KEYED_ROWS)
    tool("sort", directory, "k")
    if request.param == "stripped":
        tool("strip", directory)
    dumped = list(csv.DictReader(io.StringIO(tool("dump", directory, "t", "--csv"))))
    return directory, dumped, request.param == "stripped"


# (fields, reading options, expected dtype, the dumped text as the value read)
CASES = [
    (["id", "r"], {}, np.uint32, int),
    (["c"], {}, np.uint32, int),
    (["a", "b"], {}, np.int32, int),
    (["p", "q"], {}, np.float64, float),
    (["p"], {"decimals": "raw"}, np.int64, lambda text: int(decimal.Decimal(text).scaleb(2))),
    (["q"], {"decimals": "raw"}, np.int64, int),
    (["p", "q"], {"decimals": "decimal"}, object, decimal.Decimal),
    (["s", "k", "l"], {}, object, str),
    (["s", "k", "l"], {"strings": "bytes"}, object, lambda text: text.encode()),
]


@pytest.mark.parametrize("names, options, dtype, expected", CASES)
def test_columns_match_dump(shop, names, options, dtype, expected):
    directory, dumped, stripped = shop
    with orvex.open(directory) as s:
        columns = s["t"].columns(names, **options)
    assert list(columns) == names
    for name in names:
        assert columns[name].dtype == dtype
        assert list(columns[name]) == [expected(row[name]) for row in dumped], name
        if options.get("decimals") == "decimal" and name == "p":
            assert [str(v) for v in columns[name]] == [row[name] for row in dumped]


def test_shapes_ranges_and_description(shop):
    directory, dumped, stripped = shop
    with orvex.open(directory) as s:
        assert s.tables() == ["people", "t", "k"]
        t = s["t"]
        assert len(t) == len(dumped) == 3
        fields = {f["name"]: f for f in t.fields}
        assert [f["name"] for f in t.fields] == [w.split(":")[0] for w in FIELDS if w != "|"]
        assert fields["id"]["in_key"] and not fields["a"]["in_key"]
        assert (fields["id"]["bits"], fields["s"]["bits"]) == ((2, 48) if stripped else (20, 64))
        assert fields["r"]["referenced_table"] == "people" and fields["a"]["referenced_table"] is None
        assert (fields["p"]["type"], fields["p"]["precision"]) == ("fixed", 2)
        assert (fields["k"]["length"], fields["k"]["packed"], fields["s"]["packed"]) == (8, True, False)
        for start, stop in [(1, None), (0, 2), (2, 1), (-1, None), (5, 9)]:
            expected = [int(row["id"]) for row in dumped[start:stop]]
            assert list(t.columns(["id"], start, stop)["id"]) == expected
        array = t.to_numpy(["id", "s"], stop=2)
        assert array.dtype.names == ("id", "s") and list(array["s"]) == [r["s"] for r in dumped[:2]]
        frame = t.to_pandas()
        assert list(frame.columns) == list(dumped[0])
        assert list(frame["b"]) == [int(row["b"]) for row in dumped]


# (table, method, its arguments and options, the same search as `orvex find` words)
SEARCHES = [
    ("k", "find", (1,), {}, ["--from", "1", "--to", "1"]),
    ("k", "find", (np.int64(1), b"a"), {}, ["--from", "1,a", "--to", "1,a"]),
    ("k", "find", (1, "a", 1.5), {}, ["1", "a", "1.50"]),
    ("k", "find", (1, "a", decimal.Decimal("2")), {}, ["1", "a", "2"]),
    ("k", "find", (9,), {}, ["--from", "9", "--to", "9"]),
    ("k", "range", ((1, "b"), (2, "a")), {}, ["--from", "1,b", "--to", "2,a"]),
    ("k", "range", (None, 1), {}, ["--to", "1"]),
    ("k", "range", (2,), {"limit": 2}, ["--from", "2", "--limit", "2"]),
    ("k", "range", (-1, None), {}, ["--from", "-1"]),
    ("t", "find", (1,), {"scan": True}, ["1", "--scan"]),
    ("t", "range", (2, 3), {"scan": True}, ["--from", "2", "--to", "3", "--scan"]),
]


@pytest.mark.parametrize("table, method, arguments, options, words", SEARCHES)
def test_find_and_range_match_the_tool(shop, tool, table, method, arguments, options, words):
    directory, _, _ = shop
    printed = list(csv.reader(io.StringIO(tool("find", directory, table, *words, "--csv"))))
    with orvex.open(directory) as s:
        frame = getattr(s[table], method)(*arguments, decimals="decimal", **options)
    assert list(frame.columns) == printed[0]
    assert [[str(v) for v in row] for row in frame.itertuples(index=False)] == printed[1:]


def test_found_records_read_as_whole_columns(shop):
    directory, _, _ = shop
    with orvex.open(directory) as s:
        k = s["k"]
        assert k.sorted and not s["t"].sorted
        for options in [{}, {"decimals": "raw", "strings": "bytes"}]:
            assert k.find(1, **options).dtypes.equals(k.to_pandas(**options).dtypes)
        assert list(k.find(2, names=["v", "name"], strings="bytes").itertuples(index=False)) == [(5, b"a"), (1, b"c")]
        with pytest.raises(ValueError, match="table t is not sorted on its key; run `orvex sort`"):
            s["t"].find(1)


def test_a_with_block_that_raises_lets_the_set_go(tmp_path, tool):
    directory = str(tmp_path)
    tool("create", directory, "t", "id:u_int:8")
    with pytest.raises(ZeroDivisionError):
        with orvex.open(directory, write=True):
            1 / 0
    tool("load", directory, "t", "--wait", "0", stdin="1\n")
    with orvex.open(directory) as s:
        assert len(s["t"]) == 1


def test_threads_share_a_set(tmp_path, tool):
    # Scans run without the GIL, strings taken a chunk at a time with it: a
    # set read from several threads at once must neither stall nor mix them.
    directory = str(tmp_path)
    tool("create", directory, "t", "id:u_int:20", "|", "s:str:3")
    tool("load", directory, "t", "--csv", stdin="id,s\n" + "".join("%d,%d\n" % (i, i % 7) for i in range(200000)))
    with orvex.open(directory) as s:
        t = s["t"]
        with ThreadPoolExecutor(4) as pool:
            reads = list(pool.map(lambda i: t.columns() if i % 2 else t.columns(["id"]), range(12)))
    assert all(list(r["id"][-3:]) == [199997, 199998, 199999] for r in reads)
    assert all(r["s"][-1] == "2" for r in reads[1::2])
