"""Wine on Linux: a prefix that reports a chosen Windows build, a private Xvfb display, and
one persistent wineserver with Wine's background programs started."""
import contextlib
import os
import pathlib
import shutil
import subprocess
import tempfile

# Wine's own programs by their paths in a prefix: by name (`wine reg`, as the Debian
# wrappers do too) start.exe looks them up through ShellExecuteEx, which now and then fails
# with "ShellExecuteEx failed: Internal error" (about one start in a thousand here).
SYSTEM32 = "C:\\windows\\system32\\"
# Every Wine process starts with address space randomization off. Debian's Wine has no
# preloader to keep free the addresses Windows expects: its loader sits at 0x7d000000, and
# its heap (2.5 MB at start) begins anywhere in the next gigabyte, so about one start in 400
# finds the heap over the shared user data's 0x7ffe0000 and ends at once with exit 1
# ("failed to map the shared user data"). Unrandomized, the heap always begins at 0x7d005000.
UNRANDOMIZED = ["setarch", "-R"]
WINE = [*UNRANDOMIZED, "wine"]
# No debug output, and no offer to install .NET or Gecko.
WINE_ENV = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
QUIET = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
CURRENT_VERSION = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion"
# The UI fonts that fall back on a CJK font of the system, so that the Chinese menu renders.
UI_FONTS = ("Tahoma", "MS Shell Dlg", "MS Shell Dlg 2", "Microsoft Sans Serif", "Segoe UI")


def wine_env(prefix, **more):
    return {**os.environ, **WINE_ENV, "WINEPREFIX": str(pathlib.Path(prefix).resolve()), **more}


def read_env_file(path):
    """The variables of an env file that tools/testenv wrote, over this process's own."""
    pairs = (line.removeprefix("export ").partition("=")[::2] for line in pathlib.Path(path).read_text().splitlines())
    return {**os.environ, **{key: value.strip('"') for key, value in pairs}}


def run_wine(env, *args, timeout=60):
    """Runs a Windows program to its end; returns the CompletedProcess with what it printed.
    Its output goes to files, not pipes: a Wine program started on its way (the desktop
    process, when none runs) inherits them and would hold a pipe open long after."""
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        args = [*WINE, *map(str, args)]
        done = subprocess.run(args, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=timeout)
        out.seek(0), err.seek(0)
        return subprocess.CompletedProcess(args, done.returncode, out.read(), err.read().strip())


def reg(env, action, *args):
    """Wine's reg.exe in env's prefix. An add that fails raises; a query or delete returns what it did."""
    done = run_wine(env, SYSTEM32 + "reg.exe", action, *args)
    if action == "add" and done.returncode != 0:
        raise AssertionError(f"{' '.join(done.args)}: exit {done.returncode}: {done.stdout.strip()} {done.stderr}")
    return done


def set_build(env, build):
    """The Windows build that the prefix reports: RtlGetNtVersionNumbers reads these two values."""
    for value in ("CurrentBuildNumber", "CurrentBuild"):
        reg(env, "add", CURRENT_VERSION, "/v", value, "/d", build, "/f")


def prepare_prefix(prefix, build, template=None):
    """Makes prefix a Wine prefix that reports Windows 10 with this build. With a template,
    prefix starts afresh as a copy of it, so that Wine's slow first start happens once."""
    first = pathlib.Path(template or prefix)
    if not (first / ".ready").exists():
        shutil.rmtree(first, ignore_errors=True)
        # Once per template, by name: a prefix that does not exist yet has no system32 to name.
        for command in (["wineboot", "-i"], ["winecfg", "-v", "win10"], ["wineserver", "-w"]):
            subprocess.run([*UNRANDOMIZED, *command], env=wine_env(first), check=True, **QUIET)
        (first / ".ready").touch()
    if template:
        shutil.rmtree(prefix, ignore_errors=True)
        subprocess.run(["cp", "-a", template, prefix], check=True)
    env = wine_env(prefix)
    set_build(env, build)
    # Xvfb has no window manager: Wine must not wait for one to withdraw a closing window
    # (it would wait two seconds for every message box that ends).
    reg(env, "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f")
    for font in UI_FONTS:
        reg(env, "add", CURRENT_VERSION + r"\FontLink\SystemLink", "/v", font, "/t", "REG_MULTI_SZ",
            "/d", "wqy-microhei.ttc,WenQuanYi Micro Hei", "/f")
    # End the transient wineserver now (saving the registry) rather than after its idle timeout.
    subprocess.run(["wineserver", "-k"], env=env, **QUIET)


def start_xvfb(log=subprocess.DEVNULL):
    """A display of our own, in a session of its own; -displayfd picks a free number, so
    runs never share one. Returns the process and ":N"."""
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
                            pass_fds=[write_end], stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                            start_new_session=True)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        number = pipe.readline().strip()
    if not number:
        raise SystemExit("Xvfb did not start")
    return xvfb, f":{number}"


def start_wineserver(env):
    """One persistent wineserver for env's prefix and display, then Wine's own background
    programs (services, desktop), started now and detached: a later Wine process would
    otherwise start them holding its output open."""
    subprocess.run(["wineserver", "-p"], env=env, check=True, start_new_session=True, **QUIET)
    subprocess.run([*WINE, SYSTEM32 + "wineboot.exe"], env=env, check=True, **QUIET)


@contextlib.contextmanager
def private_display(env):
    """A private Xvfb and a persistent wineserver on it for env's prefix, both ended on leaving.
    Yields env with the display."""
    xvfb, display = start_xvfb()
    env = {**env, "DISPLAY": display}
    try:
        start_wineserver(env)
        yield env
    finally:
        subprocess.run(["wineserver", "-k"], env=env, **QUIET)
        xvfb.kill()
        xvfb.wait()
