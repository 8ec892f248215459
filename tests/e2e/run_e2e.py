#!/usr/bin/env python3
"""Runs one end-to-end scenario of scenarios.txt: Quindle.exe beside stand-in taskbars
under Wine in the test run's Xvfb display, with real X input from xdotool. With --legend,
prints the actions a scenario may take, and what it sees that is checked only where named.
"""
import argparse
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import textwrap
import time

from harness.session import BARS, Session, click_marker, pointer_to, read_log, wait_for, windows_path
from harness.registry import APPROVED_KEY, ENABLED_APPROVAL, RUN_KEY
from harness.wine import read_env_file, reg, set_build

HERE = pathlib.Path(__file__).resolve().parent
LPARAMS = {"up": "0x000A0000", "down": "0x00090000", "mute": "0x00080000"}
ICON_REQUESTS = {"0": "add", "1": "modify", "2": "delete"}  # NIM_ codes
SEEN = [  # what a scenario line may name as seen, whether it is checked only where named, and what it lists
    ("BAR", False, "the commands that stand-in received, in order"),
    ("middle", False, "the middle presses and releases that reached the bars, BAR-down and BAR-up, in BARS' order"),
    ("wheel", True, "the bars that wheel turns reached, in the same order"),
    ("icon", True, "the tray icon requests accepted: add, modify, delete"),
    ("exit", False, "Quindle's exit code; where not named, it must still run"),
    ("foreign", False, "open: the other program's window got no WM_CLOSE"),
    ("about", False, "opened: the project page was launched"),
    ("run", False, "the Run value: quoted or bare when it is this program's path so"),
    ("ini", False, "the Administrator values in the folder's setting.ini"),
    ("beside", False, "the Administrator values in the installed copy's setting.ini"),
    ("system32", False, "written: there is a setting.ini in system32"),
    ("checks", False, "the checked items of each look, in order (none: no check mark)"),
    ("icons", False, "the items of each look with an icon beside them"),
    ("footprint", False, "steady: the last footprint is within the runner's tolerance of the first"),
    ("approval", False, "this program's approval value (enabled: as Task Manager enables it)"),
    ("other-approvals", False, "other programs' approval values that changed: never"),
    ("older", False, "the older version's Run value left (this, copy), and approval if its approval value is"),
    ("late", False, "in-time: the late shell's adds a retry apart, one accepted in time, and nothing after it"),
]
CORE_BARS = ("task", "rebar", "tray")  # the others start where a scenario names them


def expand(words):
    """'up*3' -> ['up', 'up', 'up']"""
    return [name for word in words for name, _, count in [word.partition("*")] for _ in range(int(count or 1))]


def bars_of(actions):
    return [alias for alias in BARS if alias in CORE_BARS or any(action.endswith(":" + alias) for action in actions)]


def load_scenario(name):
    for line in (HERE / "scenarios.txt").read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            cells = [cell.strip() for cell in line.split("|")]
            if cells[0] == name:
                unknown = [action for action in cells[2].split() if re.split("[:*]", action)[0] not in ACTION]
                if unknown:
                    raise SystemExit(f"unknown action {' '.join(unknown)}")
                expected = {bar: [] for bar in bars_of(cells[2].split())}
                for part in cells[3].split(";"):
                    key, _, values = part.partition(":")
                    if key.strip() not in {*BARS, *(seen for seen, _, _ in SEEN), "-"}:
                        raise SystemExit(f"unknown seen key {key.strip()}")
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


# Approval values without a Run value of this program, which nothing may touch: another program's, disabled,
# and an older version's, enabled.
OTHER_APPROVALS = {"Other Program": "03000000" + "40C3D1AA7B4BDB01", "Quindle V1.23": ENABLED_APPROVAL}
OLDER = "Quindle V1.22"  # an older version's Run value


def approval_form(first):
    """An approval value as Task Manager writes it: the flag, then zeros or, when disabled, a time."""
    return first + "000000" + ("40C3D1AA7B4BDB01" if int(first, 16) & 1 else "00" * 8)


def read_value(env, key, name, kind="REG_SZ"):
    """The data of a registry value as reg.exe shows it (bytes in upper-case hex), or None where there is none."""
    done = reg(env, "query", key, "/v", name)
    match = re.search(rf"{kind}\s+(.*)", done.stdout)
    assert match or "Unable to find" in done.stdout, f"reg query {name}: {done.returncode} {done.stdout} {done.stderr}"
    return match.group(1).rstrip("\r") if match else None


# The late shell's tray (--late): the program asks again this often, and a loaded
# machine may deliver a timer tick this much later.
ICON_RETRY_SECONDS, SLACK_SECONDS = 3.0, 2.0
INSTALLED = r"C:\Program Files\Quindle"  # a folder with a space in its name, as an installer picks
SYSTEM32 = r"C:\windows\system32"  # the current directory of a start from the Run key


def values_in(ini):
    """The Administrator values of a setting.ini."""
    return re.findall(r"Administrator=(.*?)\r?$", ini.read_text(), re.M) if ini.exists() else []


def write_ini(folder, value):
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "setting.ini").write_text(f"[setting]\r\nAdministrator={value}\r\n")


# How far the footprint may move over a soak: a few handles or GDI objects that the
# system caches, no window, and half a megabyte of private memory. A leak in any of
# the 1,200 commands would show in hundreds.
TOLERANCE = {"threads": 0, "handles": 4, "gdi": 16, "user": 0, "private": 512 * 1024}


def steady(footprints):
    if len(footprints) < 2:
        return []
    for footprint_seen in footprints:
        print("footprint", " ".join(f"{key} {value}" for key, value in footprint_seen.items()))
    first, last = footprints[0], footprints[-1]
    grown = [f"{key} {first[key]} -> {last[key]}" for key in TOLERANCE if last[key] - first[key] > TOLERANCE[key]]
    return ["steady"] if not grown else ["grew: " + ", ".join(grown)]


class Scenario(Session):
    """A scenario's session: the stand-ins' logs, the bar under the pointer, the running copy of
    Quindle, and what the actions saw. The actions are its methods (self, argument, count)."""

    def __init__(self, env, bindir, workdir, run_value):
        super().__init__(env, bindir, workdir)
        self.run_value, self.current, self.footprints, self.late = run_value, None, [], []
        self.looks = {"checks": [], "icons": []}

    def start(self, program=None, env=None, directory=None):
        """Starts Quindle.exe, or the copy at the Windows path program, and notes its threads."""
        self.program = program or windows_path(self.bindir / "Quindle.exe")
        self.launcher = self.start_quindle(self.program, env, directory)
        self.started = time.monotonic()
        self.threads = self.footprint(self.launcher.windows_pid)["threads"]

    def exit(self, how=None):
        if how == "killed":  # as Task Manager ends it, with no word to the program
            os.killpg(self.launcher.pid, signal.SIGKILL)
        else:
            self.testkit("menu", "exit")
        wait_for(lambda: self.launcher.poll() is not None, "Quindle to exit")

    def second(self, *_):
        launcher = self.wine(self.bindir / "testkit.exe", "launch", self.program, windows_path(self.workdir),
                             stdout=subprocess.PIPE, text=True)
        said = launcher.stdout.readline().strip()
        assert said == "exit 0", f"a second copy ran beside the first, or failed: {said}"

    def older(self, how, _):
        whose, _, first = how.partition(":")
        program = self.program if whose == "this" else r"C:\Other\Quindle.exe"
        reg(self.env, "add", RUN_KEY, "/v", OLDER, "/d", f'"{program}"', "/f")
        reg(self.env, "add", APPROVED_KEY, "/v", OLDER, "/t", "REG_BINARY", "/d", approval_form(first or "02"), "/f")

    def settle(self):
        """Once the marker click is in, every command that the actions so far caused is in."""
        if self.current:
            click_marker(self, self.logs[self.current])

    def in_prefix(self, folder):
        """A folder of the prefix's drive C:, given as a Windows path."""
        return pathlib.Path(self.env["WINEPREFIX"]) / "drive_c" / folder.removeprefix("C:\\").replace("\\", "/")

    def copy_to(self, folder):
        """Quindle.exe copied into a folder of the prefix (a Windows path); returns the copy's path."""
        self.in_prefix(folder).mkdir(parents=True, exist_ok=True)
        shutil.copy(self.bindir / "Quindle.exe", self.in_prefix(folder) / "Quindle.exe")
        return folder + r"\Quindle.exe"

    def add_value(self, key, *data):
        """This program's value, named as Quindle names it, in that key."""
        reg(self.env, "add", key, "/v", self.run_value, *data, "/f")

    def over(self, bar, _):
        self.settle()
        self.current = bar
        pointer_to(self, bar)

    def recreate(self, bar, _):
        self.settle()  # all that went before is in
        self.end_bar(bar)
        self.start_bar(bar, BARS[bar][0], keep_log=True)

    def look(self, *_):
        lines = dict(line.partition(" ")[::2] for line in self.testkit("look").splitlines())
        for key in ("checks", "icons"):
            self.looks[key].append("+".join(lines[key].split()) or "none")

    def eat(self, what, _):
        eater = self.wine(self.bindir / "testkit.exe", "eat", what, stdout=subprocess.PIPE, text=True)
        assert eater.stdout.readline().strip() == "ready", "the eater did not start"

    def foreign(self, title, _):
        log = self.workdir / "foreign.log"
        log.unlink(missing_ok=True)
        self.wine(self.bindir / "testkit.exe", "window", title, windows_path(log))
        wait_for(lambda: "ready" in read_log(log), "the foreign window")

    def alt_f4(self, *_):  # real keys, to the window in front
        self.run("xdotool", "key", "alt+F4")
        self.testkit("send", "0", "0")  # Quindle takes messages again

    def restart(self, how, _):
        self.exit(how)
        if how == "no-imaging":  # no imaging component can be created
            self.start(env={"WINEDLLOVERRIDES": self.env["WINEDLLOVERRIDES"] + ";windowscodecs=d"})
        elif how == "sign-in":  # as the shell starts the Run key's programs: in system32
            self.start(self.copy_to(INSTALLED), directory=SYSTEM32)
        elif how == "installed":
            self.start(self.copy_to(INSTALLED))
        elif how.startswith("deep"):  # deepN: in a folder whose name makes the copy's full path N units long
            length = int(how.removeprefix("deep"))
            program = self.copy_to("C:\\" + "d" * (length - len("C:\\") - len("\\Quindle.exe")))
            assert len(program) == length
            self.start(program)
        else:
            self.start()

    def late_start(self, milliseconds, _):
        """Starts Quindle anew beside a tray stand-in that refuses icons for its first
        milliseconds: in-time when the adds came a retry apart, the last accepted within a retry
        of the refusals' end, and no request followed it within another."""
        self.exit()
        self.end_bar("tray")
        start = len(read_log(self.logs["tray"]))
        self.start_bar("tray", BARS["tray"][0], keep_log=True, extra=["--late", milliseconds])
        self.start()
        requests = lambda: [line.split() for line in read_log(self.logs["tray"])[start + 1:]]  # noqa: E731
        limit = int(milliseconds) + (ICON_RETRY_SECONDS + SLACK_SECONDS) * 1000
        wait_for(lambda: ["tray", "0"] in [words[:2] for words in requests()], "the icon", limit / 1000 + 5)
        seen = len(requests())
        try:
            wait_for(lambda: len(requests()) > seen, "", ICON_RETRY_SECONDS + SLACK_SECONDS)
            self.late.append("more: " + "; ".join(" ".join(words) for words in requests()[seen:]))
            return
        except AssertionError:  # none, as it should be
            pass
        adds = [int(words[2][2:]) for words in requests() if words[1] == "0"]  # refused, then the accepted one
        steps = [later - earlier for earlier, later in zip(adds, adds[1:])]
        in_time = len(adds) > 1 and adds[-1] <= limit and max(steps) <= (ICON_RETRY_SECONDS + SLACK_SECONDS) * 1000
        self.late.append("in-time" if in_time else f"adds at {adds} ms")

    def await_watchdog(self, *_):
        """Moves the pointer a little and turns the wheel once, over and over, until a notch gives a
        command: the watchdog has put the hook back. The refresh timer's first tick, a minute
        after start, would do the same, so it must happen before."""
        x, y, width, height = BARS[self.current][1]
        log = self.logs[self.current]
        before, step = len(commands(log)), 0
        while len(commands(log)) == before:
            assert time.monotonic() < self.started + 55, "the watchdog did not put the hook back"
            step += 1
            self.run("xdotool", "mousemove", x + width // 4 + abs(step % 100 - 50), y + height // 2)  # to and fro
            self.run("xdotool", "click", 4)
            click_marker(self, log)


ARG, N = object(), object()  # in kit(): the action's argument and its count


def kit(*words):
    return lambda s, a, n: s.testkit(*(a if word is ARG else n if word is N else word for word in words), times=n)


def click(*words):  # xdotool's words for one input, given N times
    return lambda s, a, n: [s.run("xdotool", *words) for _ in range(n)]


def wheel(button):
    return lambda s, a, n: s.run("xdotool", "click", "--repeat", n, "--delay", 0, button)


ACTIONS = [  # as a scenario writes it (*N: N times), the handler (scenario, argument, count), what it does
    ("over:BAR", Scenario.over, "the pointer to the middle of that stand-in"),
    ("up*N", wheel(4), "wheel notches up"),
    ("down*N", wheel(5), "wheel notches down"),
    ("middle*N", click("click", "2"), "a middle click"),
    ("middle-down", click("mousedown", "2"), "the middle button pressed"),
    ("middle-up", click("mouseup", "2"), "the middle button released"),
    ("left*N", click("click", "1"), "a left click"),
    ("right*N", click("click", "3"), "a right click"),
    ("hleft*N", click("click", "6"), "the horizontal wheel, to the left"),
    ("hright*N", click("click", "7"), "the horizontal wheel, to the right"),
    ("inject-middle:EXTRA", kit("middle-press", ARG), "a middle press sent with SendInput, dwExtraInfo EXTRA"),
    ("menu:ITEM", kit("menu", ARG), "the tray menu opened as the shell does and ITEM chosen with the keyboard: "
     "autostart, admin, pause, rehook, about or exit, or dismiss to close it"),
    ("pause*N", kit("menu", "pause", N), "the menu's pause N times (it shows no notice)"),
    ("rehook*N", kit("rehooks", N), "the menu's re-hook N times, each notice closed with its close button"),
    ("notice", kit("notice", "REHOOK"), "choose re-hook: its notice shows and closes by itself"),
    ("foreign:TITLE", Scenario.foreign, "another program's window with that title"),
    ("taskbar-created", kit("taskbar-created"), "the shell's restart broadcast"),
    ("close", kit("close"), "another program closes Quindle's hidden window"),
    ("alt-f4", Scenario.alt_f4, "Alt+F4 pressed, Quindle's hidden window in front, as right after its start"),
    ("look", Scenario.look, "the menu opened, and its check marks and icons read off the screen"),
    ("restart:HOW", Scenario.restart, "Exit, then start again in the same folder; restart:deepN a copy whose "
     r"full path is N units long, restart:no-imaging where no imaging component can be created, restart:installed"
     r" a copy in C:\Program Files\Quindle started in the folder, restart:sign-in that copy started as the shell "
     r"starts the Run key's programs, in C:\windows\system32; restart:killed ends it as Task Manager does, "
     "then starts it"),
    ("write-ini:V", lambda s, a, n: write_ini(s.workdir, a), "Administrator=V in the folder's setting.ini"),
    ("write-beside:V", lambda s, a, n: write_ini(s.in_prefix(INSTALLED), a), "the same in the installed copy's"),
    ("run-bare", lambda s, a, n: s.add_value(RUN_KEY, "/d", s.program), "this path, unquoted, as the Run value"),
    ("older:WHOSE[:XX]", Scenario.older, f"an older version's Run value, {OLDER}, that starts this program (this) "
     "or another copy (copy), with its approval value as approval:XX writes it (02 when not given)"),
    ("footprint", lambda s, a, n: s.footprints.append(s.footprint(s.launcher.windows_pid, s.threads)),
     "Quindle's threads, handles, GDI and USER objects and private bytes, once the notice closers have ended"),
    ("recreate:BAR", Scenario.recreate, "the stand-in ended and made anew"),
    ("second", Scenario.second, "a second copy of Quindle started in the same folder, which must end at once with "
     "exit code 0 (no window, so no icon, hook, file or value)"),
    ("approval:XX", lambda s, a, n: s.add_value(APPROVED_KEY, "/t", "REG_BINARY", "/d", approval_form(a)),
     "this program's startup approval value as Task Manager writes it: first byte XX, then zeros, or a time "
     "when XX is odd, that is disabled"),
    ("late-start:MS", Scenario.late_start, "Exit, then start again beside a tray stand-in that refuses icon "
     "requests for MS milliseconds from the first, as a shell still starting"),
    ("eat:WHAT", Scenario.eat, "a hook installed after Quindle's that eats the wheel (eat:wheel), or every mouse "
     "event while the pointer still moves and clicks still arrive (eat:all): Quindle's hook as if Windows had "
     "dropped it"),
    ("resume", kit("send", "0x218", "0x12"), "the machine's resume, sent to Quindle's window"),
    ("unlock", kit("send", "0x2B1", "0x8"), "the session's unlock, sent to Quindle's window"),
    ("tick", kit("send", "0x113", "10"), "the watchdog's timer, sent to Quindle's window"),
    ("watchdog", Scenario.await_watchdog, "the pointer moved and the wheel turned once, over and over, until a "
     "notch gives a command"),
]
ACTION = {re.split("[:*]", form)[0]: handler for form, handler, _ in ACTIONS}


def play(scenario, actions):
    for step, action in enumerate(actions, 1):
        name, _, argument = action.partition(":")
        name, _, count = name.partition("*")
        try:
            ACTION[name](scenario, argument, int(count or 1))
        except AssertionError as failure:
            raise AssertionError(f"step {step}, {action}: {failure}") from None
    scenario.settle()


def middle_inputs(logs):
    """The middle presses and releases that reached each bar, as BAR-down and BAR-up."""
    kinds = {"input middle-down": "down", "input middle-up": "up"}
    return [f"{alias}-{kinds[line]}" for alias in logs for line in read_log(logs[alias]) if line in kinds]


def observe(s, expected, project_page):
    """What the scenario saw, in the terms of the table, for each key the table may name."""
    seen = {alias: commands(s.logs[alias]) for alias in s.logs}
    seen["middle"] = middle_inputs(s.logs)
    seen["wheel"] = [alias for alias in s.logs for line in read_log(s.logs[alias]) if line.startswith("input wheel")]
    run = read_value(s.env, RUN_KEY, s.run_value)
    seen["run"] = [] if run is None else ["quoted" if run == f'"{s.program}"' else "bare" if run == s.program else run]
    seen["ini"] = values_in(s.workdir / "setting.ini")
    seen["beside"] = values_in(s.in_prefix(INSTALLED) / "setting.ini")
    # The program never deletes the file: one written at any point is still there.
    seen["system32"] = ["written"] if (s.in_prefix(SYSTEM32) / "setting.ini").exists() else []
    approval = read_value(s.env, APPROVED_KEY, s.run_value, "REG_BINARY")
    seen["approval"] = [] if approval is None else ["enabled" if approval == ENABLED_APPROVAL else approval]
    older = read_value(s.env, RUN_KEY, OLDER)
    seen["older"] = ([] if older is None else ["this" if older == f'"{s.program}"' else "copy"]) + (
        ["approval"] if read_value(s.env, APPROVED_KEY, OLDER, "REG_BINARY") else [])
    others = {name: read_value(s.env, APPROVED_KEY, name, "REG_BINARY") for name in OTHER_APPROVALS}
    seen["other-approvals"] = [f"{name}: {data}" for name, data in others.items() if data != OTHER_APPROVALS[name]]
    seen["late"] = s.late
    seen.update(s.looks)
    seen["footprint"] = steady(s.footprints)
    seen["icon"] = [ICON_REQUESTS[line.split()[1]] for line in read_log(s.logs["tray"]) if line.startswith("tray ")]
    if "exit" in expected:
        wait_for(lambda: s.launcher.poll() is not None, "Quindle to exit")
    seen["exit"] = [] if s.launcher.poll() is None else [s.launcher.stdout.read().split()[-1]]
    foreign = read_log(s.workdir / "foreign.log")
    seen["foreign"] = ["open"] if "ready" in foreign and "close" not in foreign else []
    record = s.workdir / "about.txt"
    if "about" in expected:
        wait_for(lambda: project_page in read_log(record), "the project page to be opened")
    seen["about"] = ["opened"] if project_page in read_log(record) else []
    return seen


def main():
    if sys.argv[1:] == ["--legend"]:
        rows = [(form, text) for form, _, text in ACTIONS] + [("", ""), ("seen:", "what a line may name")] + [
            (key, text + (", checked only where named" if only else "")) for key, only, text in SEEN]
        width = max(len(form) for form, _ in rows) + 2
        return print("\n".join(textwrap.fill(text, 100, initial_indent=form.ljust(width), subsequent_indent=" " * width)
                                for form, text in rows))
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("scenario")
    parser.add_argument("--testenv", required=True)
    parser.add_argument("--bin", required=True)
    parser.add_argument("--project-page", required=True)
    parser.add_argument("--version", required=True, help="the program's version, as in its Run value's name")
    options = parser.parse_args()

    try:
        build, actions, expected = load_scenario(options.scenario)
        workdir = pathlib.Path(options.testenv) / "e2e" / options.scenario
        workdir.mkdir(parents=True, exist_ok=True)
        with Scenario(read_env_file(pathlib.Path(options.testenv) / "env"), options.bin, workdir,
                      f"Quindle V{options.version}") as s:
            set_build(s.env, build)
            (workdir / "about.txt").unlink(missing_ok=True)
            for folder in (workdir, s.in_prefix(INSTALLED), s.in_prefix(SYSTEM32)):
                (folder / "setting.ini").unlink(missing_ok=True)
            for key, name in [(key, name) for key in (RUN_KEY, APPROVED_KEY) for name in (s.run_value, OLDER)]:
                reg(s.env, "delete", key, "/v", name, "/f")
            for name, data in OTHER_APPROVALS.items():
                reg(s.env, "add", APPROVED_KEY, "/v", name, "/t", "REG_BINARY", "/d", data, "/f")
            if "menu:about" in actions:  # testkit as the prefix's https handler, writing each address it gets
                record = windows_path(workdir / "about.txt")
                command = f'"{windows_path(s.bindir / "testkit.exe")}" record {record} "%1"'
                reg(s.env, "add", r"HKCR\https\shell\open\command", "/ve", "/d", command, "/f")
            s.logs = {alias: s.start_bar(alias, BARS[alias][0]) for alias in bars_of(actions)}
            s.start()
            play(s, actions)
            seen = observe(s, expected, options.project_page)
            checked = [(key, only) for pattern, only, _ in SEEN for key in (s.logs if pattern == "BAR" else [pattern])]
            failures = [f"{key}: expected {expected.get(key, [])}, saw {seen[key]}" for key, only in checked
                        if seen[key] != expected.get(key, []) and (not only or key in expected)]
            if failures:
                raise AssertionError("after the last step, " + "; ".join(failures))
    except AssertionError as failure:  # the scenario failed; another error is the harness's, with its traceback
        sys.exit(f"{options.scenario}: {failure}")
    print(f"{options.scenario}: passed")


if __name__ == "__main__":
    main()
