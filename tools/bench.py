#!/usr/bin/env python3
"""`./dev bench`: what Quindle costs, measured under Wine in a private Xvfb, each figure
the median of several runs beside its baseline measured in the same run. Prints a
Markdown table and writes it to build/bench.md."""
import argparse
import pathlib
import statistics
import subprocess

from harness.pe import read_pe
from harness.session import Session, windows_path
from harness.wine import WINE, prepare_prefix, private_display, wine_env

RUNS = 5
EVENTS = 5000
PAUSES, REHOOKS = 1000, 200
WARM_UP = (10, 40)  # pauses, re-hooks


def measure(session, *args):
    result = subprocess.run([*WINE, session.bindir / "benchkit.exe", *map(str, args)], env=session.env,
                            capture_output=True, text=True, check=True)
    return [int(word) for word in result.stdout.split()]


def hook_costs(session):
    """Median microseconds per (config, window, kind) for: no hook, a pass-through hook, Quindle.
    The configurations take turns run by run, so that drift in the machine falls on all alike."""
    runs = {}
    for _ in range(RUNS):
        for config in ("none", "pass-through", "quindle"):
            if config == "pass-through":
                helper = session.wine(session.bindir / "minimal.exe", "hook", stdout=subprocess.PIPE, text=True)
                assert helper.stdout.readline().strip() == "ready"
            elif config == "quindle":
                session.start_quindle()
            for window in ("BenchWindow", "MSTaskListWClass"):
                for kind in ("moves", "wheel"):
                    time, commands = measure(session, "hookcost", window, kind, EVENTS)
                    taskbar_wheel = (config, window, kind) == ("quindle", "MSTaskListWClass", "wheel")
                    assert commands == (EVENTS if taskbar_wheel else 0), f"{config} {window} {kind}: {commands}"
                    runs.setdefault((config, window, kind), []).append(time)
            session.end()
    return {key: statistics.median(times) for key, times in runs.items()}


def startup(session):
    quindle = windows_path(session.bindir / "Quindle.exe")
    minimal = windows_path(session.bindir / "minimal.exe")
    hooked = statistics.median(measure(session, "startup-hook", quindle)[0] for _ in range(RUNS))
    window = statistics.median(measure(session, "startup-window", minimal)[0] for _ in range(RUNS))
    return hooked, window


def footprints(session):
    """After start-up; after a warm-up (the first menus and notices load fonts and icons
    once); after the soak."""
    pid = session.start_quindle().windows_pid
    started = session.footprint(pid)

    def exercise(pauses, rehooks):
        session.testkit("menu", "pause", pauses, times=pauses)
        session.testkit("rehooks", rehooks, times=rehooks)
        return session.footprint(pid, started["threads"])

    warm = exercise(*WARM_UP)
    soaked = exercise(PAUSES, REHOOKS)
    session.end()
    return started, warm, soaked


def sizes(program):
    data = program.read_bytes()
    sections = {name: size for name, _, size, _ in read_pe(data)["sections"]}
    return len(data), sections.get(".text", 0), sections.get(".rsrc", 0)


def table(costs, start, prints, size):
    lines = ["| measure | Quindle | baseline | compared |", "|---|---|---|---|"]
    for window, label in (("BenchWindow", "a plain window"), ("MSTaskListWClass", "the taskbar")):
        for kind, what in (("moves", "mouse moves"), ("wheel", "wheel notches")):
            ours, none, floor = (costs[config, window, kind] for config in ("quindle", "none", "pass-through"))
            lines.append(
                f"| {EVENTS:,} {what} over {label} | {ours / 1000:.0f} ms | no hook {none / 1000:.0f} ms, "
                f"pass-through hook {floor / 1000:.0f} ms | {(ours - none) / EVENTS:+.1f} µs/event "
                f"(×{ours / none:.2f}) vs none; {(ours - floor) / EVENTS:+.1f} µs/event (×{ours / floor:.2f}) "
                f"vs pass-through |")
    hooked, window = start
    lines.append(f"| start-up: launch to hook installed | {hooked / 1000:.0f} ms | minimal window program, "
                 f"launch to first message: {window / 1000:.0f} ms | ×{hooked / window:.2f} |")
    started, warm, soaked = prints
    lines.append(f"| footprint after {PAUSES:,} pauses and {REHOOKS} re-hooks | | after start-up; after a warm-up "
                 f"of {WARM_UP[0]} pauses and {WARM_UP[1]} re-hooks | the soak's own growth |")
    for key, label in (("private", "private bytes"), ("workingset", "working set")):
        lines.append(f"| {label} | {soaked[key] / 2**20:.2f} MiB | {started[key] / 2**20:.2f} MiB; "
                     f"{warm[key] / 2**20:.2f} MiB | {soaked[key] - warm[key]:+,} bytes |")
    for key, label in (("handles", "handles"), ("gdi", "GDI objects"), ("user", "USER objects (windows)"),
                       ("threads", "threads")):
        lines.append(f"| {label} | {soaked[key]} | {started[key]}; {warm[key]} | {soaked[key] - warm[key]:+} |")
    total, code, resources = size
    lines.append(f"| Quindle.exe | {total / 1024:.0f} KiB | code (.text) {code / 1024:.1f} KiB, resources (.rsrc) "
                 f"{resources / 1024:.0f} KiB | other {(total - code - resources) / 1024:.1f} KiB |")
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--bin", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--build", default="19045", help="the Windows build that Wine reports")
    options = parser.parse_args()
    out = pathlib.Path(options.out)
    workdir = out / "bench"
    workdir.mkdir(parents=True, exist_ok=True)
    prefix = out / "bench-prefix"
    prepare_prefix(prefix, options.build)

    with private_display(wine_env(prefix)) as env, Session(env, options.bin, workdir) as session:
        print(f"hook cost: {EVENTS:,} events, {RUNS} runs each ...", flush=True)
        costs = hook_costs(session)
        print("start-up ...", flush=True)
        start = startup(session)
        print("footprint ...", flush=True)
        prints = footprints(session)
    report = table(costs, start, prints, sizes(pathlib.Path(options.bin) / "Quindle.exe"))
    (out / "bench.md").write_text(report)
    print(report)


if __name__ == "__main__":
    main()
