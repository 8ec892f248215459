#!/usr/bin/env python3
"""Runs a Windows test program under Wine as a developer would on their own desktop, from a
folder of theirs in a prefix set up as their machine looks (seeds), and fails unless it passes
and leaves all that (machine) exactly as it found it."""
import argparse
import pathlib
import subprocess
import sys

from harness.registry import APPROVED_KEY, ENABLED_APPROVAL, RUN_KEY
from harness.session import windows_path
from harness.wine import WINE, read_env_file, reg

HTTPS = r"HKCR\https\shell\open\command"
SANDBOX = r"HKCU\Software\Quindle tests"
SETTINGS = b"[setting]\r\nAdministrator=1\r\n"


def seeds(version):
    """What the prefix holds first: key, value name (None: the default value), type, data."""
    return [(RUN_KEY, "OneDrive", "REG_SZ", r'"C:\Program Files\Microsoft OneDrive\OneDrive.exe" /background'),
            (RUN_KEY, f"Quindle V{version}", "REG_SZ", r'"C:\Tools\Quindle\Quindle.exe"'),
            (APPROVED_KEY, f"Quindle V{version}", "REG_BINARY", ENABLED_APPROVAL),
            (APPROVED_KEY, "OneDrive", "REG_BINARY", "0300000040C3D1AA7B4BDB01"),
            (HTTPS, None, "REG_SZ", r'"C:\Program Files\Browser\browser.exe" -- "%1"')]


def files(folder):
    """Every file under folder with its bytes; folders as None."""
    return {str(path.relative_to(folder)): None if path.is_dir() else path.read_bytes()
            for path in sorted(folder.rglob("*"))}


def machine(env, program, developer, temporary):
    """What the test program must leave as it found it."""
    keys = {key: reg(env, "query", key, "/s").stdout for key in (RUN_KEY, APPROVED_KEY, HTTPS, SANDBOX)}
    return {"registry": keys, "developer folder": files(developer), "program folder": files(program.parent),
            "temporary folder": files(temporary)}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--testenv", required=True)
    parser.add_argument("--version", required=True, help="the program's version, as in its Run value's name")
    parser.add_argument("program")
    options = parser.parse_args()
    env = read_env_file(pathlib.Path(options.testenv) / "env")
    program = pathlib.Path(options.program).resolve()
    drive = pathlib.Path(env["WINEPREFIX"]) / "drive_c"
    developer = drive / "users" / "developer" / "quindle-work"
    developer.mkdir(parents=True, exist_ok=True)
    (developer / "setting.ini").write_bytes(SETTINGS)
    temporary = next((drive / "users").glob("*/AppData/Local/Temp"), drive / "windows" / "temp")
    temporary.mkdir(parents=True, exist_ok=True)
    for key, name, kind, data in seeds(options.version):
        where = ["/ve"] if name is None else ["/v", name]
        reg(env, "add", key, *where, "/t", kind, "/d", data, "/f")

    before = machine(env, program, developer, temporary)
    run = subprocess.run([*WINE, windows_path(program)], env=env, cwd=developer)
    after = machine(env, program, developer, temporary)
    changed = [f"{part}: {place}" for part in before for place in set(before[part]) | set(after[part])
               if before[part].get(place) != after[part].get(place)]
    for place in changed:
        print("changed", place)
    sys.exit(run.returncode or (1 if changed else 0))


if __name__ == "__main__":
    main()
