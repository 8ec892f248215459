#!/usr/bin/env python3
"""Same source, same bytes: builds Quindle.exe a second time from a copy of the source in
another folder, into another build folder, and fails unless the two programs are
byte-identical; packs each into a release, later the second, and fails unless the zips
are identical too. Then checks the release as a user gets it: the entries in order,
README.txt in UTF-8 with a byte-order mark and CRLF, the zip's program identical to the
built one, SHA256SUMS correct for `sha256sum -c`, the PE header checksum valid."""
import argparse
import pathlib
import shutil
import subprocess
import sys
import zipfile

from harness.pe import header_checksum_valid

ENTRIES = ["Quindle.exe", "README.txt", "LICENSE"]


def run(*command, cwd=None):
    print("+ " + " ".join(str(part) for part in command), flush=True)
    subprocess.run([str(part) for part in command], cwd=cwd, check=True)


def copy_source(source, target, skip):
    def ignore(folder, names):
        return [name for name in names
                if name in (".git", "__pycache__") or (pathlib.Path(folder) / name).resolve() in skip]

    shutil.copytree(source, target, ignore=ignore)


def first_differences(a, b, count=8):
    found = [i for i in range(min(len(a), len(b))) if a[i] != b[i]][:count]
    return ", ".join(f"{i:#x}" for i in found) or "none in the common length"


def package(source, exe, version, out):
    run(sys.executable, source / "tools" / "package-release", "--exe", exe, "--version", version, "--out", out)
    return out / f"Quindle-{version}-win-x64.zip"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", type=pathlib.Path, required=True)
    parser.add_argument("--build", type=pathlib.Path, required=True, help="the build folder of EXE")
    parser.add_argument("--exe", type=pathlib.Path, required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--project-page", required=True)
    parser.add_argument("--work", type=pathlib.Path, required=True)
    args = parser.parse_args()
    source, work = args.source.resolve(), args.work.resolve()
    shutil.rmtree(work, ignore_errors=True)
    failures = []

    def check(condition, what):
        print(("ok      " if condition else "FAILED  ") + what, flush=True)
        if not condition:
            failures.append(what)

    first_zip = package(source, args.exe, args.version, work / "dist-first")

    # Another source folder and another build folder, of other lengths and depths.
    copy = work / "elsewhere" / "quindle-second-copy"
    build = work / "b2"
    copy_source(source, copy, {args.build.resolve(), work, source / "build"})
    run("cmake", "-S", copy, "-B", build, "-G", "Ninja", f"-DCMAKE_TOOLCHAIN_FILE={copy}/cmake/mingw-w64.cmake",
        "-DCMAKE_BUILD_TYPE=Release", "-DQUINDLE_BUILD_TESTS=OFF", f"-DQUINDLE_PROJECT_PAGE={args.project_page}")
    run("cmake", "--build", build, "--target", "Quindle")
    first, second = args.exe.read_bytes(), (build / "bin" / "Quindle.exe").read_bytes()
    check(first == second, f"Quindle.exe identical when built in {build} "
          f"({len(first)} and {len(second)} bytes; first differences at {first_differences(first, second)})")
    second_zip = package(copy, build / "bin" / "Quindle.exe", args.version, work / "dist-second")
    check(first_zip.read_bytes() == second_zip.read_bytes(), "the two zips identical")

    with zipfile.ZipFile(first_zip) as release:
        names = release.namelist()
        check(names == ENTRIES, f"entries {names}, expected {ENTRIES}")
        guide = release.read("README.txt") if "README.txt" in names else b""
        check(guide.startswith(b"\xef\xbb\xbf"), "README.txt begins with the UTF-8 byte-order mark")
        check(guide.count(b"\n") > 0 and guide.count(b"\n") == guide.count(b"\r\n") == guide.count(b"\r"),
              "README.txt has CRLF line ends only")
        check(b"@VERSION@" not in guide and f"Quindle V{args.version}".encode() in guide,
              "README.txt names this version")
        program = release.read("Quindle.exe") if "Quindle.exe" in names else b""
        check(program == first, "the zip's Quindle.exe identical to the built one")
    listed = [line.split("  ", 1)[1] for line in (first_zip.parent / "SHA256SUMS").read_text().splitlines()]
    check(listed == [first_zip.name, "Quindle.exe"], f"SHA256SUMS lists {listed}")
    check(subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=first_zip.parent).returncode == 0,
          "SHA256SUMS verifies with sha256sum -c")
    check(header_checksum_valid(str(first_zip.parent / "Quindle.exe")), "PE header checksum valid")

    if failures:
        print(f"kept for a look: {work}")
        return 1
    shutil.rmtree(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
