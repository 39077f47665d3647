"""Errors as a Python program meets them: the library's and the tool's
messages as KeyError, ValueError, OSError, orvex.Busy and orvex.Damaged, and
sets that exclude each other as the tool's processes do."""

import errno
import os
import subprocess
import sys
import threading
import time

import pytest

import orvex


@pytest.fixture
def shop(tmp_path, tool):
    directory = str(tmp_path / "shop")
    tool("create", directory, "t", "id:int:8", "|", "s:str:4")
    tool("load", directory, "t", "--csv", stdin="id,s\n2,b\n1,a\n")
    return directory


# (what is asked of the set, the error, its message)
ASKED = [
    (lambda s: s["nope"], KeyError, "Table nope doesn't exists"),
    (lambda s: s["t"].columns(["nope"]), KeyError, "no field nope in table t"),
    (lambda s: s["t"].find(1, names=["s", "nope"], scan=True), KeyError, "no field nope in table t"),
    (lambda s: s["t"].find("x", scan=True), ValueError, "key id: not an integer: 'x'"),
    (lambda s: s["t"].range(None, (1, 2)), ValueError, "the key of t is id: 2 values are too many"),
    (lambda s: s["t"].find(1), ValueError, "table t is not sorted on its key; run `orvex sort`"),
    (lambda s: s["t"].columns(decimals="binary"), ValueError, "decimals must be one of float, raw, decimal"),
    (lambda s: s["t"].find([1]), TypeError, "a value is an int, float, Decimal, str or bytes, not list"),
]


@pytest.mark.parametrize("ask, error, message", ASKED)
def test_what_is_asked_wrongly(shop, ask, error, message):
    with orvex.open(shop) as s:
        with pytest.raises(error) as raised:
            ask(s)
    assert message in str(raised.value)
    with pytest.raises(RuntimeError, match="the table set is closed"):
        s.tables()


# A file of the table as something other than the library wrote it.
DAMAGE = [
    ("t.bin", b"\x02\x00"),
    ("t.bin", b"\x09\x00\x00\x00\x01"),
    ("t.dsb", b"junk"),
    ("t.trb", b"junk"),
]


@pytest.mark.parametrize("name, content", DAMAGE)
def test_damage_is_what_check_reports(shop, tool, name, content):
    with open(os.path.join(shop, name), "wb") as file:
        file.write(content)
    report = tool("check", shop, "t", check=False).splitlines()
    with orvex.open(shop) as s:
        with pytest.raises(orvex.Damaged) as raised:
            s["t"]
    assert str(raised.value).splitlines() == report[:-1]


@pytest.mark.parametrize("where, code", [("missing", errno.ENOENT), ("file", errno.ENOTDIR)])
def test_what_the_file_system_refuses(tmp_path, where, code):
    (tmp_path / "file").write_text("")
    with pytest.raises(OSError) as raised:
        orvex.open(tmp_path / where)
    assert raised.value.errno == code and str(tmp_path / where) in str(raised.value)


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_a_file_this_user_may_not_read(shop):
    os.chmod(os.path.join(shop, "t.bin"), 0)
    with orvex.open(shop) as s:
        with pytest.raises(PermissionError, match="t.bin"):
            s["t"]


HOLD = "import orvex, sys; s = orvex.open(sys.argv[1], write=sys.argv[2] == 'w'); print(flush=True); sys.stdin.read()"


# (the set opened first to write, the second, whether the second must wait)
OPENS = [(True, True, True), (True, False, True), (False, True, True), (False, False, False)]


@pytest.mark.parametrize("holder", ["this process", "another process"])
@pytest.mark.parametrize("first, second, excluded", OPENS)
def test_opens_exclude_each_other_as_the_lock_does(shop, holder, first, second, excluded):
    if holder == "this process":
        held = orvex.open(shop, write=first)
    else:
        held = subprocess.Popen([sys.executable, "-c", HOLD, shop, "w" if first else "r"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        held.stdout.readline()
    try:
        started = time.monotonic()
        if excluded:
            with pytest.raises(orvex.Busy, match="table set .*shop is in use by another process"):
                orvex.open(shop, write=second, wait=0.2)
            assert time.monotonic() - started >= 0.2
        else:
            orvex.open(shop, write=second, wait=0).close()
    finally:
        if holder == "this process":
            held.close()
        else:
            held.communicate("")
    orvex.open(shop, write=second, wait=0).close()


def test_a_waiting_writer_gets_the_set_its_holder_lets_go(shop):
    held = orvex.open(shop, write=True)
    threading.Timer(0.1, held.close).start()
    with orvex.open(shop, write=True, wait=30) as s:
        assert s.writable


def test_the_tool_waits_for_sets_open_here(shop, tool):
    for write in (False, True):
        with orvex.open(shop, write=write):
            with pytest.raises(subprocess.CalledProcessError):
                tool("load", shop, "t", "--wait", "0", stdin="3,c\n")
            assert (tool("dump", shop, "t", "--wait", "0", check=False) != "") == (not write)
