#!/usr/bin/env python3
"""Reads Quindle.exe's PE header and resources and checks what a secure, self-contained
tray program must be: x64 GUI, ASLR with high-entropy addresses and relocations, NX,
imports only from Windows DLLs that the loader always takes from System32 (KnownDLLs),
a manifest that asks for asInvoker and nothing else, and a version resource of the build's version."""
import re
import sys

from harness.pe import header_checksum_valid, imports, read_pe, resources, version_info

# DLLs that Windows 10 and 11 list under KnownDLLs: never loaded from the program's folder.
KNOWN_DLLS = {"advapi32.dll", "combase.dll", "comdlg32.dll", "gdi32.dll", "imagehlp.dll", "imm32.dll",
              "kernel32.dll", "msctf.dll", "msvcrt.dll", "normaliz.dll", "nsi.dll", "ole32.dll", "oleaut32.dll",
              "psapi.dll", "rpcrt4.dll", "sechost.dll", "setupapi.dll", "shcore.dll", "shell32.dll",
              "shlwapi.dll", "user32.dll", "wldap32.dll", "ws2_32.dll"}
DYNAMIC_BASE, HIGH_ENTROPY_VA, NX_COMPAT = 0x40, 0x20, 0x100


def main(path, version):
    data = open(path, "rb").read()
    pe = read_pe(data)
    failures = []

    def check(condition, what):
        print(("ok      " if condition else "FAILED  ") + what)
        if not condition:
            failures.append(what)

    check(pe["machine"] == 0x8664 and pe["magic"] == 0x20B, "x64 (PE32+)")
    check(pe["subsystem"] == 2, "Windows GUI subsystem")
    check(pe["dll_characteristics"] & DYNAMIC_BASE, "ASLR (dynamic base)")
    check(pe["dll_characteristics"] & HIGH_ENTROPY_VA, "high-entropy 64-bit addresses")
    check(pe["dll_characteristics"] & NX_COMPAT, "NX (DEP)")
    check(not pe["characteristics"] & 0x0001 and pe["directories"][5][1] > 0, "relocations kept, so ASLR can move it")
    dlls = imports(data, pe)
    print("        imports: " + ", ".join(dlls))
    check(dlls and set(dlls) <= KNOWN_DLLS, "imports only Windows KnownDLLs")
    check(pe["directories"][13][1] == 0, "no delay-loaded imports")
    check(header_checksum_valid(path), "header checksum valid for the file's bytes")
    manifests = {key: value for key, value in resources(data, pe).items() if key[0] == 24}
    check(list(manifests) == [(24, 1, 1033)], "one manifest, id 1, language 1033")
    xml = b"".join(manifests.values()).decode("utf-8", "replace")
    check(re.search(r'requestedExecutionLevel\s+level="asInvoker"\s+uiAccess="false"', xml) is not None,
          "manifest asks for asInvoker, without uiAccess")
    check(not re.search(r"dpiAware|dpiAwareness|<dependency", xml), "manifest asks for nothing else")
    strings, numbers = version_info(path)
    wanted = {"ProductName": "Quindle", "ProductVersion": version, "FileVersion": version}
    check(wanted.items() <= strings.items() and all(strings.get(key) for key in ("FileDescription", "CompanyName",
          "LegalCopyright")), f"version resource of Quindle {version}, in the block its Translation names: {strings}")
    parts = [int(part) for part in version.split(".")] + [0] * (3 - version.count("."))
    check(numbers == [tuple(parts)] * 2, f"fixed file and product versions {version}: {numbers}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
