#!/usr/bin/env python3
"""Runs one end-to-end scenario of scenarios.txt: Quindle.exe beside stand-in taskbars
under Wine in the test run's Xvfb display, with real X input from xdotool.

After the actions at each pointer position, a marker click shows that all the
commands they caused have arrived (see click_marker).
"""
import argparse
import pathlib
import re
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent.parent / "tools"))
from wine_session import BARS, Session, click_marker, pointer_to, read_env_file, read_log  # noqa: E402

LPARAMS = {"up": "0x000A0000", "down": "0x00090000", "mute": "0x00080000"}
CLICKS = {"middle": ["click", "2"], "middle-down": ["mousedown", "2"], "middle-up": ["mouseup", "2"],
          "left": ["click", "1"], "right": ["click", "3"], "hleft": ["click", "6"], "hright": ["click", "7"]}


def expand(words):
    """'up*3' -> ['up', 'up', 'up']"""
    result = []
    for word in words:
        name, _, count = word.partition("*")
        result += [name] * int(count or 1)
    return result


def load_scenario(name):
    for line in (HERE / "scenarios.txt").read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            cells = [cell.strip() for cell in line.split("|")]
            if cells[0] == name:
                expected = {bar: [] for bar in BARS}
                for part in cells[3].split(";"):
                    bar, _, commands = part.partition(":")
                    if bar.strip() != "none":
                        expected[bar.strip()] = expand(commands.split())
                return int(cells[1]), cells[2].split(), expected
    raise SystemExit(f"no scenario named {name}")


def commands(log):
    """The commands in a stand-in's log, each checked against the exact lParam of its name."""
    result = []
    for line in read_log(log):
        match = re.match(r"command (\w+) lparam=(0x[0-9A-F]+)", line)
        if match:
            name, lparam = match.groups()
            assert LPARAMS[name] == lparam, f"{line}: lParam should be {LPARAMS[name]}"
            result.append(name)
    return result


def play(session, actions, logs):
    current = None
    for action in actions:
        name, _, argument = action.partition(":")
        name, _, count = name.partition("*")
        count = int(count or 1)
        if name == "over":
            if current:
                click_marker(session, logs[current])
            current = argument
            pointer_to(session, current)
        elif name in ("up", "down"):
            session.run("xdotool", "click", "--repeat", count, "--delay", 2, 4 if name == "up" else 5)
        elif name in CLICKS:
            for _ in range(count):
                session.run("xdotool", *CLICKS[name])
        elif name == "inject-middle":
            session.run("wine", session.bindir / "testkit.exe", "middle-press", argument)
        else:
            raise SystemExit(f"unknown action {action}")
    if current:
        click_marker(session, logs[current])


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("scenario")
    parser.add_argument("--testenv", required=True)
    parser.add_argument("--bin", required=True)
    options = parser.parse_args()

    build, actions, expected = load_scenario(options.scenario)
    workdir = pathlib.Path(options.testenv) / "e2e" / options.scenario
    workdir.mkdir(parents=True, exist_ok=True)
    session = Session(read_env_file(pathlib.Path(options.testenv) / "env"), options.bin, workdir)
    try:
        session.set_build(build)
        logs = {alias: session.start_bar(alias, BARS[alias][0]) for alias in BARS}
        session.start_quindle()
        play(session, actions, logs)
        failures = [f"{alias}: got {commands(logs[alias])}, expected {expected[alias]}"
                    for alias in BARS if commands(logs[alias]) != expected[alias]]
        if failures:
            raise AssertionError("; ".join(failures))
    finally:
        session.end()
    print(f"{options.scenario}: passed")


if __name__ == "__main__":
    main()
