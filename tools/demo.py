#!/usr/bin/env python3
"""What `./dev run` does: Quindle.exe beside a stand-in taskbar under Wine.

With a usable display, both are shown there until Quindle ends or Ctrl-C. Without
one, a private Xvfb hosts a short demonstration with real X input (wheel up three
times, down once, one middle click over the stand-in), then everything started
here is stopped again.
"""
import argparse
import contextlib
import os
import pathlib
import subprocess

from harness.session import Session, click_marker, pointer_to, read_log
from harness.wine import prepare_prefix, private_display, wine_env

ICONS = pathlib.Path(__file__).resolve().parent.parent / "res" / "icons"


def display_usable():
    return bool(os.environ.get("DISPLAY")) and subprocess.run(
        ["xdpyinfo"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


def interactive(session, out):
    bar_log = session.start_bar("task")
    quindle = session.wine(session.bindir / "Quindle.exe")
    print("Quindle is running beside a stand-in taskbar (the dark bar). Turn the wheel over it, or press the")
    print("middle button there; the bar shows the volume. Its icon is in Wine's notification area (or your")
    print("desktop's): press the right button on it for the menu. Ctrl-C ends both.")
    try:
        quindle.wait()
    except KeyboardInterrupt:
        pass
    print("\n".join(line for line in read_log(bar_log) if line.startswith("command")))


def blend_menu_icons(picture, left, top, height):
    """Wine copies a menu item's bitmap without its alpha (Windows blends it), so the icons
    beside About and Exit show black where they are transparent. Each 16-pixel square with
    black corners in the menu's margin gets the icon's own 16-pixel image blended on the
    menu's background, as Windows draws it."""
    ppm = subprocess.run(["convert", picture, "ppm:-"], check=True, capture_output=True).stdout
    _, width, _, _, pixels = ppm.split(maxsplit=4)
    pixel = lambda x, y: pixels[(y * int(width) + x) * 3:(y * int(width) + x) * 3 + 3]  # noqa: E731
    black = lambda x, y: pixel(x, y) == b"\0\0\0"  # noqa: E731
    squares = [(x, y) for y in range(top + 2, top + height - 17) for x in range(left + 2, left + 45)
               if all(black(x + dx, y + dy) for dx in (0, 15) for dy in (0, 15))
               and not black(x - 1, y) and not black(x, y - 1)]
    command = ["convert", picture]
    for (x, y), icon in zip(squares, ("app.ico", "exit.ico")):  # About's, then Exit's
        background = "#" + pixel(x - 1, y + 8).hex()
        command += ["-fill", background, "-draw", f"rectangle {x},{y} {x + 15},{y + 15}",
                    f"{ICONS / icon}[0]", "-geometry", f"+{x}+{y}", "-composite"]
    subprocess.run(command + [picture], check=True)
    return len(squares)


def demonstrate(session, out):
    bar_log = session.start_bar("task")
    class_line = next(line for line in read_log(bar_log) if line.startswith("ready"))
    session.start_quindle()
    pointer_to(session, "task")
    print(f"stand-in taskbar: {class_line.removeprefix('ready').strip() or 'ready'}")
    print("demonstration: wheel up 3 times, wheel down once, one middle click over the stand-in")
    session.run("xdotool", "click", "--repeat", 3, "--delay", 50, 4)
    session.run("xdotool", "click", 5)
    session.run("xdotool", "click", 2)
    click_marker(session, bar_log)
    received = [line for line in read_log(bar_log) if line.startswith("command")]
    print("the stand-in received:", *("    " + line for line in received), sep="\n")
    if received:
        state = dict(part.split("=") for part in received[-1].split()[3:])
        print(f"volume {state['volume']}, {'muted' if state['muted'] == '1' else 'not muted'}")
    else:
        print("nothing: this Windows build has no taskbar class the program acts on")
    screenshot = out / "run-screenshot.png"
    session.run("import", "-window", "root", screenshot)
    print(f"screenshot: {screenshot}")

    # The tray menu, opened as the shell does on a right press on the icon.
    x, y, width, height = map(int, session.testkit("menu").split()[1:5])
    menu_shot = out / "run-menu.png"
    margin = 12
    session.run("import", "-window", "root", "-crop",
                f"{width + 2 * margin}x{height + 2 * margin}+{max(x - margin, 0)}+{max(y - margin, 0)}",
                "+repage", menu_shot)
    session.testkit("keys", "escape")
    blended = blend_menu_icons(menu_shot, min(x, margin), min(y, margin), height)
    print(f"menu screenshot: {menu_shot} ({blended} icons blended in as Windows draws them)")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--bin", required=True, help="folder of Quindle.exe and the helper programs")
    parser.add_argument("--out", required=True, help="folder for the Wine prefix, logs and screenshots")
    parser.add_argument("--build", default="19045", help="the Windows build that Wine reports")
    options = parser.parse_args()
    out = pathlib.Path(options.out)
    workdir = out / "run"
    workdir.mkdir(parents=True, exist_ok=True)
    prefix = out / "wine-prefix"  # the program's own, never ~/.wine
    prepare_prefix(prefix, options.build)

    shown = display_usable()
    with contextlib.nullcontext(wine_env(prefix)) if shown else private_display(wine_env(prefix)) as env:
        with Session(env, options.bin, workdir) as session:
            (interactive if shown else demonstrate)(session, out)


if __name__ == "__main__":
    main()
