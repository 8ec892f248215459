#!/usr/bin/env python3
"""Runs one end-to-end scenario of scenarios.txt: Quindle.exe beside stand-in taskbars
under Wine in the test run's Xvfb display, with real X input from xdotool.

After the actions at each pointer position, a marker click shows that all the
commands they caused have arrived (see click_marker).
"""
import argparse
import pathlib
import re
import shutil
import subprocess
import time

from harness.session import BARS, Session, click_marker, pointer_to, read_log, wait_for, windows_path
from harness.wine import read_env_file, reg, set_build

HERE = pathlib.Path(__file__).resolve().parent

LPARAMS = {"up": "0x000A0000", "down": "0x00090000", "mute": "0x00080000"}
ICON_REQUESTS = {"0": "add", "1": "modify", "2": "delete"}  # NIM_ codes
# Messages posted to Quindle's window: the machine resumed, the session unlocked, the watchdog's timer.
POSTED = {"resume": ("0x218", "0x12"), "unlock": ("0x2B1", "0x8"), "tick": ("0x113", "10")}
CLICKS = {"middle": ["click", "2"], "middle-down": ["mousedown", "2"], "middle-up": ["mouseup", "2"],
          "left": ["click", "1"], "right": ["click", "3"], "hleft": ["click", "6"], "hright": ["click", "7"]}


def expand(words):
    """'up*3' -> ['up', 'up', 'up']"""
    result = []
    for word in words:
        name, _, count = word.partition("*")
        result += [name] * int(count or 1)
    return result


CORE_BARS = ("task", "rebar", "tray")  # the others start where a scenario names them


def bars_of(actions):
    return [alias for alias in BARS if alias in CORE_BARS or any(action.endswith(":" + alias) for action in actions)]


def load_scenario(name):
    for line in (HERE / "scenarios.txt").read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            cells = [cell.strip() for cell in line.split("|")]
            if cells[0] == name:
                expected = {bar: [] for bar in bars_of(cells[2].split())}
                for part in cells[3].split(";"):
                    key, _, values = part.partition(":")
                    if key.strip() != "-":
                        expected[key.strip()] = expand(values.split())
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


RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
RUN_VALUE = "Quindle V1.24"


def read_run_value(session):
    result = reg(session.env, "query", RUN_KEY, "/v", RUN_VALUE)
    match = re.search(r"REG_SZ\s+(.*)", result.stdout)
    return match.group(1).rstrip("\r") if match else None


APPROVED_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\StartupApproved\Run"
ENABLED = "02" + "00" * 11  # what Task Manager writes on enable
# Another program's approval values, disabled and enabled, which nothing may touch.
OTHER_APPROVALS = {"Other Program": "03000000" + "40C3D1AA7B4BDB01", "Quindle V1.23": ENABLED}


def approval_form(first):
    """An approval value as Task Manager writes it: the flag, then zeros or, when disabled, a time."""
    return first + "000000" + ("40C3D1AA7B4BDB01" if int(first, 16) & 1 else "00" * 8)


def read_approval(session, name=RUN_VALUE):
    result = reg(session.env, "query", APPROVED_KEY, "/v", name)
    match = re.search(r"REG_BINARY\s+([0-9A-Fa-f]*)", result.stdout)
    return match.group(1).upper() if match else None


# The late shell's tray (--late): the program asks again this often, and a loaded
# machine may deliver a timer tick this much later.
ICON_RETRY_SECONDS, SLACK_SECONDS = 3.0, 2.0


def late_start(session, logs, quindle, milliseconds):
    """Starts Quindle anew beside a tray stand-in that refuses icons for its first
    milliseconds: in-time when the adds came a retry apart, the last accepted within a retry
    of the refusals' end, and no request followed it within another."""
    session.testkit("menu", "exit")
    wait_for(lambda: quindle.launcher.poll() is not None, "Quindle to exit")
    session.end_bar("tray")
    start = len(read_log(logs["tray"]))
    session.start_bar("tray", BARS["tray"][0], keep_log=True, extra=["--late", milliseconds])
    quindle.start()
    requests = lambda: [line.split() for line in read_log(logs["tray"])[start + 1:]]  # noqa: E731
    limit = int(milliseconds) + (ICON_RETRY_SECONDS + SLACK_SECONDS) * 1000
    wait_for(lambda: ["tray", "0"] in [words[:2] for words in requests()], "the icon", limit / 1000 + 5)
    seen = len(requests())
    try:
        wait_for(lambda: len(requests()) > seen, "", ICON_RETRY_SECONDS + SLACK_SECONDS)
        return ["more: " + "; ".join(" ".join(words) for words in requests()[seen:])]
    except AssertionError:  # none, as it should be
        pass
    adds = [int(words[2][2:]) for words in requests() if words[1] == "0"]  # refused, then the accepted one
    steps = [later - earlier for earlier, later in zip(adds, adds[1:])]
    in_time = len(adds) > 1 and adds[-1] <= limit and max(steps) <= (ICON_RETRY_SECONDS + SLACK_SECONDS) * 1000
    return ["in-time"] if in_time else [f"adds at {adds} ms"]


def deep_copy(session, length):
    """Quindle.exe copied into a folder of the prefix so that its full path has length units."""
    folder = "d" * (length - len("C:\\") - len("\\Quindle.exe"))
    target = pathlib.Path(session.env["WINEPREFIX"]) / "drive_c" / folder
    target.mkdir(exist_ok=True)
    shutil.copy(session.bindir / "Quindle.exe", target / "Quindle.exe")
    program = f"C:\\{folder}\\Quindle.exe"
    assert len(program) == length
    return program


def in_prefix(session, folder):
    """A folder of the prefix's drive C:, given as a Windows path."""
    return pathlib.Path(session.env["WINEPREFIX"]) / "drive_c" / folder.removeprefix("C:\\").replace("\\", "/")


INSTALLED = r"C:\Program Files\Quindle"  # a folder with a space in its name, as an installer picks
SYSTEM32 = r"C:\windows\system32"  # the current directory of a start from the Run key


def installed_copy(session):
    """Quindle.exe copied into the installed folder."""
    in_prefix(session, INSTALLED).mkdir(parents=True, exist_ok=True)
    shutil.copy(session.bindir / "Quindle.exe", in_prefix(session, INSTALLED) / "Quindle.exe")
    return INSTALLED + r"\Quindle.exe"


def values_in(ini):
    """The Administrator values of a setting.ini."""
    return re.findall(r"Administrator=(.*?)\r?$", ini.read_text(), re.M) if ini.exists() else []


class Quindle:
    """The running copy of the program: its launcher and its path."""

    def __init__(self, session):
        self.session = session
        self.others = []  # further instances
        self.start()

    def start(self, program=None, env=None, directory=None):
        self.program = program or windows_path(self.session.bindir / "Quindle.exe")
        self.launcher = self.session.start_quindle(self.program, env, directory)
        self.started = time.monotonic()
        self.threads = self.session.footprint(self.launcher.windows_pid)["threads"]


# How far the footprint may move over a soak: a few handles or GDI objects that the
# system caches, no window, and half a megabyte of private memory. A leak in any of
# the 1,200 commands would show in hundreds.
TOLERANCE = {"threads": 0, "handles": 4, "gdi": 16, "user": 0, "private": 512 * 1024}


def footprint(session, quindle):
    """Quindle's footprint, once the notice closers have ended: as many threads as at its start."""
    return session.footprint(quindle.launcher.windows_pid, quindle.threads)


def steady(footprints):
    if len(footprints) < 2:
        return []
    for footprint_seen in footprints:
        print("footprint", " ".join(f"{key} {value}" for key, value in footprint_seen.items()))
    first, last = footprints[0], footprints[-1]
    grown = [f"{key} {first[key]} -> {last[key]}" for key in TOLERANCE if last[key] - first[key] > TOLERANCE[key]]
    return ["steady"] if not grown else ["grew: " + ", ".join(grown)]


def await_watchdog(session, logs, alias, quindle):
    """Moves the pointer a little and turns the wheel once, over and over, until a notch gives a
    command: the watchdog has put the hook back. The refresh timer's first tick, a minute
    after start, would do the same, so it must happen before."""
    x, y, width, height = BARS[alias][1]
    before, step = len(commands(logs[alias])), 0
    while len(commands(logs[alias])) == before:
        assert time.monotonic() < quindle.started + 55, "the watchdog did not put the hook back"
        step += 1
        session.run("xdotool", "mousemove", x + width // 4 + abs(step % 100 - 50), y + height // 2)  # to and fro
        session.run("xdotool", "click", 4)
        click_marker(session, logs[alias])


def play(session, actions, logs, quindle, looks, footprints, late):
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
            session.run("xdotool", "click", "--repeat", count, "--delay", 0, 4 if name == "up" else 5)
        elif name in CLICKS:
            for _ in range(count):
                session.run("xdotool", *CLICKS[name])
        elif name == "inject-middle":
            session.testkit("middle-press", argument)
        elif name == "menu":
            session.testkit("menu", argument)
        elif name == "pause":
            session.testkit("menu", "pause", count)
        elif name == "rehook":
            session.testkit("rehooks", count)
        elif name == "eat":
            eater = session.wine(session.bindir / "testkit.exe", "eat", argument, stdout=subprocess.PIPE, text=True)
            assert eater.stdout.readline().strip() == "ready", "the eater did not start"
        elif name in POSTED:
            session.testkit("post", *POSTED[name])
        elif name == "watchdog":
            await_watchdog(session, logs, current, quindle)
        elif name == "footprint":
            footprints.append(footprint(session, quindle))
        elif name == "recreate":
            if current:
                click_marker(session, logs[current])  # all that went before is in
            session.end_bar(argument)
            session.start_bar(argument, BARS[argument][0], keep_log=True)
        elif name == "second":
            quindle.others.append(session.start_quindle())
        elif name == "look":
            lines = dict(line.partition(" ")[::2] for line in session.testkit("look").splitlines())
            looks["checks"].append("+".join(lines["checks"].split()) or "none")
            looks["icons"].append("+".join(lines["icons"].split()) or "none")
        elif name == "restart":
            session.testkit("menu", "exit")
            wait_for(lambda: quindle.launcher.poll() is not None, "Quindle to exit")
            if argument == "no-imaging":  # no imaging component can be created
                quindle.start(env={"WINEDLLOVERRIDES": session.env["WINEDLLOVERRIDES"] + ";windowscodecs=d"})
            elif argument == "sign-in":  # as the shell starts the Run key's programs: in system32
                quindle.start(installed_copy(session), directory=SYSTEM32)
            elif argument == "installed":
                quindle.start(installed_copy(session))
            else:
                quindle.start(deep_copy(session, int(argument.removeprefix("deep"))) if argument else None)
        elif name in ("write-ini", "write-beside"):
            folder = session.workdir if name == "write-ini" else in_prefix(session, INSTALLED)
            folder.mkdir(parents=True, exist_ok=True)
            (folder / "setting.ini").write_text(f"[setting]\r\nAdministrator={argument}\r\n")
        elif name == "approval":
            reg(session.env, "add", APPROVED_KEY, "/v", RUN_VALUE, "/t", "REG_BINARY", "/d", approval_form(argument),
                "/f")
        elif name == "late-start":
            late += late_start(session, logs, quindle, argument)
        elif name == "run-bare":
            reg(session.env, "add", RUN_KEY, "/v", RUN_VALUE, "/d", quindle.program, "/f")
        elif name == "notice":
            session.testkit("notice", "REHOOK")
        elif name == "taskbar-created":
            session.testkit("taskbar-created")
        elif name == "close":
            session.testkit("close")
        elif name == "alt-f4":  # real keys, to the window in front
            session.run("xdotool", "key", "alt+F4")
            session.testkit("post", "0", "0")  # the keys are in once a later message is
        elif name == "foreign":
            log = session.workdir / "foreign.log"
            log.unlink(missing_ok=True)
            session.wine(session.bindir / "testkit.exe", "window", argument, windows_path(log))
            wait_for(lambda: "ready" in read_log(log), "the foreign window")
        else:
            raise SystemExit(f"unknown action {action}")
    if current:
        click_marker(session, logs[current])


def middle_inputs(logs):
    """The middle presses and releases that reached each bar, as BAR-down and BAR-up."""
    kinds = {"input middle-down": "down", "input middle-up": "up"}
    return [f"{alias}-{kinds[line]}" for alias in logs for line in read_log(logs[alias]) if line in kinds]


def register_url_recorder(session, record):
    """Makes testkit the prefix's https handler, writing each address it is given to record."""
    command = f'"{windows_path(session.bindir / "testkit.exe")}" record {windows_path(record)} "%1"'
    reg(session.env, "add", r"HKCR\https\shell\open\command", "/ve", "/d", command, "/f")


def observe(session, logs, quindle, looks, footprints, late, expected, project_page):
    """What the scenario saw, in the terms of the table, for each key the table may name."""
    launcher = quindle.launcher
    seen = {alias: commands(logs[alias]) for alias in logs}
    seen["middle"] = middle_inputs(logs)
    seen["wheel"] = [alias for alias in logs for line in read_log(logs[alias]) if line.startswith("input wheel")]
    run = read_run_value(session)
    seen["run"] = [] if run is None else ["quoted" if run == f'"{quindle.program}"' else
                                          "bare" if run == quindle.program else run]
    seen["ini"] = values_in(session.workdir / "setting.ini")
    seen["beside"] = values_in(in_prefix(session, INSTALLED) / "setting.ini")
    # The program never deletes the file: one written at any point is still there.
    seen["system32"] = ["written"] if (in_prefix(session, SYSTEM32) / "setting.ini").exists() else []
    approval = read_approval(session)
    seen["approval"] = [] if approval is None else ["enabled" if approval == ENABLED else approval]
    seen["other-approvals"] = [name for name, data in OTHER_APPROVALS.items() if read_approval(session, name) != data]
    seen["late"] = late
    seen.update(looks)
    seen["footprint"] = steady(footprints)
    seen["icon"] = [ICON_REQUESTS[line.split()[1]] for line in read_log(logs["tray"]) if line.startswith("tray ")]
    if "exit" in expected:
        wait_for(lambda: launcher.poll() is not None, "Quindle to exit")
    seen["exit"] = [] if launcher.poll() is None else [launcher.stdout.read().split()[-1]]
    foreign = session.workdir / "foreign.log"
    seen["foreign"] = ["open"] if "ready" in read_log(foreign) and "close" not in read_log(foreign) else []
    record = session.workdir / "about.txt"
    if "about" in expected:
        wait_for(lambda: project_page in read_log(record), "the project page to be opened")
    seen["about"] = ["opened"] if project_page in read_log(record) else []
    return seen


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("scenario")
    parser.add_argument("--testenv", required=True)
    parser.add_argument("--bin", required=True)
    parser.add_argument("--project-page", required=True)
    options = parser.parse_args()

    build, actions, expected = load_scenario(options.scenario)
    workdir = pathlib.Path(options.testenv) / "e2e" / options.scenario
    workdir.mkdir(parents=True, exist_ok=True)
    session = Session(read_env_file(pathlib.Path(options.testenv) / "env"), options.bin, workdir)
    try:
        set_build(session.env, build)
        (workdir / "about.txt").unlink(missing_ok=True)
        for folder in (workdir, in_prefix(session, INSTALLED), in_prefix(session, SYSTEM32)):
            (folder / "setting.ini").unlink(missing_ok=True)
        for key in (RUN_KEY, APPROVED_KEY):
            reg(session.env, "delete", key, "/v", RUN_VALUE, "/f")
        for name, data in OTHER_APPROVALS.items():
            reg(session.env, "add", APPROVED_KEY, "/v", name, "/t", "REG_BINARY", "/d", data, "/f")
        if "menu:about" in actions:
            register_url_recorder(session, workdir / "about.txt")
        logs = {alias: session.start_bar(alias, BARS[alias][0]) for alias in bars_of(actions)}
        quindle, looks, footprints, late = Quindle(session), {"checks": [], "icons": []}, [], []
        play(session, actions, logs, quindle, looks, footprints, late)
        seen = observe(session, logs, quindle, looks, footprints, late, expected, options.project_page)
        failures = [f"{key}: saw {seen[key]}, expected {expected.get(key, [])}" for key in seen
                    if seen[key] != expected.get(key, []) and (key not in ("icon", "wheel") or key in expected)]
        if failures:
            raise AssertionError("; ".join(failures))
    finally:
        session.end()
    print(f"{options.scenario}: passed")


if __name__ == "__main__":
    main()
