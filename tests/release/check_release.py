#!/usr/bin/env python3
"""Same source, same bytes: builds Quindle.exe a second time from a copy of the source in
another folder, into another build folder, and fails unless the two programs are
byte-identical; packs each into a release, later the second, and fails unless the zips
are identical too. Then checks the release as a user gets it: the entries in order,
README.txt in UTF-8 with a byte-order mark and CRLF, the zip's program identical to the
built one, SHA256SUMS correct for `sha256sum -c`, the PE header checksum valid, the winget and
Scoop manifests as their managers document them; and a release signed with a certificate made here."""
import argparse
import hashlib
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import zipfile

import yaml  # python3-yaml: the manifests must read back as YAML does, not as our writer would

from harness import signing
from harness.pe import header_checksum_valid

ENTRIES = ["Quindle.exe", "README.txt", "LICENSE"]
# winget's multi-file manifest: file name suffix, ManifestType and the fields it requires.
WINGET = {"": ("version", ["DefaultLocale"]), ".installer": ("installer", ["Installers"]),
          ".locale.en-US": ("defaultLocale", ["PackageLocale", "Publisher", "PackageName", "License",
                                              "ShortDescription"]),
          ".locale.zh-CN": ("locale", ["PackageLocale"])}


def run(*command, cwd=None, env=None, must_work=True, stderr=None):
    print("+ " + " ".join(str(part) for part in command), flush=True)
    return subprocess.run([str(part) for part in command], cwd=cwd, env=env, check=must_work, stderr=stderr, text=True)


def first_differences(a, b, count=8):
    found = [i for i in range(min(len(a), len(b))) if a[i] != b[i]][:count]
    return ", ".join(f"{i:#x}" for i in found) or "none in the common length"


def package(source, exe, version, page, out, *extra, env=None, must_work=True):
    done = run(sys.executable, source / "tools" / "package-release", "--exe", exe, "--version", version, "--project-page",
               page, "--out", out, *extra, env=env, must_work=must_work, stderr=None if must_work else subprocess.PIPE)
    return out / f"Quindle-{version}-win-x64.zip" if done.returncode == 0 else done.stderr  # or why it stopped


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

    first_zip = package(source, args.exe, args.version, args.project_page, work / "dist-first")

    # Another source folder and another build folder, of other lengths and depths.
    copy = work / "elsewhere" / "quindle-second-copy"
    build = work / "b2"
    skip = {args.build.resolve(), work, source / "build"}
    shutil.copytree(source, copy, ignore=lambda folder, names: [
        name for name in names if name in (".git", "__pycache__") or (pathlib.Path(folder) / name).resolve() in skip])
    run("cmake", "-S", copy, "-B", build, "-G", "Ninja", f"-DCMAKE_TOOLCHAIN_FILE={copy}/cmake/mingw-w64.cmake",
        "-DCMAKE_BUILD_TYPE=Release", "-DQUINDLE_BUILD_TESTS=OFF", f"-DQUINDLE_PROJECT_PAGE={args.project_page}")
    run("cmake", "--build", build, "--target", "Quindle")
    first, second = args.exe.read_bytes(), (build / "bin" / "Quindle.exe").read_bytes()
    check(first == second, f"Quindle.exe identical when built in {build} "
          f"({len(first)} and {len(second)} bytes; first differences at {first_differences(first, second)})")
    second_zip = package(copy, build / "bin" / "Quindle.exe", args.version, args.project_page, work / "dist-2")
    check(first_zip.read_bytes() == second_zip.read_bytes(), "the two zips identical")

    # The release workflow's tag check and notes, on this change log and on made-up ones in the copy.
    def notes(folder, tag, *extra):
        done = subprocess.run([sys.executable, folder / "tools" / "release-notes", tag, *extra], capture_output=True,
                              text=True)
        return done.returncode, done.stdout, done.stderr
    code, text, _ = notes(source, f"v{args.version}")
    check(code == 0 and text.strip(), f"CHANGELOG.md has a section for {args.version}")
    (copy / "CHANGELOG.md").write_text(f"## [Unreleased]\n\n- next\n\n## [{args.version}] - 2026-12-09\n\n- this,\n"
                                       "  wrapped\n  - in\n[1]: https://x\n\n## [1.2] - 2024\n\n- older\n")
    code, text, _ = notes(copy, f"v{args.version}", "--unsigned", "--project-page", args.project_page)
    check(code == 0 and re.fullmatch(r"- this, wrapped\n  - in\n\n[^\n]*: \S+\n\n[^\n]* not signed[^\n]*\n", text)
          and f": {args.project_page}#code-signing-policy\n" in text, "notes: the section alone without link "
          f"definitions, each item on one line, the signing policy's link and the unsigned line: {text!r}")
    code, _, said = notes(copy, f"v{args.version}1")
    check(code != 0 and f"v{args.version}1" in said and f" {args.version} " in said, f"a wrong tag stops: {said!r}")
    (copy / "CHANGELOG.md").write_text(f"## [{args.version}.1] - 2026-12-09\n\n- older\n")
    code, _, said = notes(copy, f"v{args.version}")
    check(code != 0 and "no section" in said, f"a version without its section stops: {said!r}")

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

    # The managers' manifests, each against the rules its manager documents.
    digest = hashlib.sha256(first_zip.read_bytes()).hexdigest()
    url = f"{args.project_page}/releases/download/v{args.version}/{first_zip.name}"
    winget = {}
    for suffix, (kind, required) in WINGET.items():
        path = first_zip.parent / "winget" / f"QuindleApp.Quindle{suffix}.yaml"
        fields = winget[kind] = yaml.safe_load(path.read_text(encoding="utf-8")) if path.is_file() else {}
        missing = {"PackageIdentifier", "PackageVersion", "ManifestType", "ManifestVersion", *required} - set(fields)
        check(not missing and fields["ManifestType"] == kind,
              f"{path.name}: ManifestType {fields.get('ManifestType')} ({kind}), missing: {sorted(missing) or 'none'}")
    ids = {(m.get("PackageIdentifier"), m.get("PackageVersion"), m.get("ManifestVersion")) for m in winget.values()}
    (identifier, version, schema), = ids if len(ids) == 1 else [(None, None, None)]
    check((identifier, version) == ("QuindleApp.Quindle", args.version) and re.fullmatch(
        r"1\.([6-9]|[1-9]\d)\.\d+", str(schema)), f"winget files share id, version, ManifestVersion 1.6+: {ids}")
    check(winget["version"].get("DefaultLocale") == winget["defaultLocale"].get("PackageLocale") == "en-US"
          and winget["locale"].get("PackageLocale") == "zh-CN", "winget locales: en-US (the default) and zh-CN")
    check(3 <= len(winget["defaultLocale"].get("ShortDescription", "")) <= 256, "winget ShortDescription 3-256 long")
    installer = {**winget["installer"], **(winget["installer"].get("Installers") or [{}])[0]}  # nodes inherit
    check(url.startswith("https://") and installer.get("InstallerUrl") == url,
          f"winget InstallerUrl {installer.get('InstallerUrl')}, expected {url}")
    check(installer.get("InstallerSha256") == digest.upper(), "winget InstallerSha256: the zip's, uppercase hex")
    nested = [item.get("RelativeFilePath") for item in installer.get("NestedInstallerFiles") or []]
    check([installer.get(key) for key in ("InstallerType", "NestedInstallerType", "Architecture")] == [
        "zip", "portable", "x64"] and set(nested) & set(names) == set(nested) != set(), f"winget: portable {nested}")
    path = first_zip.parent / "scoop" / "quindle.json"
    scoop = json.loads(path.read_text(encoding="utf-8")) if path.is_file() else {}
    order = ["version", "description", "homepage", "license", "notes", "architecture", "pre_install", "shortcuts",
             "persist", "uninstaller", "checkver", "autoupdate"]  # the order of Scoop's contributing guide
    check(list(scoop) == order, f"{path.name}: keys {list(scoop)}, expected {order}")
    app = scoop.get("architecture", {}).get("64bit", {})
    check((scoop.get("version"), app.get("url"), app.get("hash")) == (args.version, url, digest),
          "Scoop: the build's version, the zip's URL and SHA-256")
    check(all(item[0] in names for item in scoop.get("shortcuts") or [[None]]), "Scoop's shortcuts are in the zip")
    check(scoop.get("persist") == "setting.ini" and re.match(r'if \(!\(Test-Path "\$persist_dir\\setting.ini"\)\) '
          r'\{ New-Item "\$dir\\setting.ini"', scoop.get("pre_install", "")), "Scoop keeps setting.ini, empty at first")
    script = scoop.get("uninstaller", {}).get("script") or [""]
    check(script[0] == "if ($cmd -eq 'uninstall') {" and "退出" in scoop.get("notes", ""),
          "Scoop's uninstaller (after its running-app check) removes the autostart at uninstall only; notes: exit first")
    later = scoop.get("autoupdate", {}).get("architecture", {}).get("64bit", {}).get("url", "")
    check(scoop.get("checkver") == {"github": args.project_page} and later.replace("$version", args.version) == url
          and later.count("$version") == 2, "Scoop checkver follows the GitHub releases, autoupdate's URL has $version")

    # Signed as a signing service signs: a throw-away certificate, time-stamped by an authority on 127.0.0.1.
    pem, pfx = signing.make_signer(work / "signer")
    signer = dict(os.environ, QUINDLE_SIGN_PFX=str(pfx), QUINDLE_SIGN_PASSWORD=signing.PASSWORD, TMPDIR=str(work))
    (work / "other.exe").write_bytes(first[:-1] + bytes([first[-1] ^ 1]))  # another program
    with signing.time_stamp_authority(work / "tsa") as tsa:
        signer["QUINDLE_SIGN_TIMESTAMP_URL"] = tsa
        package(source, args.exe, args.version, args.project_page, work / "signed", "--sign", env=signer)
        signing.sign(args.exe, work / "unstamped.exe", pfx)
        signing.sign(work / "other.exe", work / "other-signed.exe", pfx, tsa)
        theirs = (work / "other-signed.exe").read_bytes()  # with this program's last byte: under the other's signature
        (work / "borrowed.exe").write_bytes(theirs[:len(first) - 1] + first[-1:] + theirs[len(first):])
        # What a signer might return instead, and a signer that fails: nothing is packed, nothing left behind.
        for name, how, env, reason in (
                ("no time stamp", ["--signed", work / "unstamped.exe"], None, "no RFC 3161 time stamp"),
                ("another program", ["--signed", work / "other-signed.exe"], None, "not the one built"),
                ("another's signature", ["--signed", work / "borrowed.exe"], None, "does not cover this program"),
                ("a wrong password", ["--sign"], dict(signer, QUINDLE_SIGN_PASSWORD="wrong"), "signing failed")):
            out = shutil.copytree(first_zip.parent, work / name)  # an earlier release, which must not survive either
            bad = package(source, args.exe, args.version, args.project_page, out, *how, env=env, must_work=False)
            check(reason in str(bad) and not [path for path in out.rglob("*") if path.is_file()],
                  f"{name}: refused ({str(bad).strip()}), and no program, zip or manifest left behind")
    signed = work / "signed" / "Quindle.exe"
    check(run("osslsigncode", "verify", "-CAfile", pem, "-TSA-CAfile", work / "tsa" / "root.pem", "-in", signed,
              must_work=False).returncode == 0, "the signature and its time stamp verify with the test certificates")
    check(run(sys.executable, pathlib.Path(__file__).resolve().parent.parent / "pe" / "check_pe.py", signed,
              args.version, must_work=False).returncode == 0, "the signed program passes the PE checks")
    run("osslsigncode", "remove-signature", "-in", signed, "-out", work / "stripped.exe")
    check((work / "stripped.exe").read_bytes() == first, "without its signature the signed program is the unsigned one")
    # Checked again before it is published: a file of a release with another README.txt stops it, by its own check.
    (copy / "docs" / "README.txt").write_text("Another guide\n")
    other = package(copy, args.exe, args.version, args.project_page, work / "other README", "--signed", signed).parent
    for name, reason in (("SHA256SUMS", "SHA256SUMS does not"), ("scoop/quindle.json", "Scoop's hash"),
                         ("winget/QuindleApp.Quindle.installer.yaml", "InstallerSha256"), (first_zip.name, "entries")):
        folder = shutil.copytree(work / "signed", work / "stale" / pathlib.Path(name).name)
        shutil.copy(other / name, folder / name)
        bad = package(source, args.exe, args.version, args.project_page, folder, "--check", must_work=False)
        check(reason in str(bad), f"the other release's {name} stops it: {str(bad).strip()}")

    # Published twice, as "Re-run all jobs" does it, over another build's manifest: the second run changes nothing.
    (work / "bin").mkdir()
    (work / "bin" / "gh").symlink_to(source / "tools" / "standin-gh")
    publish = dict(os.environ, PATH=f"{work / 'bin'}:{os.environ['PATH']}", QUINDLE_STANDIN_GH=str(work))
    run("git", "init", "--quiet", "--bare", work / "bucket.git")  # a new bucket, without a bucket/ folder
    run(source / "tools" / "publish-scoop", work / "bucket.git", signed.parent / "scoop" / "quindle.json", args.version)
    hook = work / "git" / "hooks" / "pre-commit"  # from git's template into the script's clone: while it commits,
    hook.parent.mkdir(parents=True)  # the bucket's updater pushes, so the script must pull before it pushes
    hook.write_text(f"#!/bin/sh\ncd '{work}' && git clone -q bucket.git updater && cd updater && git commit -qnm "
                    "Updated --allow-empty && git push -q\n")
    hook.chmod(0o755)
    (work / "notes.md").write_text("The notes\n")
    published = []
    for _ in range(2):
        run(source / "tools" / "publish-release", f"v{args.version}", work / "notes.md", first_zip, env=publish)
        run(source / "tools" / "publish-scoop", work / "bucket.git", first_zip.parent / "scoop" / "quindle.json",
            args.version, env=dict(os.environ, GIT_TEMPLATE_DIR=str(work / "git")))
        published.append(((work / "releases.json").read_text(), subprocess.run(
            ["git", "-C", work / "bucket.git", "log", "--format=%s", "--name-only"], capture_output=True, text=True).stdout))
    check(published[0] == published[1] and first_zip.name in published[0][0] and "bucket/quindle.json" in published[0][1],
          f"published once, then again with nothing changed: {published[1]}")

    if failures:
        print(f"kept for a look: {work}")
        return 1
    shutil.rmtree(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
