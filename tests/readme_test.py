#!/usr/bin/python3
"""Runs the ```console blocks of a README as a reader following it would.

Usage: readme_test.py README.md ORVEX [PACKAGE]

Every `$ ` command runs in order in one fresh directory, where
./build/tools/orvex is the tool under test and ./build/python the folder
PACKAGE that holds the Python package, and must print (standard output
and error together) the lines shown under it. Without PACKAGE (a build
without Python) the commands that use ./build/python are passed over. A command holding a heredoc
runs on to the heredoc's end marker. Timings and temporary paths vary from
run to run, so both sides are masked before they are compared.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

HEREDOC = re.compile(r"(?<!<)<<-?\s*(['\"]?)(\w+)\1")
TEMP_PATH = re.compile(re.escape(tempfile.gettempdir()) + r"/[\w.-]+")
TIMING = re.compile(r"\b\d+\.\d+ s\b")


def commands(readme):
    """Yields (line number, command, expected lines) in README order."""
    lines = readme.splitlines()
    i, inside, current = 0, False, None
    while i < len(lines):
        line, i = lines[i], i + 1
        if not inside:
            inside = line.strip() == "```console"
            continue
        if line.startswith("```") or line.startswith("$ "):
            if current:
                yield current
            current = None
        if line.startswith("```"):
            inside = False
        elif line.startswith("$ "):
            text = [line[2:]]
            for marker in (m.group(2) for m in HEREDOC.finditer(line)):
                while i < len(lines) and lines[i - 1].lstrip("\t") != marker:  # <<- allows tabs
                    text.append(lines[i])
                    i += 1
            current = (i - len(text) + 1, "\n".join(text), [])
        elif current is None:
            sys.exit(f"README line {i}: output shown before any command")
        else:
            current[2].append(line)


def masked(lines):
    return [TIMING.sub("N s", TEMP_PATH.sub("TEMP", line)) for line in lines]


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    readme, tool = sys.argv[1], os.path.abspath(sys.argv[2])
    package = os.path.abspath(sys.argv[3]) if len(sys.argv) == 4 else None
    with open(readme, encoding="utf-8") as f:
        text = f.read()
    directory = tempfile.mkdtemp(prefix="orvex-readme-")
    os.makedirs(os.path.join(directory, "build", "tools"))
    os.symlink(tool, os.path.join(directory, "build", "tools", "orvex"))
    if package:
        os.symlink(package, os.path.join(directory, "build", "python"))
    environment = dict(os.environ, LC_ALL="C.UTF-8")
    count = skipped = 0
    for number, command, expected in commands(text):
        if not package and "build/python" in command:
            skipped += 1
            continue
        run = subprocess.run(["bash", "-c", command], cwd=directory, env=environment, timeout=300,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        actual = run.stdout.decode("utf-8", "replace").splitlines()
        if masked(actual) != masked(expected):
            print(f"{readme}:{number}: $ {command}\n--- the README shows:", *expected,
                  f"--- it printed (exit status {run.returncode}):", *actual,
                  f"--- its directory is kept: {directory}", sep="\n")
            return 1
        count += 1
    shutil.rmtree(directory)
    print(f"{count} commands printed what {readme} shows" +
          (f"; {skipped} that need the Python package were passed over" if skipped else ""))
    return 0 if count else 1


if __name__ == "__main__":
    sys.exit(main())
