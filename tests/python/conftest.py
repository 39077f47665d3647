"""What the Python tests share: the orvex tool they check the package
against (ORVEX_TOOL, set by CTest)."""

import os
import subprocess

import pytest


@pytest.fixture(scope="session")
def tool():
    """Runs the tool and gives its standard output; a failure raises
    CalledProcessError unless check=False."""

    def run(*args, stdin=None, check=True):
        words = [os.environ["ORVEX_TOOL"], *map(str, args)]
        return subprocess.run(words, input=stdin, capture_output=True, text=True, check=check).stdout

    return run
