"""Dask over a set, on a two-process cluster and on the local scheduler, gives
the answers pandas gives on the whole table."""

import os
import random
import subprocess

import pandas as pd
import pytest

distributed = pytest.importorskip("dask.distributed")

import orvex
import orvex.dask

TOOL = os.environ["ORVEX_TOOL"]
FIELDS = ["k:int:16", "|", "qty:int:16", "p:fixed:2:20", "s:str:4:packed"]
PART = 16  # records per partition: several partitions, runs of equal keys across their starts


def rows(keys):
    pick = random.Random(26)
    lines = ["k,qty,p,s"] + ["%d,%d,%.2f,%s" % (pick.choice(keys), pick.randint(-500, 500), pick.randint(0, 99999) / 100,
                                               "".join(pick.choice("ABC") for _ in range(pick.randint(0, 4))))
                             for _ in range(200)]
    return "\n".join(lines) + "\n"


# name: keys, sorted
TABLES = {"plain": (range(60), True), "signed": (range(-30, 30), True), "unsorted": (range(60), False),
          "same": (range(1), True)}


@pytest.fixture(scope="module")
def shop(tmp_path_factory):
    directory = str(tmp_path_factory.mktemp("shop"))
    for name, (keys, sort) in TABLES.items():
        subprocess.run([TOOL, "create", directory, name, *FIELDS], check=True, capture_output=True)
        subprocess.run([TOOL, "load", directory, name, "--csv"], input=rows(keys), text=True, check=True,
                       capture_output=True)
        if sort:
            subprocess.run([TOOL, "sort", directory, name], check=True, capture_output=True)
    return directory


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        yield client


def frames(directory, name):
    with orvex.open(directory) as s:
        expected = s[name].to_pandas()
    if TABLES[name][1]:
        expected = expected.set_index("k")
    return orvex.dask.read_table(directory, name, partition_size=PART), expected


@pytest.mark.parametrize("scheduler", ["cluster", "threads"])
@pytest.mark.parametrize("name", TABLES)
def test_sum_and_filter(shop, cluster, scheduler, name):
    ddf, expected = frames(shop, name)
    run = {} if scheduler == "cluster" else {"scheduler": scheduler}
    assert (ddf.npartitions == 1) == (name == "same")
    assert ddf.qty.sum().compute(**run) == expected.qty.sum()
    pd.testing.assert_frame_equal(ddf[ddf.p > 500].compute(**run), expected[expected.p > 500])
    pd.testing.assert_frame_equal(ddf.compute(**run), expected)


def test_key_selection_reads_only_its_partitions(shop, cluster):
    ddf, expected = frames(shop, "plain")
    keys = expected.index
    # The data puts equal keys on both sides of a nominal partition start.
    assert any(keys[i - 1] == keys[i] for i in range(PART, len(keys), PART))
    assert ddf.divisions[0] == keys[0] and ddf.divisions[-1] == keys[-1]
    for k in keys.unique():
        selected = ddf.loc[k]
        assert selected.npartitions == 1
        pd.testing.assert_frame_equal(selected.compute(scheduler="sync"), expected.loc[[k]])
    middle = ddf.loc[20:30]
    assert middle.npartitions < ddf.npartitions // 2
    pd.testing.assert_frame_equal(middle.compute(), expected.loc[20:30])


def test_signed_keys_leave_divisions_unknown(shop, cluster):
    ddf, expected = frames(shop, "signed")
    assert expected.index[0] >= 0 > expected.index[-1]  # the table's order: negative keys last
    assert not ddf.known_divisions
    pd.testing.assert_frame_equal(ddf.loc[-5].compute(), expected.loc[[-5]])


def test_columns_and_decimals(shop):
    ddf = orvex.dask.read_table(shop, "unsorted", columns=["p", "s"], partition_size=PART, decimals="raw")
    assert list(ddf.columns) == ["p", "s"] and ddf.p.dtype == "int64"
    assert ddf.divisions == tuple(range(0, 200, PART)) + (199,)
    with orvex.open(shop) as s:
        expected = s["unsorted"].to_pandas(["p", "s"], decimals="raw")
    pd.testing.assert_frame_equal(ddf.compute(scheduler="sync"), expected)
    with pytest.raises(KeyError):
        orvex.dask.read_table(shop, "unsorted", columns=["nope"])
