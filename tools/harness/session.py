"""Windows programs under Wine, started and ended from Linux: the stand-in taskbars,
Quindle and testkit of one run."""
import contextlib
import os
import pathlib
import signal
import subprocess
import time

from harness.wine import QUIET, WINE, run_wine

TIMEOUT = 20.0
# Where each stand-in taskbar sits on the 1280 x 800 screen.
BARS = {  # alias: window class, rectangle
    "task": ("MSTaskListWClass", (0, 740, 420, 60)),
    "rebar": ("ReBarWindow32", (430, 740, 420, 60)),
    "tray": ("Shell_TrayWnd", (860, 740, 420, 60)),
    # Started only where a scenario names them.
    "second": ("Shell_SecondaryTrayWnd", (0, 680, 420, 60)),  # another monitor's taskbar
    "content": ("Shell_TrayWnd", (430, 680, 420, 60)),  # Windows 11's, its content in child windows
    "notify": ("Shell_TrayWnd", (860, 680, 420, 60)),  # Windows 10's, its notification area under the pointer
    "worker": ("Shell_SecondaryTrayWnd", (0, 620, 420, 60)),  # another monitor's on build 22000: a WorkerW inside
}
CHILDREN = {  # alias: its child windows' classes, each inside the one before
    "content": ["Windows.UI.Composition.DesktopWindowContentBridge", "Windows.UI.Input.InputSite.WindowClass"],
    "notify": ["TrayNotifyWnd", "SysPager", "ToolbarWindow32"],
    "worker": ["WorkerW", "MSTaskListWClass"],
}


def wait_for(condition, what, timeout=TIMEOUT):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.02)


def windows_path(path):
    """Wine's drive Z: is the Linux root."""
    return "Z:" + str(path).replace("/", "\\")


def read_log(path):
    try:
        return pathlib.Path(path).read_text().splitlines()
    except FileNotFoundError:
        return []


class Session:
    """The Wine processes one run starts, and the means to end them all; as a context, it ends them on leaving."""

    def __init__(self, env, bindir, workdir):
        self.env = {**os.environ, **env}
        self.bindir = pathlib.Path(bindir)
        self.workdir = pathlib.Path(workdir)
        self.processes = []
        self.bars = {}

    def wine(self, *args, env=None, **options):
        """Starts a Windows program in a process group of its own, so that ending it ends its children."""
        process = subprocess.Popen([*WINE, *map(str, args)], env={**self.env, **(env or {})},
                                   start_new_session=True, stdin=subprocess.DEVNULL, **options)
        self.processes.append(process)
        return process

    def run(self, *args):
        subprocess.run([str(arg) for arg in args], env=self.env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def testkit(self, *args, times=1):
        """Runs one testkit action to its end and returns what it printed; a failed action fails.
        It may take a minute, and a second more for each of its times: the soak's 1,000 pauses
        take half a minute here, so a flat limit would fail them on a machine half as fast."""
        done = run_wine(self.env, self.bindir / "testkit.exe", *args, timeout=60 + times)
        if done.returncode != 0:
            picture = self.workdir / "failed-action.png"  # the display as the action left it
            subprocess.run(["import", "-window", "root", picture], env=self.env, check=False, **QUIET)
            raise AssertionError(f"testkit {' '.join(map(str, args))}: exit {done.returncode}: "
                                 f"{done.stdout.strip()} {done.stderr}; the display then: {picture}")
        return done.stdout

    def footprint(self, pid, threads=None):
        """A process's threads, handles, GDI and USER objects, private bytes and working set;
        with threads, once it has no more than that (its notice closers have ended)."""
        if threads is not None:
            wait_for(lambda: self.footprint(pid)["threads"] <= threads, "the notice closers to end")
        words = self.testkit("footprint", pid).split()
        return {key: int(value) for key, value in zip(words[::2], words[1::2])}

    def start_bar(self, alias, class_name=None, keep_log=False, extra=()):
        """A stand-in taskbar at the place of its alias; class_name None lets it pick the build's own.
        keep_log: a bar made anew goes on writing the log of the one before; extra: more options."""
        log = self.workdir / f"{alias}.log"
        if not keep_log:
            log.unlink(missing_ok=True)
        ready = sum(line.startswith("ready") for line in read_log(log))
        arguments = ["--log", windows_path(log), "--rect", ",".join(map(str, BARS[alias][1]))]
        if class_name:
            arguments += ["--class", class_name]
        if alias in CHILDREN:
            arguments += ["--children", "/".join(CHILDREN[alias])]
        arguments += list(extra)
        self.bars[alias] = self.wine(self.bindir / "standin-taskbar.exe", *arguments)
        wait_for(lambda: sum(line.startswith("ready") for line in read_log(log)) > ready, f"stand-in {alias}")
        return log

    def end_bar(self, alias):
        """Ends a stand-in taskbar's process, as a crashing or restarting shell would."""
        process = self.bars.pop(alias)
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()

    def start_quindle(self, program=None, env=None, directory=None):
        """Starts Quindle.exe (or the copy at the Windows path program) in the work folder (or the
        Windows path directory) and returns once its start-up is over."""
        program = program or windows_path(self.bindir / "Quindle.exe")
        directory = directory or windows_path(self.workdir)
        launcher = self.wine(self.bindir / "testkit.exe", "launch", program, directory, env=env,
                             stdout=subprocess.PIPE, text=True)
        line = launcher.stdout.readline()
        if not line.startswith("ready"):
            with contextlib.suppress(subprocess.TimeoutExpired):
                launcher.wait(5)  # what became of the launcher tells more than its silence
            raise AssertionError(f"Quindle did not start: {line!r}; the launcher's exit: {launcher.poll()}")
        launcher.windows_pid = int(line.split()[1])
        return launcher

    def end(self):
        for process in self.processes:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGKILL)
            process.wait()
        self.processes.clear()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.end()


def pointer_to(session, alias):
    x, y, width, height = BARS[alias][1]
    session.run("xdotool", "mousemove", x + width // 2, y + height // 2)


def click_marker(session, log):
    """A left click, which the program ignores, reaches the bar under the pointer only
    after every low-level hook has seen the events before it: once the bar logs it, all
    the commands those events caused are in its log too."""
    seen = read_log(log).count("input left-up")
    session.run("xdotool", "click", "1")
    wait_for(lambda: read_log(log).count("input left-up") > seen, "the marker click")
